#include "rustack/create_lookup.h"

#include <cstdint>
#include <utility>

#include <boost/json/parse.hpp>

#include "rustack/curl_api.h"
#include "rustack/curl_api_ops.h"
#include "rustack/poll.h"
#include "support/log/ks_log.h"
#include "support/utils/quoting.h"

namespace rustack_lookup {

namespace {

// A member as text: a string's characters, a number's digits, "" for null
// or a missing member.
std::string text_of(boost::json::object const& o, char const* key) {
  auto const* v = o.if_contains(key);
  if (!v || v->is_null()) return std::string();
  if (v->is_string()) return std::string(v->get_string());
  return curlAPI::json_text(*v);
}

// The states a create request leaves an object in (its end states included).
bool made_by_a_create(std::string const& kind, std::string const& status) {
  if (kind == "server") return status == "BUILD" || status == "ACTIVE" || status == "ERROR";
  if (kind == "snapshot") return status == "creating" || status == "available" || status == "error";
  return status == "creating" || status == "downloading" || status == "available" || status == "error";
}

bool matches(object_match const& m, boost::json::object const& o) {
  if (text_of(o, "name") != m.name) return false;
  if (m.match_description && text_of(o, "description") != m.description) return false;
  if (!made_by_a_create(m.kind, text_of(o, "status"))) return false;
  if (m.kind == "snapshot") return text_of(o, "volume_id") == m.volume_id;
  if (text_of(o, "snapshot_id") != m.snapshot_id) return false;
  return m.size.empty() || text_of(o, "size") == m.size;
}

// GET of a list of the block-storage service: the ids of its members that
// match. False when the list cannot be read.
bool list_matching(curlAPI& client, object_match const& m, std::vector<std::string>& ids) {
  std::string const collection = m.kind == "snapshot" ? "snapshots" : "volumes";
  std::string url = client.storage_base(curl_api_ops::path_segment(m.project)) + "/" + collection + "/detail";
  std::string query;
  if (!m.name.empty()) query += "name=" + query_value(m.name);
  if (m.kind == "snapshot" && !m.volume_id.empty())
    query += (query.empty() ? "" : "&") + std::string("volume_id=") + query_value(m.volume_id);
  if (!query.empty()) url += "?" + query;
  std::string reply;
  try {
    if (client.process_curl_api_request(url, curlAPI::GET, reply, "", false, true) != 0) return false;
  } catch (std::exception const&) {
    return false;
  }
  if (!curlAPI::is_success_code(client.last_http_code())) return false;
  boost::system::error_code ec;
  boost::json::value const value = boost::json::parse(reply, ec);
  if (ec || !value.is_object()) return false;
  auto const* list = value.get_object().if_contains(collection);
  if (!list || !list->is_array()) return false;
  for (auto const& item : list->get_array()) {
    if (!item.is_object()) continue;
    if (matches(m, item.get_object())) ids.push_back(text_of(item.get_object(), "id"));
  }
  return true;
}

std::string joined(std::vector<std::string> const& ids) {
  std::string out;
  for (std::string const& id : ids) out += (out.empty() ? "'" : ", '") + id + "'";
  return out;
}

}  // namespace

std::string query_value(std::string const& text) { return curl_api_ops::percent_encoded(text); }

made_object_search::made_object_search(curlAPI& client, object_match match) : match_(std::move(match)) {
  std::vector<std::string> ids;
  listed_ = matching(client, ids);
  existing_.insert(ids.begin(), ids.end());
}

made_object_search::made_object_search(object_match match, std::vector<rustack_vm_info> const& servers)
    : match_(std::move(match)), listed_(true) {
  for (rustack_vm_info const& s : servers)
    if (s.name == match_.name) existing_.insert(s.id);
}

bool made_object_search::matching(curlAPI& client, std::vector<std::string>& ids) const {
  if (match_.kind != "server") return list_matching(client, match_, ids);
  std::vector<rustack_vm_info> servers;
  if (client.get_server_list(servers) != 0) return false;
  for (rustack_vm_info const& s : servers)
    if (s.name == match_.name && made_by_a_create("server", s.status)) ids.push_back(s.id);
  return true;
}

std::string made_object_search::what() const {
  std::string text = match_.kind + " named '" + kestrova::as_one_line(match_.name) + "'";
  if (match_.kind == "snapshot") text += " of volume '" + kestrova::as_one_line(match_.volume_id) + "'";
  if (!match_.snapshot_id.empty()) text += " from snapshot '" + match_.snapshot_id + "'";
  return text;
}

std::vector<std::string> made_object_search::find_made(curlAPI& client, char const* signature, int looks,
                                                       std::chrono::milliseconds pause) const {
  long const code = client.last_http_code();
  // Refused: nothing was made.
  if (code >= 400 && code < 500) return {};
  if (!listed_) {
    KsLogStream(KsLogLvl::Error) << signature << ": a " << what()
                                 << " that the failed request may have made cannot be looked for, since those that "
                                    "existed before it could not be listed; it is left behind if it was made"
                                 << std::endl;
    return {};
  }
  std::vector<std::string> made;
  auto const look = [&] {
    std::vector<std::string> now;
    if (!matching(client, now)) return rustack_poll::answer::pending;
    for (std::string const& id : now)
      if (!id.empty() && existing_.count(id) == 0) made.push_back(id);
    if (made.size() == 1) {
      KsLogStream(KsLogLvl::Info) << "Found the " << what() << " that the failed request made: '" << made.front()
                                  << "'" << std::endl;
      return rustack_poll::answer::awaited;
    }
    if (made.size() > 1) {
      KsLogStream(KsLogLvl::Error) << signature << ": " << made.size() << " new objects match the " << what()
                                   << " of the failed request (" << joined(made)
                                   << "), and nothing tells which one it made; each is left behind" << std::endl;
      return rustack_poll::answer::failed;
    }
    return rustack_poll::answer::pending;
  };
  // `looks` looks with a pause between two (none for fewer than one).
  rustack_poll::ending const end =
      looks < 1 ? rustack_poll::ending::bound
                : rustack_poll::poll(static_cast<std::uint64_t>(looks - 1), rustack_poll::order::ask_around_sleeps,
                                     look, pause);
  if (end == rustack_poll::ending::awaited) return made;
  if (end == rustack_poll::ending::bound)
    KsLogStream(KsLogLvl::Info) << "No " << what() << " made by the failed request was found" << std::endl;
  return {};
}

made_object_search snapshot_search(curlAPI& client, std::string const& project, volume const& source,
                                   std::string const& copy_name) {
  object_match m;
  m.kind = "snapshot";
  m.project = project;
  // The name and description create_snapshot gives.
  m.name = "snapshot-" + source.name;
  m.description = copy_name;
  m.volume_id = source.id;
  return made_object_search(client, m);
}

made_object_search volume_search(curlAPI& client, volume const& description, std::string const& snapshot_id) {
  object_match m;
  m.kind = "volume";
  m.project = description.tenant_id;
  m.name = description.name == "null" ? std::string() : description.name;
  m.snapshot_id = snapshot_id;
  m.size = description.size;
  // A copy of a snapshot is described by create_volume as based on it.
  m.description = !snapshot_id.empty()                ? "Based on snapshot " + snapshot_id
                  : description.description == "null" ? std::string()
                                                      : description.description;
  return made_object_search(client, m);
}

made_object_search server_search(std::string const& name, std::vector<rustack_vm_info> const& before) {
  object_match m;
  m.kind = "server";
  m.name = name;
  m.match_description = false;
  return made_object_search(m, before);
}

}  // namespace rustack_lookup

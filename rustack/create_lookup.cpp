#include "rustack/create_lookup.h"

#include <cstdint>
#include <set>
#include <utility>

#include <boost/json/parse.hpp>

#include "rustack/curl_api.h"
#include "rustack/curl_api_ops.h"
#include "rustack/url_parts.h"
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

// The query of a "next" link of the list at `list_url` into `query`, when
// the link names that same list at the same address (scheme, host and port,
// and path) with a query: the token goes nowhere else, and a link to another
// collection is no page of this one. The query keeps only bytes that can
// stand in one.
bool next_page_query(std::string const& href, std::string const& list_url, std::string& query) {
  rustack_url::url_parts link, list;
  if (!rustack_url::split_url(href, link) || !rustack_url::split_url(list_url, list)) return false;
  if (link.user || link.scheme != list.scheme || link.host != list.host || link.port != list.port ||
      link.path != list.path || link.query.empty())
    return false;
  query = curl_api_ops::percent_encoded(link.query, "!$&'()*+,;=:@/?%");
  return true;
}

// The href of the "next" link of a "<collection>_links" member into `href`
// (left empty without one). False when the member is not an array of links.
bool next_link(boost::json::value const& links, std::string& href) {
  if (!links.is_array()) return false;
  for (auto const& link : links.get_array()) {
    auto const* object = link.if_object();
    auto const* rel = object ? object->if_contains("rel") : nullptr;
    auto const* target = object ? object->if_contains("href") : nullptr;
    if (!rel || !rel->is_string() || !target || !target->is_string()) return false;
    if (rel->get_string() == "next") href = std::string(target->get_string());
  }
  return true;
}

// GET of a list of the block-storage service, page by page: the ids of its
// members that match. False when the list cannot be read whole.
bool list_matching(curlAPI& client, object_match const& m, std::vector<std::string>& ids) {
  std::string const collection = m.kind == "snapshot" ? "snapshots" : "volumes";
  std::string const list_url =
      client.storage_base(curl_api_ops::path_segment(m.project)) + "/" + collection + "/detail";
  std::string query;
  if (!m.name.empty()) query += "name=" + query_value(m.name);
  if (m.kind == "snapshot" && !m.volume_id.empty())
    query += (query.empty() ? "" : "&") + std::string("volume_id=") + query_value(m.volume_id);
  std::set<std::string> queries{query};  // of the pages asked for, to stop a loop
  std::vector<std::string> found;
  for (int page = 1;; ++page) {
    std::string const url = query.empty() ? list_url : list_url + "?" + query;
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
      if (!matches(m, item.get_object())) continue;
      // An id that is no plain token could not be named safely nor put in
      // a delete request: the list counts as unread, so nothing is taken.
      std::string const id = text_of(item.get_object(), "id");
      if (!curl_api_ops::is_plain_id(id)) {
        KsLogStream(KsLogLvl::Warning) << "The cloud's list of " << collection
                                       << " holds a match whose id is not a plain id: "
                                       << kestrova::as_one_line_quoted(id) << std::endl;
        return false;
      }
      found.push_back(id);
    }
    std::string href;
    auto const* links = value.get_object().if_contains(collection + "_links");
    if (links && !next_link(*links, href)) return false;
    if (href.empty()) break;
    std::string next;
    if (!next_page_query(href, list_url, next)) {
      KsLogStream(KsLogLvl::Warning) << "The cloud's list of " << collection << " links its next page at '"
                                     << kestrova::as_one_line(href) << "', which is not that list at "
                                     << kestrova::as_one_line(list_url) << ": it is not followed" << std::endl;
      return false;
    }
    if (page == kMaxListPages || !queries.insert(next).second) {
      KsLogStream(KsLogLvl::Warning) << "The cloud's list of " << collection
                                     << (page == kMaxListPages
                                             ? " goes on after " + std::to_string(kMaxListPages) + " pages"
                                             : " links a page it has given before: '" + kestrova::as_one_line(next) +
                                                   "'")
                                     << std::endl;
      return false;
    }
    query = next;
  }
  ids.insert(ids.end(), found.begin(), found.end());
  return true;
}

std::string joined(std::vector<std::string> const& ids) {
  std::string out;
  for (std::string const& id : ids) out += (out.empty() ? "'" : ", '") + kestrova::as_one_line(id) + "'";
  return out;
}

}  // namespace

std::string query_value(std::string const& text) { return curl_api_ops::percent_encoded(text); }

create_lock::create_lock(std::string path) : lock_("the create lock", std::move(path)) {}

std::string create_lock::default_path() { return "/opt/kestrova/var/rustack-create.lock"; }

bool create_lock::acquire(std::chrono::seconds bound, char const* signature, std::string const& what) {
  std::string why;
  if (lock_.acquire(
          bound,
          [] {
            KsLogStream(KsLogLvl::Info) << "Waiting while another module process creates an object in the cloud ..."
                                        << std::endl;
          },
          why))
    return true;
  KsLogStream(KsLogLvl::Error) << signature << ": unable to create " << what << ": " << why << std::endl;
  return false;
}

std::chrono::seconds create_lock_bound(std::uint32_t request_timeout) {
  std::uint64_t const request = rustack_lock::request_seconds(request_timeout);
  // The listing, the create request, three looks; two pauses of 2 seconds.
  std::uint64_t const one_hold = 5 * request + 4 + 10;
  return std::chrono::seconds(2 * one_hold);
}

made_object_search::made_object_search(curlAPI& client, create_lock const& lock, object_match match)
    : match_(std::move(match)), lock_(&lock), locked_at_listing_(lock.held()) {
  std::vector<std::string> ids;
  listed_ = matching(client, ids);
  existing_.insert(ids.begin(), ids.end());
}

made_object_search::made_object_search(create_lock const& lock, object_match match,
                                       std::vector<rustack_vm_info> const& servers)
    : match_(std::move(match)), listed_(true), lock_(&lock), locked_at_listing_(lock.held()) {
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
  if (!match_.snapshot_id.empty()) text += " from snapshot '" + kestrova::as_one_line(match_.snapshot_id) + "'";
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
  // Without the lock throughout, another module process may have made any
  // new match.
  bool const guarded = locked_at_listing_ && lock_ && lock_->held();
  std::vector<std::string> made;
  auto const look = [&] {
    std::vector<std::string> now;
    if (!matching(client, now)) return rustack_poll::answer::pending;
    for (std::string const& id : now)
      if (!id.empty() && existing_.count(id) == 0) made.push_back(id);
    if (!guarded && !made.empty()) {
      KsLogStream(KsLogLvl::Error) << signature << ": " << made.size() << " new object(s) match the " << what()
                                   << " of the failed request (" << joined(made)
                                   << "), but another module process may have made them, since the create lock "
                                      "was not held; each is left behind"
                                   << std::endl;
      return rustack_poll::answer::failed;
    }
    if (made.size() == 1) {
      KsLogStream(KsLogLvl::Info) << "Found the " << what() << " that the failed request made: '"
                                  << kestrova::as_one_line(made.front()) << "'" << std::endl;
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

made_object_search snapshot_search(curlAPI& client, create_lock const& lock, std::string const& project,
                                   volume const& source, std::string const& copy_name) {
  object_match m;
  m.kind = "snapshot";
  m.project = project;
  // The name and description create_snapshot gives.
  m.name = "snapshot-" + source.name;
  m.description = copy_name;
  m.volume_id = source.id;
  return made_object_search(client, lock, m);
}

made_object_search volume_search(curlAPI& client, create_lock const& lock, volume const& description,
                                 std::string const& snapshot_id) {
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
  return made_object_search(client, lock, m);
}

made_object_search server_search(create_lock const& lock, std::string const& name,
                                 std::vector<rustack_vm_info> const& before) {
  object_match m;
  m.kind = "server";
  m.name = name;
  m.match_description = false;
  return made_object_search(lock, m, before);
}

}  // namespace rustack_lookup

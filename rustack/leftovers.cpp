#include "rustack/leftovers.h"

#include <algorithm>

#include <boost/json/parse.hpp>

#include "rustack/curl_api.h"
#include "rustack/curl_api_ops.h"
#include "rustack/poll.h"
#include "support/log/ks_log.h"
#include "support/utils/quoting.h"

namespace rustack_cleanup {

namespace {

// The URL of one snapshot or volume; the ids as single path segments, as the
// operations of curlAPI send them.
std::string object_url(curlAPI const& client, std::string const& project, char const* collection,
                       std::string const& id) {
  return client.storage_base(curl_api_ops::path_segment(project)) + collection + curl_api_ops::path_segment(id);
}

}  // namespace

presence look_up(curlAPI& client, std::string const& url, char const* kind, std::string& status,
                 std::vector<std::string>* attached_to) {
  std::string reply;
  try {
    if (client.process_curl_api_request(url, curlAPI::GET, reply, "", false, true) != 0) return presence::unknown;
  } catch (std::exception const&) {
    return presence::unknown;
  }
  long const code = client.last_http_code();
  if (code == 404) return presence::gone;
  if (!curlAPI::is_success_code(code)) return presence::unknown;
  boost::system::error_code ec;
  boost::json::value const value = boost::json::parse(reply, ec);
  if (ec || !value.is_object()) return presence::unknown;
  auto const* object = value.get_object().if_contains(kind);
  if (!object || !object->is_object()) return presence::unknown;
  auto const* text = object->get_object().if_contains("status");
  if (!text || !text->is_string()) return presence::unknown;
  status = std::string(text->get_string());
  if (attached_to) {
    attached_to->clear();
    auto const* attachments = object->get_object().if_contains("attachments");
    if (attachments && attachments->is_array())
      for (auto const& a : attachments->get_array()) {
        auto const* server = a.is_object() ? a.get_object().if_contains("server_id") : nullptr;
        if (server && server->is_string()) attached_to->emplace_back(server->get_string());
      }
  }
  return status == "deleting" ? presence::gone : presence::present;
}

namespace {

bool in_transition(char const* kind, std::string const& status) {
  if (std::string(kind) == "snapshot") return status == "creating";
  return status == "creating" || status == "downloading" || status == "attaching" || status == "detaching" ||
         status == "reserved";
}

void log_one(char const* signature, char const* kind, std::string const& id, std::string const& project,
             std::string const& why) {
  KsLogStream(KsLogLvl::Error) << signature << ": " << kind << " '" << kestrova::as_one_line(id) << "' of project '"
                               << kestrova::as_one_line(project) << "' is left behind" << why << std::endl;
}

// Keeps in `ids` the objects still there, logging each (unless `signature`
// is null).
template <class Ids>
Ids still_there(curlAPI& client, std::string const& project, Ids const& ids, char const* path, char const* kind,
                char const* signature) {
  Ids left;
  for (std::string const& id : ids) {
    std::string status;
    std::vector<std::string> servers;  // a volume still attached to them
    presence const p = look_up(client, object_url(client, project, path, id), kind, status, &servers);
    if (p == presence::gone) continue;
    std::string attached;
    for (std::string const& server : servers)
      attached += (attached.empty() ? ", attached to server '" : "' and '") + kestrova::as_one_line(server);
    if (!attached.empty()) attached += "'";
    if (signature)
      log_one(signature, kind, id, project,
              p == presence::present ? " in the state " + kestrova::as_one_line(status) + attached
                                     : std::string(" (its state cannot be read)"));
    left.insert(left.end(), id);
  }
  return left;
}

}  // namespace

std::uint32_t settle_bound(conf const& settings) {
  return std::max({settings.snapshot_creation_timeout, settings.volume_creation_timeout,
                   settings.volume_attachment_timeout, std::uint32_t{1}});
}

void settle(curlAPI& client, std::string const& project, std::vector<std::string> const& snapshots,
            std::set<std::string> const& volumes, std::uint32_t bound) {
  rustack_poll::poll(bound, rustack_poll::order::ask_around_sleeps, [&] {
    bool busy = false;
    for (std::string const& id : snapshots) {
      std::string status;
      if (look_up(client, object_url(client, project, "/snapshots/", id), "snapshot", status) ==
              presence::present &&
          in_transition("snapshot", status))
        busy = true;
    }
    for (std::string const& id : volumes) {
      std::string status;
      if (look_up(client, object_url(client, project, "/volumes/", id), "volume", status) == presence::present &&
          in_transition("volume", status))
        busy = true;
    }
    return busy ? rustack_poll::answer::pending : rustack_poll::answer::awaited;
  });
}

bool drop_gone(curlAPI& client, std::string const& project, std::vector<std::string>& snapshots,
               std::set<std::string>& volumes) {
  snapshots = still_there(client, project, snapshots, "/snapshots/", "snapshot", nullptr);
  volumes = still_there(client, project, volumes, "/volumes/", "volume", nullptr);
  return snapshots.empty() && volumes.empty();
}

bool report_leftovers(curlAPI& client, std::string const& project, std::vector<std::string>& snapshots,
                      std::set<std::string>& volumes, char const* signature) {
  snapshots = still_there(client, project, snapshots, "/snapshots/", "snapshot", signature);
  volumes = still_there(client, project, volumes, "/volumes/", "volume", signature);
  return snapshots.empty() && volumes.empty();
}

void log_left_behind(std::string const& project, std::vector<std::string> const& snapshots,
                     std::set<std::string> const& volumes, char const* signature, std::string const& why) {
  for (std::string const& id : snapshots) log_one(signature, "snapshot", id, project, why);
  for (std::string const& id : volumes) log_one(signature, "volume", id, project, why);
}

}  // namespace rustack_cleanup

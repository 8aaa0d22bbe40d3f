// Finding what a create request made when its reply gave no id (it timed
// out, the connection broke, the reply had no id): the cloud may have made
// the snapshot, volume or server all the same, and nothing would remove it.
//
// Before the request, the objects that already match what it will send are
// listed; after a failed request, only a new one that matches is taken. So an
// object that existed before is never taken: the original volume that a
// restore copies has the name and the description of the copy, and other
// runs may make objects of the same names. Two new matches cannot be told
// apart: neither is taken, and both are named at Error.
//
//   rustack_lookup::made_object_search search = rustack_lookup::snapshot_search(client, project, ...);
//   rc = client.create_snapshot(...);
//   if (rc != 0) for (auto const& id : search.find_made(client, signature)) list.push_back(id);
#pragma once

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "rustack/records.h"

class curlAPI;

namespace rustack_lookup {

// What a matching object has: the values the create request sent. An empty
// text matches an empty text or null.
struct object_match {
  std::string kind;  // "snapshot", "volume" or "server"
  std::string project;
  std::string name;
  std::string description;
  std::string volume_id;    // snapshots: the volume taken
  std::string snapshot_id;  // volumes: the snapshot copied ("" for none)
  std::string size;         // volumes: "" for any
  bool match_description = true;
};

class made_object_search {
 public:
  made_object_search() = default;
  // Lists the objects that already match (no request for a server: the
  // caller gives the list its name was chosen from).
  made_object_search(curlAPI& client, object_match match);
  made_object_search(object_match match, std::vector<rustack_vm_info> const& servers);

  // After a failed create request: the id of the one new object that
  // matches, in a state that a create gives it. Nothing is looked for when
  // the cloud refused the request (HTTP 4xx: nothing was made). Looks again
  // a few times while there is none, since a request that timed out may
  // still be carried out. Logs at Info what it found; at Error when the
  // objects that existed before could not be listed, or two new ones match.
  std::vector<std::string> find_made(curlAPI& client, char const* signature,
                                     int looks = 3, std::chrono::milliseconds pause = std::chrono::seconds(2)) const;

  object_match const& match() const { return match_; }

 private:
  // The ids of the objects that match now; false when they cannot be listed.
  bool matching(curlAPI& client, std::vector<std::string>& ids) const;
  std::string what() const;

  object_match match_;
  std::set<std::string> existing_;
  bool listed_ = false;
};

// A snapshot as create_snapshot makes it of `source` for the copy `copy_name`.
made_object_search snapshot_search(curlAPI& client, std::string const& project, volume const& source,
                                   std::string const& copy_name);
// A volume as create_volume makes it of `description`, from `snapshot_id`
// (a copy for a backup) or empty (a restore).
made_object_search volume_search(curlAPI& client, volume const& description, std::string const& snapshot_id);
// A server named `name` that is not among `before` (the list the name was
// chosen from).
made_object_search server_search(std::string const& name, std::vector<rustack_vm_info> const& before);

// The query value of a list filter: every byte but the unreserved ones
// percent-encoded.
std::string query_value(std::string const& text);

}  // namespace rustack_lookup

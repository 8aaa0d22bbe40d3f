// Finding what a create request made when its reply gave no id (it timed
// out, the connection broke, the reply had no id): the cloud may have made
// the snapshot, volume or server all the same, and nothing would remove it.
//
// Before the request, the objects that already match what it will send are
// listed; after a failed request, only a new one that matches is taken. So an
// object that existed before is never taken: the original volume that a
// restore copies has the name and the description of the copy. Another
// module process on this Kestrova VM (a second restore of the same server)
// makes objects of the same name, description and size: the create lock
// keeps it from listing or making one from this process's listing to the
// end of its lookup, so a new match is this run's own. A match that cannot
// be proven this run's (two new matches, or the lock not held throughout)
// is never taken: each is named at Error and left, since it may be
// another's.
//
// The block-storage lists are read page by page (their "next" links), each
// link followed only when it names the same list at the cloud's own address.
//
//   rustack_lookup::create_lock lock;
//   if (!lock.acquire(rustack_lookup::create_lock_bound(settings.timeout), signature, "a snapshot ...")) fail;
//   rustack_lookup::made_object_search search = rustack_lookup::snapshot_search(client, lock, project, ...);
//   rc = client.create_snapshot(...);
//   if (rc != 0) for (auto const& id : search.find_made(client, signature)) list.push_back(id);
//   lock.release();
#pragma once

#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "rustack/host_lock.h"
#include "rustack/records.h"

class curlAPI;

namespace rustack_lookup {

// The host-wide lock of the steps from the listing before a create request
// to the end of the search for what it made: a host lock (host_lock.h) on
// /opt/kestrova/var/rustack-create.lock. Never held together with the
// attach lock (attach_lock.h). It is taken outside the scopes that hold the
// shutdown signals back, and the shutdown handler lets go of it first
// (host_lock::release_all_held).
class create_lock {
 public:
  explicit create_lock(std::string path = default_path());

  static std::string default_path();

  // Waits at most `bound` for the lock. False after logging at Error, after
  // `signature`, that `what` cannot be created, and why.
  bool acquire(std::chrono::seconds bound, char const* signature, std::string const& what);
  void release() noexcept { lock_.release(); }
  bool held() const { return lock_.held(); }

 private:
  rustack_lock::host_lock lock_;  // released by its destructor
};

// The longest wait for the create lock: twice what another process may hold
// it (its listing, its create request, three looks, each list counted as one
// request, and the pauses between the looks), so that one more waiter before
// this one still fits.
std::chrono::seconds create_lock_bound(std::uint32_t request_timeout);

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
  // caller gives the list its name was chosen from, under `lock`). `lock`
  // must outlive the search.
  made_object_search(curlAPI& client, create_lock const& lock, object_match match);
  made_object_search(create_lock const& lock, object_match match, std::vector<rustack_vm_info> const& servers);

  // After a failed create request: the id of the one new object that
  // matches, in a state that a create gives it, when the lock has been held
  // since the listing. Nothing is looked for when the cloud refused the
  // request (HTTP 4xx: nothing was made). Looks again a few times while
  // there is none, since a request that timed out may still be carried out.
  // Logs at Info what it found; at Error when the objects that existed
  // before could not be listed, and each new match that is not taken (two
  // new ones, or the lock not held both at the listing and now).
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
  create_lock const* lock_ = nullptr;
  bool locked_at_listing_ = false;
};

// A snapshot as create_snapshot makes it of `source` for the copy `copy_name`.
made_object_search snapshot_search(curlAPI& client, create_lock const& lock, std::string const& project,
                                   volume const& source, std::string const& copy_name);
// A volume as create_volume makes it of `description`, from `snapshot_id`
// (a copy for a backup) or empty (a restore).
made_object_search volume_search(curlAPI& client, create_lock const& lock, volume const& description,
                                 std::string const& snapshot_id);
// A server named `name` that is not among `before` (the list the name was
// chosen from).
made_object_search server_search(create_lock const& lock, std::string const& name,
                                 std::vector<rustack_vm_info> const& before);

// The pages of one block-storage list that are read at most.
constexpr int kMaxListPages = 100;

// The query value of a list filter: every byte but the unreserved ones
// percent-encoded.
std::string query_value(std::string const& text);

}  // namespace rustack_lookup

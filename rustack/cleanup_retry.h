// Clean-up requests that are tried again. One refused detach, delete or
// login must not leave a copy attached to the Kestrova VM or a snapshot in
// the cloud: each is tried a few times, a short pause apart, before what is
// still there is named at Error as left behind.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

class curlAPI;

namespace rustack_cleanup {

struct retry_policy {
  int tries = 3;
  std::chrono::milliseconds pause{std::chrono::seconds(5)};
};

// Calls `attempt` until it answers true, at most `policy.tries` times, with
// the pause between two calls. True when one call did.
bool with_retries(retry_policy const& policy, std::function<bool()> const& attempt);

// Detaches the volumes from `server` and deletes them, then deletes the
// snapshots, each round once none of them is still being made, attached or
// detached (at most `settle_bound` polls); what is still there after a
// round gets the next one. After the last round the lists keep only what is
// left, each named at Error after `signature`. True when nothing is left.
bool remove_objects(curlAPI& client, std::string const& project, std::vector<std::string>& snapshots,
                    std::set<std::string>& volumes, std::string const& server, std::uint32_t settle_bound,
                    char const* signature, retry_policy const& policy = retry_policy());

}  // namespace rustack_cleanup

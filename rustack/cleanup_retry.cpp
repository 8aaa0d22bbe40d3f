#include "rustack/cleanup_retry.h"

#include "rustack/curl_api.h"
#include "rustack/leftovers.h"
#include "rustack/poll.h"

namespace rustack_cleanup {

bool with_retries(retry_policy const& policy, std::function<bool()> const& attempt) {
  // One call at least; a pause between two.
  std::uint64_t const pauses = policy.tries > 1 ? static_cast<std::uint64_t>(policy.tries - 1) : 0;
  return rustack_poll::poll(
             pauses, rustack_poll::order::ask_around_sleeps,
             [&] { return attempt() ? rustack_poll::answer::awaited : rustack_poll::answer::pending; },
             policy.pause) == rustack_poll::ending::awaited;
}

bool remove_objects(curlAPI& client, std::string const& project, std::vector<std::string>& snapshots,
                    std::set<std::string>& volumes, std::string const& server, std::uint32_t settle_bound,
                    char const* signature, retry_policy const& policy) {
  if (snapshots.empty() && volumes.empty()) return true;
  with_retries(policy, [&] {
    settle(client, project, snapshots, volumes, settle_bound);
    client.clean_after_backup(project, snapshots, volumes, server);
    return drop_gone(client, project, snapshots, volumes);
  });
  return report_leftovers(client, project, snapshots, volumes, signature);
}

}  // namespace rustack_cleanup

#include "rustack/cleanup_retry.h"

#include <thread>

#include "rustack/curl_api.h"
#include "rustack/leftovers.h"

namespace rustack_cleanup {

bool with_retries(retry_policy const& policy, std::function<bool()> const& attempt) {
  for (int round = 1;; ++round) {
    if (attempt()) return true;
    if (round >= policy.tries) return false;
    std::this_thread::sleep_for(policy.pause);
  }
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

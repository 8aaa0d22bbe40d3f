#include "rustack/volume_wait.h"

#include <chrono>
#include <thread>

#include "rustack/curl_api.h"
#include "support/log/ks_log.h"
#include "support/utils/quoting.h"

namespace rustack_wait {

int wait_for_volume_status(curlAPI& client, std::string const& project, std::string const& volume_id,
                           std::string status, std::string const& awaited, bool availability, std::uint32_t bound,
                           char const* signature, std::string const& timeout_message) {
  for (std::uint32_t poll = 0; status != awaited;) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    ++poll;
    if (client.get_volume_status(project, volume_id, status) != 0) {
      KsLogStream(KsLogLvl::Error) << signature << ": unable to get status of volume: '" << volume_id << "'"
                                   << std::endl;
      return 1;
    }
    if (availability && status != "creating" && status != "available" && status != "downloading") {
      KsLogStream(KsLogLvl::Error) << signature << ": volume '" << volume_id
                                   << "' has unexpected status: " << kestrova::as_one_line(status) << std::endl;
      return 1;
    }
    if (status != awaited && poll >= bound) {
      KsLogStream(KsLogLvl::Error) << signature << timeout_message << std::endl;
      return 1;
    }
  }
  return 0;
}

}  // namespace rustack_wait

#include "rustack/volume_wait.h"

#include "rustack/curl_api.h"
#include "rustack/poll.h"
#include "support/log/ks_log.h"
#include "support/utils/quoting.h"

namespace rustack_wait {

int wait_for_volume_status(curlAPI& client, std::string const& project, std::string const& volume_id,
                           std::string status, std::string const& awaited, bool availability, std::uint32_t bound,
                           char const* signature, std::string const& timeout_message) {
  if (status == awaited) return 0;
  rustack_poll::ending const end = rustack_poll::poll(bound, rustack_poll::order::sleep_then_ask, [&] {
    if (client.get_volume_status(project, volume_id, status) != 0) {
      KsLogStream(KsLogLvl::Error) << signature << ": unable to get status of volume: '"
                                   << kestrova::as_one_line(volume_id) << "'" << std::endl;
      return rustack_poll::answer::failed;
    }
    if (availability && status != "creating" && status != "available" && status != "downloading") {
      KsLogStream(KsLogLvl::Error) << signature << ": volume '" << kestrova::as_one_line(volume_id)
                                   << "' has unexpected status: " << kestrova::as_one_line(status) << std::endl;
      return rustack_poll::answer::failed;
    }
    return status == awaited ? rustack_poll::answer::awaited : rustack_poll::answer::pending;
  });
  if (end == rustack_poll::ending::bound)
    KsLogStream(KsLogLvl::Error) << signature << timeout_message << std::endl;
  return end == rustack_poll::ending::awaited ? 0 : 1;
}

}  // namespace rustack_wait

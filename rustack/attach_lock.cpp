#include "rustack/attach_lock.h"

#include <cstdint>
#include <utility>

#include "support/log/ks_log.h"
#include "support/utils/quoting.h"

namespace rustack_device {

attach_lock::attach_lock(std::string path) : lock_("the attach lock", std::move(path)) {}

std::string attach_lock::default_path() { return "/opt/kestrova/var/rustack-attach.lock"; }

bool attach_lock::acquire(std::chrono::seconds bound, char const* signature, std::string const& volume_id) {
  std::string why;
  if (lock_.acquire(
          bound,
          [] {
            KsLogStream(KsLogLvl::Info) << "Waiting while another module process attaches a volume to this VM ..."
                                        << std::endl;
          },
          why))
    return true;
  KsLogStream(KsLogLvl::Error) << signature << ": unable to attach volume '" << kestrova::as_one_line(volume_id)
                               << "': " << why << std::endl;
  return false;
}

std::chrono::seconds attach_lock_bound(std::uint32_t request_timeout, std::uint32_t attachment_bound,
                                       std::uint32_t device_checks) {
  std::uint64_t const request = rustack_lock::request_seconds(request_timeout);
  std::uint64_t const one_hold = request + attachment_bound + device_checks + 10;
  return std::chrono::seconds(2 * one_hold);
}

}  // namespace rustack_device

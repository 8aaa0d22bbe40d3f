// The host-wide lock of the step from an attach request to the identified
// block device. Without a serial link, a just-attached volume is told only by
// being the one disk that appeared since its attach request; a second module
// process that attached a volume to this machine at the same time would make
// that guess wrong (and a crossed device hint would point at the other
// volume). Every module process on the Kestrova VM therefore takes this lock
// before it looks at the block devices it will compare with, and holds it
// until the device is identified.
//
// A host lock (host_lock.h) on /opt/kestrova/var/rustack-attach.lock. It is
// never held together with the create lock (create_lookup.h): an attachment
// makes no cloud object, and a create waits for no attachment, so two module
// processes never wait for each other in a circle.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "rustack/host_lock.h"

namespace rustack_device {

class attach_lock {
 public:
  explicit attach_lock(std::string path = default_path());

  static std::string default_path();

  // Waits at most `bound` for the lock (polling; another holder ends its
  // hold within its own bounded waits). False after logging at Error, after
  // `signature`, why the lock cannot be had; `volume_id` names the volume in
  // that line.
  bool acquire(std::chrono::seconds bound, char const* signature, std::string const& volume_id);
  void release() noexcept { lock_.release(); }
  bool held() const { return lock_.held(); }

 private:
  rustack_lock::host_lock lock_;  // released by its destructor
};

// The longest to wait for the lock: twice what another process may hold it
// (its attach request, its attachment wait and its device wait), so that one
// more waiter before this one still fits.
std::chrono::seconds attach_lock_bound(std::uint32_t request_timeout, std::uint32_t attachment_bound,
                                       std::uint32_t device_checks);

}  // namespace rustack_device

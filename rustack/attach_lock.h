// The host-wide lock of the step from an attach request to the identified
// block device. Without a serial link, a just-attached volume is told only by
// being the one disk that appeared since its attach request; a second module
// process that attached a volume to this machine at the same time would make
// that guess wrong (and a crossed device hint would point at the other
// volume). Every module process on the Kestrova VM therefore takes this lock
// before it looks at the block devices it will compare with, and holds it
// until the device is identified.
//
// An exclusive POSIX record lock on the whole file
// /opt/kestrova/var/rustack-attach.lock: the kernel drops it when the process
// ends, however it ends. The file is never removed (a removal would let two
// processes lock two different files of the same name).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace rustack_device {

class attach_lock {
 public:
  explicit attach_lock(std::string path = default_path());
  // Releases the lock when it is held.
  ~attach_lock();
  attach_lock(attach_lock const&) = delete;
  attach_lock& operator=(attach_lock const&) = delete;

  static std::string default_path();

  // Waits at most `bound` for the lock (polling; another holder ends its
  // hold within its own bounded waits). False after logging at Error, after
  // `signature`, why the lock cannot be had; `volume_id` names the volume in
  // that line.
  bool acquire(std::chrono::seconds bound, char const* signature, std::string const& volume_id);
  void release() noexcept;
  bool held() const { return fd_ >= 0; }

  // For the shutdown handler, before its clean-up: lets go of the lock this
  // process holds, if any, so other modules need not wait for the clean-up.
  // Async-signal-safe.
  static void release_held() noexcept;

 private:
  std::string path_;
  int fd_ = -1;
};

// The longest to wait for the lock: twice what another process may hold it
// (its attach request, its attachment wait and its device wait), so that one
// more waiter before this one still fits.
std::chrono::seconds attach_lock_bound(std::uint32_t request_timeout, std::uint32_t attachment_bound,
                                       std::uint32_t device_checks);

}  // namespace rustack_device

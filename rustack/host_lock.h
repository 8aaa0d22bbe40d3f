// A host-wide lock between the module processes of one Kestrova VM: an
// exclusive POSIX record lock on the whole of one file under
// /opt/kestrova/var, which the kernel drops when the process ends, however
// it ends. The file is never removed (a removal would let two processes lock
// two different files of the same name). The attach lock (attach_lock.h) and
// the create lock (create_lookup.h) are two of them.
//
// A record lock belongs to the process: two objects of one process on the
// same file do not exclude each other, and closing either lets go of both.
// Each lock of the module is therefore held by one object at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace rustack_lock {

class host_lock {
 public:
  // `name` names the lock in the failure texts ("the attach lock").
  host_lock(std::string name, std::string path);
  // Lets go of the lock when it is held.
  ~host_lock();
  host_lock(host_lock const&) = delete;
  host_lock& operator=(host_lock const&) = delete;

  // Waits at most `bound` for the lock, polling (another holder ends its
  // hold within its own bounded waits); `on_wait` runs once, when the lock
  // is first found held by another process. False with `why`, the reason
  // for an Error line, when it cannot be had. True at once when held.
  bool acquire(std::chrono::seconds bound, std::function<void()> const& on_wait, std::string& why);
  void release() noexcept;
  // False also after release_all_held.
  bool held() const;
  std::string const& path() const { return path_; }

  // For the shutdown handler, before its clean-up: lets go of every host
  // lock this process holds, so other modules need not wait for the
  // clean-up. Async-signal-safe.
  static void release_all_held() noexcept;

 private:
  std::string name_;
  std::string path_;
  int fd_ = -1;
  int slot_ = -1;  // where the shutdown handler finds the descriptor
};

// A request time-out setting in seconds; one below 1 stands for the
// default of 300.
std::uint32_t request_seconds(std::uint32_t request_timeout);

}  // namespace rustack_lock

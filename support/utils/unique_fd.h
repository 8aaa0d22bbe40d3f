// The sole owner of a file descriptor: closed exactly once, by the last
// owner, however the scope is left. Header-only, so that every library can
// use it (support/config too, which sits below ks_utils).
#pragma once

#include <unistd.h>

#include <utility>

namespace kestrova {

class unique_fd {
 public:
  unique_fd() noexcept = default;
  // Takes `fd` over; a negative value owns nothing.
  explicit unique_fd(int fd) noexcept : fd_(fd) {}
  ~unique_fd() { reset(); }

  unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
  unique_fd& operator=(unique_fd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  unique_fd(unique_fd const&) = delete;
  unique_fd& operator=(unique_fd const&) = delete;

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }

  // Hands the descriptor to the caller, who closes it; owns nothing then.
  int release() noexcept { return std::exchange(fd_, -1); }
  // Closes the descriptor owned (its error is not seen) and takes `fd`.
  void reset(int fd = -1) noexcept {
    int const old = std::exchange(fd_, fd);
    if (old >= 0) ::close(old);
  }
  // Closes now and tells whether close() succeeded, for a written file whose
  // last error shows only there. True when nothing was owned.
  bool close() noexcept {
    int const old = release();
    return old < 0 || ::close(old) == 0;
  }

 private:
  int fd_ = -1;
};

}  // namespace kestrova

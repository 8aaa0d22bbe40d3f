#include "rustack/attach_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <thread>
#include <utility>

#include <boost/filesystem.hpp>

#include "support/log/ks_log.h"
#include "support/utils/unique_fd.h"

namespace fs = boost::filesystem;

namespace rustack_device {

namespace {

// The descriptor that holds the lock now, or -1; read by the shutdown
// handler.
volatile std::sig_atomic_t held_fd = -1;

constexpr std::chrono::milliseconds kPollInterval{100};

bool lock_whole_file(int fd, int& error) {
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  whole.l_start = 0;
  whole.l_len = 0;
  if (::fcntl(fd, F_SETLK, &whole) == 0) return true;
  error = errno;
  return false;
}

}  // namespace

attach_lock::attach_lock(std::string path) : path_(std::move(path)) {}

attach_lock::~attach_lock() { release(); }

std::string attach_lock::default_path() { return "/opt/kestrova/var/rustack-attach.lock"; }

bool attach_lock::acquire(std::chrono::seconds bound, char const* signature, std::string const& volume_id) {
  if (held()) return true;
  auto const fail = [&](std::string const& why) {
    KsLogStream(KsLogLvl::Error) << signature << ": unable to attach volume '" << volume_id << "': " << why
                                 << std::endl;
    return false;
  };
  boost::system::error_code ec;
  fs::create_directories(fs::path(path_).parent_path(), ec);
  kestrova::unique_fd fd(::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!fd.valid()) return fail("the attach lock " + path_ + " cannot be opened (" + std::strerror(errno) + ")");
  auto const deadline = std::chrono::steady_clock::now() + bound;
  bool announced = false;
  for (;;) {
    int error = 0;
    if (lock_whole_file(fd.get(), error)) break;
    if (error != EAGAIN && error != EACCES && error != EINTR) {
      fd.reset();
      return fail("the attach lock " + path_ + " cannot be taken (" + std::strerror(error) + ")");
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      fd.reset();
      return fail("another module process has held the attach lock " + path_ + " for more than " +
                  std::to_string(bound.count()) + " seconds");
    }
    if (!announced) {
      KsLogStream(KsLogLvl::Info) << "Waiting while another module process attaches a volume to this VM ..."
                                  << std::endl;
      announced = true;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  // From here on the shutdown handler may close the descriptor (it cannot
  // reach an owner object), so it is held as a plain number.
  fd_ = fd.release();
  held_fd = fd_;
  return true;
}

void attach_lock::release() noexcept {
  if (fd_ < 0) return;
  // Closing the descriptor drops the record lock. The shutdown handler may
  // have closed it already.
  if (held_fd == fd_) {
    held_fd = -1;
    ::close(fd_);
  }
  fd_ = -1;
}

void attach_lock::release_held() noexcept {
  int const fd = held_fd;
  if (fd < 0) return;
  held_fd = -1;
  ::close(fd);
}

std::chrono::seconds attach_lock_bound(std::uint32_t request_timeout, std::uint32_t attachment_bound,
                                       std::uint32_t device_checks) {
  // A request time-out below 1 second stands for the default of 300.
  std::uint64_t const request = request_timeout < 1 ? 300 : request_timeout;
  std::uint64_t const one_hold = request + attachment_bound + device_checks + 10;
  return std::chrono::seconds(2 * one_hold);
}

}  // namespace rustack_device

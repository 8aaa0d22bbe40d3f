#include "rustack/host_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>
#include <utility>

#include <boost/filesystem.hpp>

#include "support/utils/unique_fd.h"

namespace fs = boost::filesystem;

namespace rustack_lock {

namespace {

// The descriptors that hold a lock now (-1: a free slot); read and cleared
// by the shutdown handler. One slot for each lock the module has, and two
// to spare.
constexpr int kSlots = 4;
volatile std::sig_atomic_t held_fds[kSlots] = {-1, -1, -1, -1};
// The object that took each slot last (the handler leaves it): a number the
// handler closed may come back as another lock's descriptor, which only its
// own object may close.
host_lock const* owners[kSlots] = {};

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

int free_slot() {
  for (int i = 0; i < kSlots; ++i)
    if (held_fds[i] < 0) return i;
  return -1;
}

}  // namespace

host_lock::host_lock(std::string name, std::string path) : name_(std::move(name)), path_(std::move(path)) {}

host_lock::~host_lock() { release(); }

bool host_lock::held() const { return fd_ >= 0 && owners[slot_] == this && held_fds[slot_] == fd_; }

bool host_lock::acquire(std::chrono::seconds bound, std::function<void()> const& on_wait, std::string& why) {
  if (held()) return true;
  release();
  int const slot = free_slot();
  if (slot < 0) {
    why = "this process holds too many host locks to take " + name_ + " " + path_;
    return false;
  }
  boost::system::error_code ec;
  fs::create_directories(fs::path(path_).parent_path(), ec);
  kestrova::unique_fd fd(::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!fd.valid()) {
    why = name_ + " " + path_ + " cannot be opened (" + std::strerror(errno) + ")";
    return false;
  }
  auto const deadline = std::chrono::steady_clock::now() + bound;
  bool announced = false;
  for (;;) {
    int error = 0;
    if (lock_whole_file(fd.get(), error)) break;
    if (error != EAGAIN && error != EACCES && error != EINTR) {
      why = name_ + " " + path_ + " cannot be taken (" + std::strerror(error) + ")";
      return false;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      why = "another module process has held " + name_ + " " + path_ + " for more than " +
            std::to_string(bound.count()) + " seconds";
      return false;
    }
    if (!announced) {
      if (on_wait) on_wait();
      announced = true;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  // From here on the shutdown handler may close the descriptor (it cannot
  // reach an owner object), so it is held as a plain number.
  fd_ = fd.release();
  slot_ = slot;
  owners[slot_] = this;
  held_fds[slot_] = fd_;
  return true;
}

void host_lock::release() noexcept {
  if (fd_ < 0) return;
  // Closing the descriptor drops the record lock. The shutdown handler may
  // have closed it already.
  if (held()) {
    held_fds[slot_] = -1;
    ::close(fd_);
  }
  if (owners[slot_] == this) owners[slot_] = nullptr;
  fd_ = -1;
  slot_ = -1;
}

void host_lock::release_all_held() noexcept {
  for (int i = 0; i < kSlots; ++i) {
    int const fd = held_fds[i];
    if (fd < 0) continue;
    held_fds[i] = -1;
    ::close(fd);
  }
}

std::uint32_t request_seconds(std::uint32_t request_timeout) { return request_timeout < 1 ? 300 : request_timeout; }

}  // namespace rustack_lock

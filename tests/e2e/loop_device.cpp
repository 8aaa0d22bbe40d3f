#include "e2e/loop_device.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

#include <boost/filesystem.hpp>

namespace kstest::e2e {

namespace fs = boost::filesystem;

namespace {

char const* const kMarker = "/dev/.ks-private-dev";

std::runtime_error failure(std::string const& what) {
  return std::runtime_error("loop device: " + what + ": " + std::strerror(errno));
}

// Closes a descriptor on every way out of a scope.
struct Fd {
  int fd;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(Fd const&) = delete;
  Fd& operator=(Fd const&) = delete;
};

dev_t loop_numbers(int n) {
  std::ifstream in("/sys/block/loop" + std::to_string(n) + "/dev");
  unsigned major = 0, minor = 0;
  char colon = 0;
  if (!(in >> major >> colon >> minor) || colon != ':')
    throw std::runtime_error("loop device: no numbers for loop" + std::to_string(n));
  return makedev(major, minor);
}

}  // namespace

bool private_dev() { return ::access(kMarker, F_OK) == 0; }

bool is_block_device(std::string const& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
}

std::uint64_t block_device_size(std::string const& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.fd < 0) throw failure("cannot open " + path);
  std::uint64_t size = 0;
  if (::ioctl(fd.fd, BLKGETSIZE64, &size) != 0) throw failure("no size of " + path);
  return size;
}

std::string device_numbers(std::string const& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return "";
  return std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
}

bool loop_bound_to(std::string const& backing_file) {
  boost::system::error_code ec;
  for (fs::directory_iterator it("/sys/block", ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().filename().string().rfind("loop", 0) != 0) continue;
    std::ifstream in((it->path() / "loop" / "backing_file").string());
    std::string name;
    if (std::getline(in, name) && (name == backing_file || name == backing_file + " (deleted)")) return true;
  }
  return false;
}

LoopDevice::LoopDevice(std::string node, std::string const& backing_file) : node_(std::move(node)) {
  if (!private_dev()) throw std::runtime_error("loop device: /dev is not the sandbox's private /dev");
  if (fs::path(node_).parent_path() != "/dev" || fs::path(node_).filename_is_dot() ||
      fs::path(node_).filename_is_dot_dot())
    throw std::runtime_error("loop device: refusing node " + node_);
  struct stat st {};
  if (::lstat(node_.c_str(), &st) == 0) throw std::runtime_error("loop device: " + node_ + " exists already");

  Fd backing(::open(backing_file.c_str(), O_RDWR | O_CLOEXEC));
  if (backing.fd < 0) throw failure("cannot open " + backing_file);
  Fd control(::open("/dev/loop-control", O_RDWR | O_CLOEXEC));
  if (control.fd < 0) throw failure("cannot open /dev/loop-control");

  // Other sandboxes take free devices too: try again when one is gone.
  for (int attempt = 0; attempt < 50; ++attempt) {
    int const n = ::ioctl(control.fd, LOOP_CTL_GET_FREE);
    if (n < 0) throw failure("no free loop device");
    dev_t const numbers = loop_numbers(n);
    if (::mknod(node_.c_str(), S_IFBLK | 0660, numbers) != 0) throw failure("cannot make " + node_);
    int const fd = ::open(node_.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
      int const e = errno;
      ::unlink(node_.c_str());
      errno = e;
      throw failure("cannot open " + node_);
    }
    loop_config config{};
    config.fd = static_cast<__u32>(backing.fd);
    config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
    std::strncpy(reinterpret_cast<char*>(config.info.lo_file_name), backing_file.c_str(), LO_NAME_SIZE - 1);
    if (::ioctl(fd, LOOP_CONFIGURE, &config) == 0) {
      fd_ = fd;
      loop_name_ = "loop" + std::to_string(n);
      return;
    }
    int const e = errno;
    ::close(fd);
    ::unlink(node_.c_str());
    errno = e;
    if (e != EBUSY) throw failure("cannot bind loop" + std::to_string(n) + " to " + backing_file);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  throw std::runtime_error("loop device: no free loop device for " + backing_file);
}

LoopDevice::~LoopDevice() {
  ::unlink(node_.c_str());
  ::ioctl(fd_, LOOP_CLR_FD);  // a device still open elsewhere goes when that closes
  ::close(fd_);
}

}  // namespace kstest::e2e

#include "support/config/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "support/utils/quoting.h"

namespace ks_config {
namespace detail {

namespace {

// Owns a file descriptor.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(Fd const&) = delete;
  Fd& operator=(Fd const&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now and reports whether the close succeeded.
  bool close() {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

bool write_all(int fd, char const* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::string parent_directory(std::string const& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The file a save replaces: the end of the chain of symbolic links that
// starts at path, whether that file exists or not (realpath would give up on
// a link to a file yet to be made, and the save would then replace the
// link). False for a chain too long or a loop.
bool resolve_target(std::string const& path, std::string& target) {
  std::string current = path;
  for (int hops = 0; hops <= 40; ++hops) {  // the kernel's own limit
    struct stat st;
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      target = current;
      return true;
    }
    std::string link(PATH_MAX, '\0');
    ssize_t const n = ::readlink(current.c_str(), &link[0], link.size());
    if (n < 0 || static_cast<size_t>(n) >= link.size()) return false;
    link.resize(static_cast<size_t>(n));
    // A relative link is relative to the directory that holds it.
    current = link[0] == '/' ? link : parent_directory(current) + "/" + link;
  }
  return false;
}

}  // namespace

ReadResult read_whole_file(std::string const& path, std::string& content, std::string& error) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    error = "Can't open file " + kestrova_common::single_quoted(path);
    return ReadResult::cannot_open;
  }
  std::string data;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = "Can't read file " + kestrova_common::single_quoted(path) + ": " + std::strerror(errno);
      return ReadResult::read_failed;
    }
    if (n == 0) break;
    data.append(buffer, static_cast<size_t>(n));
  }
  content.swap(data);
  return ReadResult::ok;
}

bool replace_file(std::string const& path, std::string const& content) {
  std::string target;
  if (!resolve_target(path, target)) return false;
  std::string const directory = parent_directory(target);

  struct stat old_st;
  bool const had_file = ::stat(target.c_str(), &old_st) == 0;
  // A rename would put a plain file in place of a device, pipe or socket
  // (a configuration linked to /dev/null, say): leave such a thing alone.
  if (had_file && !S_ISREG(old_st.st_mode)) return false;

  // A name of our own next to the target; O_EXCL never reuses a stranger's file.
  std::string temp;
  int raw = -1;
  for (unsigned attempt = 0; attempt < 100 && raw < 0; ++attempt) {
    temp = target + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(attempt);
    raw = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (raw < 0 && errno != EEXIST) return false;
  }
  if (raw < 0) return false;
  Fd fd(raw);

  bool ok = true;
  if (had_file) {
    // The new file takes the old one's owner (best effort) and permissions.
    int const owned = ::fchown(fd.get(), old_st.st_uid, old_st.st_gid);
    (void)owned;  // keeping the owner is not required to save
    ok = ::fchmod(fd.get(), old_st.st_mode & 07777) == 0;
  }
  ok = ok && write_all(fd.get(), content.data(), content.size());
  ok = ok && ::fsync(fd.get()) == 0;
  ok = fd.close() && ok;
  ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  // Make the rename itself durable; a failure here does not undo the save.
  Fd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) ::fsync(dir.get());
  return true;
}

}  // namespace detail
}  // namespace ks_config

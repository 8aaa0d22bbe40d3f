#include "support/utils/file_replacement.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>

namespace kestrova {

namespace {

std::string parent_directory(std::string const& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The file a replacement replaces: the end of the chain of symbolic links
// that starts at path, whether that file exists or not (realpath would give
// up on a link to a file yet to be made, and the rename would then replace
// the link). False for a chain too long or a loop.
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

file_replacement::file_replacement(std::string const& path) {
  if (!resolve_target(path, target_)) return;

  struct stat old_st;
  bool const had_file = ::stat(target_.c_str(), &old_st) == 0;
  // A rename would put a plain file in place of a device, pipe or socket
  // (a configuration linked to /dev/null, say): leave such a thing alone.
  if (had_file && !S_ISREG(old_st.st_mode)) return;

  // A name of our own next to the target; O_EXCL never reuses a stranger's
  // file. The mode 0666 less the umask is the one of a file made anew.
  unique_fd fd;
  std::string temporary;
  for (unsigned attempt = 0; attempt < 100 && !fd.valid(); ++attempt) {
    temporary = target_ + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(attempt);
    fd.reset(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!fd.valid() && errno != EEXIST) return;
  }
  if (!fd.valid()) return;

  if (had_file) {
    // Root hands the file back to its owner; anyone else keeps at least the
    // group when it is one of theirs. Neither is required to replace it.
    if (::fchown(fd.get(), old_st.st_uid, old_st.st_gid) != 0 &&
        ::fchown(fd.get(), static_cast<uid_t>(-1), old_st.st_gid) != 0) {
      // The file is saved under the caller's own group.
    }
    // After fchown, which clears the set-id bits.
    if (::fchmod(fd.get(), old_st.st_mode & 07777) != 0) {
      fd.reset();
      ::unlink(temporary.c_str());
      return;
    }
  }
  temporary_ = temporary;
  fd_ = std::move(fd);
}

file_replacement::~file_replacement() { discard(); }

bool file_replacement::write(char const* data, std::size_t size) {
  if (!ready()) return false;
  while (size > 0) {
    ssize_t n = ::write(fd_.get(), data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      discard();
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool file_replacement::commit() {
  if (!ready()) return false;
  bool ok = ::fsync(fd_.get()) == 0;
  ok = fd_.close() && ok;
  ok = ok && std::rename(temporary_.c_str(), target_.c_str()) == 0;
  if (!ok) {
    discard();
    return false;
  }
  temporary_.clear();
  // Make the rename itself durable; a failure here does not undo it.
  unique_fd dir(::open(parent_directory(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) ::fsync(dir.get());
  return true;
}

void file_replacement::discard() noexcept {
  fd_.reset();
  if (temporary_.empty()) return;
  ::unlink(temporary_.c_str());
  temporary_.clear();
}

bool replace_file(std::string const& path, std::string const& content) {
  file_replacement replacement(path);
  return replacement.write(content) && replacement.commit();
}

}  // namespace kestrova

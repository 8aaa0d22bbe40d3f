#include "support/utils/ks_utils_common.h"
#include "support/utils/quoting.h"
#include "support/utils/unique_fd.h"

#include <fcntl.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <iostream>

namespace ks_utils_common {

namespace {

bool available_bytes(std::string const& path, unsigned long long& available) {
  struct statfs fs;
  if (statfs(path.c_str(), &fs) != 0) {
    perror(("Can't call statfs for: " + path).c_str());
    return false;
  }
  available = static_cast<unsigned long long>(fs.f_bavail) * static_cast<unsigned long long>(fs.f_bsize);
  return true;
}

}  // namespace

bool check_free_space(std::string const& path, unsigned long long const& bytes) {
  try {
    unsigned long long available = 0;
    if (!available_bytes(path, available)) return false;
    return available >= bytes;
  } catch (std::exception const& e) {
    std::cerr << "ks_utils_common::check_free_space: " << kestrova::as_one_line(e.what()) << std::endl;
    return false;
  }
}

bool check_free_space(std::string const& path, std::string const& file) {
  try {
    unsigned long long available = 0;
    if (!available_bytes(path, available)) return false;
    kestrova::unique_fd fd(open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) {
      perror(("Can't open: " + file).c_str());
      return false;
    }
    off_t length = lseek(fd.get(), 0, SEEK_END);
    int lseek_errno = errno;
    fd.reset();
    if (length < 0) {
      errno = lseek_errno;
      perror(("Can't lseek: " + file).c_str());
      return false;
    }
    return available >= static_cast<unsigned long long>(length);
  } catch (std::exception const& e) {
    std::cerr << "ks_utils_common::check_free_space: " << kestrova::as_one_line(e.what()) << std::endl;
    return false;
  }
}

}  // namespace ks_utils_common

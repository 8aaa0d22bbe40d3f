#include "support/utils/ks_utils_common.h"
#include "support/utils/unique_fd.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace ks_utils_common {

bool is_sparse_file(std::string const& path, bool& sparse, std::string& error) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    error = strerror(errno);
    return false;
  }
  sparse = static_cast<long long>(st.st_blocks) * 512 < static_cast<long long>(st.st_size);
  return true;
}

std::int64_t get_file_size(std::string const& path) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer.
  kestrova::unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) {
    perror(("get_file_size: open input_file: " + path + ": ").c_str());
    return 0;
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0) {
    perror(("get_file_size: stat: " + path).c_str());
    return 0;
  }
  if (S_ISREG(st.st_mode)) return static_cast<std::int64_t>(st.st_size);
  if (S_ISBLK(st.st_mode)) {
    unsigned long sectors = 0;
    if (ioctl(fd.get(), BLKGETSIZE, &sectors) != 0) {
      perror(("get_file_size: ioctl BLKGETSIZE: " + path).c_str());
      return 0;
    }
    return static_cast<std::int64_t>(sectors) * 512;
  }
  std::cerr << "get_file_size: wrong input file type" << path << std::endl;
  return 0;
}

std::int64_t get_symlink_size(std::string const& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return static_cast<std::int64_t>(st.st_size);
  std::cerr << "get_symlink_size: wrong input file type" << path << " is not a link!" << std::endl;
  return 0;
}

}  // namespace ks_utils_common

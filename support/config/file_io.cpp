#include "support/config/file_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/utils/quoting.h"
#include "support/utils/unique_fd.h"

namespace ks_config {
namespace detail {

ReadResult read_whole_file(std::string const& path, std::string& content, std::string& error) {
  kestrova::unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
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

}  // namespace detail
}  // namespace ks_config

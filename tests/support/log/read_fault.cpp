// Preloaded into a process (LD_PRELOAD): the file named by
// $KS_READ_FAULT_PATH gives its first 8 bytes, then every further read of it
// fails with EIO, the way a bad sector fails in the middle of a file.
#include <dlfcn.h>
#include <errno.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" ssize_t read(int fd, void* buffer, size_t count) {
  using read_function = ssize_t (*)(int, void*, size_t);
  static read_function const real = reinterpret_cast<read_function>(::dlsym(RTLD_NEXT, "read"));
  static bool first = true;

  char const* faulty = std::getenv("KS_READ_FAULT_PATH");
  char link[64], name[4096];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t const n = faulty ? ::readlink(link, name, sizeof name - 1) : -1;
  if (n > 0 && static_cast<size_t>(n) == std::strlen(faulty) && std::memcmp(name, faulty, n) == 0) {
    if (first) {
      first = false;
      return real(fd, buffer, count < 8 ? count : 8);
    }
    errno = EIO;
    return -1;
  }
  return real(fd, buffer, count);
}

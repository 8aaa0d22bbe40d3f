#include "framework/allocation_guard.h"

#include <signal.h>

#include <cerrno>
#include <csignal>
#include <cstddef>

// glibc's own allocator under the names it exports for programs that wrap it.
extern "C" {
void* __libc_malloc(std::size_t size);
void __libc_free(void* pointer);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void* __libc_valloc(std::size_t size);
void* __libc_pvalloc(std::size_t size);
}

namespace {

// Per thread: a process-directed signal runs its handler on whichever thread
// takes it (a library's resolver thread, say).
thread_local volatile std::sig_atomic_t depth = 0;
// The termination signal owed, or 0.
thread_local volatile std::sig_atomic_t owed_termination = 0;
// SIGTSTP or SIGCONT owed, or 0. The pause and resume handlers block each
// other, so the read and write below are never interleaved by the other one.
thread_local volatile std::sig_atomic_t owed_pause_change = 0;

void deliver_owed() noexcept {
  int const saved_errno = errno;
  if (int const signal = owed_termination) {
    owed_termination = 0;
    raise(signal);
  }
  if (int const signal = owed_pause_change) {
    owed_pause_change = 0;
    raise(signal);
  }
  errno = saved_errno;
}

class Inside {
 public:
  Inside() noexcept { depth = depth + 1; }
  ~Inside() {
    depth = depth - 1;
    if (depth == 0 && (owed_termination || owed_pause_change)) deliver_owed();
  }
  Inside(Inside const&) = delete;
  Inside& operator=(Inside const&) = delete;
};

}  // namespace

namespace ks_allocation_guard {

bool inside_allocator() noexcept { return depth > 0; }

void deliver_on_leaving(int signal) noexcept {
  switch (signal) {
    case SIGINT:
    case SIGTERM:
    case SIGHUP:
    case SIGQUIT:
    case SIGSEGV:
      owed_termination = signal;
      break;
    case SIGTSTP:
      owed_pause_change = SIGTSTP;
      break;
    case SIGCONT:
      // A resume of a pause that never began leaves nothing to do.
      owed_pause_change = owed_pause_change == SIGTSTP ? 0 : SIGCONT;
      break;
    default:
      break;
  }
}

}  // namespace ks_allocation_guard

// The wrappers every allocation of the process goes through (the program
// defines them, so the shared libraries' calls reach them too).
extern "C" {

void* malloc(std::size_t size) {
  Inside inside;
  return __libc_malloc(size);
}

void free(void* pointer) {
  Inside inside;
  __libc_free(pointer);
}

void* calloc(std::size_t count, std::size_t size) {
  Inside inside;
  return __libc_calloc(count, size);
}

void* realloc(void* pointer, std::size_t size) {
  Inside inside;
  return __libc_realloc(pointer, size);
}

void* memalign(std::size_t alignment, std::size_t size) {
  Inside inside;
  return __libc_memalign(alignment, size);
}

void* aligned_alloc(std::size_t alignment, std::size_t size) {
  Inside inside;
  return __libc_memalign(alignment, size);
}

int posix_memalign(void** result, std::size_t alignment, std::size_t size) {
  // The checks glibc makes: a power of two, a multiple of the pointer size.
  if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0 || alignment == 0) return EINVAL;
  int const saved_errno = errno;  // reported by the result, errno stays
  Inside inside;
  void* pointer = __libc_memalign(alignment, size);
  errno = saved_errno;
  if (pointer == nullptr) return ENOMEM;
  *result = pointer;
  return 0;
}

void* valloc(std::size_t size) {
  Inside inside;
  return __libc_valloc(size);
}

void* pvalloc(std::size_t size) {
  Inside inside;
  return __libc_pvalloc(size);
}

}  // extern "C"

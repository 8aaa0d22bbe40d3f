#include "framework/allocation_guard.h"

#include <signal.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <new>

#include "support/utils/signals_held.h"

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer's allocator, which the program's own definitions below
// would otherwise hide: its checks stay in force, behind the same guard.
#define KS_ALLOCATOR(name) __interceptor_##name
#else
// glibc's own allocator under the names it exports for programs that wrap it.
#define KS_ALLOCATOR(name) __libc_##name
#endif

extern "C" {
void* KS_ALLOCATOR(malloc)(std::size_t size);
void KS_ALLOCATOR(free)(void* pointer);
void* KS_ALLOCATOR(calloc)(std::size_t count, std::size_t size);
void* KS_ALLOCATOR(realloc)(void* pointer, std::size_t size);
void* KS_ALLOCATOR(memalign)(std::size_t alignment, std::size_t size);
void* KS_ALLOCATOR(valloc)(std::size_t size);
void* KS_ALLOCATOR(pvalloc)(std::size_t size);
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
  if (signal == SIGSEGV || kestrova::is_shutdown_signal(signal)) {
    owed_termination = signal;
    return;
  }
  switch (signal) {
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
  return KS_ALLOCATOR(malloc)(size);
}

void free(void* pointer) {
  Inside inside;
  KS_ALLOCATOR(free)(pointer);
}

void* calloc(std::size_t count, std::size_t size) {
  Inside inside;
  return KS_ALLOCATOR(calloc)(count, size);
}

void* realloc(void* pointer, std::size_t size) {
  Inside inside;
  return KS_ALLOCATOR(realloc)(pointer, size);
}

void* memalign(std::size_t alignment, std::size_t size) {
  Inside inside;
  return KS_ALLOCATOR(memalign)(alignment, size);
}

void* aligned_alloc(std::size_t alignment, std::size_t size) {
  Inside inside;
  return KS_ALLOCATOR(memalign)(alignment, size);
}

int posix_memalign(void** result, std::size_t alignment, std::size_t size) {
  // The checks glibc makes: a power of two, a multiple of the pointer size.
  if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0 || alignment == 0) return EINVAL;
  int const saved_errno = errno;  // reported by the result, errno stays
  Inside inside;
  void* pointer = KS_ALLOCATOR(memalign)(alignment, size);
  errno = saved_errno;
  if (pointer == nullptr) return ENOMEM;
  *result = pointer;
  return 0;
}

void* valloc(std::size_t size) {
  Inside inside;
  return KS_ALLOCATOR(valloc)(size);
}

void* pvalloc(std::size_t size) {
  Inside inside;
  return KS_ALLOCATOR(pvalloc)(size);
}

}  // extern "C"

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer serves new and delete itself, past malloc() and free():
// here they go through the guarded wrappers above instead, so the guard
// holds for every allocation as in the ordinary build. (The sanitizer then
// sees malloc and free only and does not tell a delete from a free.)
namespace {

void* guarded_new(std::size_t size, std::size_t alignment) {
  if (size == 0) size = 1;
  for (;;) {
    void* pointer = alignment <= alignof(std::max_align_t) ? malloc(size) : memalign(alignment, size);
    if (pointer != nullptr) return pointer;
    std::new_handler const handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }
}

void* guarded_new_nothrow(std::size_t size, std::size_t alignment) noexcept {
  try {
    return guarded_new(size, alignment);
  } catch (...) {
    return nullptr;
  }
}

constexpr std::size_t kPlain = alignof(std::max_align_t);

}  // namespace

void* operator new(std::size_t size) { return guarded_new(size, kPlain); }
void* operator new[](std::size_t size) { return guarded_new(size, kPlain); }
void* operator new(std::size_t size, std::nothrow_t const&) noexcept { return guarded_new_nothrow(size, kPlain); }
void* operator new[](std::size_t size, std::nothrow_t const&) noexcept { return guarded_new_nothrow(size, kPlain); }
void* operator new(std::size_t size, std::align_val_t a) { return guarded_new(size, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t size, std::align_val_t a) { return guarded_new(size, static_cast<std::size_t>(a)); }
void* operator new(std::size_t size, std::align_val_t a, std::nothrow_t const&) noexcept {
  return guarded_new_nothrow(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a, std::nothrow_t const&) noexcept {
  return guarded_new_nothrow(size, static_cast<std::size_t>(a));
}

void operator delete(void* pointer) noexcept { free(pointer); }
void operator delete[](void* pointer) noexcept { free(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { free(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { free(pointer); }
void operator delete(void* pointer, std::align_val_t) noexcept { free(pointer); }
void operator delete[](void* pointer, std::align_val_t) noexcept { free(pointer); }
void operator delete(void* pointer, std::size_t, std::align_val_t) noexcept { free(pointer); }
void operator delete[](void* pointer, std::size_t, std::align_val_t) noexcept { free(pointer); }
void operator delete(void* pointer, std::nothrow_t const&) noexcept { free(pointer); }
void operator delete[](void* pointer, std::nothrow_t const&) noexcept { free(pointer); }
void operator delete(void* pointer, std::align_val_t, std::nothrow_t const&) noexcept { free(pointer); }
void operator delete[](void* pointer, std::align_val_t, std::nothrow_t const&) noexcept { free(pointer); }
#endif

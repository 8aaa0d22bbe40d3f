// Owned, over-aligned storage for the state words of the hash functions, and
// a wipe that the optimiser cannot drop.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <string.h>

namespace cppcrypto {

// Zeroes secret material; a plain memset before free() may be elided.
inline void zeroize(void* p, size_t n) {
  if (n != 0) explicit_bzero(p, n);
}

// N objects of the trivial type T in storage aligned to A bytes, from
// aligned_alloc and released with free. Not copyable: the hash objects bind
// their block functions to this address.
template <typename T, size_t N, size_t A>
class aligned_pod_array {
 public:
  aligned_pod_array() : t_(static_cast<T*>(std::aligned_alloc(A, alloc_size()))) {
    if (t_ == nullptr) throw std::bad_alloc();
  }
  ~aligned_pod_array() { std::free(t_); }
  aligned_pod_array(const aligned_pod_array&) = delete;
  aligned_pod_array& operator=(const aligned_pod_array&) = delete;

  T* get() { return t_; }
  const T* get() const { return t_; }
  operator T*() { return t_; }
  operator const T*() const { return t_; }
  static constexpr size_t size() { return N; }
  static constexpr size_t bytes() { return sizeof(T) * N; }

 private:
  // aligned_alloc wants a size that is a multiple of the alignment.
  static constexpr size_t alloc_size() { return (sizeof(T) * N + A - 1) / A * A; }

  T* t_;
};

}  // namespace cppcrypto

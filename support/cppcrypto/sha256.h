// SHA-256 and SHA-224 (FIPS 180-4) with a block function chosen from the
// processor's features.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "support/cppcrypto/alignedarray.h"
#include "support/cppcrypto/crypto_hash.h"

namespace cppcrypto {

extern const uint32_t SHA256_K[64];

// The block function of a sha256 object. `automatic` picks the best one the
// processor has: avx2 (AVX2 with BMI2; single blocks go to the SSE4.1 code),
// then sse41, then sse2, then portable.
enum class sha256_impl { automatic, portable, sse2, sse41, avx2 };

class sha256 : public crypto_hash {
 public:
  sha256();
  // A specific block function, for benchmarks and cross-checks; throws
  // std::invalid_argument when this processor lacks it.
  explicit sha256(sha256_impl impl);
  ~sha256() override;

  void init() override;
  void update(const unsigned char* data, size_t len) override;
  void final(unsigned char* hash) override;
  size_t hashsize() const override { return 256; }
  size_t blocksize() const override { return 512; }
  crypto_hash* clone() const override;
  void clear() override;

  // The portable compression of whole 64-byte blocks into the state.
  void transform(const void* data, size_t blocks);

  // The block function in use (never `automatic`).
  sha256_impl impl() const { return impl_; }
  static bool supported(sha256_impl impl);
  static sha256_impl best_impl();

 protected:
  std::function<void(const void*, uint64_t)> transfunc;
  aligned_pod_array<uint32_t, 8, 32> H;
  unsigned char m[64];
  size_t pos;
  uint64_t total;  // bits
  sha256_impl impl_;
};

class sha224 : public sha256 {
 public:
  sha224() = default;
  explicit sha224(sha256_impl impl) : sha256(impl) {}

  void init() override;
  size_t hashsize() const override { return 224; }
  crypto_hash* clone() const override;
};

}  // namespace cppcrypto

// MD5 (RFC 1321).
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/cppcrypto/alignedarray.h"
#include "support/cppcrypto/crypto_hash.h"

namespace cppcrypto {

class md5 : public crypto_hash {
 public:
  md5();
  ~md5() override;

  void init() override;
  void update(const unsigned char* data, size_t len) override;
  void final(unsigned char* hash) override;
  size_t hashsize() const override { return 128; }
  size_t blocksize() const override { return 512; }
  crypto_hash* clone() const override;
  void clear() override;

  // Compresses whole 64-byte blocks into the state.
  void transform(const unsigned char* data, size_t blocks);

 private:
  aligned_pod_array<uint32_t, 4, 32> H;
  unsigned char m[64];
  size_t pos;
  uint64_t total;  // bits
};

}  // namespace cppcrypto

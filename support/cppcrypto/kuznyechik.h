// Kuznyechik, the 128-bit block cipher of GOST R 34.12-2015 (RFC 7801).
// Keys and blocks are byte strings in the order the standard writes its
// values: the first byte is the most significant one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/cppcrypto/block_cipher.h"

namespace cppcrypto {

class kuznyechik : public block_cipher {
 public:
  kuznyechik();  // unkeyed
  ~kuznyechik() override;

  size_t blocksize() const override { return 128; }
  size_t keysize() const override { return 256; }
  block_cipher* clone() const override;
  void clear() override;
  // `key` holds 32 bytes. Keyed for decryption, the object keeps round keys
  // 2..10 through the inverse linear map, so encrypt_block is then wrong.
  void init(const unsigned char* key, direction dir) override;
  void encrypt_block(const unsigned char* in, unsigned char* out) override;
  void decrypt_block(const unsigned char* in, unsigned char* out) override;

 private:
  uint64_t rk[20];
};

// The ten round keys K1..K10 of a 32-byte key, 16 bytes each, in the
// standard's byte order.
void kuznyechik_key_schedule(const unsigned char* key, unsigned char round_keys[10][16]);

}  // namespace cppcrypto

// Abstract block cipher of the cppcrypto library.
#pragma once

#include <cstddef>

namespace cppcrypto {

// Sizes are in bits. An object is keyed by init() for one direction and then
// serves only the block operation of that direction. Not copyable: clone()
// gives a new, unkeyed object of the same cipher, owned by the caller.
class block_cipher {
 public:
  enum direction { encryption = 0, decryption = 1 };

  block_cipher() = default;
  virtual ~block_cipher();
  block_cipher(const block_cipher&) = delete;
  block_cipher& operator=(const block_cipher&) = delete;

  virtual size_t blocksize() const = 0;
  virtual size_t keysize() const = 0;
  virtual block_cipher* clone() const = 0;
  virtual void clear() = 0;
  // `key` holds keysize()/8 bytes.
  virtual void init(const unsigned char* key, direction dir) = 0;
  // One block; `in` and `out` may be the same buffer.
  virtual void encrypt_block(const unsigned char* in, unsigned char* out) = 0;
  virtual void decrypt_block(const unsigned char* in, unsigned char* out) = 0;
  // ECB over n consecutive blocks.
  virtual void encrypt_blocks(const unsigned char* in, unsigned char* out, size_t n);
  virtual void decrypt_blocks(const unsigned char* in, unsigned char* out, size_t n);
};

}  // namespace cppcrypto

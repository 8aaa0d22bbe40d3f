// Abstract stream cipher of the cppcrypto library.
#pragma once

#include <cstddef>

namespace cppcrypto {

// Sizes are in bits. Not copyable: clone() gives a new, unkeyed object owned
// by the caller.
class stream_cipher {
 public:
  stream_cipher() = default;
  virtual ~stream_cipher();
  stream_cipher(const stream_cipher&) = delete;
  stream_cipher& operator=(const stream_cipher&) = delete;

  virtual size_t keysize() const = 0;
  virtual size_t ivsize() const = 0;
  virtual stream_cipher* clone() const = 0;
  virtual void clear() = 0;
  virtual void init(const unsigned char* key, size_t keylen, const unsigned char* iv, size_t ivlen) = 0;
  // `in` and `out` may be the same buffer; any length, 0 included.
  virtual void encrypt(const unsigned char* in, size_t len, unsigned char* out) = 0;
  virtual void decrypt(const unsigned char* in, size_t len, unsigned char* out) = 0;
};

}  // namespace cppcrypto

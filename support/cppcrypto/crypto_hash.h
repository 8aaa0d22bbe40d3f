// Abstract message digest of the cppcrypto library.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>

namespace cppcrypto {

// A hash function. Every size is in bits. A freshly constructed object needs
// init() before update(); final() finishes it and a further message needs
// init() again. An object is used by one thread at a time and is not
// copyable: clone() gives a new one of the same algorithm.
class crypto_hash {
 public:
  crypto_hash() = default;
  virtual ~crypto_hash();
  crypto_hash(const crypto_hash&) = delete;
  crypto_hash& operator=(const crypto_hash&) = delete;

  virtual void init() = 0;
  virtual void update(const unsigned char* data, size_t len) = 0;
  // Writes hashsize()/8 bytes.
  virtual void final(unsigned char* hash) = 0;
  virtual size_t hashsize() const = 0;
  virtual size_t blocksize() const = 0;
  // A new object in its constructed state, owned by the caller.
  virtual crypto_hash* clone() const = 0;
  // Wipes the secret state.
  virtual void clear() = 0;

  // init(), update(data, len), final(hash).
  void hash_string(const unsigned char* data, size_t len, unsigned char* hash);
  void hash_string(const char* data, size_t len, unsigned char* hash);
  void hash_string(const std::string& data, unsigned char* hash);

  // Checks of a requested digest size (bits) for hashes of variable size;
  // throw std::runtime_error when it is not acceptable.
  void validate_hash_size(size_t hs, std::initializer_list<size_t> supported) const;
  void validate_hash_size(size_t hs, size_t max) const;
};

}  // namespace cppcrypto

#include "support/cppcrypto/crypto_hash.h"

#include <algorithm>
#include <stdexcept>

namespace cppcrypto {

crypto_hash::~crypto_hash() = default;

void crypto_hash::hash_string(const unsigned char* data, size_t len, unsigned char* hash) {
  init();
  update(data, len);
  final(hash);
}

void crypto_hash::hash_string(const char* data, size_t len, unsigned char* hash) {
  hash_string(reinterpret_cast<const unsigned char*>(data), len, hash);
}

void crypto_hash::hash_string(const std::string& data, unsigned char* hash) {
  hash_string(reinterpret_cast<const unsigned char*>(data.data()), data.size(), hash);
}

void crypto_hash::validate_hash_size(size_t hs, std::initializer_list<size_t> supported) const {
  if (hs == 0) throw std::runtime_error("hash size can't be zero");
  if (std::find(supported.begin(), supported.end(), hs) == supported.end())
    throw std::runtime_error("invalid hash size");
}

void crypto_hash::validate_hash_size(size_t hs, size_t max) const {
  if (hs == 0) throw std::runtime_error("hash size can't be zero");
  if (hs % 8 != 0) throw std::runtime_error("cppcrypto does not support non-byte hash sizes");
  if (hs > max) throw std::runtime_error("invalid hash size");
}

}  // namespace cppcrypto

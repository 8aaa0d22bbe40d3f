// HMAC (RFC 2104) over any crypto_hash.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "support/cppcrypto/crypto_hash.h"

namespace cppcrypto {

// Keyed with the constructor's key; init() before update() (hash_string does
// it). The given hash is cloned, the caller keeps its own object.
class hmac : public crypto_hash {
 public:
  hmac(const crypto_hash& hash, const std::string& key);
  hmac(const crypto_hash& hash, const unsigned char* key, size_t keylen);
  ~hmac() override;

  void init() override;
  void update(const unsigned char* data, size_t len) override;
  void final(unsigned char* hash) override;
  size_t hashsize() const override { return hash_->hashsize(); }
  size_t blocksize() const override { return hash_->blocksize(); }
  // Same inner hash and key, in its initial state.
  crypto_hash* clone() const override;
  void clear() override;

 private:
  void set_key(const unsigned char* key, size_t keylen);

  std::unique_ptr<unsigned char[]> ipad_;
  std::unique_ptr<unsigned char[]> opad_;
  std::unique_ptr<crypto_hash> hash_;
};

}  // namespace cppcrypto

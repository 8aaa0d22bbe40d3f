#include "support/cppcrypto/hmac.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "support/cppcrypto/alignedarray.h"

namespace cppcrypto {

hmac::hmac(const crypto_hash& hash, const std::string& key) : hash_(hash.clone()) {
  set_key(reinterpret_cast<const unsigned char*>(key.data()), key.size());
}

hmac::hmac(const crypto_hash& hash, const unsigned char* key, size_t keylen) : hash_(hash.clone()) {
  set_key(key, keylen);
}

hmac::~hmac() {
  clear();
  size_t const nb = blocksize() / 8;
  zeroize(ipad_.get(), nb);
  zeroize(opad_.get(), nb);
}

void hmac::set_key(const unsigned char* key, size_t keylen) {
  size_t const nb = blocksize() / 8;
  ipad_.reset(new unsigned char[nb]());
  opad_.reset(new unsigned char[nb]());
  if (keylen > nb) {
    // A long key is replaced by its digest.
    std::vector<unsigned char> digest(hashsize() / 8);
    hash_->hash_string(key, keylen, digest.data());
    size_t const n = std::min(digest.size(), nb);
    std::memcpy(ipad_.get(), digest.data(), n);
    std::memcpy(opad_.get(), digest.data(), n);
    zeroize(digest.data(), digest.size());
  } else if (keylen > 0) {
    std::memcpy(ipad_.get(), key, keylen);
    std::memcpy(opad_.get(), key, keylen);
  }
  for (size_t i = 0; i < nb; ++i) {
    ipad_[i] ^= 0x36;
    opad_[i] ^= 0x5c;
  }
}

void hmac::init() {
  hash_->init();
  hash_->update(ipad_.get(), blocksize() / 8);
}

void hmac::update(const unsigned char* data, size_t len) { hash_->update(data, len); }

void hmac::final(unsigned char* hash) {
  std::vector<unsigned char> inner(hashsize() / 8);
  hash_->final(inner.data());
  hash_->init();
  hash_->update(opad_.get(), blocksize() / 8);
  hash_->update(inner.data(), inner.size());
  hash_->final(hash);
  zeroize(inner.data(), inner.size());
}

crypto_hash* hmac::clone() const {
  hmac* copy = new hmac(*hash_, nullptr, 0);
  size_t const nb = blocksize() / 8;
  std::memcpy(copy->ipad_.get(), ipad_.get(), nb);
  std::memcpy(copy->opad_.get(), opad_.get(), nb);
  return copy;
}

void hmac::clear() { hash_->clear(); }

}  // namespace cppcrypto

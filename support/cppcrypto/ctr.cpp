#include "support/cppcrypto/ctr.h"

#include <emmintrin.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "support/cppcrypto/alignedarray.h"
#include "support/cppcrypto/cpuinfo.h"

namespace cppcrypto {

ctr::ctr(const block_cipher& cipher)
    : block_(new unsigned char[cipher.blocksize() / 8]()),
      iv_(new unsigned char[cipher.blocksize() / 8]()),
      pos(0),
      nb_(cipher.blocksize() / 8),
      cipher_(cipher.clone()) {}

ctr::~ctr() { clear(); }

stream_cipher* ctr::clone() const { return new ctr(*cipher_); }

void ctr::clear() {
  if (nb_ != 0) {
    zeroize(block_.get(), nb_);
    zeroize(iv_.get(), nb_);
  }
  cipher_->clear();
}

void ctr::init(const unsigned char* key, size_t keylen, const unsigned char* iv, size_t ivlen) {
  // The cipher reads exactly keysize()/8 bytes: give it a buffer of that
  // size so a short key is not read past its end.
  std::vector<unsigned char> k(cipher_->keysize() / 8, 0);
  if (keylen > 0) std::memcpy(k.data(), key, std::min(keylen, k.size()));
  cipher_->init(k.data(), block_cipher::encryption);
  zeroize(k.data(), k.size());

  size_t const n = std::min(ivlen, nb_);
  std::memset(iv_.get(), 0, nb_);
  if (n > 0) std::memcpy(iv_.get(), iv, n);
  pos = 0;
}

// Enciphers the counter into block_ and adds one to it (big-endian, modulo
// 2^(8*nb)).
void ctr::next_block() {
  cipher_->encrypt_block(iv_.get(), block_.get());
  for (size_t i = nb_; i > 0; --i)
    if (++iv_[i - 1] != 0) break;
}

void ctr::encrypt(const unsigned char* in, size_t len, unsigned char* out) {
  size_t i = 0;
  if (pos > 0) {
    for (; pos < nb_ && i < len; ++pos, ++i) out[i] = in[i] ^ block_[pos];
  }
  if (i == len) return;
  pos = 0;
  bool const wide = cpu_info::sse2() && (nb_ == 16 || nb_ == 32 || nb_ == 64);
  while (i < len) {
    next_block();
    size_t const r = len - i;
    if (r >= nb_) {
      if (wide) {
        for (size_t j = 0; j < nb_; j += 16) {
          __m128i const x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + j));
          __m128i const k = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block_.get() + j));
          _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + j), _mm_xor_si128(x, k));
        }
      } else {
        for (size_t j = 0; j < nb_; ++j) out[i + j] = in[i + j] ^ block_[j];
      }
      i += nb_;
    } else {
      for (size_t j = 0; j < r; ++j) out[i + j] = in[i + j] ^ block_[j];
      pos = r;
      i = len;
    }
  }
}

void ctr::decrypt(const unsigned char* in, size_t len, unsigned char* out) { encrypt(in, len, out); }

}  // namespace cppcrypto

// Counter mode over any block cipher.
#pragma once

#include <cstddef>
#include <memory>

#include "support/cppcrypto/block_cipher.h"
#include "support/cppcrypto/stream_cipher.h"

namespace cppcrypto {

// The keystream is E(c), E(c+1), ... with the counter block c taken as one
// big-endian number of the cipher's block size. Consecutive encrypt/decrypt
// calls continue one keystream. The given cipher is cloned once here; the
// caller keeps its own object.
class ctr : public stream_cipher {
 public:
  explicit ctr(const block_cipher& cipher);
  ~ctr() override;

  size_t keysize() const override { return cipher_->keysize(); }
  size_t ivsize() const override { return cipher_->blocksize(); }
  stream_cipher* clone() const override;
  void clear() override;
  // The counter block is the ivlen bytes of iv followed by zero bytes. An IV
  // longer than a block is cut to the block size, and a key shorter or
  // longer than keysize()/8 bytes is padded with zero bytes or cut, so
  // neither is read past its given length.
  void init(const unsigned char* key, size_t keylen, const unsigned char* iv, size_t ivlen) override;
  void encrypt(const unsigned char* in, size_t len, unsigned char* out) override;
  void decrypt(const unsigned char* in, size_t len, unsigned char* out) override;

 private:
  void next_block();

  std::unique_ptr<unsigned char[]> block_;  // current keystream block
  std::unique_ptr<unsigned char[]> iv_;     // counter block
  size_t pos;                               // bytes of block_ already used
  size_t nb_;                               // block size in bytes
  std::unique_ptr<block_cipher> cipher_;
};

}  // namespace cppcrypto

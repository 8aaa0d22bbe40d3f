#include "support/cppcrypto/block_cipher.h"

namespace cppcrypto {

block_cipher::~block_cipher() = default;

void block_cipher::encrypt_blocks(const unsigned char* in, unsigned char* out, size_t n) {
  size_t const nb = blocksize() / 8;
  for (size_t i = 0; i < n; ++i, in += nb, out += nb) encrypt_block(in, out);
}

void block_cipher::decrypt_blocks(const unsigned char* in, unsigned char* out, size_t n) {
  size_t const nb = blocksize() / 8;
  for (size_t i = 0; i < n; ++i, in += nb, out += nb) decrypt_block(in, out);
}

}  // namespace cppcrypto

// The message buffering of the hashes over 64-byte blocks (SHA-256, MD5):
// whole blocks go straight from the caller's data to the block function in
// one call, only a partial block is kept; the end appends 0x80, zeros and
// the message length in bits. `compress(data, blocks)` compresses whole
// blocks into the hash's state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace cppcrypto {
namespace detail {

template <typename Compress>
void buffered_update(unsigned char (&m)[64], size_t& pos, uint64_t& total, const unsigned char* data, size_t len,
                     Compress&& compress) {
  if (pos > 0 && pos + len >= 64) {
    std::memcpy(m + pos, data, 64 - pos);
    compress(m, size_t(1));
    data += 64 - pos;
    len -= 64 - pos;
    total += (64 - pos) * 8;
    pos = 0;
  }
  if (len >= 64) {
    size_t const blocks = len / 64;
    size_t const bytes = blocks * 64;
    compress(data, blocks);
    data += bytes;
    len -= bytes;
    total += static_cast<uint64_t>(bytes) * 8;
  }
  if (len > 0) {
    std::memcpy(m + pos, data, len);
    pos += len;
    total += len * 8;
  }
}

enum class length_order { big_endian, little_endian };

template <typename Compress>
void pad_and_compress(unsigned char (&m)[64], size_t& pos, uint64_t total, length_order order, Compress&& compress) {
  m[pos++] = 0x80;
  if (pos > 56) {
    std::memset(m + pos, 0, 64 - pos);
    compress(m, size_t(1));
    pos = 0;
  }
  std::memset(m + pos, 0, 56 - pos);
  for (int i = 0; i < 8; ++i) {
    int const shift = order == length_order::big_endian ? 56 - 8 * i : 8 * i;
    m[56 + i] = static_cast<unsigned char>(total >> shift);
  }
  compress(m, size_t(1));
}

}  // namespace detail
}  // namespace cppcrypto

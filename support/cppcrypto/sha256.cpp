#include "support/cppcrypto/sha256.h"

#include <cstring>
#include <stdexcept>

#include "support/cppcrypto/block_buffer.h"
#include "support/cppcrypto/cpuinfo.h"
#include "support/cppcrypto/sha256_x86.h"

namespace cppcrypto {

alignas(64) const uint32_t SHA256_K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

namespace {

const uint32_t kSha256Init[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
const uint32_t kSha224Init[8] = {0xc1059ed8, 0x367cd507, 0x3070dd17, 0xf70e5939,
                                 0xffc00b31, 0x68581511, 0x64f98fa7, 0xbefa4fa4};

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t load_be32(const unsigned char* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void store_be32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

}  // namespace

bool sha256::supported(sha256_impl impl) {
  switch (impl) {
    case sha256_impl::automatic:
    case sha256_impl::portable:
      return true;
    case sha256_impl::sse2:
      return cpu_info::sse2();
    case sha256_impl::sse41:
      return cpu_info::sse41() && cpu_info::ssse3();
    case sha256_impl::avx2:
      // Single blocks go to the SSE4.1 function.
      return cpu_info::avx2() && cpu_info::bmi2() && supported(sha256_impl::sse41);
  }
  return false;
}

sha256_impl sha256::best_impl() {
  for (sha256_impl impl : {sha256_impl::avx2, sha256_impl::sse41, sha256_impl::sse2})
    if (supported(impl)) return impl;
  return sha256_impl::portable;
}

sha256::sha256() : sha256(sha256_impl::automatic) {}

sha256::sha256(sha256_impl impl) : pos(0), total(0), impl_(impl == sha256_impl::automatic ? best_impl() : impl) {
  if (!supported(impl_)) throw std::invalid_argument("sha256: block function not supported by this processor");
  // Not initialised yet (init() does that), but never indeterminate: update()
  // before init() must not write past m.
  std::memset(H.get(), 0, H.bytes());
  std::memset(m, 0, sizeof(m));
  uint32_t* const state = H.get();
  switch (impl_) {
    case sha256_impl::avx2:
      transfunc = [state](const void* data, uint64_t blocks) {
        if (blocks < 2)
          sha256_sse4(data, state, blocks);
        else
          sha256_rorx(data, state, blocks);
      };
      break;
    case sha256_impl::sse41:
      transfunc = [state](const void* data, uint64_t blocks) { sha256_sse4(data, state, blocks); };
      break;
    case sha256_impl::sse2:
      transfunc = [state](const void* data, uint64_t blocks) {
        X86_SHA256_HashBlocks(state, static_cast<const uint32_t*>(data), blocks * 64);
      };
      break;
    default:
      transfunc = [this](const void* data, uint64_t blocks) { transform(data, blocks); };
      break;
  }
}

sha256::~sha256() { clear(); }

void sha256::init() {
  std::memcpy(H.get(), kSha256Init, sizeof(kSha256Init));
  pos = 0;
  total = 0;
}

void sha256::update(const unsigned char* data, size_t len) {
  detail::buffered_update(m, pos, total, data, len, transfunc);
}

void sha256::final(unsigned char* hash) {
  detail::pad_and_compress(m, pos, total, detail::length_order::big_endian, transfunc);
  unsigned char out[32];
  for (int i = 0; i < 8; ++i) store_be32(out + 4 * i, H[i]);
  std::memcpy(hash, out, hashsize() / 8);
  zeroize(out, sizeof(out));
}

crypto_hash* sha256::clone() const { return new sha256(impl_); }

void sha256::clear() {
  zeroize(H.get(), H.bytes());
  zeroize(m, sizeof(m));
}

void sha256::transform(const void* data, size_t blocks) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint32_t* const s = H.get();
  uint32_t w[64];
  for (; blocks > 0; --blocks, p += 64) {
    for (int t = 0; t < 16; ++t) w[t] = load_be32(p + 4 * t);
    for (int t = 16; t < 64; ++t) {
      uint32_t const s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
      uint32_t const s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
      w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    uint32_t a = s[0], b = s[1], c = s[2], d = s[3], e = s[4], f = s[5], g = s[6], h = s[7];
    for (int t = 0; t < 64; ++t) {
      uint32_t const t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + SHA256_K[t] + w[t];
      uint32_t const t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    s[0] += a;
    s[1] += b;
    s[2] += c;
    s[3] += d;
    s[4] += e;
    s[5] += f;
    s[6] += g;
    s[7] += h;
  }
  zeroize(w, sizeof(w));
}

void sha224::init() {
  std::memcpy(H.get(), kSha224Init, sizeof(kSha224Init));
  pos = 0;
  total = 0;
}

crypto_hash* sha224::clone() const { return new sha224(impl_); }

}  // namespace cppcrypto

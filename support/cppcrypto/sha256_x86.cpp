// The message schedule is computed with vector instructions (four words at a
// time, or four words of two blocks at a time with AVX2) into a table of
// W[t] + K[t]; the rounds are scalar. Functions that need more than the
// x86-64 baseline carry target attributes, so the rest of the library runs
// on any x86-64 processor.
#include "support/cppcrypto/sha256_x86.h"

#include <emmintrin.h>
#include <immintrin.h>

#include "support/cppcrypto/alignedarray.h"
#include "support/cppcrypto/sha256.h"

#define KS_INLINE inline __attribute__((always_inline))

namespace cppcrypto {

namespace {

KS_INLINE uint32_t rotr32(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

// One round, with wk = W[t] + K[t]; the callers rotate the names.
#define KS_SHA256_ROUND(a, b, c, d, e, f, g, h, wk)                                       \
  do {                                                                                    \
    h += (rotr32(e, 6) ^ rotr32(e, 11) ^ rotr32(e, 25)) + (((f ^ g) & e) ^ g) + (wk);     \
    d += h;                                                                               \
    h += (rotr32(a, 2) ^ rotr32(a, 13) ^ rotr32(a, 22)) + (((a | b) & c) | (a & b));      \
  } while (0)

// The 64 rounds over a W+K table. Interleaved: the table holds two blocks,
// four words of the first, four of the second, and so on. Plain scalar code,
// so it is compiled with the instruction set of the function it is inlined
// into (BMI2 rotates in the AVX2 function).
template <bool Interleaved>
KS_INLINE void sha256_rounds(uint32_t* state, const uint32_t* wk) {
  auto at = [](int t) { return Interleaved ? (t >> 2) * 8 + (t & 3) : t; };
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  for (int t = 0; t < 64; t += 8) {
    KS_SHA256_ROUND(a, b, c, d, e, f, g, h, wk[at(t + 0)]);
    KS_SHA256_ROUND(h, a, b, c, d, e, f, g, wk[at(t + 1)]);
    KS_SHA256_ROUND(g, h, a, b, c, d, e, f, wk[at(t + 2)]);
    KS_SHA256_ROUND(f, g, h, a, b, c, d, e, wk[at(t + 3)]);
    KS_SHA256_ROUND(e, f, g, h, a, b, c, d, wk[at(t + 4)]);
    KS_SHA256_ROUND(d, e, f, g, h, a, b, c, wk[at(t + 5)]);
    KS_SHA256_ROUND(c, d, e, f, g, h, a, b, wk[at(t + 6)]);
    KS_SHA256_ROUND(b, c, d, e, f, g, h, a, wk[at(t + 7)]);
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

// ---- SSE2 (x86-64 baseline) ------------------------------------------------

KS_INLINE __m128i sigma0_x4(__m128i x) {
  return _mm_xor_si128(_mm_xor_si128(_mm_xor_si128(_mm_srli_epi32(x, 7), _mm_srli_epi32(x, 18)), _mm_srli_epi32(x, 3)),
                       _mm_xor_si128(_mm_slli_epi32(x, 25), _mm_slli_epi32(x, 14)));
}

KS_INLINE __m128i sigma1_x4(__m128i x) {
  return _mm_xor_si128(_mm_xor_si128(_mm_xor_si128(_mm_srli_epi32(x, 17), _mm_srli_epi32(x, 19)), _mm_srli_epi32(x, 10)),
                       _mm_xor_si128(_mm_slli_epi32(x, 15), _mm_slli_epi32(x, 13)));
}

// W[t..t+3] from x0 = W[t-16..t-13], w15 = W[t-15..t-12], w7 = W[t-7..t-4]
// and x3 = W[t-4..t-1]. sigma1 needs W[t-2] and W[t-1] for the first two
// words and the two new words for the last two.
KS_INLINE __m128i schedule_x4(__m128i x0, __m128i w15, __m128i w7, __m128i x3) {
  __m128i w = _mm_add_epi32(_mm_add_epi32(x0, sigma0_x4(w15)), w7);
  __m128i s = sigma1_x4(_mm_shuffle_epi32(x3, _MM_SHUFFLE(3, 3, 3, 2)));
  w = _mm_add_epi32(w, _mm_move_epi64(s));
  s = sigma1_x4(_mm_shuffle_epi32(w, _MM_SHUFFLE(1, 0, 0, 0)));
  return _mm_add_epi32(w, _mm_unpackhi_epi64(_mm_setzero_si128(), s));
}

KS_INLINE __m128i bswap32_sse2(__m128i x) {
  x = _mm_or_si128(_mm_slli_epi16(x, 8), _mm_srli_epi16(x, 8));
  x = _mm_shufflelo_epi16(x, _MM_SHUFFLE(2, 3, 0, 1));
  return _mm_shufflehi_epi16(x, _MM_SHUFFLE(2, 3, 0, 1));
}

// Words 1..4 of the pair (lo, hi).
KS_INLINE __m128i next4_sse2(__m128i hi, __m128i lo) {
  return _mm_or_si128(_mm_srli_si128(lo, 4), _mm_slli_si128(hi, 12));
}

KS_INLINE __m128i load_k(int t) { return _mm_load_si128(reinterpret_cast<const __m128i*>(SHA256_K + t)); }

}  // namespace

void X86_SHA256_HashBlocks(uint32_t* state, const uint32_t* data, size_t length) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
  alignas(16) uint32_t wk[64];
  for (size_t blocks = length / 64; blocks > 0; --blocks, p += 64) {
    __m128i x0 = bswap32_sse2(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    __m128i x1 = bswap32_sse2(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)));
    __m128i x2 = bswap32_sse2(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)));
    __m128i x3 = bswap32_sse2(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)));
    _mm_store_si128(reinterpret_cast<__m128i*>(wk + 0), _mm_add_epi32(x0, load_k(0)));
    _mm_store_si128(reinterpret_cast<__m128i*>(wk + 4), _mm_add_epi32(x1, load_k(4)));
    _mm_store_si128(reinterpret_cast<__m128i*>(wk + 8), _mm_add_epi32(x2, load_k(8)));
    _mm_store_si128(reinterpret_cast<__m128i*>(wk + 12), _mm_add_epi32(x3, load_k(12)));
    for (int t = 16; t < 64; t += 4) {
      __m128i const w = schedule_x4(x0, next4_sse2(x1, x0), next4_sse2(x3, x2), x3);
      _mm_store_si128(reinterpret_cast<__m128i*>(wk + t), _mm_add_epi32(w, load_k(t)));
      x0 = x1;
      x1 = x2;
      x2 = x3;
      x3 = w;
    }
    sha256_rounds<false>(state, wk);
  }
  zeroize(wk, sizeof(wk));
}

// ---- SSE4.1 ----------------------------------------------------------------

namespace {

__attribute__((target("sse4.1"))) KS_INLINE __m128i bswap32_ssse3(__m128i x) {
  return _mm_shuffle_epi8(x, _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3));
}

}  // namespace

__attribute__((target("sse4.1"))) void sha256_sse4(const void* data, uint32_t* state, uint64_t blocks) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  alignas(16) uint32_t wk[64];
  for (; blocks > 0; --blocks, p += 64) {
    __m128i x0 = bswap32_ssse3(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    __m128i x1 = bswap32_ssse3(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)));
    __m128i x2 = bswap32_ssse3(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)));
    __m128i x3 = bswap32_ssse3(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)));
    _mm_store_si128(reinterpret_cast<__m128i*>(wk + 0), _mm_add_epi32(x0, load_k(0)));
    _mm_store_si128(reinterpret_cast<__m128i*>(wk + 4), _mm_add_epi32(x1, load_k(4)));
    _mm_store_si128(reinterpret_cast<__m128i*>(wk + 8), _mm_add_epi32(x2, load_k(8)));
    _mm_store_si128(reinterpret_cast<__m128i*>(wk + 12), _mm_add_epi32(x3, load_k(12)));
    for (int t = 16; t < 64; t += 4) {
      __m128i const w = schedule_x4(x0, _mm_alignr_epi8(x1, x0, 4), _mm_alignr_epi8(x3, x2, 4), x3);
      _mm_store_si128(reinterpret_cast<__m128i*>(wk + t), _mm_add_epi32(w, load_k(t)));
      x0 = x1;
      x1 = x2;
      x2 = x3;
      x3 = w;
    }
    sha256_rounds<false>(state, wk);
  }
  zeroize(wk, sizeof(wk));
}

// ---- AVX2 with BMI2 ----------------------------------------------------------
// Each 256-bit register holds four words of one block in its low lane and the
// same four words of the next block in its high lane; the lane-wise shuffles
// and alignr keep the two schedules apart.

namespace {

__attribute__((target("avx2"))) KS_INLINE __m256i sigma0_x8(__m256i x) {
  return _mm256_xor_si256(
      _mm256_xor_si256(_mm256_xor_si256(_mm256_srli_epi32(x, 7), _mm256_srli_epi32(x, 18)), _mm256_srli_epi32(x, 3)),
      _mm256_xor_si256(_mm256_slli_epi32(x, 25), _mm256_slli_epi32(x, 14)));
}

__attribute__((target("avx2"))) KS_INLINE __m256i sigma1_x8(__m256i x) {
  return _mm256_xor_si256(
      _mm256_xor_si256(_mm256_xor_si256(_mm256_srli_epi32(x, 17), _mm256_srli_epi32(x, 19)), _mm256_srli_epi32(x, 10)),
      _mm256_xor_si256(_mm256_slli_epi32(x, 15), _mm256_slli_epi32(x, 13)));
}

__attribute__((target("avx2"))) KS_INLINE __m256i schedule_x8(__m256i x0, __m256i x1, __m256i x2, __m256i x3) {
  __m256i const zero = _mm256_setzero_si256();
  __m256i w = _mm256_add_epi32(_mm256_add_epi32(x0, sigma0_x8(_mm256_alignr_epi8(x1, x0, 4))),
                               _mm256_alignr_epi8(x3, x2, 4));
  __m256i s = sigma1_x8(_mm256_shuffle_epi32(x3, _MM_SHUFFLE(3, 3, 3, 2)));
  w = _mm256_add_epi32(w, _mm256_blend_epi32(zero, s, 0x33));
  s = sigma1_x8(_mm256_shuffle_epi32(w, _MM_SHUFFLE(1, 0, 0, 0)));
  return _mm256_add_epi32(w, _mm256_blend_epi32(zero, s, 0xcc));
}

__attribute__((target("avx2"))) KS_INLINE __m256i load_pair(const unsigned char* p, const unsigned char* q, __m256i flip) {
  __m256i const x = _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)), 1);
  return _mm256_shuffle_epi8(x, flip);
}

__attribute__((target("avx2"))) KS_INLINE __m256i load_k2(int t) {
  return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(SHA256_K + t)));
}

}  // namespace

__attribute__((target("avx2,bmi2"))) void sha256_rorx(const void* data, uint32_t* state, uint64_t blocks) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  __m256i const flip = _mm256_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3,
                                       12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
  alignas(32) uint32_t wk[128];
  while (blocks > 0) {
    // An odd last block fills both lanes; only the first is used.
    const unsigned char* const q = blocks >= 2 ? p + 64 : p;
    __m256i x0 = load_pair(p, q, flip);
    __m256i x1 = load_pair(p + 16, q + 16, flip);
    __m256i x2 = load_pair(p + 32, q + 32, flip);
    __m256i x3 = load_pair(p + 48, q + 48, flip);
    _mm256_store_si256(reinterpret_cast<__m256i*>(wk + 0), _mm256_add_epi32(x0, load_k2(0)));
    _mm256_store_si256(reinterpret_cast<__m256i*>(wk + 8), _mm256_add_epi32(x1, load_k2(4)));
    _mm256_store_si256(reinterpret_cast<__m256i*>(wk + 16), _mm256_add_epi32(x2, load_k2(8)));
    _mm256_store_si256(reinterpret_cast<__m256i*>(wk + 24), _mm256_add_epi32(x3, load_k2(12)));
    for (int t = 16; t < 64; t += 4) {
      __m256i const w = schedule_x8(x0, x1, x2, x3);
      _mm256_store_si256(reinterpret_cast<__m256i*>(wk + 2 * t), _mm256_add_epi32(w, load_k2(t)));
      x0 = x1;
      x1 = x2;
      x2 = x3;
      x3 = w;
    }
    sha256_rounds<true>(state, wk);
    if (blocks >= 2) {
      sha256_rounds<true>(state, wk + 4);
      p += 128;
      blocks -= 2;
    } else {
      p += 64;
      blocks -= 1;
    }
  }
  zeroize(wk, sizeof(wk));
}

}  // namespace cppcrypto

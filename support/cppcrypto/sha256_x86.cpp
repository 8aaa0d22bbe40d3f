// The message schedule is computed with vector instructions, four words at a
// time, into a table of W[t] + K[t]; the rounds are scalar. Functions that
// need more than the x86-64 baseline carry target attributes, so the rest of
// the library runs on any x86-64 processor. The AVX2 function is in
// assembly.
#include "support/cppcrypto/sha256_x86.h"

#include <emmintrin.h>
#include <immintrin.h>

#include "support/cppcrypto/alignedarray.h"
#include "support/cppcrypto/sha256.h"

#define KS_INLINE inline __attribute__((always_inline))

namespace cppcrypto {

namespace {

KS_INLINE uint32_t rotr32(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

// Keeps the compiler from regrouping a sum (it may, for unsigned values):
// the grouping below decides the latency of a round.
#define KS_OPAQUE(x) __asm__("" : "+r"(x))

// One round, with wk = W[t] + K[t]; the callers rotate the names. Both the
// new e and the new a are four dependent operations away from e and a:
//   new e = (d + h + wk) + Ch(e, f, g) + Sigma1(e)
//   new a = new e - d + (b & c) + (a & (b ^ c)) + Sigma0(a)
// Ch is g ^ (e & (f ^ g)), two operations after e without BMI's andn.
// The terms of Maj never share a bit, so they may be added. bx and ba come in as b ^ c and b & c; on exit h and bx hold this
// round's a ^ b and a & b for the next one, and ba the new a.
#define KS_SHA256_ROUND(a, b, c, d, e, f, g, h, bx, ba, wk)           \
  do {                                                                \
    ba -= d;                                                          \
    d += h;                                                           \
    KS_OPAQUE(d);                                                     \
    d += (wk);                                                        \
    KS_OPAQUE(d);                                                     \
    d += g ^ (e & (f ^ g));                                           \
    KS_OPAQUE(d);                                                     \
    d += rotr32(e, 6) ^ rotr32(e, 11) ^ rotr32(e, 25);                \
    ba += a & bx;                                                     \
    KS_OPAQUE(ba);                                                    \
    h = a ^ b;                                                        \
    bx = a & b;                                                       \
    ba += d;                                                          \
    KS_OPAQUE(ba);                                                    \
    ba += rotr32(a, 2) ^ rotr32(a, 13) ^ rotr32(a, 22);               \
  } while (0)

// The 64 rounds over a table of W[t] + K[t], for the SSE functions. Plain
// scalar code, compiled with the instruction set of the function it is
// inlined into. The names rotate over ten variables, so after eight
// rounds they are two places on.
KS_INLINE void sha256_rounds(uint32_t* state, const uint32_t* wk) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  uint32_t x = b ^ c, y = b & c;
  for (int t = 0; t < 64; t += 8, wk += 8) {
    KS_SHA256_ROUND(a, b, c, d, e, f, g, h, x, y, wk[0]);
    KS_SHA256_ROUND(y, a, b, c, d, e, f, g, h, x, wk[1]);
    KS_SHA256_ROUND(x, y, a, b, c, d, e, f, g, h, wk[2]);
    KS_SHA256_ROUND(h, x, y, a, b, c, d, e, f, g, wk[3]);
    KS_SHA256_ROUND(g, h, x, y, a, b, c, d, e, f, wk[4]);
    KS_SHA256_ROUND(f, g, h, x, y, a, b, c, d, e, wk[5]);
    KS_SHA256_ROUND(e, f, g, h, x, y, a, b, c, d, wk[6]);
    KS_SHA256_ROUND(d, e, f, g, h, x, y, a, b, c, wk[7]);
    // Role i is now in the variable two places on.
    uint32_t const a0 = a, b0 = b;
    a = c;
    b = d;
    c = e;
    d = f;
    e = g;
    f = h;
    g = x;
    h = y;
    x = a0;
    y = b0;
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
    sha256_rounds(state, wk);
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
    sha256_rounds(state, wk);
  }
  zeroize(wk, sizeof(wk));
}

// ---- AVX2 with BMI2 ----------------------------------------------------------
// In assembly (sha256_rorx_x86_64.S): the rounds keep every value in a
// register whose name rotates from round to round, which needs the 64
// rounds written out with their registers.

extern "C" void ks_sha256_rorx_avx2(const void* data, uint32_t* state, uint64_t blocks);

void sha256_rorx(const void* data, uint32_t* state, uint64_t blocks) {
  if (blocks > 0) ks_sha256_rorx_avx2(data, state, blocks);
}

}  // namespace cppcrypto

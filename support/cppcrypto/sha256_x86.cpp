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

// Keeps the compiler from regrouping a sum (it may, for unsigned values):
// the grouping below decides the latency of a round.
#define KS_OPAQUE(x) __asm__("" : "+r"(x))

// One round, with wk = W[t] + K[t]; the callers rotate the names. Ch is
// (e & f) + (~e & g), whose terms never share a bit; Maj is
// ((a ^ b) & (b ^ c)) ^ b, where b ^ c is the previous round's a ^ b.
// What does not depend on e is summed first and Sigma1(e), the slowest
// term, last, into both the new e and the new a.
#define KS_SHA256_ROUND(a, b, c, d, e, f, g, h, wk)                   \
  do {                                                                \
    uint32_t hw = h + (wk);                                           \
    KS_OPAQUE(hw);                                                    \
    uint32_t dhw = d + hw;                                            \
    KS_OPAQUE(dhw);                                                   \
    uint32_t ch = (e & f) + (~e & g);                                 \
    KS_OPAQUE(ch);                                                    \
    uint32_t const s1 = rotr32(e, 6) ^ rotr32(e, 11) ^ rotr32(e, 25); \
    dhw += ch;                                                        \
    KS_OPAQUE(dhw);                                                   \
    d = dhw + s1;                                                     \
    hw += ch;                                                         \
    KS_OPAQUE(hw);                                                    \
    hw += s1;                                                         \
    uint32_t const ab = a ^ b;                                        \
    uint32_t r = rotr32(a, 2) ^ rotr32(a, 13) ^ rotr32(a, 22);        \
    r += (ab & bc) ^ b;                                               \
    KS_OPAQUE(r);                                                     \
    h = hw + r;                                                       \
    bc = ab;                                                          \
  } while (0)

// The 64 rounds over a table of W[t] + K[t], for the SSE functions. Plain
// scalar code, compiled with the instruction set of the function it is
// inlined into.
KS_INLINE void sha256_rounds(uint32_t* state, const uint32_t* wk) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  uint32_t bc = b ^ c;
  for (int t = 0; t < 64; t += 8, wk += 8) {
    KS_SHA256_ROUND(a, b, c, d, e, f, g, h, wk[0]);
    KS_SHA256_ROUND(h, a, b, c, d, e, f, g, wk[1]);
    KS_SHA256_ROUND(g, h, a, b, c, d, e, f, wk[2]);
    KS_SHA256_ROUND(f, g, h, a, b, c, d, e, wk[3]);
    KS_SHA256_ROUND(e, f, g, h, a, b, c, d, wk[4]);
    KS_SHA256_ROUND(d, e, f, g, h, a, b, c, wk[5]);
    KS_SHA256_ROUND(c, d, e, f, g, h, a, b, wk[6]);
    KS_SHA256_ROUND(b, c, d, e, f, g, h, a, wk[7]);
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
// Each 256-bit register holds four words of one block in its low lane and the
// same four words of the next block in its high lane; the lane-wise shuffles
// and alignr keep the two schedules apart.

namespace {

__attribute__((target("avx2"))) KS_INLINE __m256i sigma0_x8(__m256i x) {
  return _mm256_xor_si256(
      _mm256_xor_si256(_mm256_xor_si256(_mm256_srli_epi32(x, 7), _mm256_srli_epi32(x, 18)), _mm256_srli_epi32(x, 3)),
      _mm256_xor_si256(_mm256_slli_epi32(x, 25), _mm256_slli_epi32(x, 14)));
}

// sigma1 of the words in lanes 0 and 2 of each half of d, where every word
// is doubled ([w, w, v, v]): a 64-bit shift of a doubled word is a 32-bit
// rotation in its low half. Results land in those lanes' low words.
__attribute__((target("avx2"))) KS_INLINE __m256i sigma1_doubled(__m256i d) {
  return _mm256_xor_si256(_mm256_xor_si256(_mm256_srli_epi64(d, 17), _mm256_srli_epi64(d, 19)),
                          _mm256_srli_epi32(d, 10));
}

__attribute__((target("avx2"))) KS_INLINE __m256i schedule_x8(__m256i x0, __m256i x1, __m256i x2, __m256i x3) {
  // Words 0 and 2 of each half to lanes 0,1 (or 2,3), zeros elsewhere.
  __m256i const to_low = _mm256_set_epi8(-1, -1, -1, -1, -1, -1, -1, -1, 11, 10, 9, 8, 3, 2, 1, 0,
                                         -1, -1, -1, -1, -1, -1, -1, -1, 11, 10, 9, 8, 3, 2, 1, 0);
  __m256i const to_high = _mm256_set_epi8(11, 10, 9, 8, 3, 2, 1, 0, -1, -1, -1, -1, -1, -1, -1, -1,
                                          11, 10, 9, 8, 3, 2, 1, 0, -1, -1, -1, -1, -1, -1, -1, -1);
  __m256i w = _mm256_add_epi32(_mm256_add_epi32(x0, sigma0_x8(_mm256_alignr_epi8(x1, x0, 4))),
                               _mm256_alignr_epi8(x3, x2, 4));
  __m256i s = sigma1_doubled(_mm256_shuffle_epi32(x3, _MM_SHUFFLE(3, 3, 2, 2)));
  w = _mm256_add_epi32(w, _mm256_shuffle_epi8(s, to_low));
  s = sigma1_doubled(_mm256_shuffle_epi32(w, _MM_SHUFFLE(1, 1, 0, 0)));
  return _mm256_add_epi32(w, _mm256_shuffle_epi8(s, to_high));
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

// The message schedule of one pair of blocks (q == p for a lone last block)
// into an interleaved W+K table: start() loads the 16 words, each step()
// makes the next four.
struct pair_schedule {
  __m256i x0, x1, x2, x3;
  uint32_t* wk;
  int t;

  __attribute__((target("avx2"))) KS_INLINE void start(const unsigned char* p, const unsigned char* q,
                                                        uint32_t* table) {
    __m256i const flip = _mm256_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3,
                                         12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
    wk = table;
    x0 = load_pair(p, q, flip);
    x1 = load_pair(p + 16, q + 16, flip);
    x2 = load_pair(p + 32, q + 32, flip);
    x3 = load_pair(p + 48, q + 48, flip);
    _mm256_store_si256(reinterpret_cast<__m256i*>(wk + 0), _mm256_add_epi32(x0, load_k2(0)));
    _mm256_store_si256(reinterpret_cast<__m256i*>(wk + 8), _mm256_add_epi32(x1, load_k2(4)));
    _mm256_store_si256(reinterpret_cast<__m256i*>(wk + 16), _mm256_add_epi32(x2, load_k2(8)));
    _mm256_store_si256(reinterpret_cast<__m256i*>(wk + 24), _mm256_add_epi32(x3, load_k2(12)));
    t = 16;
  }

  __attribute__((target("avx2"))) KS_INLINE void step() {
    __m256i const w = schedule_x8(x0, x1, x2, x3);
    _mm256_store_si256(reinterpret_cast<__m256i*>(wk + 2 * t), _mm256_add_epi32(w, load_k2(t)));
    x0 = x1;
    x1 = x2;
    x2 = x3;
    x3 = w;
    t += 4;
  }
};

// One round in BMI1/BMI2 code, written out so that its latency does not
// depend on how the compiler groups the sums. The new e is
// ((d + h + wk) + Ch) + Sigma1(e); the new a is ((T1 + Maj) + Sigma0(a)),
// with Ch = (e & f) + (~e & g) (the terms never share a bit) and
// Maj = (a & (b ^ c)) ^ (b & c), so both chains take four steps. b ^ c comes
// in as BC and this round's a ^ b leaves in AB, the two names swapping from
// round to round; b & c is carried in band. Two scratch registers only, so
// the whole state stays in registers.
#define KS_SHA256_ROUND_BMI(a, b, c, d, e, f, g, h, wk, BC, AB)                                       \
  __asm__(                                                                                            \
      "add %[rw], %[rh]\n\t"                                                                          \
      "mov %[re], %[ab]\n\t"                                                                          \
      "and %[rf], %[ab]\n\t"                                                                          \
      "andn %[rg], %[re], %[y1]\n\t"                                                                  \
      "add %[rh], %[rd]\n\t"                                                                          \
      "add %[y1], %[ab]\n\t"                                                                          \
      "rorx $6, %[re], %[y0]\n\t"                                                                     \
      "rorx $11, %[re], %[y1]\n\t"                                                                    \
      "add %[ab], %[rd]\n\t"                                                                          \
      "add %[ab], %[rh]\n\t"                                                                          \
      "xor %[y1], %[y0]\n\t"                                                                          \
      "rorx $25, %[re], %[y1]\n\t"                                                                    \
      "xor %[y1], %[y0]\n\t"                                                                          \
      "add %[y0], %[rd]\n\t"                                                                          \
      "add %[y0], %[rh]\n\t"                                                                          \
      "rorx $2, %[ra], %[y0]\n\t"                                                                     \
      "rorx $13, %[ra], %[y1]\n\t"                                                                    \
      "mov %[ra], %[ab]\n\t"                                                                          \
      "xor %[rb], %[ab]\n\t"                                                                          \
      "and %[ab], %[bc]\n\t"                                                                          \
      "xor %[rb], %[bc]\n\t"                                                                          \
      "xor %[y1], %[y0]\n\t"                                                                          \
      "rorx $22, %[ra], %[y1]\n\t"                                                                    \
      "add %[bc], %[rh]\n\t"                                                                          \
      "xor %[y1], %[y0]\n\t"                                                                          \
      "add %[y0], %[rh]\n\t"                                                                          \
      : [rh] "+r"(h), [rd] "+r"(d), [bc] "+r"(BC), [ab] "=&r"(AB), [y0] "=&r"(y0), \
        [y1] "=&r"(y1)                                                                                \
      : [ra] "r"(a), [rb] "r"(b), [re] "r"(e), [rf] "r"(f), [rg] "r"(g), [rw] "m"(wk)                 \
      : "cc")

// Eight rounds over words w[0..3] and w[8..11] of an interleaved table.
#define KS_SHA256_8ROUNDS_BMI(w)                                   \
  do {                                                             \
    KS_SHA256_ROUND_BMI(a, b, c, d, e, f, g, h, (w)[0], x, z);     \
    KS_SHA256_ROUND_BMI(h, a, b, c, d, e, f, g, (w)[1], z, x);     \
    KS_SHA256_ROUND_BMI(g, h, a, b, c, d, e, f, (w)[2], x, z);     \
    KS_SHA256_ROUND_BMI(f, g, h, a, b, c, d, e, (w)[3], z, x);     \
    KS_SHA256_ROUND_BMI(e, f, g, h, a, b, c, d, (w)[8], x, z);     \
    KS_SHA256_ROUND_BMI(d, e, f, g, h, a, b, c, (w)[9], z, x);     \
    KS_SHA256_ROUND_BMI(c, d, e, f, g, h, a, b, (w)[10], x, z);    \
    KS_SHA256_ROUND_BMI(b, c, d, e, f, g, h, a, (w)[11], z, x);    \
  } while (0)

// The 64 rounds of one block over an interleaved table. After each of the
// first Steps groups of eight rounds, the next pair's schedule advances by
// one step, so the vector work fills the gaps of the scalar rounds. A loop
// of eight rounds rather than all 64 unrolled: the loop body stays in the
// decoded-instruction cache.
template <int Steps>
__attribute__((target("avx2,bmi,bmi2"))) KS_INLINE void sha256_rounds_bmi(uint32_t* state, const uint32_t* wk,
                                                                           pair_schedule* next) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  uint32_t x = b ^ c, z, y0, y1;
  for (int u = 0; u < 8; ++u, wk += 16) {
    if (u < Steps) next->step();
    KS_SHA256_8ROUNDS_BMI(wk);
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

}  // namespace

__attribute__((target("avx2,bmi,bmi2"))) void sha256_rorx(const void* data, uint32_t* state, uint64_t blocks) {
  if (blocks == 0) return;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  alignas(32) uint32_t wk[2][128];
  int cur = 0;
  pair_schedule sched;
  // The first pair's schedule alone; later ones overlap the rounds.
  sched.start(p, blocks >= 2 ? p + 64 : p, wk[cur]);
  for (int i = 0; i < 12; ++i) sched.step();
  for (;;) {
    // An odd last block fills both lanes; only the first is used.
    uint64_t const in_pair = blocks >= 2 ? 2 : 1;
    uint64_t const after = blocks - in_pair;
    const unsigned char* const np = p + 64 * in_pair;
    if (after > 0) sched.start(np, after >= 2 ? np + 64 : np, wk[cur ^ 1]);
    if (after == 0) {
      sha256_rounds_bmi<0>(state, wk[cur], nullptr);
      if (in_pair == 2) sha256_rounds_bmi<0>(state, wk[cur] + 4, nullptr);
    } else {
      // A pair with blocks after it is full. The next pair's twelve
      // schedule steps: eight during the first block, four during the second.
      sha256_rounds_bmi<8>(state, wk[cur], &sched);
      sha256_rounds_bmi<4>(state, wk[cur] + 4, &sched);
    }
    if (after == 0) break;
    blocks = after;
    p = np;
    cur ^= 1;
  }
  zeroize(wk, sizeof(wk));
}

}  // namespace cppcrypto

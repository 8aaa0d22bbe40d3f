// Table-driven Kuznyechik: one round is 16 lookups in a table that combines
// the substitution with the linear map, XORed together, so a block costs no
// field arithmetic. The tables are built once, at first use, from the
// standard's substitution and linear map.
#include "support/cppcrypto/kuznyechik.h"

#include <cstring>
#include <utility>

#include "support/cppcrypto/alignedarray.h"

namespace cppcrypto {

namespace {

// The substitution pi of GOST R 34.12-2015.
const uint8_t kPi[256] = {
    252, 238, 221, 17,  207, 110, 49,  22,  251, 196, 250, 218, 35,  197, 4,   77,  233, 119, 240, 219, 147, 46,
    153, 186, 23,  54,  241, 187, 20,  205, 95,  193, 249, 24,  101, 90,  226, 92,  239, 33,  129, 28,  60,  66,
    139, 1,   142, 79,  5,   132, 2,   174, 227, 106, 143, 160, 6,   11,  237, 152, 127, 212, 211, 31,  235, 52,
    44,  81,  234, 200, 72,  171, 242, 42,  104, 162, 253, 58,  206, 204, 181, 112, 14,  86,  8,   12,  118, 18,
    191, 114, 19,  71,  156, 183, 93,  135, 21,  161, 150, 41,  16,  123, 154, 199, 243, 145, 120, 111, 157, 158,
    178, 177, 50,  117, 25,  61,  255, 53,  138, 126, 109, 84,  198, 128, 195, 189, 13,  87,  223, 245, 36,  169,
    62,  168, 67,  201, 215, 121, 214, 246, 124, 34,  185, 3,   224, 15,  236, 222, 122, 148, 176, 188, 220, 232,
    40,  80,  78,  51,  10,  74,  167, 151, 96,  115, 30,  0,   98,  68,  26,  184, 56,  130, 100, 159, 38,  65,
    173, 69,  70,  146, 39,  94,  85,  47,  140, 163, 165, 125, 105, 213, 149, 59,  7,   88,  179, 64,  134, 172,
    29,  247, 48,  55,  107, 228, 136, 217, 231, 137, 225, 27,  131, 73,  76,  63,  248, 254, 141, 83,  170, 144,
    202, 216, 133, 97,  32,  113, 103, 164, 45,  43,  9,   91,  203, 155, 37,  208, 190, 229, 108, 82,  89,  166,
    116, 210, 230, 244, 180, 192, 209, 102, 175, 194, 57,  75,  99,  182};

// Coefficients of the linear function l, for the bytes in the standard's
// order (most significant first).
const uint8_t kL[16] = {148, 32, 133, 16, 194, 192, 1, 251, 1, 192, 194, 16, 133, 32, 148, 1};

// Multiplication in GF(2^8) modulo x^8 + x^7 + x^6 + x + 1.
uint8_t gf_mul(uint8_t a, uint8_t b) {
  uint8_t r = 0;
  while (b != 0) {
    if (b & 1) r ^= a;
    a = static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0xc3 : 0x00));
    b >>= 1;
  }
  return r;
}

uint8_t l_function(const uint8_t x[16]) {
  uint8_t r = 0;
  for (int i = 0; i < 16; ++i) r ^= gf_mul(x[i], kL[i]);
  return r;
}

// L = R^16, R shifts the bytes towards the least significant end and puts
// l() in front.
void linear(uint8_t x[16]) {
  for (int n = 0; n < 16; ++n) {
    uint8_t const v = l_function(x);
    std::memmove(x + 1, x, 15);
    x[0] = v;
  }
}

void linear_inverse(uint8_t x[16]) {
  for (int n = 0; n < 16; ++n) {
    uint8_t const first = x[0];
    std::memmove(x, x + 1, 15);
    x[15] = first;
    x[15] = l_function(x);
  }
}

// 128 bits as two host words over the 16 bytes in memory order.
struct block128 {
  uint64_t lo, hi;
};

inline block128 load(const unsigned char* p) {
  block128 b;
  std::memcpy(&b, p, 16);
  return b;
}

inline void store(unsigned char* p, block128 b) { std::memcpy(p, &b, 16); }

struct tables {
  alignas(64) block128 ls[16][256];    // L(S(b) at byte j)
  alignas(64) block128 ils[16][256];   // L^-1(S^-1(b) at byte j)
  block128 c[32];                      // iteration constants C1..C32
  uint8_t pi_inv[256];

  tables() {
    for (int i = 0; i < 256; ++i) pi_inv[kPi[i]] = static_cast<uint8_t>(i);
    // L and L^-1 are linear over GF(2): images of the 128 unit vectors.
    uint8_t unit[16][8][16], unit_inv[16][8][16];
    for (int j = 0; j < 16; ++j)
      for (int bit = 0; bit < 8; ++bit) {
        std::memset(unit[j][bit], 0, 16);
        unit[j][bit][j] = static_cast<uint8_t>(1u << bit);
        std::memcpy(unit_inv[j][bit], unit[j][bit], 16);
        linear(unit[j][bit]);
        linear_inverse(unit_inv[j][bit]);
      }
    for (int j = 0; j < 16; ++j)
      for (int b = 0; b < 256; ++b) {
        uint8_t v[16] = {}, w[16] = {};
        for (int bit = 0; bit < 8; ++bit) {
          if (kPi[b] & (1u << bit))
            for (int k = 0; k < 16; ++k) v[k] ^= unit[j][bit][k];
          if (pi_inv[b] & (1u << bit))
            for (int k = 0; k < 16; ++k) w[k] ^= unit_inv[j][bit][k];
        }
        ls[j][b] = load(v);
        ils[j][b] = load(w);
      }
    for (int i = 0; i < 32; ++i) {
      uint8_t v[16] = {};
      v[15] = static_cast<uint8_t>(i + 1);
      linear(v);
      c[i] = load(v);
    }
  }
};

const tables& tab() {
  static const tables t;
  return t;
}

inline block128 xor128(block128 a, block128 b) { return block128{a.lo ^ b.lo, a.hi ^ b.hi}; }

// Byte J of x in memory order.
template <size_t J>
inline unsigned byte_at(block128 x) {
  return static_cast<unsigned>(((J < 8 ? x.lo : x.hi) >> (8 * (J % 8))) & 0xff);
}

// The lookups and the rounds are written out (folds over the byte positions
// and the rounds) and forced inline rather than left to the optimiser: GCC
// unrolls such loops only at -O3, and rolled up they cost the cipher more
// than half its speed.
template <size_t... J>
__attribute__((always_inline)) inline block128 apply(const block128 (*t)[256], block128 x, std::index_sequence<J...>) {
  block128 r{0, 0};
  ((r = xor128(r, t[J][byte_at<J>(x)])), ...);
  return r;
}

// XOR of the table entries of the 16 bytes of x.
__attribute__((always_inline)) inline block128 apply(const block128 (*t)[256], block128 x) {
  return apply(t, x, std::make_index_sequence<16>());
}

// Rounds R... of the encryption: X[K], then the table of S and L.
template <size_t... R>
__attribute__((always_inline)) inline block128 encryption_rounds(const block128 (*t)[256], const uint64_t* rk,
                                                                 block128 x, std::index_sequence<R...>) {
  ((x = apply(t, xor128(x, block128{rk[2 * R], rk[2 * R + 1]}))), ...);
  return x;
}

}  // namespace

void kuznyechik_key_schedule(const unsigned char* key, unsigned char round_keys[10][16]) {
  tables const& t = tab();
  block128 a1 = load(key), a0 = load(key + 16);
  store(round_keys[0], a1);
  store(round_keys[1], a0);
  for (int i = 0; i < 4; ++i) {
    // Eight Feistel steps F[C]: (a1, a0) -> (LSX[C](a1) ^ a0, a1).
    for (int j = 0; j < 8; ++j) {
      block128 const next = xor128(apply(t.ls, xor128(a1, t.c[8 * i + j])), a0);
      a0 = a1;
      a1 = next;
    }
    store(round_keys[2 * i + 2], a1);
    store(round_keys[2 * i + 3], a0);
  }
  zeroize(&a1, sizeof(a1));
  zeroize(&a0, sizeof(a0));
}

kuznyechik::kuznyechik() { std::memset(rk, 0, sizeof(rk)); }

kuznyechik::~kuznyechik() { clear(); }

block_cipher* kuznyechik::clone() const { return new kuznyechik(); }

void kuznyechik::clear() { zeroize(rk, sizeof(rk)); }

void kuznyechik::init(const unsigned char* key, direction dir) {
  unsigned char k[10][16];
  kuznyechik_key_schedule(key, k);
  for (int i = 0; i < 10; ++i) {
    // Decryption runs its rounds in the image of L^-1 (see decrypt_block).
    if (dir == decryption && i > 0) linear_inverse(k[i]);
    std::memcpy(&rk[2 * i], k[i], 16);
  }
  zeroize(k, sizeof(k));
}

void kuznyechik::encrypt_block(const unsigned char* in, unsigned char* out) {
  tables const& t = tab();
  block128 const x = encryption_rounds(t.ls, rk, load(in), std::make_index_sequence<9>());
  store(out, xor128(x, block128{rk[18], rk[19]}));
}

// With z = L^-1(x), a decryption round x -> S^-1(L^-1(x)) ^ K becomes
// z -> L^-1(S^-1(z)) ^ L^-1(K), one lookup table; the keys K2..K10 are kept
// as L^-1(K). The first L^-1 of the ciphertext uses the same table on
// S(c), the last step is a plain S^-1 followed by K1.
void kuznyechik::decrypt_block(const unsigned char* in, unsigned char* out) {
  tables const& t = tab();
  unsigned char c[16];
  for (int j = 0; j < 16; ++j) c[j] = kPi[in[j]];
  block128 z = xor128(apply(t.ils, load(c)), block128{rk[18], rk[19]});
  for (int i = 8; i >= 1; --i) z = xor128(apply(t.ils, z), block128{rk[2 * i], rk[2 * i + 1]});
  unsigned char b[16];
  store(b, z);
  for (int j = 0; j < 16; ++j) b[j] = t.pi_inv[b[j]];
  store(out, xor128(load(b), block128{rk[0], rk[1]}));
}

}  // namespace cppcrypto

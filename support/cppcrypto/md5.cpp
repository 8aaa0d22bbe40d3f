#include "support/cppcrypto/md5.h"

#include <cstring>

#include "support/cppcrypto/block_buffer.h"

namespace cppcrypto {

namespace {

inline uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t load_le32(const unsigned char* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// RFC 1321 3.4: T[i] = floor(2^32 * |sin(i + 1)|).
const uint32_t kT[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

#define KS_MD5_STEP(f, a, b, c, d, k, s, i) a = b + rotl(a + f(b, c, d) + x[k] + kT[i], s)
#define KS_MD5_F(x, y, z) ((((y) ^ (z)) & (x)) ^ (z))
#define KS_MD5_G(x, y, z) ((((x) ^ (y)) & (z)) ^ (y))
#define KS_MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define KS_MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))

}  // namespace

md5::md5() : pos(0), total(0) {
  // Not initialised yet (init() does that), but never indeterminate: update()
  // before init() must not write past m.
  std::memset(H.get(), 0, H.bytes());
  std::memset(m, 0, sizeof(m));
}

md5::~md5() { clear(); }

void md5::init() {
  H[0] = 0x67452301;
  H[1] = 0xefcdab89;
  H[2] = 0x98badcfe;
  H[3] = 0x10325476;
  pos = 0;
  total = 0;
}

void md5::update(const unsigned char* data, size_t len) {
  detail::buffered_update(m, pos, total, data, len, [this](const unsigned char* p, size_t n) { transform(p, n); });
}

void md5::final(unsigned char* hash) {
  detail::pad_and_compress(m, pos, total, detail::length_order::little_endian,
                           [this](const unsigned char* p, size_t n) { transform(p, n); });
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) hash[4 * i + j] = static_cast<unsigned char>(H[i] >> (8 * j));
}

crypto_hash* md5::clone() const { return new md5(); }

void md5::clear() {
  zeroize(H.get(), H.bytes());
  zeroize(m, sizeof(m));
}

void md5::transform(const unsigned char* data, size_t blocks) {
  uint32_t* const s = H.get();
  uint32_t x[16];
  for (; blocks > 0; --blocks, data += 64) {
    for (int i = 0; i < 16; ++i) x[i] = load_le32(data + 4 * i);
    uint32_t a = s[0], b = s[1], c = s[2], d = s[3];

    KS_MD5_STEP(KS_MD5_F, a, b, c, d, 0, 7, 0);
    KS_MD5_STEP(KS_MD5_F, d, a, b, c, 1, 12, 1);
    KS_MD5_STEP(KS_MD5_F, c, d, a, b, 2, 17, 2);
    KS_MD5_STEP(KS_MD5_F, b, c, d, a, 3, 22, 3);
    KS_MD5_STEP(KS_MD5_F, a, b, c, d, 4, 7, 4);
    KS_MD5_STEP(KS_MD5_F, d, a, b, c, 5, 12, 5);
    KS_MD5_STEP(KS_MD5_F, c, d, a, b, 6, 17, 6);
    KS_MD5_STEP(KS_MD5_F, b, c, d, a, 7, 22, 7);
    KS_MD5_STEP(KS_MD5_F, a, b, c, d, 8, 7, 8);
    KS_MD5_STEP(KS_MD5_F, d, a, b, c, 9, 12, 9);
    KS_MD5_STEP(KS_MD5_F, c, d, a, b, 10, 17, 10);
    KS_MD5_STEP(KS_MD5_F, b, c, d, a, 11, 22, 11);
    KS_MD5_STEP(KS_MD5_F, a, b, c, d, 12, 7, 12);
    KS_MD5_STEP(KS_MD5_F, d, a, b, c, 13, 12, 13);
    KS_MD5_STEP(KS_MD5_F, c, d, a, b, 14, 17, 14);
    KS_MD5_STEP(KS_MD5_F, b, c, d, a, 15, 22, 15);

    KS_MD5_STEP(KS_MD5_G, a, b, c, d, 1, 5, 16);
    KS_MD5_STEP(KS_MD5_G, d, a, b, c, 6, 9, 17);
    KS_MD5_STEP(KS_MD5_G, c, d, a, b, 11, 14, 18);
    KS_MD5_STEP(KS_MD5_G, b, c, d, a, 0, 20, 19);
    KS_MD5_STEP(KS_MD5_G, a, b, c, d, 5, 5, 20);
    KS_MD5_STEP(KS_MD5_G, d, a, b, c, 10, 9, 21);
    KS_MD5_STEP(KS_MD5_G, c, d, a, b, 15, 14, 22);
    KS_MD5_STEP(KS_MD5_G, b, c, d, a, 4, 20, 23);
    KS_MD5_STEP(KS_MD5_G, a, b, c, d, 9, 5, 24);
    KS_MD5_STEP(KS_MD5_G, d, a, b, c, 14, 9, 25);
    KS_MD5_STEP(KS_MD5_G, c, d, a, b, 3, 14, 26);
    KS_MD5_STEP(KS_MD5_G, b, c, d, a, 8, 20, 27);
    KS_MD5_STEP(KS_MD5_G, a, b, c, d, 13, 5, 28);
    KS_MD5_STEP(KS_MD5_G, d, a, b, c, 2, 9, 29);
    KS_MD5_STEP(KS_MD5_G, c, d, a, b, 7, 14, 30);
    KS_MD5_STEP(KS_MD5_G, b, c, d, a, 12, 20, 31);

    KS_MD5_STEP(KS_MD5_H, a, b, c, d, 5, 4, 32);
    KS_MD5_STEP(KS_MD5_H, d, a, b, c, 8, 11, 33);
    KS_MD5_STEP(KS_MD5_H, c, d, a, b, 11, 16, 34);
    KS_MD5_STEP(KS_MD5_H, b, c, d, a, 14, 23, 35);
    KS_MD5_STEP(KS_MD5_H, a, b, c, d, 1, 4, 36);
    KS_MD5_STEP(KS_MD5_H, d, a, b, c, 4, 11, 37);
    KS_MD5_STEP(KS_MD5_H, c, d, a, b, 7, 16, 38);
    KS_MD5_STEP(KS_MD5_H, b, c, d, a, 10, 23, 39);
    KS_MD5_STEP(KS_MD5_H, a, b, c, d, 13, 4, 40);
    KS_MD5_STEP(KS_MD5_H, d, a, b, c, 0, 11, 41);
    KS_MD5_STEP(KS_MD5_H, c, d, a, b, 3, 16, 42);
    KS_MD5_STEP(KS_MD5_H, b, c, d, a, 6, 23, 43);
    KS_MD5_STEP(KS_MD5_H, a, b, c, d, 9, 4, 44);
    KS_MD5_STEP(KS_MD5_H, d, a, b, c, 12, 11, 45);
    KS_MD5_STEP(KS_MD5_H, c, d, a, b, 15, 16, 46);
    KS_MD5_STEP(KS_MD5_H, b, c, d, a, 2, 23, 47);

    KS_MD5_STEP(KS_MD5_I, a, b, c, d, 0, 6, 48);
    KS_MD5_STEP(KS_MD5_I, d, a, b, c, 7, 10, 49);
    KS_MD5_STEP(KS_MD5_I, c, d, a, b, 14, 15, 50);
    KS_MD5_STEP(KS_MD5_I, b, c, d, a, 5, 21, 51);
    KS_MD5_STEP(KS_MD5_I, a, b, c, d, 12, 6, 52);
    KS_MD5_STEP(KS_MD5_I, d, a, b, c, 3, 10, 53);
    KS_MD5_STEP(KS_MD5_I, c, d, a, b, 10, 15, 54);
    KS_MD5_STEP(KS_MD5_I, b, c, d, a, 1, 21, 55);
    KS_MD5_STEP(KS_MD5_I, a, b, c, d, 8, 6, 56);
    KS_MD5_STEP(KS_MD5_I, d, a, b, c, 15, 10, 57);
    KS_MD5_STEP(KS_MD5_I, c, d, a, b, 6, 15, 58);
    KS_MD5_STEP(KS_MD5_I, b, c, d, a, 13, 21, 59);
    KS_MD5_STEP(KS_MD5_I, a, b, c, d, 4, 6, 60);
    KS_MD5_STEP(KS_MD5_I, d, a, b, c, 11, 10, 61);
    KS_MD5_STEP(KS_MD5_I, c, d, a, b, 2, 15, 62);
    KS_MD5_STEP(KS_MD5_I, b, c, d, a, 9, 21, 63);

    s[0] += a;
    s[1] += b;
    s[2] += c;
    s[3] += d;
  }
  zeroize(x, sizeof(x));
}

}  // namespace cppcrypto

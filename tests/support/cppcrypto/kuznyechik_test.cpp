#include "support/cppcrypto/kuznyechik.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "tests/support/cppcrypto/crypto_test_util.h"

namespace {

using cppcrypto::block_cipher;
using cppcrypto::kuznyechik;
using namespace crypto_test;

// GOST R 34.12-2015 section A.1 (RFC 7801 section 5).
const char* const kKey = "8899aabbccddeeff0011223344556677fedcba98765432100123456789abcdef";
const char* const kPlain = "1122334455667700ffeeddccbbaa9988";
const char* const kCipher = "7f679d90bebc24305a468d42b9d4edcd";

bytes encrypt(const bytes& key, const bytes& in) {
  kuznyechik k;
  k.init(key.data(), block_cipher::encryption);
  bytes out(in.size());
  k.encrypt_blocks(in.data(), out.data(), in.size() / 16);
  return out;
}

TEST(Kuznyechik, StandardExampleBothDirections) {
  bytes const key = from_hex(kKey), plain = from_hex(kPlain), cipher = from_hex(kCipher);
  kuznyechik enc, dec;
  EXPECT_EQ(enc.blocksize(), 128u);
  EXPECT_EQ(enc.keysize(), 256u);
  enc.init(key.data(), block_cipher::encryption);
  dec.init(key.data(), block_cipher::decryption);
  unsigned char out[16];
  enc.encrypt_block(plain.data(), out);
  EXPECT_EQ(to_hex(out, 16), kCipher);
  dec.decrypt_block(cipher.data(), out);
  EXPECT_EQ(to_hex(out, 16), kPlain);
  // In place.
  std::memcpy(out, plain.data(), 16);
  enc.encrypt_block(out, out);
  EXPECT_EQ(to_hex(out, 16), kCipher);
  dec.decrypt_block(out, out);
  EXPECT_EQ(to_hex(out, 16), kPlain);
  // Keyed for decryption, the object keeps transformed round keys: its
  // encrypt_block is not the cipher.
  dec.encrypt_block(plain.data(), out);
  EXPECT_NE(to_hex(out, 16), kCipher);
}

// GOST R 34.12-2015 section A.1.4: the round keys K1..K10.
TEST(Kuznyechik, KeySchedule) {
  const char* const want[10] = {
      "8899aabbccddeeff0011223344556677", "fedcba98765432100123456789abcdef", "db31485315694343228d6aef8cc78c44",
      "3d4553d8e9cfec6815ebadc40a9ffd04", "57646468c44a5e28d3e59246f429f1ac", "bd079435165c6432b532e82834da581b",
      "51e640757e8745de705727265a0098b1", "5a7925017b9fdd3ed72a91a22286f984", "bb44e25378c73123a5f32f73cdb6e517",
      "72e9dd7416bcf45b755dbaa88e4a4043"};
  unsigned char rk[10][16];
  cppcrypto::kuznyechik_key_schedule(from_hex(kKey).data(), rk);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(to_hex(rk[i], 16), want[i]) << "K" << (i + 1);
}

TEST(Kuznyechik, BlocksAreIndependentEcbSteps) {
  bytes const key = random_bytes(32, 1), in = random_bytes(48, 2);
  kuznyechik k;
  k.init(key.data(), block_cipher::encryption);
  bytes all(48), one(48);
  k.encrypt_blocks(in.data(), all.data(), 3);
  for (int i = 0; i < 3; ++i) k.encrypt_block(in.data() + 16 * i, one.data() + 16 * i);
  EXPECT_EQ(all, one);
  kuznyechik d;
  d.init(key.data(), block_cipher::decryption);
  bytes back(48);
  d.decrypt_blocks(all.data(), back.data(), 3);
  EXPECT_EQ(back, in);
}

// Random keys and blocks against openssl's GOST provider, both directions.
TEST(Kuznyechik, MatchesOpensslGostEcb) {
  kstest::TempDir dir;
  for (uint64_t seed = 1; seed <= 4; ++seed) {
    bytes const key = random_bytes(32, 100 + seed), plain = random_bytes(16 * 64, 200 + seed);
    write_bytes(dir / "plain", plain);
    std::string const k = " -K " + to_hex(key) + " -nopad";
    run_lines(openssl_gost_enc("-kuznyechik-ecb" + k + " -in " + kstest::sh_quote((dir / "plain").string()) +
                               " -out " + kstest::sh_quote((dir / "cipher").string())));
    bytes const want = read_bytes(dir / "cipher");
    ASSERT_EQ(want.size(), plain.size()) << "openssl gave no ciphertext";
    EXPECT_EQ(to_hex(encrypt(key, plain)), to_hex(want)) << "seed " << seed;
    kuznyechik d;
    d.init(key.data(), block_cipher::decryption);
    bytes back(plain.size());
    d.decrypt_blocks(want.data(), back.data(), plain.size() / 16);
    EXPECT_EQ(back, plain) << "seed " << seed;
  }
}

TEST(Kuznyechik, CloneIsUnkeyedAndClearForgetsTheKey) {
  bytes const key = from_hex(kKey), plain = from_hex(kPlain);
  kuznyechik k;
  k.init(key.data(), block_cipher::encryption);
  std::unique_ptr<block_cipher> c(k.clone());
  EXPECT_EQ(c->blocksize(), 128u);
  unsigned char unkeyed[16], keyed[16], cleared[16];
  c->encrypt_block(plain.data(), unkeyed);
  EXPECT_NE(to_hex(unkeyed, 16), kCipher);
  c->init(key.data(), block_cipher::encryption);
  c->encrypt_block(plain.data(), keyed);
  EXPECT_EQ(to_hex(keyed, 16), kCipher);
  k.clear();
  k.encrypt_block(plain.data(), cleared);
  EXPECT_EQ(to_hex(cleared, 16), to_hex(unkeyed, 16));  // both all-zero round keys
}

}  // namespace

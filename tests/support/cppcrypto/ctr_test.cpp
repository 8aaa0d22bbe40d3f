#include "support/cppcrypto/ctr.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/cppcrypto/kuznyechik.h"
#include "tests/support/cppcrypto/crypto_test_util.h"

namespace {

using cppcrypto::ctr;
using cppcrypto::kuznyechik;
using namespace crypto_test;

const char* const kKey = "8899aabbccddeeff0011223344556677fedcba98765432100123456789abcdef";

bytes ctr_apply(const bytes& key, const bytes& iv, const bytes& in, const std::vector<size_t>& pieces = {}) {
  kuznyechik cipher;
  ctr mode(cipher);
  mode.init(key.data(), key.size(), iv.data(), iv.size());
  bytes out(in.size());
  size_t pos = 0;
  for (size_t n : pieces) {
    mode.encrypt(in.data() + pos, n, out.data() + pos);
    pos += n;
  }
  mode.encrypt(in.data() + pos, in.size() - pos, out.data() + pos);
  return out;
}

// GOST R 34.13-2015 section A.2.2 (Kuznyechik, s = 128).
TEST(Ctr, StandardExample) {
  bytes const key = from_hex(kKey), iv = from_hex("1234567890abcef0");
  bytes const plain = from_hex(
      "1122334455667700ffeeddccbbaa9988" "00112233445566778899aabbcceeff0a"
      "112233445566778899aabbcceeff0a00" "2233445566778899aabbcceeff0a0011");
  std::string const cipher =
      "f195d8bec10ed1dbd57b5fa240bda1b8" "85eee733f6a13e5df33ce4b33c45dee4"
      "a5eae88be6356ed3d5e877f13564a3a5" "cb91fab1f20cbab6d1c6d15820bdba73";
  EXPECT_EQ(to_hex(ctr_apply(key, iv, plain)), cipher);
  EXPECT_EQ(to_hex(ctr_apply(key, iv, plain, {1, 16, 15, 3})), cipher);
  // Decryption is the same keystream, in place.
  kuznyechik k;
  ctr mode(k);
  EXPECT_EQ(mode.keysize(), 256u);
  EXPECT_EQ(mode.ivsize(), 128u);
  mode.init(key.data(), key.size(), iv.data(), iv.size());
  bytes text = from_hex(cipher);
  mode.decrypt(text.data(), text.size(), text.data());
  EXPECT_EQ(text, plain);
}

// One call or several continue the same keystream: leftovers of a partial
// block are used byte by byte at their own positions, empty calls change
// nothing.
TEST(Ctr, PiecesContinueOneKeystream) {
  bytes const key = random_bytes(32, 1), iv = of_text("qT"), text = random_bytes(300, 2);
  bytes const whole = ctr_apply(key, iv, bytes(text.begin(), text.begin() + 37));
  EXPECT_EQ(ctr_apply(key, iv, bytes(text.begin(), text.begin() + 37), {5, 16, 16}), whole);
  EXPECT_EQ(ctr_apply(key, iv, bytes(text.begin(), text.begin() + 37), {5, 0, 0, 11, 0, 16}), whole);
  bytes const all = ctr_apply(key, iv, text);
  const std::vector<std::vector<size_t>> splits = {
      {1, 1, 1, 13, 16, 32, 64, 15}, {17, 17, 17, 17}, {16, 16, 16}, {0, 100, 0, 3, 29, 64}, {299}};
  for (const auto& split : splits) EXPECT_EQ(ctr_apply(key, iv, text, split), all);
  kuznyechik k;
  ctr mode(k);
  mode.init(key.data(), key.size(), iv.data(), iv.size());
  bytes back = all;
  mode.decrypt(back.data(), 37, back.data());
  mode.decrypt(back.data() + 37, back.size() - 37, back.data() + 37);
  EXPECT_EQ(back, text);
}

// The keystream from counter blocks that python3 counts (the IV followed by
// zero bytes, plus one per block as a 128-bit big-endian number), enciphered
// by openssl's GOST ECB: carries through ff bytes and the wrap to zero.
TEST(Ctr, CounterBlocksMatchAnIndependentCounterAndOpensslEcb) {
  kstest::TempDir dir;
  bytes const key = random_bytes(32, 3);
  const std::vector<std::string> ivs = {
      "",                                  // counter starts at zero
      "7154",                              // "qT", the length the system uses
      "1234567890abcef0",                  // the standard's 8 bytes
      "00112233445566778899aabbccddfffe",  // carry through the last two bytes
      "000102030405060708090a0b0cffffff",
      "ffffffffffffffffffffffffffffffff",  // wraps to zero
      "0102030405060708090a0b0c0d0eff",    // 15 bytes
  };
  size_t const blocks = 5;
  for (const std::string& iv_hex : ivs) {
    SCOPED_TRACE("iv '" + iv_hex + "'");
    run_lines("python3 -c " +
              kstest::sh_quote("import sys\n"
                               "iv=bytes.fromhex(sys.argv[1]); c=int.from_bytes(iv+bytes(16-len(iv)),'big')\n"
                               "open(sys.argv[2],'wb').write(b''.join(((c+i)%2**128).to_bytes(16,'big') for i in range(" +
                               std::to_string(blocks) + ")))\n") +
              " '" + iv_hex + "' " + kstest::sh_quote((dir / "counters").string()));
    run_lines(openssl_gost_enc("-kuznyechik-ecb -nopad -K " + to_hex(key) + " -in " +
                               kstest::sh_quote((dir / "counters").string()) + " -out " +
                               kstest::sh_quote((dir / "stream").string())));
    bytes const stream = read_bytes(dir / "stream");
    ASSERT_EQ(stream.size(), 16 * blocks);
    bytes const zeros(16 * blocks - 3, 0);
    bytes const want(stream.begin(), stream.end() - 3);
    EXPECT_EQ(to_hex(ctr_apply(key, from_hex(iv_hex), zeros)), to_hex(want));
    EXPECT_EQ(to_hex(ctr_apply(key, from_hex(iv_hex), zeros, {7, 9, 33})), to_hex(want));
  }
}

// The GOST provider's own counter mode (its IV is half a block, the counter
// block that IV followed by zero bytes): random keys, IVs and lengths; a
// 2-byte IV is the same as the provider's IV with six zero bytes after it.
TEST(Ctr, MatchesOpensslGostCtr) {
  kstest::TempDir dir;
  uint64_t seed = 10;
  for (size_t len : {1, 15, 16, 17, 37, 1000, 4099}) {
    for (size_t ivlen : {2, 8}) {
      ++seed;
      SCOPED_TRACE("length " + std::to_string(len) + " ivlen " + std::to_string(ivlen));
      bytes const key = random_bytes(32, seed), text = random_bytes(len, seed + 1000);
      bytes const iv = random_bytes(ivlen, seed + 2000);
      bytes iv8 = iv;
      iv8.resize(8, 0);
      write_bytes(dir / "plain", text);
      run_lines(openssl_gost_enc("-kuznyechik-ctr -K " + to_hex(key) + " -iv " + to_hex(iv8) + " -in " +
                                 kstest::sh_quote((dir / "plain").string()) + " -out " +
                                 kstest::sh_quote((dir / "cipher").string())));
      bytes const want = read_bytes(dir / "cipher");
      EXPECT_EQ(to_hex(ctr_apply(key, iv, text)), to_hex(want));
      EXPECT_EQ(to_hex(ctr_apply(key, iv, text, {len / 3, len / 5})), to_hex(want));
    }
  }
}

// An IV longer than the block is cut to the block, a key of the wrong length
// is padded with zero bytes or cut: neither is read past its length.
TEST(Ctr, OverlongIvAndWrongKeyLengthsAreBounded) {
  bytes const key = random_bytes(32, 5), text = random_bytes(100, 6);
  bytes const iv16 = random_bytes(16, 7);
  bytes iv40 = iv16;
  iv40.resize(40, 0xee);
  EXPECT_EQ(ctr_apply(key, iv40, text), ctr_apply(key, iv16, text));

  bytes const short_key(key.begin(), key.begin() + 10);
  bytes padded = short_key;
  padded.resize(32, 0);
  EXPECT_EQ(ctr_apply(short_key, iv16, text), ctr_apply(padded, iv16, text));
  bytes long_key = key;
  long_key.resize(48, 0x55);
  EXPECT_EQ(ctr_apply(long_key, iv16, text), ctr_apply(key, iv16, text));
}

// Input ending at an inaccessible page, every length up to three blocks and
// in two calls: the wide XOR is used on whole blocks only.
TEST(Ctr, ReadsNothingPastTheInput) {
  bytes const key = random_bytes(32, 13), iv = of_text("qT"), text = random_bytes(48, 14);
  for (size_t len = 0; len <= 48; ++len) {
    bytes const m(text.begin(), text.begin() + len);
    guarded_bytes g(m);
    kuznyechik k;
    ctr mode(k);
    mode.init(key.data(), key.size(), iv.data(), iv.size());
    bytes out(len);
    mode.encrypt(g.data(), len / 2, out.data());
    mode.encrypt(g.data() + len / 2, len - len / 2, out.data() + len / 2);
    EXPECT_EQ(out, ctr_apply(key, iv, m)) << "length " << len;
  }
}

TEST(Ctr, CloneIsAFreshModeOverTheSameCipherAndInitRestarts) {
  bytes const key = random_bytes(32, 8), iv = of_text("qT"), text = random_bytes(50, 9);
  bytes const want = ctr_apply(key, iv, text);
  kuznyechik k;
  ctr mode(k);
  std::unique_ptr<cppcrypto::stream_cipher> c(mode.clone());
  EXPECT_EQ(c->keysize(), 256u);
  c->init(key.data(), key.size(), iv.data(), iv.size());
  bytes out(text.size());
  c->encrypt(text.data(), text.size(), out.data());
  EXPECT_EQ(out, want);
  // A second init restarts the keystream, even mid-block.
  c->init(key.data(), key.size(), iv.data(), iv.size());
  c->encrypt(text.data(), 7, out.data());
  c->init(key.data(), key.size(), iv.data(), iv.size());
  c->encrypt(text.data(), text.size(), out.data());
  EXPECT_EQ(out, want);
  c->clear();
  c->init(key.data(), key.size(), iv.data(), iv.size());
  c->encrypt(text.data(), text.size(), out.data());
  EXPECT_EQ(out, want);
}

}  // namespace

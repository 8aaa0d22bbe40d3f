#include "support/cppcrypto/hmac.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/cppcrypto/md5.h"
#include "support/cppcrypto/sha256.h"
#include "tests/support/cppcrypto/crypto_test_util.h"

namespace {

using namespace crypto_test;

std::string mac_hex(const cppcrypto::crypto_hash& inner, const bytes& key, const bytes& data) {
  cppcrypto::hmac mac(inner, key.data(), key.size());
  bytes out(mac.hashsize() / 8);
  mac.hash_string(data.data(), data.size(), out.data());
  return to_hex(out);
}

struct Case {
  bytes key;
  bytes data;
  const char* sha224;
  const char* sha256;
};

// RFC 4231 section 4; case 5 is truncated to 128 bits there.
TEST(Hmac, Rfc4231Sha224AndSha256) {
  bytes const long_key(131, 0xaa);
  const Case cases[] = {
      {bytes(20, 0x0b), of_text("Hi There"), "896fb1128abbdf196832107cd49df33f47b4b1169912ba4f53684b22",
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {of_text("Jefe"), of_text("what do ya want for nothing?"),
       "a30e01098bc6dbbf45690f3a7e9e6d0f8bbea2a39e6148008fd05e44",
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {bytes(20, 0xaa), bytes(50, 0xdd), "7fb3cb3588c6c1f6ffa9694d7d6ad2649365b0c1f65d69d1ec8333ea",
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {from_hex("0102030405060708090a0b0c0d0e0f10111213141516171819"), bytes(50, 0xcd),
       "6c11506874013cac6a2abc1bb382627cec6a90d86efc012de7afec5a",
       "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
      {bytes(20, 0x0c), of_text("Test With Truncation"), "0e2aea68a90c8d37c988bcdb9fca6fa8",
       "a3b6167473100ee06e0c796c2955552b"},
      {long_key, of_text("Test Using Larger Than Block-Size Key - Hash Key First"),
       "95e9a0db962095adaebe9b2d6f0dbce2d499f112f2d2b7273fa6870e",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {long_key,
       of_text("This is a test using a larger than block-size key and a larger than block-size data. The key "
               "needs to be hashed before being used by the HMAC algorithm."),
       "3a854166ac5d9f023f54d517d0b39dbd946770db9c2b95c9f6f565d1",
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    SCOPED_TRACE("test case " + std::to_string(i + 1));
    const Case& c = cases[i];
    std::string const s224 = c.sha224, s256 = c.sha256;
    EXPECT_EQ(mac_hex(cppcrypto::sha224(), c.key, c.data).substr(0, s224.size()), s224);
    EXPECT_EQ(mac_hex(cppcrypto::sha256(), c.key, c.data).substr(0, s256.size()), s256);
  }
}

// RFC 2202 section 2; case 5 is also given there truncated to 96 bits.
TEST(Hmac, Rfc2202Md5) {
  const std::pair<std::pair<bytes, bytes>, const char*> cases[] = {
      {{bytes(16, 0x0b), of_text("Hi There")}, "9294727a3638bb1c13f48ef8158bfc9d"},
      {{of_text("Jefe"), of_text("what do ya want for nothing?")}, "750c783e6ab0b503eaa86e310a5db738"},
      {{bytes(16, 0xaa), bytes(50, 0xdd)}, "56be34521d144c88dbb8c733f0e8b3f6"},
      {{from_hex("0102030405060708090a0b0c0d0e0f10111213141516171819"), bytes(50, 0xcd)},
       "697eaf0aca3a3aea3a75164746ffaa79"},
      {{bytes(16, 0x0c), of_text("Test With Truncation")}, "56461ef2342edc00f9bab995690efd4c"},
      {{bytes(80, 0xaa), of_text("Test Using Larger Than Block-Size Key - Hash Key First")},
       "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
      {{bytes(80, 0xaa), of_text("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data")},
       "6f630fad67cda0ee1fb1f562db3aa53e"},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    SCOPED_TRACE("test case " + std::to_string(i + 1));
    EXPECT_EQ(mac_hex(cppcrypto::md5(), cases[i].first.first, cases[i].first.second), cases[i].second);
  }
}

// Keys around the block size (64 used as is, 65 hashed first), the empty
// key and the 93-digit salt the host identity uses, against python3's hmac.
TEST(Hmac, KeyLengthsAroundTheBlockSizeMatchPythonHmac) {
  kstest::TempDir dir;
  bytes const material = random_bytes(400, 21);
  write_bytes(dir / "m", material);
  std::vector<size_t> key_lengths = {0, 1, 32, 63, 64, 65, 93, 127, 128, 129, 200};
  std::string list;
  for (size_t n : key_lengths) list += std::to_string(n) + ",";
  // key = first n bytes, message = the 150 bytes after the first 200
  auto const lines = run_lines("python3 -c " +
                               kstest::sh_quote("import hmac,hashlib,sys\n"
                                                "d=open(sys.argv[1],'rb').read()\n"
                                                "for n in [" + list + "]:\n"
                                                "  k=d[:n]; m=d[200:350]\n"
                                                "  print(hmac.new(k,m,hashlib.sha256).hexdigest(),"
                                                " hmac.new(k,m,hashlib.sha224).hexdigest(),"
                                                " hmac.new(k,m,hashlib.md5).hexdigest())\n"
                                                "print(hmac.new(b'4726158309'*9+b'472',b'node-1',hashlib.sha256).hexdigest())\n") +
                               " " + kstest::sh_quote((dir / "m").string()));
  ASSERT_EQ(lines.size(), key_lengths.size() + 1);
  bytes const message(material.begin() + 200, material.begin() + 350);
  for (size_t i = 0; i < key_lengths.size(); ++i) {
    SCOPED_TRACE("key length " + std::to_string(key_lengths[i]));
    bytes const key(material.begin(), material.begin() + key_lengths[i]);
    std::string const want = mac_hex(cppcrypto::sha256(), key, message) + " " +
                             mac_hex(cppcrypto::sha224(), key, message) + " " +
                             mac_hex(cppcrypto::md5(), key, message);
    EXPECT_EQ(want, lines[i]);
  }
  std::string const salt = "472615830947261583094726158309472615830947261583094726158309472615830947261583094726158309472";
  ASSERT_EQ(salt.size(), 93u);
  cppcrypto::hmac mac(cppcrypto::sha256(), salt);
  unsigned char out[32];
  mac.hash_string(std::string("node-1"), out);
  EXPECT_EQ(to_hex(out, 32), lines.back());
}

TEST(Hmac, SizesAreThoseOfTheInnerHash) {
  EXPECT_EQ(cppcrypto::hmac(cppcrypto::sha256(), "k").hashsize(), 256u);
  EXPECT_EQ(cppcrypto::hmac(cppcrypto::sha224(), "k").hashsize(), 224u);
  EXPECT_EQ(cppcrypto::hmac(cppcrypto::md5(), "k").hashsize(), 128u);
  EXPECT_EQ(cppcrypto::hmac(cppcrypto::sha256(), "k").blocksize(), 512u);
}

// A clone carries the key but not the running message; one object serves
// many messages; the caller's hash object is left alone.
TEST(Hmac, CloneKeepsTheKeyAndObjectsAreReusable) {
  std::string const want1 = "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7";
  bytes const key(20, 0x0b);
  cppcrypto::sha256 inner;
  inner.init();
  cppcrypto::hmac mac(inner, key.data(), key.size());
  mac.init();
  bytes const junk = random_bytes(99, 5);
  mac.update(junk.data(), junk.size());
  std::unique_ptr<cppcrypto::crypto_hash> copy(mac.clone());
  unsigned char out[32];
  copy->hash_string(std::string("Hi There"), out);
  EXPECT_EQ(to_hex(out, 32), want1);

  // The interrupted message is abandoned by init(); then two messages in a
  // row, the second fed in pieces.
  mac.init();
  mac.update(reinterpret_cast<const unsigned char*>("Hi There"), 8);
  mac.final(out);
  EXPECT_EQ(to_hex(out, 32), want1);
  mac.init();
  for (char ch : std::string("Hi There")) mac.update(reinterpret_cast<const unsigned char*>(&ch), 1);
  mac.final(out);
  EXPECT_EQ(to_hex(out, 32), want1);
  mac.clear();
  mac.hash_string(std::string("Hi There"), out);
  EXPECT_EQ(to_hex(out, 32), want1);

  // The caller's object was only cloned.
  inner.update(reinterpret_cast<const unsigned char*>("abc"), 3);
  inner.final(out);
  EXPECT_EQ(to_hex(out, 32), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace

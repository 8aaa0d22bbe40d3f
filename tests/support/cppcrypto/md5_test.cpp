#include "support/cppcrypto/md5.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/support/cppcrypto/crypto_test_util.h"

namespace {

using namespace crypto_test;

std::string md5_hex(const bytes& data, size_t piece) {
  cppcrypto::md5 h;
  h.init();
  for (size_t pos = 0; pos < data.size(); pos += piece) h.update(data.data() + pos, std::min(piece, data.size() - pos));
  unsigned char out[16];
  h.final(out);
  return to_hex(out, 16);
}

// The test suite of RFC 1321 (appendix A.5), whole and in pieces.
TEST(Md5, Rfc1321Suite) {
  const std::pair<std::string, const char*> cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    for (size_t piece : {size_t(1), size_t(5), size_t(63), size_t(64), size_t(1000)})
      EXPECT_EQ(md5_hex(of_text(c.first), piece), c.second);
    cppcrypto::md5 h;
    unsigned char out[16];
    h.hash_string(c.first, out);
    EXPECT_EQ(to_hex(out, 16), c.second);
  }
}

// Every length 0..200 and some long messages against python3's hashlib.
TEST(Md5, MatchesHashlib) {
  kstest::TempDir dir;
  bytes const data = random_bytes(300000, 11);
  write_bytes(dir / "data", data);
  std::vector<size_t> sizes;
  for (size_t n = 0; n <= 200; ++n) sizes.push_back(n);
  for (size_t n : {4095, 4096, 65537, 300000}) sizes.push_back(n);
  std::string list;
  for (size_t n : sizes) list += std::to_string(n) + ",";
  auto const lines = run_lines("python3 -c " +
                               kstest::sh_quote("import hashlib,sys\n"
                                                "d=open(sys.argv[1],'rb').read()\n"
                                                "for n in [" + list + "]:\n"
                                                "  print(hashlib.md5(d[:n]).hexdigest())\n") +
                               " " + kstest::sh_quote((dir / "data").string()));
  ASSERT_EQ(lines.size(), sizes.size());
  for (size_t i = 0; i < sizes.size(); ++i) {
    SCOPED_TRACE("length " + std::to_string(sizes[i]));
    bytes const m(data.begin(), data.begin() + sizes[i]);
    EXPECT_EQ(md5_hex(m, m.size() + 1), lines[i]);
    EXPECT_EQ(md5_hex(m, 7 + sizes[i] % 60), lines[i]);
  }
}

TEST(Md5, ReadsNothingPastTheInput) {
  bytes const data = random_bytes(200, 15);
  for (size_t len : {0, 1, 55, 56, 63, 64, 65, 128, 200}) {
    bytes const m(data.begin(), data.begin() + len);
    guarded_bytes g(m);
    cppcrypto::md5 h;
    unsigned char out[16];
    h.hash_string(g.data(), len, out);
    EXPECT_EQ(to_hex(out, 16), md5_hex(m, 7)) << "length " << len;
  }
}

TEST(Md5, CloneStartsAfreshAndObjectsAreReusable) {
  cppcrypto::md5 h;
  EXPECT_EQ(h.hashsize(), 128u);
  EXPECT_EQ(h.blocksize(), 512u);
  h.init();
  bytes const junk = random_bytes(100, 2);
  h.update(junk.data(), junk.size());
  std::unique_ptr<cppcrypto::crypto_hash> c(h.clone());
  unsigned char out[16];
  c->hash_string(std::string("abc"), out);
  EXPECT_EQ(to_hex(out, 16), "900150983cd24fb0d6963f7d28e17f72");
  h.clear();
  h.hash_string(std::string("abc"), out);
  EXPECT_EQ(to_hex(out, 16), "900150983cd24fb0d6963f7d28e17f72");
  h.hash_string(std::string("a"), out);
  EXPECT_EQ(to_hex(out, 16), "0cc175b9c0f1b6a831c399e269772661");
}

}  // namespace

#include <cmath>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_util.h"
#include "support/utils/ks_utils_common.h"

using namespace ks_utils_common;

namespace {

std::string to_hex(std::string const& bytes) {
  return digest_as_string(reinterpret_cast<unsigned char const*>(bytes.data()), static_cast<unsigned>(bytes.size()));
}

std::vector<std::string> sample_inputs() {
  std::vector<std::string> inputs = {"", "A", "AB", "ABC", "ABCD", std::string("\0", 1), std::string("\0\0\0\0", 4)};
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  inputs.push_back(all);
  std::mt19937 rng(20240611);
  for (std::size_t len = 1; len <= 70; ++len) {
    std::string s;
    for (std::size_t i = 0; i < len; ++i) s += static_cast<char>(rng() & 0xff);
    inputs.push_back(s);
  }
  return inputs;
}

TEST(Base64, MatchesPythonBothWays) {
  std::vector<std::string> const inputs = sample_inputs();
  std::string hex_lines;
  for (auto const& s : inputs) hex_lines += (s.empty() ? std::string("-") : to_hex(s)) + "\n";
  kstest::TempDir dir;
  kstest::write_file(dir / "in", hex_lines);
  auto const py = kstest::run(
      "python3 -c 'import base64,sys\n"
      "for l in open(sys.argv[1]):\n"
      "  l=l.strip(); print(base64.b64encode(b\"\" if l==\"-\" else bytes.fromhex(l)).decode())' " +
      kstest::sh_quote((dir / "in").string()));
  ASSERT_EQ(py.status, 0) << py.output;
  std::istringstream expected(py.output);
  for (auto const& s : inputs) {
    std::string want;
    ASSERT_TRUE(std::getline(expected, want));
    EXPECT_EQ(base64_encode(s), want) << to_hex(s);
    EXPECT_EQ(base64_decode(want), s) << want;
  }
}

TEST(Base64, DecodeEdgeCases) {
  struct {
    char const* text;
    std::string bytes;
  } const cases[] = {
      {"QQ==", "A"},  // padding gives no bytes
      {"QUI=", "AB"},
      {"QUJD", "ABC"},
      {"QQ", "A"},  // unpadded
      {"QUI", "AB"},
      {"AA==", std::string("\0", 1)},
      {"", ""},
      {"Q", ""},
      {"QQ=", ""},
      {"Q===", ""},
      {"====", ""},
      {"QQ==QUJD", ""},
      {"QQ==\n", ""},
      {"QU JD", ""},
      {"QUJD\r\n", ""},
      {"QU*D", ""},
      {"QUJD-_", ""},
  };
  for (auto const& c : cases) EXPECT_EQ(base64_decode(c.text), c.bytes) << '"' << c.text << '"';
}

TEST(SizeToHuman, Table) {
  struct {
    float size;
    unsigned precision;
    char const* text;
  } const cases[] = {
      {1536, 2, "1.50 kB"},
      {1024, 2, "1 kB"},
      {0, 0, "0 B"},
      {1023, 0, "1023 B"},
      {500, 2, "500 B"},
      {1536, 0, "2 kB"},
      {1048576, 1, "1 MB"},
      {1610612736.0f, 1, "1.5 GB"},
      {std::ldexp(1.0f, 80), 0, "1 YB"},
      {std::ldexp(1.0f, 90), 0, "1 Unknown"},
      {std::numeric_limits<float>::infinity(), 0, "inf Unknown"},
  };
  for (auto const& c : cases) EXPECT_EQ(size_to_human(c.size, c.precision), c.text) << c.size;
}

// Both ends only, only the characters given; inner blanks and other
// control characters stay.
TEST(Trimmed, Table) {
  std::string const nul_too(" \t\n\v\f\r\0", 7);
  struct {
    std::string text;
    std::string blanks;
    std::string result;
  } const cases[] = {
      {" \t 4321\r\n", " \t\r\n", "4321"},
      {"a b\tc", " \t\r\n", "a b\tc"},
      {"", " \t\r\n", ""},
      {" \r\n\t ", " \t\r\n", ""},
      {"\vx\f", " \t\r\n", "\vx\f"},
      {" 12 ", " \t", "12"},
      {"12\n", " \t", "12\n"},
      {std::string("\0 serial\0\0\n", 11), nul_too, "serial"},
      {"\vx\f", nul_too, "x"},
      {std::string("\0\0", 2), nul_too, ""},
  };
  for (auto const& c : cases) EXPECT_EQ(trimmed(c.text, c.blanks), c.result) << '"' << c.text << '"';
  EXPECT_EQ(trimmed("\t x \n"), "x");
}

TEST(Digests, DigestAsStringCountsBytesPrintDigestCountsBits) {
  unsigned char bytes[16];
  for (int i = 0; i < 16; ++i) bytes[i] = static_cast<unsigned char>(i * 17);  // 00 11 ... ff
  EXPECT_EQ(digest_as_string(bytes, 16), "00112233445566778899aabbccddeeff");
  EXPECT_EQ(digest_as_string(bytes, 0), "");

  testing::internal::CaptureStdout();
  print_digest(bytes, 128);
  print_digest(bytes, 12);  // one whole byte
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "00 11 22 33 44 55 66 77 88 99 aa bb cc dd ee ff \n"
            "00 \n");
}

}  // namespace

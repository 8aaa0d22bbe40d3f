#include <array>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_util.h"
#include "support/utils/hash.h"
#include "support/utils/ks_utils_common.h"

namespace {

using kestrova::hash::digest256;

char const kSalt[] =
    "472615830947261583094726158309472615830947261583094726158309472615830947261583094726158309472";

std::string hex_of(std::string const& bytes) {
  return ks_utils_common::digest_as_string(reinterpret_cast<unsigned char const*>(bytes.data()),
                                           static_cast<unsigned>(bytes.size()));
}

TEST(SaltedHash, MatchesPythonHmacAndRendersLastByteFirst) {
  std::vector<std::string> const texts = {
      "",
      "vm-0001",
      "/opt/kestrova/var/kestrova-modules/ks_module_rustack 0a1b2c3d-4e5f",
      std::string(200, 'z'),
      std::string("nul\0inside", 10),
      "\xd0\xb2\xd0\xbc",
  };
  kstest::TempDir dir;
  std::string lines;
  for (auto const& t : texts) lines += "x" + hex_of(t) + "\n";
  kstest::write_file(dir / "in", lines);
  auto const py = kstest::run(std::string("python3 -c 'import hmac,hashlib,sys\n"
                                          "for l in open(sys.argv[1]):\n"
                                          "  d=hmac.new(b\"") +
                              kSalt +
                              "\", bytes.fromhex(l.strip()[1:]), hashlib.sha256).digest()\n"
                              "  print(d.hex(), d[::-1].hex())' " +
                              kstest::sh_quote((dir / "in").string()));
  ASSERT_EQ(py.status, 0) << py.output;
  std::istringstream expected(py.output);
  for (auto const& t : texts) {
    std::string in_order, reversed;
    ASSERT_TRUE(expected >> in_order >> reversed);
    digest256 const d = kestrova::hash::sha::make_hash<digest256>(t);
    EXPECT_EQ(ks_utils_common::digest_as_string(d.data(), 32), in_order) << t;
    EXPECT_EQ(kestrova::hash::to_string(d), reversed) << t;
    EXPECT_EQ(kestrova::hash::sha::Hasher<digest256>{}(t), d);
  }
  EXPECT_EQ(kestrova::hash::sha::make_hash(std::string("vm-0001")), kestrova::hash::sha::make_hash("vm-0001"));
}

TEST(SaltedHash, ToStringTakesBytesInReverseOrder) {
  digest256 d{};
  d[0] = 0x01;
  EXPECT_EQ(kestrova::hash::to_string(d), std::string(62, '0') + "01");
  for (int i = 0; i < 32; ++i) d[i] = static_cast<unsigned char>(i == 31 ? 0xfe : i);
  EXPECT_EQ(kestrova::hash::to_string(d),
            "fe1e1d1c1b1a191817161514131211100f0e0d0c0b0a09080706050403020100");
}

}  // namespace

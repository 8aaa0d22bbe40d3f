#include <sys/utsname.h>

#include <string>

#include <gtest/gtest.h>

#include "common/test_util.h"
#include "support/log/ks_log.h"
#include "support/utils/ks_utils_common.h"

using namespace ks_utils_common;

namespace {

char const kSalt[] =
    "472615830947261583094726158309472615830947261583094726158309472615830947261583094726158309472";

std::string python(std::string const& program) {
  auto r = kstest::run("python3 -c " + kstest::sh_quote(program));
  EXPECT_EQ(r.status, 0) << r.output;
  return r.output.substr(0, r.output.find('\n'));
}

TEST(HostIdentity, NodeNameAndHardwareIdMatchPython) {
  KS_REQUIRE_SANDBOX();  // /etc/machine-id is the two-line test file here
  EXPECT_EQ(get_nodename(), python("import os; print(os.uname().nodename)"));
  std::string const expected = python(
      std::string("import hmac,hashlib,os\n"
                  "u=os.uname(); mid=open('/etc/machine-id').readline().rstrip('\\n')\n"
                  "print(hmac.new(b'") +
      kSalt + "', (u.nodename+mid+u.sysname).encode(), hashlib.sha256).hexdigest())");
  ASSERT_EQ(expected.size(), 64u);
  EXPECT_EQ(server::hardware_id(), expected);
}

TEST(HostCipher, RoundTripAndLengthRule) {
  std::string const texts[] = {
      "",
      "a",
      std::string(15, 'x'),
      std::string(16, 'y'),
      std::string(17, 'z'),
      "p@ss w0rd with \"quotes\" and 'more' \xd0\xbf\xd0\xb0\xd1\x80\xd0\xbe\xd0\xbb\xd1\x8c",
      std::string(100, 'q'),
  };
  for (auto const& plain : texts) {
    std::string text = plain;
    server::encrypt_string(text);
    EXPECT_EQ(text.size(), (plain.size() / 16 * 16 + 16) * 2) << plain;
    EXPECT_EQ(text.find_first_not_of("0123456789abcdef"), std::string::npos) << text;
    std::string upper = text;
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    server::decrypt_string(text);
    EXPECT_EQ(text, plain);
    server::decrypt_string(upper);
    EXPECT_EQ(upper, plain);
  }
  std::string a = "same", b = "same";
  server::encrypt_string(a);
  server::encrypt_string(b);
  EXPECT_EQ(a, b);  // the counter block is fixed: one text, one ciphertext
}

TEST(HostCipher, CiphertextMatchesOpensslGost) {
  std::string const plain = "a secret of more than one block!!";  // 33 bytes -> 48 with padding
  kstest::TempDir dir;
  std::string padded = plain;
  padded.resize(48, '\0');
  kstest::write_file(dir / "plain", padded);
  std::string const key_text = server::hardware_id().substr(0, 32);
  std::string const key_hex = digest_as_string(reinterpret_cast<unsigned char const*>(key_text.data()), 32);
  // The engine's CTR takes a half-block IV; the counter is IV || 0^64, here
  // "qT" followed by fourteen zero bytes.
  auto r = kstest::run("openssl enc -engine gost -kuznyechik-ctr -K " + key_hex + " -iv 7154000000000000 -in " +
                       kstest::sh_quote((dir / "plain").string()) + " -out " +
                       kstest::sh_quote((dir / "cipher").string()));
  if (r.status != 0) GTEST_SKIP() << "openssl with the gost engine is not usable: " << r.output;
  std::string const cipher = kstest::read_file(dir / "cipher");
  std::string text = plain;
  server::encrypt_string(text);
  EXPECT_EQ(text, digest_as_string(reinterpret_cast<unsigned char const*>(cipher.data()),
                                   static_cast<unsigned>(cipher.size())));
}

TEST(HwPlatform, ReportsDmidecodeLinesOrLogsTheFailure) {
  KsLogStream::set_default_loggers(KsDestination::Stderr());
  std::string const path = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
  struct {
    char const* what;
    char const* dmidecode;
    bool ok;
    char const* output;
  } const cases[] = {
      {"system table", "printf '\\tManufacturer: Acme\\n\\tProduct Name: Box 9\\n\\tVersion: 1\\n'", true,
       "\tManufacturer: Acme\n\tProduct Name: Box 9\n"},
      {"no access", "echo '/dev/mem: Permission denied' >&2; exit 1", false, ""},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.what);
    kstest::TempDir bin;
    kstest::write_file(bin / "dmidecode", std::string("#!/bin/sh\n") + c.dmidecode + "\n");
    ASSERT_EQ(chmod((bin / "dmidecode").c_str(), 0755), 0);
    setenv("PATH", (bin.str() + ":" + path).c_str(), 1);
    std::string output = "kept|";
    testing::internal::CaptureStderr();
    bool const ok = get_hw_platform(output);
    std::string const log = testing::internal::GetCapturedStderr();
    setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(output, std::string("kept|") + c.output);
    if (c.ok) {
      EXPECT_EQ(log, "");
    } else {
      EXPECT_NE(log.find("bool ks_utils_common::get_hw_platform(std::__cxx11::string&): the following command "
                         "produced an error: dmidecode -t system|grep 'Manufacturer\\|Product'"),
                std::string::npos)
          << log;
      EXPECT_NE(log.find("command output: kept|"), std::string::npos) << log;
    }
  }
}

}  // namespace

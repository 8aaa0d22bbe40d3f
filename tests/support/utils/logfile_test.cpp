#include <string>

#include <gtest/gtest.h>

#include "common/test_util.h"
#include "support/utils/ks_utils_common.h"

namespace {

char const kConfig[] = "/opt/kestrova/etc/config.file";

TEST(GetLogfile, ReadsTheLastLogfileLine) {
  KS_REQUIRE_SANDBOX();
  struct {
    char const* what;
    char const* content;
    char const* path;
  } const cases[] = {
      {"blanks and tabs", "logfile \t  \t/var/log/ks.log\n", "/var/log/ks.log"},
      {"indented, trailing blanks", "   logfile /a/b.log   \n", "/a/b.log"},
      {"inner blanks squeezed", "logfile /a  b.log\n", "/a b.log"},
      {"CRLF line end", "logfile /a/crlf.log\r\n", "/a/crlf.log"},
      {"tab and CR at the end", "logfile\t/a/t.log\t\r\n", "/a/t.log"},
      {"word and CR alone ignored", "logfile \r\n", "/opt/kestrova/log/Kestrova.log"},
      {"later line wins", "logfile /first.log\nother x\nlogfile /second.log\n", "/second.log"},
      {"comments skipped", "# logfile /commented.log\nlogfile /real.log\n", "/real.log"},
      {"word alone ignored", "logfile\nlogfile   \n", "/opt/kestrova/log/Kestrova.log"},
      {"prefix is not the key", "logfiles /x.log\n", "/opt/kestrova/log/Kestrova.log"},
      {"no such line", "server 1\n\n", "/opt/kestrova/log/Kestrova.log"},
      {"empty file", "", "/opt/kestrova/log/Kestrova.log"},
  };
  for (auto const& c : cases) {
    kstest::write_file(kConfig, c.content);
    EXPECT_EQ(ks_utils_common::get_logfile(), c.path) << c.what;
  }
  boost::filesystem::remove(kConfig);
}

TEST(GetLogfileDeathTest, MissingConfigEndsTheProcess) {
  KS_REQUIRE_SANDBOX();
  boost::filesystem::remove(kConfig);
  EXPECT_EXIT(ks_utils_common::get_logfile(), testing::ExitedWithCode(1),
              "Can't open config file: /opt/kestrova/etc/config.file");
}

}  // namespace

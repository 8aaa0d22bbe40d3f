#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_util.h"
#include "support/utils/quoting.h"

namespace {

TEST(Quoting, MessageQuotesEscapeOnlyDelimiterAndEscape) {
  struct {
    std::string text;
    std::string doubled;  // as_quoted(text, '"', '\\')
    std::string single;   // as_quoted_single(text)
  } const cases[] = {
      {"", R"("")", "''"},
      {"plain text", R"("plain text")", "'plain text'"},
      {R"(say "hi")", R"("say \"hi\"")", R"('say "hi"')"},
      {"it's", R"("it's")", R"('it\'s')"},
      {R"(C:\dir\)", R"("C:\\dir\\")", R"('C:\\dir\\')"},
      {"tab\tnew\nline $x `y`", "\"tab\tnew\nline $x `y`\"", "'tab\tnew\nline $x `y`'"},
  };
  for (auto const& c : cases) {
    EXPECT_EQ(kestrova::as_quoted(c.text, '"', '\\'), c.doubled) << c.text;
    EXPECT_EQ(kestrova::as_quoted_single(c.text), c.single) << c.text;
    EXPECT_EQ(kestrova_common::single_quoted(c.text), c.single) << c.text;
  }
  EXPECT_EQ(kestrova::as_quoted("a|b", '|', '#'), "|a#|b|");
  EXPECT_EQ(kestrova::as_quoted("a#b", '|', '#'), "|a##b|");
}

std::vector<std::string> const hostile = {
    "",
    "plain",
    "two words",
    "$HOME",
    "${PATH:-x}",
    "$(echo pwned)",
    "`echo pwned`",
    "\"double\"",
    "'single'",
    "it's",
    "'",
    "''",
    "back\\slash\\",
    "\\'",
    "new\nline",
    "\n",
    "tab\there",
    "*",
    "?[a-z]*",
    "~root",
    "-n",
    "--help",
    "-e \\n",
    "a;b|c&d>e<f",
    "!event",
    "#comment",
    " leading and trailing ",
    "\x01\x7f\xc3\xa9",
};

// Runs the argument through a real /bin/sh: printf prints $1 byte for byte.
std::string through_sh(std::string const& word) {
  auto r = kstest::run("sh -c 'printf %s \"$1\"' sh " + word);
  EXPECT_EQ(r.status, 0) << r.output;
  return r.output;
}

TEST(ShellQuoting, HostileTextsComeBackByteForByte) {
  for (auto const& text : hostile) {
    EXPECT_EQ(through_sh(kestrova::shell_quoted(text)), text) << kestrova::shell_quoted(text);
    EXPECT_EQ(through_sh(kestrova::shell_quoted_if_needed(text)), text) << kestrova::shell_quoted_if_needed(text);
  }
}

TEST(ShellQuoting, EachQuotedTextStaysOneWord) {
  std::string command = "printf '<%s>'";
  std::string expected;
  for (auto const& text : hostile) {
    command += " " + kestrova::shell_quoted(text);
    expected += "<" + text + ">";
  }
  auto r = kstest::run(command);
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.output, expected);
}

TEST(ShellQuoting, IfNeededLeavesSafeTextsBare) {
  struct {
    char const* text;
    char const* quoted;
  } const cases[] = {
      {"/dev/vdb", "/dev/vdb"},
      {"user@host:/path/file-1.0_x,y+z=%", "user@host:/path/file-1.0_x,y+z=%"},
      {"", "''"},
      {"a b", "'a b'"},
      {"it's", "'it'\\''s'"},
      {"~", "'~'"},
      {"x*", "'x*'"},
  };
  for (auto const& c : cases) EXPECT_EQ(kestrova::shell_quoted_if_needed(c.text), c.quoted) << c.text;
  EXPECT_EQ(kestrova::shell_quoted("it's"), "'it'\\''s'");
  EXPECT_EQ(kestrova::shell_quoted(""), "''");
}

}  // namespace

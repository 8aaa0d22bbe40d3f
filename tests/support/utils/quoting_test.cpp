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

TEST(OneLine, ControlCharactersAreEscapedEverythingElseStays) {
  using namespace std::string_literals;
  struct {
    std::string text;
    std::string line;
  } const cases[] = {
      {"", ""},
      {"db-01 plain", "db-01 plain"},
      {"db\nMAIN SNAPSHOT FILENAME:/etc/shadow", R"(db\nMAIN SNAPSHOT FILENAME:/etc/shadow)"},
      {"a\r\nb\tc", R"(a\r\nb\tc)"},
      {"nul\0in the middle"s, R"(nul\x00in the middle)"},
      {"\x01\x1b[2K\x1f\x7f", R"(\x01\x1b[2K\x1f\x7f)"},
      {"\v\f", R"(\x0b\x0c)"},
      // Quotes, backslashes and letters of any script stay.
      {R"(d"b\x 'q' \n)", R"(d"b\x 'q' \n)"},
      {"\xc3\x84pfel \xc3\xa9t\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x98\x80", "\xc3\x84pfel \xc3\xa9t\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x98\x80"},
      // C1 controls and the Unicode line separators, in their UTF-8 form.
      {"a\xc2\x85" "b\xc2\x9b" "c\xc2\x80", R"(a\xc2\x85b\xc2\x9bc\xc2\x80)"},
      {"\xe2\x80\xa8|\xe2\x80\xa9|\xe2\x80\xa6", R"(\xe2\x80\xa8|\xe2\x80\xa9|)" "\xe2\x80\xa6"},
      {"\xc2\xa0\xc2\xa9", "\xc2\xa0\xc2\xa9"},
      // Invalid UTF-8 stays byte for byte, and a cut sequence never swallows
      // the control character after it.
      {"\xff\xfe\x85\x9b", "\xff\xfe\x85\x9b"},
      {"\xc2\n.", "\xc2" R"(\n.)"},
      {"\xe2\x80\n.", "\xe2\x80" R"(\n.)"},
      // The line end that ends a tool's output is no part of the value.
      {"Killed\n", "Killed"},
      {"a\nb\r\n\n", R"(a\nb)"},
      {"\n", ""},
      {"\xc2", "\xc2"},
      {"\xe2\x80", "\xe2\x80"},
  };
  for (auto const& c : cases) EXPECT_EQ(kestrova::as_one_line(c.text), c.line) << kestrova::as_one_line(c.text);
}

// A tool's output in quotes on a log line: the line ends that end it go
// before quoting (never a "\n'" at the end), those inside are escaped.
TEST(OneLine, QuotedOutputEndsInTheQuote) {
  struct {
    std::string output;
    std::string line;
  } const cases[] = {
      {"error: failed to connect to the hypervisor\n", R"('error: failed to connect to the hypervisor')"},
      {"Permission denied (publickey).\r\n", R"('Permission denied (publickey).')"},
      {"first\nsecond\n\n", R"('first\nsecond')"},
      {"it's \\ here", R"('it\'s \\ here')"},
      {"no line end", "'no line end'"},
      {"\n", "''"},
      {"", "''"},
      {"\nMAIN SNAPSHOT FILENAME:/x\x1b[2K\n", R"('\nMAIN SNAPSHOT FILENAME:/x\x1b[2K')"},
  };
  for (auto const& c : cases)
    EXPECT_EQ(kestrova::as_quoted_output(c.output), c.line) << kestrova::as_one_line(c.output);
}

// What a reader that splits at every line break Unicode knows sees: one line
// (python's str.splitlines, over the bytes as they would reach a client).
TEST(OneLine, AReaderOfLinesSeesOneLine) {
  std::string text;
  for (int c = 0; c < 0x100; ++c) text += static_cast<char>(c);
  text += "\xc2\x85\xe2\x80\xa8\xe2\x80\xa9\xc2\x9b\r\n";
  kstest::TempDir dir;
  kstest::write_file(dir / "line", kestrova::as_one_line(text));
  auto r = kstest::run("python3 -c 'import sys; t = open(sys.argv[1], \"rb\").read(); "
                       "print(len(t.decode(\"utf-8\", \"surrogateescape\").splitlines()), "
                       "sum(b < 32 or b == 127 for b in t))' " +
                       (dir / "line").string());
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output, "1 0\n") << "lines, then control bytes";
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

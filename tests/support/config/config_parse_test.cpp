// Reading configuration files: which lines become what, and that a save of
// what was read reads back the same.
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_util.h"
#include "support/config/ks_config.h"

namespace {

std::vector<std::string> lines_of(ks_config::ConfigFile const& config) {
  std::vector<std::string> lines;
  for (auto const& line : config) lines.push_back(line->get());
  return lines;
}

struct ParseCase {
  char const* name;
  std::string text;
  std::vector<std::string> lines;  // get() of every line, in order
  std::vector<std::pair<std::string, std::string>> values;
};

std::vector<ParseCase> const parse_cases = {
    {"empty_file", "", {}, {}},
    {"only_white_space", "  \n\t\n\r\n", {}, {}},
    {"blank_lines_dropped", "\n   \nalpha 1\n\t\n\nbeta 2\n\n", {"alpha 1", "beta 2"}, {{"alpha", "1"}, {"beta", "2"}}},
    {"name_only", "flag\n", {"flag "}, {{"flag", ""}}},
    {"name_only_trailing_blanks", "flag   \t\n", {"flag "}, {{"flag", ""}}},
    {"tab_separates", "key\tvalue\n", {"key value"}, {{"key", "value"}}},
    {"blanks_between_not_in_value", "key  \t  value\n", {"key value"}, {{"key", "value"}}},
    {"inner_blanks_kept", "key a  b\t c   \n", {"key a  b\t c"}, {{"key", "a  b\t c"}}},
    {"leading_white_space_trimmed", "  \f key value\v\n", {"key value"}, {{"key", "value"}}},
    {"crlf", "a 1\r\nb two words\r\n", {"a 1", "b two words"}, {{"a", "1"}, {"b", "two words"}}},
    {"no_final_line_break", "a 1\nb 2", {"a 1", "b 2"}, {{"a", "1"}, {"b", "2"}}},
    {"duplicate_keeps_first_position_last_value",
     "a 1\nb 2\na 3\n",
     {"a 3", "b 2"},
     {{"a", "3"}, {"b", "2"}}},
    {"comments",
     "#plain\n   #  indented\n#\n \t# after blank\n",
     {"#plain", "#  indented", "#", "# after blank"},
     {}},
    {"hash_after_value_is_value", "key value # not a comment\n", {"key value # not a comment"},
     {{"key", "value # not a comment"}}},
    {"hash_inside_name", "na#me v\n", {"na#me v"}, {{"na#me", "v"}}},
    {"equals_sign_is_part_of_name", "name=value\n", {"name=value "}, {{"name=value", ""}}},
    {"names_are_case_sensitive", "Key 1\nkey 2\n", {"Key 1", "key 2"}, {{"Key", "1"}, {"key", "2"}}},
};

class ConfigParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ConfigParse, LinesValuesAndRoundTrip) {
  ParseCase const& c = GetParam();
  kstest::TempDir dir;
  kstest::write_file(dir / "in.conf", c.text);

  ks_config::ConfigFile const config((dir / "in.conf").string());
  EXPECT_EQ(lines_of(config), c.lines);
  for (auto const& [name, value] : c.values) {
    ASSERT_TRUE(config.variableExists(name)) << name;
    EXPECT_EQ(config[name], value) << name;
  }

  // A save writes each line and a line feed; reading it back changes nothing.
  std::string expected_file;
  for (auto const& line : c.lines) expected_file += line + "\n";
  ASSERT_TRUE(config.save((dir / "out.conf").string()));
  EXPECT_EQ(kstest::read_file(dir / "out.conf"), expected_file);
  ks_config::ConfigFile const again((dir / "out.conf").string());
  EXPECT_EQ(lines_of(again), c.lines);
}

INSTANTIATE_TEST_SUITE_P(Texts, ConfigParse, ::testing::ValuesIn(parse_cases),
                         [](auto const& info) { return std::string(info.param.name); });

TEST(ConfigParse, EmbeddedNulStaysInValue) {
  kstest::TempDir dir;
  kstest::write_file(dir / "nul.conf", std::string("key a\0b\n", 8));
  ks_config::ConfigFile const config((dir / "nul.conf").string());
  EXPECT_EQ(config["key"], std::string("a\0b", 3));
}

TEST(ConfigParse, UnopenableFileThrowsWithQuotedPath) {
  kstest::TempDir dir;
  // Single quotes and backslashes in the path are escaped with a backslash.
  std::string const path = (dir / "it's a\\b.conf").string();
  std::string const expected = "Can't open file '" + dir.str() + "/it\\'s a\\\\b.conf'";

  try {
    ks_config::ConfigFile config(path);
    FAIL() << "no exception";
  } catch (ks_config::WrongConfigException const& e) {
    EXPECT_EQ(std::string(e.what()), expected);
    // Only a file that opened and then failed is "unreadable".
    EXPECT_EQ(dynamic_cast<ks_config::UnreadableConfigException const*>(&e), nullptr);
  }

  ks_config::ConfigFile config;
  config.addVariable("kept", "1");
  EXPECT_THROW(config.load(path), ks_config::WrongConfigException);
  std::string error;
  EXPECT_FALSE(config.loadConfig(error));
  EXPECT_EQ(error, expected);
  EXPECT_EQ(config["kept"], "1");

  // The failed load already stored its path: once the file is there, a
  // plain loadConfig reads it.
  kstest::write_file(path, "late 2\n");
  error.clear();
  EXPECT_TRUE(config.loadConfig(error)) << error;
  EXPECT_EQ(config["late"], "2");
}

// Files that open but whose reads fail: a failure, never a quiet partial read.
class ConfigReadError : public ::testing::TestWithParam<std::string> {};

TEST_P(ConfigReadError, IsFailureAndLeavesContentAlone) {
  std::string const path = GetParam();
  std::string const prefix = "Can't read file '" + path + "': ";

  try {
    ks_config::ConfigFile config(path);
    FAIL() << "no exception for " << path;
  } catch (ks_config::UnreadableConfigException const& e) {
    EXPECT_EQ(std::string(e.what()).substr(0, prefix.size()), prefix) << e.what();
  }

  kstest::TempDir dir;
  kstest::write_file(dir / "good.conf", "#head\na 1\n");
  ks_config::ConfigFile config((dir / "good.conf").string());
  EXPECT_THROW(config.load(path), ks_config::UnreadableConfigException);
  EXPECT_EQ(lines_of(config), (std::vector<std::string>{"#head", "a 1"}));

  std::string error;
  EXPECT_FALSE(config.loadConfig(error));
  EXPECT_EQ(error.substr(0, prefix.size()), prefix) << error;
}

// A directory opens for reading but every read fails (EISDIR); the memory
// file of the process fails with EIO at offset 0, which is never mapped.
INSTANTIATE_TEST_SUITE_P(Paths, ConfigReadError, ::testing::Values("/tmp", "/proc/self/mem"),
                         [](auto const& info) { return info.index == 0 ? "directory" : "proc_mem"; });

}  // namespace

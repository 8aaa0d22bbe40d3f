// The first message of a process reads /opt/kestrova/etc/ks_logger.config
// and rewrites it with the defaults when it is missing or incomplete. Each
// case runs a fresh probe process.
#include <regex>
#include <string>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "common/test_util.h"

namespace fs = boost::filesystem;

namespace {

fs::path const config_path = "/opt/kestrova/etc/ks_logger.config";

std::string const default_file =
    "#Logging level: Error, Warning, Info, Debug, Debug1, Debug2, Debug3, Debug4\n"
    "log_level Info\n"
    "#Maximum size of log file in Mb\n"
    "log_file_max_size 1\n"
    "#Number of stored log file rotations, log file itself is not included\n"
    "log_file_max_rotate 10\n";

std::string escape_for_regex(std::string const& text) {
  static std::regex const special(R"([.^$|()\[\]{}*+?\\])");
  return std::regex_replace(text, special, R"(\$&)");
}

std::string const defaults_state = "mask=0x7 size=1048576 rotate=10\n";

struct ConfigCase {
  char const* name;
  bool present;
  std::string text;
  std::string warning;  // on standard error, before anything else
  std::string state;    // the probe's last line
  bool debug_written;   // the probe's first (Debug) message passed the mask
  bool rewritten;       // the file then holds the six default lines
};

std::string const all_three = "\nlog_file_max_size 2\nlog_file_max_rotate 3\n";

ConfigCase const config_cases[] = {
    {"absent", false, "",
     "Warning: KsLogStream config file is absent: Can't open file '/opt/kestrova/etc/ks_logger.config'\n",
     defaults_state, false, true},
    {"only_level_line", true, "log_level Debug\n",
     "Warning: KsLogStream config variable is absent: log_file_max_size\n", defaults_state, false, true},
    {"rotate_missing", true, "log_level Debug\nlog_file_max_size 2\n",
     "Warning: KsLogStream config variable is absent: log_file_max_rotate\n", defaults_state, false, true},
    {"empty_file", true, "", "Warning: KsLogStream config variable is absent: log_level\n", defaults_state, false,
     true},
    {"debug2_blanks_5MB_abc", true, "log_level   Debug2   \nlog_file_max_size 5MB\nlog_file_max_rotate abc\n", "",
     "mask=0x3f size=5242880 rotate=0\n", true, false},
    {"debug", true, "log_level Debug" + all_three, "", "mask=0xf size=2097152 rotate=3\n", true, false},
    {"error_mask_is_no_name", true, "log_level ErrorMask" + all_three, "", "mask=0x7 size=2097152 rotate=3\n", false,
     false},
    {"lower_case_is_no_name", true, "log_level debug" + all_three, "", "mask=0x7 size=2097152 rotate=3\n", false,
     false},
    {"inner_blanks_reduced_but_no_name", true, "log_level Debug  2" + all_three, "",
     "mask=0x7 size=2097152 rotate=3\n", false, false},
    {"debug_mask", true, "log_level DebugMask" + all_three, "", "mask=0xf size=2097152 rotate=3\n", true, false},
    {"func_level_drops_error_and_debug", true, "log_level FuncCycle" + all_three, "",
     "mask=0xf00 size=2097152 rotate=3\n", false, false},
    {"error_only", true, "log_level Error\nlog_file_max_size 0\nlog_file_max_rotate 0\n", "",
     "mask=0x1 size=0 rotate=0\n", false, false},
    {"numbers_with_leading_blanks_and_junk", true,
     "#c\nlog_file_max_rotate 7x\nlog_level Info\nother 1\nlog_file_max_size 12.5\n", "",
     "mask=0x7 size=12582912 rotate=7\n", false, false},
};

class LoggerConfig : public ::testing::TestWithParam<ConfigCase> {
 protected:
  void SetUp() override {
    KS_REQUIRE_SANDBOX();
    fs::remove_all(config_path);
  }
  void TearDown() override { fs::remove_all(config_path); }
};

TEST_P(LoggerConfig, FirstMessageReadsAndRepairsTheFile) {
  ConfigCase const& c = GetParam();
  if (c.present) kstest::write_file(config_path, c.text);

  kstest::RunResult const r = kstest::run(kstest::sh_quote(KS_LOG_CONFIG_PROBE));
  ASSERT_EQ(r.status, 0) << r.output;

  // The warning, the Debug message when it passed the mask (the registry is
  // empty, so it goes to standard output), and the probe's state line.
  std::string const debug_line = R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] \x1b\[1;97mDebug: first \x1b\[0m\n)";
  std::regex const expected(escape_for_regex(c.warning) + (c.debug_written ? debug_line : "") +
                            escape_for_regex(c.state));
  EXPECT_TRUE(std::regex_match(r.output, expected)) << r.output;

  EXPECT_EQ(kstest::read_file(config_path), c.rewritten ? default_file : c.text);
}

INSTANTIATE_TEST_SUITE_P(Files, LoggerConfig, ::testing::ValuesIn(config_cases),
                         [](auto const& info) { return std::string(info.param.name); });

// A configuration file that cannot be read (a directory in its place) is
// warned about on every run, the defaults are used, and nothing is saved
// over it.
TEST_F(LoggerConfig, UnreadableFileWarnsEveryRunAndUsesDefaults) {
  fs::create_directories(config_path / "inner");
  for (int run = 0; run < 2; ++run) {
    kstest::RunResult const r = kstest::run(kstest::sh_quote(KS_LOG_CONFIG_PROBE));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output,
              "Warning: KsLogStream config file is absent: Can't read file '/opt/kestrova/etc/ks_logger.config': "
              "Is a directory\n" +
                  defaults_state);
  }
  EXPECT_TRUE(fs::is_directory(config_path / "inner"));
  std::vector<std::string> names;
  for (auto const& entry : fs::directory_iterator("/opt/kestrova/etc")) names.push_back(entry.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"ks_logger.config"});
}

// A read error in the middle of the file says nothing about its content: the
// run warns and uses the defaults, the user's file stays as it was, and the
// next run without the fault reads its settings.
TEST_F(LoggerConfig, ReadErrorMidFileLeavesTheFileAlone) {
  std::string const text = "#my settings\nlog_level Debug" + all_three;
  kstest::write_file(config_path, text);
  kstest::RunResult const faulty =
      kstest::run("LD_PRELOAD=" + kstest::sh_quote(KS_READ_FAULT_LIB) +
                  " KS_READ_FAULT_PATH=" + kstest::sh_quote(config_path.string()) + " " +
                  kstest::sh_quote(KS_LOG_CONFIG_PROBE));
  ASSERT_EQ(faulty.status, 0) << faulty.output;
  EXPECT_EQ(faulty.output,
            "Warning: KsLogStream config file is absent: Can't read file '/opt/kestrova/etc/ks_logger.config': "
            "Input/output error\n" +
                defaults_state);
  EXPECT_EQ(kstest::read_file(config_path), text);

  kstest::RunResult const healthy = kstest::run(kstest::sh_quote(KS_LOG_CONFIG_PROBE));
  ASSERT_EQ(healthy.status, 0) << healthy.output;
  std::string const debug_state = "mask=0xf size=2097152 rotate=3\n";
  ASSERT_GE(healthy.output.size(), debug_state.size());
  EXPECT_EQ(healthy.output.substr(healthy.output.size() - debug_state.size()), debug_state) << healthy.output;
}

}  // namespace

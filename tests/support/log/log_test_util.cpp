#include "log_test_util.h"

#include <regex>

#include "common/test_util.h"

namespace kslogtest {

std::string after_stamp(std::string const& text) {
  static std::regex const stamp(R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] )");
  std::smatch m;
  if (!std::regex_search(text, m, stamp)) return "<no time stamp>" + text;
  return m.suffix().str();
}

std::vector<std::string> unstamped_lines(std::string const& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(after_stamp(line));
  return lines;
}

// Keys that any test may fill. Registry keys are never removed, only
// emptied, and an empty first key sends a level to the defaults, so no test
// uses the key Warning (2): that leaves key 3 first for Warning.
static KsLogLvl::Level const used_keys[] = {KsLogLvl::Error, static_cast<KsLogLvl::Level>(KsLogLvl::WarningMask),
                                            KsLogLvl::Info, KsLogLvl::Debug};

void LoggingTest::empty_registry() {
  KsLogStream::set_default_loggers();
  for (auto key : used_keys) KsLogStream::set_log_level_logger(key);
}

void LoggingTest::SetUp() {
  KS_REQUIRE_SANDBOX();
  // The first message of the process reads (and may write) the logger
  // configuration file; let that happen before anything is captured.
  { KsLogStream first(KsLogLvl::SqlReq); }
  empty_registry();
  KsLogStream::set_global_log_level(KsLogLvl::Debug);
}

void LoggingTest::TearDown() {
  empty_registry();
  KsLogStream::set_global_log_level(KsLogLvl::Info);
  KsDestination::FileLogger::set_max_size(1);
  KsDestination::FileLogger::set_max_rotate(10);
}

}  // namespace kslogtest

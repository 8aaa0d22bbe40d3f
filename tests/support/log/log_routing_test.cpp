// Which destinations a message reaches: the mask, the start-up routing of
// the program, per-level keys, and the fallbacks.
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "common/test_util.h"
#include "log_test_util.h"

namespace {

using kslogtest::StreamCapture;
using kslogtest::unstamped_lines;
using Lines = std::vector<std::string>;
using KsLogLvl::Level;

Level lvl(unsigned value) { return static_cast<Level>(value); }

struct StartupCase {
  char const* name;
  unsigned mask;
  unsigned level;
  bool file, out, err;
};

StartupCase const startup_cases[] = {
    {"error", KsLogLvl::Debug, KsLogLvl::Error, true, false, true},
    {"warning", KsLogLvl::Debug, KsLogLvl::Warning, true, true, false},
    {"info", KsLogLvl::Debug, KsLogLvl::Info, true, true, false},
    {"debug_to_file_only", KsLogLvl::Debug, KsLogLvl::Debug, true, false, false},
    {"debug_dropped_by_info_mask", KsLogLvl::Info, KsLogLvl::Debug, false, false, false},
    {"warning_dropped_by_error_mask", KsLogLvl::Error, KsLogLvl::Warning, false, false, false},
    {"debug1_goes_to_defaults", KsLogLvl::Debug1, KsLogLvl::Debug1, true, true, false},
    {"debug1_dropped_by_debug_mask", KsLogLvl::Debug, KsLogLvl::Debug1, false, false, false},
    {"func_level_with_func_mask", KsLogLvl::FuncDetail, KsLogLvl::FuncBase, true, true, false},
    {"func_mask_drops_error", KsLogLvl::FuncDetail, KsLogLvl::Error, false, false, false},
    {"measure_enables_only_itself", KsLogLvl::Measure, KsLogLvl::Measure, true, true, false},
    {"measure_mask_drops_info", KsLogLvl::Measure, KsLogLvl::Info, false, false, false},
};

class StartupRouting : public kslogtest::LoggingTest, public ::testing::WithParamInterface<StartupCase> {};

// The program's entry installs: defaults [file, stdout], Error [file,
// stderr], Debug [file], all file destinations on the same log file.
TEST_P(StartupRouting, ReachesExactlyItsDestinations) {
  StartupCase const& c = GetParam();
  kstest::TempDir dir;
  std::string const log = (dir / "prog.log").string();
  KsLogStream::set_default_loggers(KsDestination::File(log), KsDestination::Stdout());
  KsLogStream::set_log_level_logger(KsLogLvl::Error, KsDestination::File(log), KsDestination::Stderr());
  KsLogStream::set_log_level_logger(KsLogLvl::Debug, KsDestination::File(log));
  KsLogStream::set_global_log_level(c.mask);

  std::string out_text, err_text;
  {
    StreamCapture out(std::cout);
    StreamCapture err(std::cerr);
    KsLogStream(lvl(c.level)) << "message" << std::endl;
    out_text = out.text();
    err_text = err.text();
  }
  // Colour codes or not, each destination gets exactly one line.
  auto once = [](std::string const& text) { return text.find("message") != std::string::npos &&
                                                   text.find("message") == text.rfind("message"); };
  boost::system::error_code ec;
  std::string const file_text = boost::filesystem::exists(log, ec) ? kstest::read_file(log) : "";
  EXPECT_EQ(once(file_text), c.file) << file_text;
  EXPECT_EQ(once(out_text), c.out) << out_text;
  EXPECT_EQ(once(err_text), c.err) << err_text;
  if (!c.file) {
    EXPECT_EQ(file_text, "");
  }
  if (!c.out) {
    EXPECT_EQ(out_text, "");
  }
  if (!c.err) {
    EXPECT_EQ(err_text, "");
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, StartupRouting, ::testing::ValuesIn(startup_cases),
                         [](auto const& info) { return std::string(info.param.name); });

class Routing : public kslogtest::LoggingTest {
 protected:
  void write(unsigned level, std::string const& text) { KsLogStream(lvl(level)) << text << std::endl; }
  Lines journal() const { return *journal_; }
};

TEST_F(Routing, FirstKeySharingABitDecides) {
  KsLogStream::set_default_loggers(recorder("default"));
  KsLogStream::set_log_level_logger(KsLogLvl::Error, recorder("key1"));
  KsLogStream::set_log_level_logger(lvl(KsLogLvl::WarningMask), recorder("key3a"), recorder("key3b"));
  write(KsLogLvl::Error, "e");    // keys 1 and 3 share a bit: both, in key order
  write(KsLogLvl::Warning, "w");  // key 3 only
  write(KsLogLvl::Info, "i");     // no key: defaults
  EXPECT_EQ(journal(), (Lines{"key1 \x1b[1;31mError: e \x1b[0m\n", "key3a \x1b[1;31mError: e \x1b[0m\n",
                              "key3b \x1b[1;31mError: e \x1b[0m\n", "key3a \x1b[1;33mWarning: w \x1b[0m\n",
                              "key3b \x1b[1;33mWarning: w \x1b[0m\n", "default Info: i\n"}));
}

TEST_F(Routing, EmptyFirstKeyMeansDefaultsEvenWhenALaterKeyHasDestinations) {
  KsLogStream::set_default_loggers(recorder("default"));
  KsLogStream::set_log_level_logger(KsLogLvl::Error);
  KsLogStream::set_log_level_logger(lvl(KsLogLvl::WarningMask), recorder("key3"));
  write(KsLogLvl::Error, "e");
  EXPECT_EQ(journal(), (Lines{"default \x1b[1;31mError: e \x1b[0m\n"}));
}

TEST_F(Routing, OwnDestinationsReplaceTheRegistry) {
  KsLogStream::set_default_loggers(recorder("default"));
  KsLogStream::set_log_level_logger(KsLogLvl::Info, recorder("key4"));
  { KsLogStream(KsLogLvl::Info, recorder("own1"), recorder("own2")) << "x" << std::endl; }
  // A filtered message reaches nobody, its own destinations included.
  { KsLogStream(KsLogLvl::Debug1, recorder("own3")) << "y" << std::endl; }
  EXPECT_EQ(journal(), (Lines{"own1 Info: x\n", "own2 Info: x\n", "own1 destroyed", "own2 destroyed",
                              "own3 destroyed"}));
}

TEST_F(Routing, EmptyRegistryFallsBackToAFreshStdout) {
  std::string out_text, err_text;
  {
    StreamCapture out(std::cout);
    StreamCapture err(std::cerr);
    write(KsLogLvl::Error, "e");
    write(KsLogLvl::Info, "i");
    out_text = out.text();
    err_text = err.text();
  }
  EXPECT_EQ(unstamped_lines(out_text), (Lines{"\x1b[1;31mError: e \x1b[0m", "Info: i"}));
  EXPECT_EQ(err_text, "");
}

TEST_F(Routing, SettersReplaceAndDestroyPreviousDestinations) {
  KsLogStream::set_default_loggers(recorder("a"), recorder("b"));
  KsLogStream::set_default_loggers(recorder("c"));
  KsLogStream::set_log_level_logger(KsLogLvl::Error, recorder("e1"));
  KsLogStream::set_log_level_logger(KsLogLvl::Error, recorder("e2"));
  write(KsLogLvl::Info, "i");
  write(KsLogLvl::Error, "e");
  EXPECT_EQ(journal(), (Lines{"a destroyed", "b destroyed", "e1 destroyed", "c Info: i\n",
                              "e2 \x1b[1;31mError: e \x1b[0m\n"}));
}

TEST_F(Routing, FailingDestinationDoesNotStopTheOthers) {
  kstest::TempDir dir;
  KsLogStream::set_default_loggers(KsDestination::File((dir / "missing" / "x.log").string()), recorder("after"));
  write(KsLogLvl::Info, "i");
  EXPECT_EQ(journal(), (Lines{"after Info: i\n"}));
  EXPECT_FALSE(boost::filesystem::exists(dir / "missing"));
}

TEST_F(Routing, GlobalLevelIsTheMaskOfTheGivenLevel) {
  struct {
    unsigned long given;
    unsigned mask;
  } const rows[] = {{KsLogLvl::Error, 0x1}, {KsLogLvl::Warning, 0x3}, {KsLogLvl::Debug2, 0x3f},
                    {KsLogLvl::FuncCycle, 0xf00}, {KsLogLvl::SqlReq, 0x20000}, {0x3, 0x3}, {0x5, 0x5}};
  for (auto const& row : rows) {
    KsLogStream::set_global_log_level(row.given);
    EXPECT_EQ(KsLogStream::global_log_level(), row.mask) << row.given;
  }
}

}  // namespace

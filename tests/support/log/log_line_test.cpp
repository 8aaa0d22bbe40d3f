// The exact bytes a message puts on each kind of destination.
#include <functional>
#include <iomanip>
#include <string>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "common/test_util.h"
#include "log_test_util.h"

namespace {

using kslogtest::after_stamp;
using kslogtest::StreamCapture;

std::string const red = "\x1b[1;31m";
std::string const yellow = "\x1b[1;33m";
std::string const white = "\x1b[1;97m";
std::string const reset = " \x1b[0m\n";

struct LineCase {
  char const* name;
  unsigned level;
  std::function<void(KsLogStream&)> write;
  std::string expected;  // what follows the time stamp
};

std::vector<LineCase> const line_cases = {
    {"error_with_endl", KsLogLvl::Error, [](KsLogStream& s) { s << "int f()" << ": " << "failed" << std::endl; },
     red + "Error: int f(): failed" + reset},
    {"error_without_endl_still_one_line_break", KsLogLvl::Error, [](KsLogStream& s) { s << "x"; }, red + "Error: x" + reset},
    {"coloured_inner_runs_reduced_and_ends_trimmed", KsLogLvl::Warning,
     [](KsLogStream& s) { s << "  a  b\t\tc   " << std::endl; }, yellow + "Warning: a b\tc" + reset},
    {"coloured_two_lines", KsLogLvl::Warning, [](KsLogStream& s) { s << "one\ntwo" << std::endl; },
     yellow + "Warning: one" + reset + yellow + "two" + reset},
    {"coloured_blank_before_line_break_joins", KsLogLvl::Warning,
     [](KsLogStream& s) { s << "one \ntwo" << std::endl; }, yellow + "Warning: one two" + reset},
    {"coloured_empty_lines_collapse", KsLogLvl::Debug, [](KsLogStream& s) { s << "a\n\n\nb\n" << std::endl; },
     white + "Debug: a" + reset + white + "b" + reset},
    {"coloured_only_white_space", KsLogLvl::Warning, [](KsLogStream& s) { s << "   " << std::endl; },
     yellow + "Warning:" + reset},
    {"debug_is_white", KsLogLvl::Debug, [](KsLogStream& s) { s << "\t x" << std::endl; }, white + "Debug: x" + reset},
    {"info_unchanged_without_endl", KsLogLvl::Info, [](KsLogStream& s) { s << "plain  text "; },
     "Info: plain  text "},
    {"info_unchanged_multi_line", KsLogLvl::Info, [](KsLogStream& s) { s << " a \n\n b  " << std::endl; },
     "Info:  a \n\n b  \n"},
    {"finer_levels_uncoloured", KsLogLvl::Debug1, [](KsLogStream& s) { s << " x " << std::endl; },
     "Debug1:  x \n"},
    {"unnamed_level", 0x1000, [](KsLogStream& s) { s << "x" << std::endl; }, "Unknown: x\n"},
    {"string_ends_at_nul", KsLogLvl::Info,
     [](KsLogStream& s) {
       std::string const text("ab\0cd", 5);
       std::string copy = text;
       s << text << '|' << copy << '|' << std::string(text) << std::endl;
     },
     "Info: ab|ab|ab\n"},
    {"stringstream_ends_at_nul", KsLogLvl::Info,
     [](KsLogStream& s) {
       std::stringstream ss;
       ss << "cd" << '\0' << "ef";
       std::ostringstream os;
       os << "gh" << '\0' << "ij";
       s << ss << ' ' << os << std::endl;
     },
     "Info: cd gh\n"},
    {"coloured_string_ends_at_nul", KsLogLvl::Error,
     [](KsLogStream& s) { s << std::string("ab\0cd", 5) << std::endl; }, red + "Error: ab" + reset},
    {"path_in_double_quotes_with_ampersand_escape", KsLogLvl::Info,
     [](KsLogStream& s) {
       boost::filesystem::path const p("/tmp/a \"b\"&c");
       boost::filesystem::path q("/plain");
       s << p << ' ' << q << ' ' << boost::filesystem::path("rel/x") << std::endl;
     },
     "Info: \"/tmp/a &\"b&\"&&c\" \"/plain\" \"rel/x\"\n"},
    {"std_quoted_string", KsLogLvl::Info, [](KsLogStream& s) { s << std::quoted(std::string("a\"b\\c")) << std::endl; },
     "Info: \"a\\\"b\\\\c\"\n"},
    {"hex_stays_for_the_message", KsLogLvl::Info, [](KsLogStream& s) { s << std::hex << 255 << ' ' << 16ul << std::endl; },
     "Info: ff 10\n"},
    {"numbers_and_characters", KsLogLvl::Info,
     [](KsLogStream& s) {
       int i = -5;
       unsigned u = 7;
       long l = -8;
       unsigned long ul = 9;
       char buffer[] = "mut";
       unsigned char ubuffer[] = "uc";
       char const* cp = "cp";
       s << i << ' ' << u << ' ' << l << ' ' << ul << ' ' << 'c' << ' ' << cp << ' ' << buffer << ' ' << ubuffer
         << ' ' << static_cast<unsigned char*>(ubuffer) << std::endl;
     },
     "Info: -5 7 -8 9 c cp mut uc uc\n"},
};

enum class Sink { out, err, file };

class LogLine : public kslogtest::LoggingTest,
                public ::testing::WithParamInterface<std::tuple<LineCase, Sink>> {};

TEST_P(LogLine, BytesOnDestination) {
  auto const& [c, sink] = GetParam();
  KsLogStream::set_global_log_level(0xffffffffu);  // no single level: every bit passes
  kstest::TempDir dir;
  std::string const log = (dir / "m.log").string();

  std::string written;
  {
    StreamCapture out(std::cout);
    StreamCapture err(std::cerr);
    {
      auto dest = sink == Sink::out ? KsDestination::Stdout()
                  : sink == Sink::err ? KsDestination::Stderr()
                                      : KsDestination::File(log);
      KsLogStream stream(static_cast<KsLogLvl::Level>(c.level), std::move(dest));
      c.write(stream);
    }
    switch (sink) {
      case Sink::out:
        written = out.text();
        EXPECT_EQ(err.text(), "");
        break;
      case Sink::err:
        written = err.text();
        EXPECT_EQ(out.text(), "");
        break;
      case Sink::file:
        written = kstest::read_file(log);
        EXPECT_EQ(out.text() + err.text(), "");
        break;
    }
  }
  EXPECT_EQ(after_stamp(written), c.expected);
}

std::string line_case_name(::testing::TestParamInfo<std::tuple<LineCase, Sink>> const& info) {
  static char const* const sinks[] = {"stdout", "stderr", "file"};
  return std::string(std::get<0>(info.param).name) + "_" + sinks[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(Table, LogLine,
                         ::testing::Combine(::testing::ValuesIn(line_cases),
                                            ::testing::Values(Sink::out, Sink::err, Sink::file)),
                         line_case_name);

// The time stamp is the local time of the write.
class LogStamp : public kslogtest::LoggingTest {};

TEST_F(LogStamp, IsLocalTimeOfTheWrite) {
  std::time_t const before = std::time(nullptr);
  std::string written;
  {
    StreamCapture out(std::cout);
    KsLogStream(KsLogLvl::Info, KsDestination::Stdout()) << "x" << std::endl;
    written = out.text();
  }
  std::time_t const after = std::time(nullptr);
  auto stamp_of = [](std::time_t t) {
    std::tm local{};
    localtime_r(&t, &local);
    char text[64];
    std::strftime(text, sizeof text, "[%Y-%m-%d %H:%M:%S] ", &local);
    return std::string(text);
  };
  EXPECT_TRUE(written == stamp_of(before) + "Info: x\n" || written == stamp_of(after) + "Info: x\n") << written;
}

}  // namespace

#include <signal.h>
#include <sys/time.h>

#include <string>

#include <gtest/gtest.h>

#include "support/utils/ks_utils_common.h"
#include "support/utils/quoting.h"

using ks_utils_common::execute_command;

namespace {

struct CommandCase {
  char const* command;
  int code;
  char const* output;
};

TEST(ExecuteCommand, ExitCodesAndMergedOutput) {
  CommandCase const cases[] = {
      {"true", 0, ""},
      {"echo out", 0, "out\n"},
      {"sh -c 'echo only-err >&2'", 0, "only-err\n"},
      // " 2>&1" is appended to the text, so it covers the last command only;
      // a caller groups a list to merge all of it.
      {"{ echo a; echo b >&2; echo c; }", 0, "a\nb\nc\n"},
      {"echo before; exit 3", 3, "before\n"},
      {"exit 255", 255, ""},
      // Ended by a signal: 128 + the signal, never success.
      {"kill -KILL $$", 128 + SIGKILL, ""},
      {"echo partial; kill -TERM $$", 128 + SIGTERM, "partial\n"},
      {"kill -SEGV $$", 128 + SIGSEGV, ""},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.command);
    std::string out;
    EXPECT_EQ(execute_command(c.command, out), c.code);
    EXPECT_EQ(out, c.output);
  }
}

TEST(ExecuteCommand, MissingCommandGivesShellCode127WithComplaint) {
  std::string out;
  EXPECT_EQ(execute_command("ks-no-such-command-anywhere --flag", out), 127);
  EXPECT_NE(out.find("ks-no-such-command-anywhere"), std::string::npos) << out;
  EXPECT_NE(out.find("not found"), std::string::npos) << out;
}

TEST(ExecuteCommand, OutputIsAppendedNeverCleared) {
  std::string out = "old|";
  ASSERT_EQ(execute_command("printf first", out), 0);
  ASSERT_EQ(execute_command("printf second; exit 1", out), 1);
  EXPECT_EQ(out, "old|firstsecond");
}

TEST(ExecuteCommand, LongLinesAndBinaryBytesArriveWhole) {
  std::string out;
  ASSERT_EQ(execute_command("head -c 5000 /dev/zero | tr '\\0' x; echo; head -c 1023 /dev/zero | tr '\\0' y", out), 0);
  EXPECT_EQ(out, std::string(5000, 'x') + "\n" + std::string(1023, 'y'));

  std::string bin;
  ASSERT_EQ(execute_command("printf 'a\\000b\\000\\000c'", bin), 0);
  EXPECT_EQ(bin, std::string("a\0b\0\0c", 6));
}

TEST(ExecuteCommand, QuotedValuesReachTheCommandUnchanged) {
  std::string const value = "it's $HOME `id` \"x\" *";
  std::string out;
  ASSERT_EQ(execute_command("printf %s " + kestrova::shell_quoted(value), out), 0);
  EXPECT_EQ(out, value);
}

// With SIGCHLD ignored the kernel reaps the shell itself, so pclose cannot
// learn its status: that is a failure (-1), never a success.
TEST(ExecuteCommand, UnknowableStatusIsMinusOne) {
  struct sigaction ignore {}, old {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ASSERT_EQ(sigaction(SIGCHLD, &ignore, &old), 0);
  std::string out;
  int const rc = execute_command("echo still-read; exit 0", out);
  sigaction(SIGCHLD, &old, nullptr);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(out, "still-read\n");
}

extern "C" void on_alarm(int) {}

TEST(ExecuteCommand, SignalDuringReadDoesNotLoseOutput) {
  // A handler without SA_RESTART interrupts the blocking read of the pipe,
  // as the module's forwarding handlers may.
  struct sigaction sa {}, old {};
  sa.sa_handler = on_alarm;
  sa.sa_flags = 0;
  sigemptyset(&sa.sa_mask);
  ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
  itimerval timer{};
  timer.it_value.tv_usec = 100 * 1000;
  ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);

  std::string out;
  int rc = execute_command("sleep 0.5; echo done", out);
  sigaction(SIGALRM, &old, nullptr);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(out, "done\n");
}

}  // namespace

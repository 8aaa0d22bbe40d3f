// The process runner: statuses, output that does not fit a pipe, the end of
// the output against the end of the shell, the graceful-then-forced
// terminate, and what the command inherits from its caller.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/utils/child_process.h"
#include "support/utils/ks_utils_common.h"

using kestrova::child_process;
using ks_utils_common::execute_command;

namespace {

// The whole output, then the wait status.
int run_to_end(child_process& child, std::string& output) {
  char buffer[4096];
  for (ssize_t n; (n = child.read(buffer, sizeof buffer)) > 0;) output.append(buffer, static_cast<std::size_t>(n));
  return child.wait();
}

// Reads until a line end (or the end of output).
std::string first_line(child_process& child) {
  std::string line;
  char c;
  while (child.read(&c, 1) == 1 && c != '\n') line += c;
  return line;
}

// True once no process has the pid (looked at once at least).
bool gone_within(pid_t pid, std::chrono::seconds bound) {
  auto const deadline = std::chrono::steady_clock::now() + bound;
  for (;;) {
    if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(ChildProcess, WaitGivesTheShellsStatus) {
  struct Case {
    char const* command;
    bool exited;
    int code;  // exit code, or the signal
  } const cases[] = {
      {"exit 0", true, 0},
      {"exit 7", true, 7},
      {"kill -TERM $$", false, SIGTERM},
      {"kill -KILL $$", false, SIGKILL},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.command);
    child_process child(c.command);
    ASSERT_TRUE(child.started());
    std::string output;
    int const status = run_to_end(child, output);
    EXPECT_FALSE(child.started()) << "reaped";
    ASSERT_EQ(WIFEXITED(status), c.exited);
    EXPECT_EQ(c.exited ? WEXITSTATUS(status) : WTERMSIG(status), c.code);
  }
}

// Far more output than a pipe holds: read while it is written, nothing is
// lost and nobody waits on the other.
TEST(ChildProcess, LargeOutputArrivesWhole) {
  std::string output;
  ASSERT_EQ(execute_command("head -c 8388608 /dev/zero | tr '\\0' x; echo; echo end", output), 0);
  ASSERT_EQ(output.size(), 8388608u + 1 + 4);
  EXPECT_EQ(output.find_first_not_of('x'), 8388608u);
  EXPECT_EQ(output.substr(8388608), "\nend\n");
}

// The output ends when the last writer closes the pipe, not when the shell
// ends: a background process that keeps it open is read to its end too.
// wait() does not read: it is the shell's end alone.
TEST(ChildProcess, OutputEndsWithItsLastWriter) {
  std::string output;
  ASSERT_EQ(execute_command("(sleep 0.3; echo late) & echo early", output), 0);
  EXPECT_EQ(output, "early\nlate\n");

  child_process child("sleep 30 & echo $!");
  ASSERT_TRUE(child.started());
  pid_t const grandchild = std::stoi(first_line(child));
  auto const start = std::chrono::steady_clock::now();
  int const status = child.wait();
  EXPECT_LT(seconds_since(start), 10.0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ::kill(grandchild, SIGKILL);
}

// terminate() ends the whole command: the process below the shell that
// holds the pipe open, and the shell.
TEST(ChildProcess, TerminateEndsTheCommandBelowTheShell) {
  child_process child("sleep 30 & echo $!; wait");
  ASSERT_TRUE(child.started());
  pid_t const grandchild = std::stoi(first_line(child));
  testing::internal::CaptureStdout();
  int const status = child.terminate();
  std::string const said = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(child.started());
  EXPECT_EQ(said, "PID was terminated: " + std::to_string(grandchild) + "\n");
  EXPECT_TRUE(gone_within(grandchild, std::chrono::seconds(10)));
  // The shell's wait ended with its child's end (it then exits with 0), or
  // the shell got SIGTERM first.
  EXPECT_TRUE((WIFEXITED(status) && WEXITSTATUS(status) == 0) || (WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM))
      << status;
}

TEST(ChildProcess, TerminateEscalatesToSigkill) {
  struct Case {
    char const* command;
    int signal;
    bool waits;  // the shell is given its second before SIGKILL
  } const cases[] = {
      {"exec sleep 30", SIGTERM, false},
      {"trap '' TERM; echo ready; exec sleep 30", SIGKILL, true},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.command);
    child_process child(c.command);
    ASSERT_TRUE(child.started());
    if (c.waits) {
      ASSERT_EQ(first_line(child), "ready");
    }
    auto const start = std::chrono::steady_clock::now();
    int const status = child.terminate();
    double const took = seconds_since(start);
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), c.signal);
    if (c.waits) {
      EXPECT_GE(took, 0.9);
    }
  }
}

// An owner that leaves early either terminates the command or waits for it.
TEST(ChildProcess, AbandonedChildIsTerminatedOrAwaited) {
  pid_t terminated = -1;
  {
    child_process child("exec sleep 30", child_process::when_abandoned::terminate);
    terminated = child.pid();
  }
  EXPECT_TRUE(gone_within(terminated, std::chrono::seconds(0)));

  auto const start = std::chrono::steady_clock::now();
  pid_t awaited = -1;
  {
    child_process child("sleep 0.3");
    awaited = child.pid();
  }
  EXPECT_GE(seconds_since(start), 0.25);
  EXPECT_TRUE(gone_within(awaited, std::chrono::seconds(0)));
}

// Whatever the caller blocks or ignores, the command starts with an empty
// mask and the default actions of the signals the module handles; it gets
// the caller's descriptors that are not close-on-exec, and no other.
TEST(ChildProcess, CommandStartsWithCleanSignalsAndInheritedDescriptors) {
  // High numbers, which the listing's own descriptor never takes.
  int const null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  int const inherited = ::fcntl(null_fd, F_DUPFD, 70);
  int const private_fd = ::fcntl(null_fd, F_DUPFD_CLOEXEC, 80);
  ::close(null_fd);
  ASSERT_GE(inherited, 70);
  ASSERT_GE(private_fd, 80);
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGCONT, SIGUSR1}) sigaddset(&blocked, s);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &previous), 0);
  struct sigaction ignore {}, old_pipe {}, old_int {}, old_timers[3] {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, &old_pipe);
  sigaction(SIGINT, &ignore, &old_int);
  // The module ignores the timer signals; a tool must not inherit that.
  int const timers[] = {SIGALRM, SIGVTALRM, SIGPROF};
  for (int i = 0; i < 3; ++i) sigaction(timers[i], &ignore, &old_timers[i]);

  std::string output;
  int const rc = execute_command("grep -E '^Sig(Blk|Ign)' /proc/self/status; ls /proc/self/fd", output);

  ::close(inherited);
  ::close(private_fd);
  sigaction(SIGPIPE, &old_pipe, nullptr);
  sigaction(SIGINT, &old_int, nullptr);
  for (int i = 0; i < 3; ++i) sigaction(timers[i], &old_timers[i], nullptr);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);

  ASSERT_EQ(rc, 0) << output;
  EXPECT_NE(output.find("SigBlk:\t0000000000000000\n"), std::string::npos) << output;
  std::size_t const ign = output.find("SigIgn:\t");
  ASSERT_NE(ign, std::string::npos) << output;
  unsigned long long const ignored = std::stoull(output.substr(ign + 8, 16), nullptr, 16);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGCONT, SIGPIPE, SIGALRM, SIGVTALRM, SIGPROF})
    EXPECT_EQ(ignored & (1ull << (s - 1)), 0u) << "signal " << s << " ignored";
  std::string const fds = "\n" + output.substr(output.find('\n', ign) + 1);
  EXPECT_NE(fds.find("\n" + std::to_string(inherited) + "\n"), std::string::npos) << fds;
  EXPECT_EQ(fds.find("\n" + std::to_string(private_fd) + "\n"), std::string::npos) << fds;
}

// No descriptor left for the pipe: the shell cannot be started, and the
// runner says so (execute_command's 1).
TEST(ChildProcess, NoPipeMeansNotStarted) {
  rlimit old {};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  testing::internal::CaptureStderr();
  // Every number below the limit is taken.
  int const lowest_free = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ::close(lowest_free);
  rlimit const tight{static_cast<rlim_t>(lowest_free), old.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  bool started;
  {
    child_process child("exit 0");
    started = child.started();
  }
  std::string output = "kept";
  int const rc = execute_command("echo never", output);
  setrlimit(RLIMIT_NOFILE, &old);
  std::string const complaint = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(started);
  EXPECT_EQ(rc, 1);
  EXPECT_EQ(output, "kept");
  EXPECT_EQ(complaint, "Couldn't start OS command: echo never 2>&1\n");
}

}  // namespace

// Real signals delivered to a real module process (the probe program built
// from the scripted module): termination with exit status 17 and a clean-up
// that runs once, pause and resume forwarded to the running tool, SIGPIPE.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "common/test_util.h"
#include "scripted_module.h"
#include "support/log/ks_log.h"

namespace {

namespace fs = boost::filesystem;

bool wait_for(std::function<bool()> const& condition, int seconds = 20) {
  auto const end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

std::vector<std::string> lines_of(fs::path const& file) {
  std::vector<std::string> lines;
  if (!fs::exists(file)) return lines;
  std::istringstream in(kstest::read_file(file));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

int count(std::vector<std::string> const& lines, std::string const& line) {
  return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

// The probe as a child process, its output in a file.
class Probe {
 public:
  Probe(std::string const& modes, std::vector<std::string> const& module_args) {
    record_ = dir_ / "calls";
    output_ = dir_ / "output";
    std::vector<std::string> args = {"ks_probe_module", modes, record_.string()};
    args.insert(args.end(), module_args.begin(), module_args.end());
    pid_ = fork();
    started_ = pid_;
    if (pid_ == 0) {
      int fd = open(output_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, 1);
      dup2(fd, 2);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(&a[0]);
      argv.push_back(nullptr);
      execv(KS_SIGNAL_PROBE, argv.data());
      _exit(127);
    }
  }
  ~Probe() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Probe(Probe const&) = delete;
  Probe& operator=(Probe const&) = delete;

  pid_t pid() const { return pid_; }
  std::vector<std::string> calls() const { return lines_of(record_); }
  bool called(std::string const& hook) const { return count(calls(), hook) > 0; }
  std::string output() const { return fs::exists(output_) ? kstest::read_file(output_) : std::string(); }
  std::string log() const {
    fs::path const file = record_.string() + ".log";
    return fs::exists(file) ? kstest::read_file(file) : std::string();
  }
  pid_t started_pid() const { return started_; }
  std::string tool_signals() const {
    fs::path const file = record_.string() + ".tool";
    return fs::exists(file) ? kstest::read_file(file) : std::string();
  }
  void signal(int sig) const { kill(pid_, sig); }

  // The exit status, or 128 + signal; -1 when it does not end in time.
  int wait_exit(int seconds = 30) {
    int status = 0;
    bool const ended = wait_for([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, seconds);
    if (!ended) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  kstest::TempDir dir_;
  fs::path record_, output_;
  pid_t pid_ = -1;
  pid_t started_ = -1;
};

// The state letter of /proc/PID/stat ('T' when stopped), or '?'.
char process_state(pid_t pid) {
  std::string stat;
  try {
    stat = kstest::read_file("/proc/" + std::to_string(pid) + "/stat");
  } catch (...) {
    return '?';
  }
  auto close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : '?';
}

// Each request to end (a hang-up is what a closed ssh session of the client
// sends) gets the same clean-up; so does every other signal whose default
// would end the process at once with everything the run made left.
TEST(ShutdownSignal, EachShutdownSignalDuringABackupReleasesOnceAndExits17) {
  KS_REQUIRE_SANDBOX();
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGXCPU, SIGXFSZ, SIGIO, SIGPWR, SIGSTKFLT,
                  SIGRTMIN, SIGRTMIN + 5, SIGRTMAX}) {
    SCOPED_TRACE(strsignal(sig));
    kstest::TempDir work;
    Probe probe("wait_in_prepare", {"-b", "vm", "-d", work.str(), "-n", "arch"});
    ASSERT_TRUE(wait_for([&] { return probe.called("prepare"); }));
    probe.signal(sig);
    EXPECT_EQ(probe.wait_exit(), 17) << probe.output();
    EXPECT_EQ(probe.calls(), (std::vector<std::string>{"load_custom_module_parameters", "load_module_config",
                                                        "resource_exists", "prepare", "release"}));
    EXPECT_NE(probe.log().find("Module was terminated. PID: " + std::to_string(probe.started_pid())),
              std::string::npos)
        << probe.log();
  }
}

// A timer's signal asks for nothing: the run goes on as if none had come,
// and still ends as asked afterwards.
TEST(ShutdownSignal, TimerSignalsAreIgnored) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir work;
  Probe probe("wait_in_prepare", {"-b", "vm", "-d", work.str(), "-n", "arch"});
  ASSERT_TRUE(wait_for([&] { return probe.called("prepare"); }));
  for (int sig : {SIGALRM, SIGVTALRM, SIGPROF}) probe.signal(sig);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_NE(process_state(probe.pid()), '?') << "a timer signal ended the module";
  EXPECT_FALSE(probe.called("release"));
  probe.signal(SIGTERM);
  EXPECT_EQ(probe.wait_exit(), 17) << probe.output();
  EXPECT_EQ(count(probe.calls(), "release"), 1);
}

// The process ends from inside the handler without running the exit
// handlers, which may need what the interrupted code holds; the lines still
// buffered for the client go out all the same.
TEST(ShutdownSignal, EndsWithoutWaitingOnTheExitHandlers) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir work;
  Probe probe("exit_handler_lock", {"-b", "vm", "-d", work.str(), "-n", "arch"});
  ASSERT_TRUE(wait_for([&] { return probe.called("prepare"); }));
  probe.signal(SIGTERM);
  EXPECT_EQ(probe.wait_exit(10), 17) << probe.output();
  EXPECT_EQ(count(probe.calls(), "release"), 1);
  EXPECT_NE(probe.output().find("Module was terminated. PID: " + std::to_string(probe.started_pid())),
            std::string::npos)
      << probe.output();
}

TEST(ShutdownSignal, FurtherSignalsDoNotRestartTheCleanUp) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir work;
  Probe probe("wait_in_prepare,slow_release", {"-b", "vm", "-d", work.str(), "-n", "arch"});
  ASSERT_TRUE(wait_for([&] { return probe.called("prepare"); }));
  probe.signal(SIGTERM);
  ASSERT_TRUE(wait_for([&] { return probe.called("release"); }));
  probe.signal(SIGTERM);
  probe.signal(SIGINT);
  EXPECT_EQ(probe.wait_exit(), 17) << probe.output();
  auto const calls = probe.calls();
  EXPECT_EQ(count(calls, "release"), 1);
  // The one clean-up ran to its end.
  EXPECT_EQ(count(calls, "release-end"), 1);
}

TEST(ShutdownSignal, SignalWhileRunIsInsideTheReleaseLetsItFinish) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir work;
  // No ksfd runs here, so the backup fails at once and run() releases.
  Probe probe("slow_release", {"-b", "vm", "-d", work.str(), "-n", "arch"});
  ASSERT_TRUE(wait_for([&] { return probe.called("release"); }));
  probe.signal(SIGTERM);
  EXPECT_EQ(probe.wait_exit(), 17) << probe.output();
  auto const calls = probe.calls();
  EXPECT_EQ(count(calls, "release"), 1);
  EXPECT_EQ(count(calls, "release-end"), 1);
  EXPECT_NE(probe.log().find("Module was terminated. PID: "), std::string::npos);
}

// A termination that has to wait for the release also ends a pause that
// holds the release: the client that asks for the end sends no resume.
TEST(ShutdownSignal, TermDuringAPausedReleaseEndsThePauseAndTheRun) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir work;
  Probe probe("slow_release", {"-b", "vm", "-d", work.str(), "-n", "arch"});
  ASSERT_TRUE(wait_for([&] { return probe.called("release"); }));
  probe.signal(SIGTSTP);
  ASSERT_TRUE(wait_for([&] { return probe.log().find(" put on pause") != std::string::npos; })) << probe.log();
  probe.signal(SIGTERM);
  EXPECT_EQ(probe.wait_exit(10), 17) << probe.output();
  auto const calls = probe.calls();
  EXPECT_EQ(count(calls, "release"), 1);
  EXPECT_EQ(count(calls, "release-end"), 1);
}

TEST(ShutdownSignal, TermDuringARestoreRemovesOnlyTheRestoreDirectory) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir work;
  kstest::write_file(work / "client-file", "keep me");
  Probe probe("wait_in_before_restore", {"-r", "rec", "-d", work.str()});
  ASSERT_TRUE(wait_for([&] { return probe.called("before_restore"); }));
  ASSERT_TRUE(fs::is_directory(work / "rec.rest"));
  probe.signal(SIGTERM);
  EXPECT_EQ(probe.wait_exit(), 17) << probe.output();
  EXPECT_FALSE(fs::exists(work / "rec.rest"));
  EXPECT_TRUE(fs::exists(work / "client-file"));
  EXPECT_EQ(count(probe.calls(), "release"), 0);
}

TEST(ShutdownSignal, TermBeforeTheRestoreDirectoryIsChosenRemovesNothing) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir work;
  kstest::write_file(work / "client-file", "keep me");
  Probe probe("wait_in_load", {"-r", "rec", "-d", work.str()});
  ASSERT_TRUE(wait_for([&] { return probe.called("load_module_config"); }));
  probe.signal(SIGTERM);
  EXPECT_EQ(probe.wait_exit(), 17) << probe.output();
  EXPECT_TRUE(fs::exists(work / "client-file"));
}

TEST(ShutdownSignal, TermDuringAnInformationOperationCleansNothing) {
  KS_REQUIRE_SANDBOX();
  Probe probe("wait_in_load", {"-l"});
  ASSERT_TRUE(wait_for([&] { return probe.called("load_module_config"); }));
  probe.signal(SIGINT);
  EXPECT_EQ(probe.wait_exit(), 17) << probe.output();
  EXPECT_EQ(probe.calls(), (std::vector<std::string>{"load_custom_module_parameters", "load_module_config"}));
}

// A shutdown signal that waits for the release which the exception guard runs
// still ends the run as terminated: 17, the termination line, and the
// children gone.
TEST(ShutdownSignal, TermDuringTheReleaseAfterAnExceptionEndsAsTerminated) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir work;
  Probe probe("stray_child,throw_in_prepare,slow_release", {"-b", "vm", "-d", work.str(), "-n", "arch"});
  ASSERT_TRUE(wait_for([&] { return probe.called("release"); }));
  probe.signal(SIGTERM);
  EXPECT_EQ(probe.wait_exit(), 17) << probe.output();
  auto const calls = probe.calls();
  EXPECT_EQ(count(calls, "release"), 1);
  EXPECT_EQ(count(calls, "release-end"), 1);
  std::string const log = probe.log();
  EXPECT_NE(log.find("Database error: prepare failed"), std::string::npos) << log;
  EXPECT_NE(log.find("Module was terminated. PID: " + std::to_string(probe.started_pid())), std::string::npos) << log;
  pid_t child = 0;
  for (auto const& line : calls)
    if (line.rfind("child ", 0) == 0) child = std::stoi(line.substr(6));
  ASSERT_GT(child, 0);
  EXPECT_TRUE(wait_for([&] { return process_state(child) == '?' || process_state(child) == 'Z'; }, 10))
      << "the module's child outlived it";
}

// The clean-up that the shutdown runs throws: reported, and still 17.
TEST(ShutdownSignal, ACleanUpThatThrowsStillEndsWith17) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir work;
  Probe probe("wait_in_prepare,throw_in_release", {"-b", "vm", "-d", work.str(), "-n", "arch"});
  ASSERT_TRUE(wait_for([&] { return probe.called("prepare"); }));
  probe.signal(SIGTERM);
  EXPECT_EQ(probe.wait_exit(10), 17) << probe.output();
  EXPECT_EQ(count(probe.calls(), "release"), 1);
  std::string const log = probe.log();
  EXPECT_NE(log.find("shutdown_handler(int): release failed"), std::string::npos) << log;
  EXPECT_NE(log.find("Module was terminated. PID: "), std::string::npos) << log;
}

// SIGSEGV, sent or a real fault, at the points of a backup. A sent one is a
// request to end like SIGTERM; a fault inside the clean-up ends the process
// at once, since the clean-up can neither go on nor run again.
struct SegvCase {
  char const* name;
  char const* modes;
  int signal;              // 0: none sent, the probe faults by itself
  char const* after_hook;  // the signal goes once this hook was called
  int release_ends;        // "release-end" lines: the release ran to its end
  bool fault_reported;     // the clean-up was cut short by the fault
};

std::ostream& operator<<(std::ostream& out, SegvCase const& c) { return out << c.name; }

class Segv : public testing::TestWithParam<SegvCase> {};

TEST_P(Segv, EndsWith17AndReleasesOnce) {
  KS_REQUIRE_SANDBOX();
  SegvCase const& c = GetParam();
  kstest::TempDir work;
  Probe probe(c.modes, {"-b", "vm", "-d", work.str(), "-n", "arch"});
  if (c.signal != 0) {
    ASSERT_TRUE(wait_for([&] { return probe.called(c.after_hook); }));
    probe.signal(c.signal);
  }
  // Seconds at most: a fault handled by returning would run again for ever.
  EXPECT_EQ(probe.wait_exit(10), 17) << probe.output();
  auto const calls = probe.calls();
  EXPECT_EQ(count(calls, "release"), 1);
  EXPECT_EQ(count(calls, "release-end"), c.release_ends);
  std::string const log = probe.log();
  EXPECT_NE(log.find("Module was terminated. PID: " + std::to_string(probe.started_pid())), std::string::npos) << log;
  EXPECT_EQ(log.find("Segmentation fault in the clean-up of the module") != std::string::npos, c.fault_reported)
      << log;
}

INSTANTIATE_TEST_SUITE_P(
    Backup, Segv,
    testing::Values(
        SegvCase{"sent_during_prepare", "wait_in_prepare,slow_release", SIGSEGV, "prepare", 1, false},
        // Waits for the release as SIGTERM does.
        SegvCase{"sent_during_release", "slow_release", SIGSEGV, "release", 1, false},
        SegvCase{"fault_in_prepare", "segv_in_prepare,slow_release", 0, nullptr, 1, false},
        SegvCase{"fault_in_release", "segv_in_release", 0, nullptr, 0, true},
        SegvCase{"fault_in_release_after_term", "wait_in_prepare,segv_in_release", SIGTERM, "prepare", 0, true},
        SegvCase{"fault_in_release_after_sent_segv", "wait_in_prepare,segv_in_release", SIGSEGV, "prepare", 0, true}),
    [](testing::TestParamInfo<SegvCase> const& info) { return std::string(info.param.name); });

// Two copies of the module program for one resource: the second is refused
// while the first holds the lock, and a third runs once the first has ended
// through a signal.
TEST(LockContention, TwoModuleProcessesNeverHoldOneResource) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir work;
  std::vector<std::string> const backup = {"-b", "vm-shared", "-d", work.str(), "-n", "arch"};
  Probe first("wait_in_prepare", backup);
  ASSERT_TRUE(wait_for([&] { return first.called("prepare"); }));
  {
    Probe second("none", backup);
    EXPECT_EQ(second.wait_exit(), 2) << second.output();
    EXPECT_FALSE(second.called("load_module_config"));
    EXPECT_NE(second.log().find("resource \"vm-shared\" is busy by another process!"), std::string::npos)
        << second.log();
  }
  first.signal(SIGTERM);
  ASSERT_EQ(first.wait_exit(), 17) << first.output();
  Probe third("none", backup);
  // No ksfd runs here: the backup itself fails, after the lock was taken.
  EXPECT_EQ(third.wait_exit(), 6) << third.output();
  EXPECT_TRUE(third.called("prepare"));
}

// A termination or a pause that finds the module inside malloc() or free()
// must not run its handler on the half-changed heap: it waits until the
// allocator is left. Each round signals a module that does nothing but
// allocate; a handler run inside the allocator corrupts the heap within a
// few rounds (an abort, a hang, or a fault instead of 17).
TEST(ShutdownSignal, ArrivingInsideTheAllocatorWaitsUntilItIsLeft) {
  KS_REQUIRE_SANDBOX();
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    kstest::TempDir work;
    Probe probe("allocating_prepare", {"-b", "vm", "-d", work.str(), "-n", "arch"});
    ASSERT_TRUE(wait_for([&] { return probe.called("prepare"); }));
    usleep(20000 + 7000 * round);
    if (round % 3 == 2) {
      // A pause and a resume first: the module goes on allocating after them.
      probe.signal(SIGTSTP);
      ASSERT_TRUE(wait_for([&] { return probe.log().find(" put on pause") != std::string::npos; }, 10)) << probe.log();
      probe.signal(SIGCONT);
      ASSERT_TRUE(wait_for([&] { return probe.log().find(" continue working") != std::string::npos; }, 10))
          << probe.log();
      usleep(20000);
    }
    probe.signal(round % 2 ? SIGINT : SIGTERM);
    ASSERT_EQ(probe.wait_exit(10), 17) << probe.output() << probe.log();
    EXPECT_EQ(count(probe.calls(), "release"), 1);
    EXPECT_NE(probe.log().find("Module was terminated. PID: "), std::string::npos) << probe.log();
  }
}

TEST(PauseSignal, PauseAndResumeReachTheRunningTool) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir work;
  Probe probe("fake_ksfd", {"-b", "vm", "-d", work.str(), "-n", "arch"});
  pid_t tool = 0;
  ASSERT_TRUE(wait_for([&] {
    for (auto const& line : probe.calls())
      if (line.rfind("ksfd ", 0) == 0) tool = std::stoi(line.substr(5));
    return tool != 0;
  }));
  // What the stand-in tool got, one line per signal.
  auto got = [&] { return probe.tool_signals(); };
  probe.signal(SIGTSTP);
  EXPECT_TRUE(wait_for([&] { return got() == "TSTP\n"; })) << got() << probe.output();
  EXPECT_TRUE(wait_for([&] { return process_state(tool) == 'T'; })) << process_state(tool);
  EXPECT_TRUE(wait_for([&] { return probe.log().find(" put on pause") != std::string::npos; }));
  // The module waits inside its handler; it is not stopped itself.
  EXPECT_NE(process_state(probe.pid()), 'T');
  probe.signal(SIGCONT);
  EXPECT_TRUE(wait_for([&] { return got() == "TSTP\nCONT\n"; })) << got() << probe.output();
  EXPECT_TRUE(wait_for([&] { return process_state(tool) != 'T'; }));
  EXPECT_TRUE(wait_for([&] { return probe.log().find(" continue working") != std::string::npos; }));
  kill(tool, SIGKILL);
  // The backup goes on: the tool ended, no ksfd can run here, so exit 6.
  EXPECT_EQ(probe.wait_exit(), 6) << probe.output();
  EXPECT_EQ(count(probe.calls(), "ksfd-ended"), 1);
  EXPECT_EQ(count(probe.calls(), "release"), 1);
}

TEST(PauseSignal, PauseWithoutAToolWaitsForTheResume) {
  KS_REQUIRE_SANDBOX();
  Probe probe("wait_in_load", {"-l"});
  ASSERT_TRUE(wait_for([&] { return probe.called("load_module_config"); }));
  probe.signal(SIGTSTP);
  ASSERT_TRUE(wait_for([&] { return probe.log().find(" put on pause") != std::string::npos; }));
  probe.signal(SIGCONT);
  ASSERT_TRUE(wait_for([&] { return probe.log().find(" continue working") != std::string::npos; }));
  // Still alive and still answering a termination.
  probe.signal(SIGTERM);
  EXPECT_EQ(probe.wait_exit(), 17);
}

// A destination that, as the pause is announced, gets the resume: as when the
// client sends SIGCONT right behind SIGTSTP.
class ResumedWhileAnnounced : public KsDestination::KsLogger {
 protected:
  int write_log_impl(std::string const& line) override {
    if (line.find(" put on pause") != std::string::npos) kill(getpid(), SIGCONT);
    return 0;
  }
};

TEST(PauseSignal, AResumeThatArrivesWhileThePauseIsAnnouncedEndsIt) {
  KS_REQUIRE_SANDBOX();
  pid_t const child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    KsLogStream::set_default_loggers(std::make_unique<ResumedWhileAnnounced>());
    kstest::ScriptedModule module;
    auto const handler = KsModuleSignalHandler::init(&module);
    raise(SIGTSTP);
    _exit(module.paused ? 3 : 0);
  }
  int status = 0;
  bool const ended = wait_for([&] { return waitpid(child, &status, WNOHANG) == child; }, 10);
  if (!ended) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  ASSERT_TRUE(ended) << "the module slept on after the resume";
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A client that closed its end of the pipe does not kill the module: the exit
// code still tells the result. The log lines of -u stay buffered until the
// end, after the module object is gone.
TEST(BrokenPipe, ClosedStandardOutputDoesNotKillTheModule) {
  KS_REQUIRE_SANDBOX();
  // The probe logs to <record file>.log: the record file lies in a folder of the test.
  kstest::TempDir const scratch;
  std::string const record = (scratch / "record").string();
  for (auto const& [args, code] : std::vector<std::pair<std::vector<std::string>, int>>{{{"-V"}, 0}, {{"-h"}, 1}, {{"-u", ":/nonexistent/new.conf:"}, 1}}) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    pid_t pid = fork();
    if (pid == 0) {
      dup2(fds[1], 1);
      std::vector<std::string> all = {"ks_probe_module", "none", record};
      all.insert(all.end(), args.begin(), args.end());
      std::vector<char*> argv;
      for (auto& a : all) argv.push_back(&a[0]);
      argv.push_back(nullptr);
      execv(KS_SIGNAL_PROBE, argv.data());
      _exit(127);
    }
    close(fds[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status) << " for " << args[0];
    EXPECT_EQ(WEXITSTATUS(status), code) << args[0];
  }
}

TEST(SignalDispositions, InstalledByInitAndRestoredByTheModule) {
  KS_REQUIRE_SANDBOX();
  std::vector<int> handled = {SIGINT, SIGTERM, SIGSEGV, SIGTSTP, SIGCONT, SIGPIPE, SIGHUP, SIGQUIT,
                              SIGUSR1, SIGUSR2, SIGXCPU, SIGXFSZ, SIGIO, SIGPWR, SIGSTKFLT};
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) handled.push_back(sig);
  int const ignored[] = {SIGALRM, SIGVTALRM, SIGPROF};
  // The faults keep what they had (their default; a sanitizer's handler
  // under the sanitizers).
  int const untouched[] = {SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS, SIGABRT};
  auto disposition = [](int sig) {
    struct sigaction current {};
    sigaction(sig, nullptr, &current);
    return current.sa_handler;
  };
  std::map<int, __sighandler_t> before;
  for (int sig : untouched) before[sig] = disposition(sig);
  {
    kstest::ScriptedModule module;
    testing::internal::CaptureStdout();
    EXPECT_EQ(kstest::init_and_run(module, {"prog", "-V"}), 0u);
    testing::internal::GetCapturedStdout();
    for (int sig : handled) {
      EXPECT_NE(disposition(sig), SIG_DFL) << strsignal(sig);
      EXPECT_NE(disposition(sig), SIG_IGN) << strsignal(sig);
    }
    for (int sig : ignored) EXPECT_EQ(disposition(sig), SIG_IGN) << strsignal(sig);
    for (int sig : untouched) EXPECT_EQ(disposition(sig), before[sig]) << strsignal(sig);
  }
  for (int sig : handled) EXPECT_EQ(disposition(sig), SIG_DFL) << strsignal(sig);
  for (int sig : ignored) EXPECT_EQ(disposition(sig), SIG_DFL) << strsignal(sig);
}

}  // namespace

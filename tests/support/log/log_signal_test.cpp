// A signal handler that logs must never find a destination locked by the
// code it interrupted: the module's shutdown and pause handlers log.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "common/test_util.h"
#include "support/log/ks_log.h"

namespace {

volatile sig_atomic_t handled = 0;

void logging_handler(int) {
  KsLogStream(KsLogLvl::Warning) << "handler line " << handled << std::endl;
  handled = handled + 1;
}

// In a child: log lines while another process sends SIGTERM over and over.
// Exits 0 when every line and every signal went through.
[[noreturn]] void log_under_signals(std::string const& log_path) {
  KsLogStream::set_default_loggers(KsDestination::File(log_path));
  struct sigaction sa {};
  sa.sa_handler = logging_handler;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);

  pid_t const self = getpid();
  pid_t const sender = fork();
  if (sender == 0) {
    for (int i = 0; i < 300; ++i) {
      kill(self, SIGTERM);
      usleep(500);
    }
    _exit(0);
  }
  while (waitpid(sender, nullptr, WNOHANG) == 0) KsLogStream(KsLogLvl::Info) << "main line" << std::endl;
  _exit(handled > 0 ? 0 : 3);
}

TEST(LogUnderSignals, AHandlerThatLogsNeverWaitsOnTheInterruptedWrite) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir dir;
  pid_t const child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) log_under_signals((dir / "signals.log").string());

  int status = 0;
  auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  pid_t done = 0;
  while ((done = waitpid(child, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (done == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    FAIL() << "the logging process hung: a handler waited on a destination the interrupted code held";
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

volatile sig_atomic_t arrived = 0;

void note_arrival(int) { arrived = arrived + 1; }

// A signal of a logging handler that comes while a message is being built
// waits until the message is written; the mask is then as it was before.
TEST(LogUnderSignals, HandlerSignalsWaitForTheMessageToBeWritten) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir dir;
  std::string const log = (dir / "held.log").string();
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGCONT, SIGUSR1, SIGUSR2, SIGXCPU, SIGPWR, SIGRTMIN,
                  SIGRTMAX}) {
    SCOPED_TRACE(strsignal(sig));
    struct sigaction sa {}, old {};
    sa.sa_handler = note_arrival;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(sig, &sa, &old), 0);
    arrived = 0;
    int during = -1;
    {
      KsLogStream message(KsLogLvl::Error, KsDestination::File(log));
      message << "before";
      raise(sig);
      during = arrived;
      message << " after" << std::endl;
    }
    EXPECT_EQ(during, 0) << "the handler ran in the middle of the message";
    EXPECT_EQ(arrived, 1);

    // Blocked by the caller before the message: still blocked after it.
    sigset_t block, now;
    sigemptyset(&block);
    sigaddset(&block, sig);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &block, nullptr), 0);
    { KsLogStream(KsLogLvl::Error, KsDestination::File(log)) << "masked" << std::endl; }
    ASSERT_EQ(pthread_sigmask(SIG_SETMASK, nullptr, &now), 0);
    EXPECT_TRUE(sigismember(&now, sig));
    ASSERT_EQ(pthread_sigmask(SIG_UNBLOCK, &block, nullptr), 0);
    sigaction(sig, &old, nullptr);
  }
  std::string const text = kstest::read_file(log);
  EXPECT_NE(text.find("Error: before after"), std::string::npos) << text;
}

}  // namespace

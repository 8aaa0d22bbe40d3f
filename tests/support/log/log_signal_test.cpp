// A signal handler that logs must never find a destination locked by the
// code it interrupted: the module's shutdown and pause handlers log.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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

}  // namespace

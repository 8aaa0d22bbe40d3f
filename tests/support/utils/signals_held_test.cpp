// The shutdown signals against what the kernel itself does with each signal
// by default, and the scope that holds them back.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "support/utils/signals_held.h"

namespace {

// Every signal a process can be sent and catch: the classic ones and the
// real-time ones (glibc keeps the few between for itself).
std::vector<int> catchable_signals() {
  std::vector<int> all;
  for (int sig = 1; sig < 32; ++sig)
    if (sig != SIGKILL && sig != SIGSTOP) all.push_back(sig);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) all.push_back(sig);
  return all;
}

// True when the default action of `sig` ends a process: found out on a
// child that raises it.
bool default_ends_the_process(int sig) {
  pid_t const child = fork();
  if (child == 0) {
    rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    raise(sig);
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, WUNTRACED);
  if (WIFSTOPPED(status)) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    return false;
  }
  return WIFSIGNALED(status) && WTERMSIG(status) == sig;
}

sigset_t current_mask() {
  sigset_t now;
  pthread_sigmask(SIG_SETMASK, nullptr, &now);
  return now;
}

TEST(ShutdownSignals, EverySignalWhoseDefaultEndsTheProcessButTheFaultsPipeAndTimers) {
  std::set<int> const faults = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS, SIGABRT};
  // Caught, and passed over.
  std::set<int> const used = {SIGPIPE};
  std::set<int> const timers(std::begin(kestrova::timer_signals), std::end(kestrova::timer_signals));
  EXPECT_EQ(timers, (std::set<int>{SIGALRM, SIGVTALRM, SIGPROF}));
  sigset_t added;
  sigemptyset(&added);
  kestrova::add_shutdown_signals(added);
  for (int sig : catchable_signals()) {
    SCOPED_TRACE(strsignal(sig));
    bool const ends = default_ends_the_process(sig);
    bool const exempt = faults.count(sig) > 0 || used.count(sig) > 0 || timers.count(sig) > 0;
    EXPECT_EQ(kestrova::is_shutdown_signal(sig), ends && !exempt);
    EXPECT_EQ(sigismember(&added, sig) == 1, kestrova::is_shutdown_signal(sig));
  }
  for (int sig : {0, -1, SIGKILL, SIGSTOP, SIGRTMAX + 1}) EXPECT_FALSE(kestrova::is_shutdown_signal(sig)) << sig;
}

volatile sig_atomic_t arrived = 0;

void note_arrival(int) { arrived = arrived + 1; }

TEST(SignalsHeld, HoldsItsSetUntilTheScopeEndsAndRestoresTheMask) {
  using which = kestrova::signals_held::which;
  sigset_t blocked_before;
  sigemptyset(&blocked_before);
  sigaddset(&blocked_before, SIGUSR2);
  sigset_t const original = current_mask();
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked_before, nullptr), 0);
  sigset_t const before = current_mask();
  struct sigaction on {}, old {};
  on.sa_handler = note_arrival;
  sigemptyset(&on.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &on, &old), 0);

  for (which held : {which::shutdown, which::logging_handlers}) {
    bool const logging = held == which::logging_handlers;
    SCOPED_TRACE(logging ? "logging handlers" : "shutdown");
    arrived = 0;
    int during = -1;
    sigset_t inside;
    {
      kestrova::signals_held scope(held);
      inside = current_mask();
      raise(SIGUSR1);
      during = arrived;
    }
    EXPECT_EQ(during, 0) << "a held signal came inside the scope";
    EXPECT_EQ(arrived, 1) << "the held signal did not come when the scope ended";
    for (int sig : catchable_signals()) {
      if (kestrova::is_shutdown_signal(sig)) {
        EXPECT_EQ(sigismember(&inside, sig), 1) << strsignal(sig);
      }
    }
    for (int sig : {SIGSEGV, SIGTSTP, SIGCONT}) EXPECT_EQ(sigismember(&inside, sig), logging ? 1 : 0) << sig;
    for (int sig : kestrova::timer_signals) EXPECT_EQ(sigismember(&inside, sig), 0) << strsignal(sig);
    sigset_t const after = current_mask();
    for (int sig : catchable_signals())
      EXPECT_EQ(sigismember(&after, sig), sigismember(&before, sig)) << strsignal(sig);
  }
  sigaction(SIGUSR1, &old, nullptr);
  pthread_sigmask(SIG_SETMASK, &original, nullptr);
}

}  // namespace

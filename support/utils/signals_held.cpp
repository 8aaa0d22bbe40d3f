#include "support/utils/signals_held.h"

#include <initializer_list>

namespace kestrova {

int const timer_signals[3] = {SIGALRM, SIGVTALRM, SIGPROF};

bool is_shutdown_signal(int signal) noexcept {
  switch (signal) {
    case SIGINT:
    case SIGTERM:
    case SIGHUP:
    case SIGQUIT:
    case SIGUSR1:
    case SIGUSR2:
    case SIGXCPU:
    case SIGXFSZ:
    case SIGIO:
#ifdef SIGSTKFLT
    case SIGSTKFLT:
#endif
#ifdef SIGPWR
    case SIGPWR:
#endif
      return true;
    default:
      // glibc's own signals lie below SIGRTMIN.
      return signal >= SIGRTMIN && signal <= SIGRTMAX;
  }
}

void add_shutdown_signals(sigset_t& set) noexcept {
  for (int signal = 1; signal <= SIGRTMAX; ++signal)
    if (is_shutdown_signal(signal)) sigaddset(&set, signal);
}

signals_held::signals_held(which held) noexcept {
  sigset_t set;
  sigemptyset(&set);
  add_shutdown_signals(set);
  if (held == which::logging_handlers)
    for (int signal : {SIGSEGV, SIGTSTP, SIGCONT}) sigaddset(&set, signal);
  held_ = pthread_sigmask(SIG_BLOCK, &set, &previous_) == 0;
}

signals_held::~signals_held() {
  if (held_) pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

}  // namespace kestrova

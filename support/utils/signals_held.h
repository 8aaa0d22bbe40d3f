// The signals whose handlers end or pause the module, and the scope that
// holds them back while a piece of code must not be interrupted by one of
// those handlers.
//
// A shutdown signal asks the module to end: its handler cleans up and ends
// the run with exit status 17. These are SIGINT, SIGTERM, SIGHUP, SIGQUIT
// and every other signal whose default action ends the process, except
//   - the faults the kernel raises for the process itself (SIGSEGV, which
//     the module handles on its own, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS
//     and SIGABRT): they keep their own treatment;
//   - SIGPIPE, which the module catches and passes over (the write to a
//     closed pipe fails instead);
//   - the timer signals SIGALRM, SIGVTALRM and SIGPROF, which the module
//     ignores (see timer_signals): a timer asks for no end, one set before
//     the program started survives exec, and the end after a fault arms its
//     own alarm;
//   - SIGKILL, which cannot be caught.
// So also SIGUSR1, SIGUSR2, SIGXCPU, SIGXFSZ, SIGIO, SIGSTKFLT, SIGPWR and
// the real-time signals SIGRTMIN to SIGRTMAX.
//
// Part of ks_utils_base, which depends on no other library of the project
// (the log holds these signals while it writes). Every function here is
// async-signal-safe.
#pragma once

#include <signal.h>

namespace kestrova {

// True for a shutdown signal (above).
bool is_shutdown_signal(int signal) noexcept;

// Adds the shutdown signals to `set`.
void add_shutdown_signals(sigset_t& set) noexcept;

// The timer signals, which the module ignores.
extern int const timer_signals[3];

// Holds back a set of signals for its lifetime, then restores the mask that
// was in force before (a signal that was blocked before stays blocked). A
// signal that arrives meanwhile is delivered when the scope ends.
class signals_held {
 public:
  enum class which {
    // The shutdown signals: their handler cleans up from the module's lists
    // of what it made, so every change of such a list happens inside one.
    shutdown,
    // Those, SIGSEGV, SIGTSTP and SIGCONT: the signals whose handlers log.
    // Held while a log message is built and written, since such a handler
    // would wait for ever on a destination's lock, or on the allocator,
    // held by the code it interrupted. (A real fault while SIGSEGV is held
    // still ends the process.)
    logging_handlers,
  };

  explicit signals_held(which held) noexcept;
  ~signals_held();
  signals_held(signals_held const&) = delete;
  signals_held& operator=(signals_held const&) = delete;

 private:
  sigset_t previous_;
  bool held_ = false;
};

}  // namespace kestrova

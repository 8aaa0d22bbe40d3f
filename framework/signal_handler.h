// The signal handlers of a module process, installed for the lifetime of the
// module object: the shutdown signals (SIGINT, SIGTERM, SIGHUP, SIGQUIT and
// every other signal whose default ends the process, but for the faults,
// SIGPIPE and the timers: support/utils/signals_held.h) and SIGSEGV end the
// run with exit status 17 after the module's clean-up; SIGTSTP pauses and
// SIGCONT resumes (both are forwarded to the running ksfd); SIGPIPE is caught
// and ignored; the timer signals SIGALRM, SIGVTALRM and SIGPROF are ignored.
//
// A segmentation fault inside the clean-up itself (the release hook, or the
// shutdown) ends the process at once with 17: the clean-up is not finished,
// and neither run again nor waited for.
#pragma once

#include <signal.h>

#include <csignal>
#include <memory>

class KsModuleUniversal;

class KsModuleSignalHandler {
 public:
  // Creates the handler object for `module` (installs the handlers).
  static std::unique_ptr<KsModuleSignalHandler> init(KsModuleUniversal* module);

  explicit KsModuleSignalHandler(KsModuleUniversal* module);
  KsModuleSignalHandler(KsModuleSignalHandler const&) = delete;
  KsModuleSignalHandler& operator=(KsModuleSignalHandler const&) = delete;
  // Restores the default dispositions of all those signals.
  ~KsModuleSignalHandler();

  static void shutdown_handler(int signal);
  // SIGSEGV: one sent by a process is a shutdown signal like SIGTERM; a
  // fault inside the clean-up ends the process without it.
  static void segv_handler(int signal, siginfo_t* info, void* context);
  static void pause_handler(int signal);
  static void continue_handler(int signal);
  static void sigpipe_handler(int signal);

 private:
  static KsModuleUniversal* module_ptr_;
  // Set once the shutdown has begun, so that it runs at most once.
  static volatile std::sig_atomic_t shutting_down_;
  // Set once a fault inside the clean-up has begun to end the process.
  static volatile std::sig_atomic_t ending_after_fault_;

  [[noreturn]] static void end_after_fault() noexcept;
};

// The signal handlers of a module process, installed for the lifetime of the
// module object: SIGINT, SIGTERM and SIGSEGV end the run with exit status 17
// after the module's clean-up; SIGTSTP pauses and SIGCONT resumes (both are
// forwarded to the running ksfd); SIGPIPE is caught and ignored.
#pragma once

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
  // Restores the default dispositions of the six signals.
  ~KsModuleSignalHandler();

  static void shutdown_handler(int signal);
  static void pause_handler(int signal);
  static void continue_handler(int signal);
  static void sigpipe_handler(int signal);

 private:
  static KsModuleUniversal* module_ptr_;
  // Set once the shutdown has begun, so that it runs at most once.
  static volatile std::sig_atomic_t shutting_down_;
};

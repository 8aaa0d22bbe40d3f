// The signals whose handlers log (the module's shutdown and pause handlers:
// SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGSEGV, SIGTSTP, SIGCONT) are held back while this
// process is in the middle of a log message, and delivered as soon as it is
// out. A handler that logs would otherwise wait for ever on a destination's
// lock, or on the allocator, held by the very code it interrupted. (A real
// fault while SIGSEGV is held back still ends the process.)
#pragma once

#include <signal.h>

namespace KsLogDetail {

// Blocks those signals for its lifetime and then restores the previous mask
// (a signal that was blocked before stays blocked).
class HandlerSignalsBlocked {
 public:
  HandlerSignalsBlocked();
  ~HandlerSignalsBlocked();
  HandlerSignalsBlocked(HandlerSignalsBlocked const&) = delete;
  HandlerSignalsBlocked& operator=(HandlerSignalsBlocked const&) = delete;

 private:
  sigset_t previous_;
  bool blocked_ = false;
};

}  // namespace KsLogDetail

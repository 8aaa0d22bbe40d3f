#include "support/log/ks_log_signals.h"

#include <initializer_list>

namespace KsLogDetail {

HandlerSignalsBlocked::HandlerSignalsBlocked() {
  sigset_t block;
  sigemptyset(&block);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGSEGV, SIGTSTP, SIGCONT}) sigaddset(&block, sig);
  blocked_ = pthread_sigmask(SIG_BLOCK, &block, &previous_) == 0;
}

HandlerSignalsBlocked::~HandlerSignalsBlocked() {
  if (blocked_) pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

}  // namespace KsLogDetail

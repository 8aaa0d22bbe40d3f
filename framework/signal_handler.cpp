#include "framework/signal_handler.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <initializer_list>
#include <iostream>

#include <boost/filesystem.hpp>

#include "framework/allocation_guard.h"
#include "framework/ks_module_universal.h"
#include "support/log/ks_log.h"
#include "support/utils/ks_utils_common.h"
#include "support/utils/quoting.h"
#include "support/utils/signals_held.h"

KsModuleUniversal* KsModuleSignalHandler::module_ptr_ = nullptr;
volatile std::sig_atomic_t KsModuleSignalHandler::shutting_down_ = 0;
volatile std::sig_atomic_t KsModuleSignalHandler::ending_after_fault_ = 0;

namespace {

void install(int signal, void (*handler)(int), sigset_t const& blocked) {
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_mask = blocked;
  // The handler stays installed after each delivery and interrupted reads
  // and writes resume.
  action.sa_flags = SA_RESTART;
  ::sigaction(signal, &action, nullptr);
}

sigset_t set_of(std::initializer_list<int> signals) {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : signals) sigaddset(&set, signal);
  return set;
}

// SIGSEGV learns who raised it, and is not held back inside its own handler:
// a fault in the clean-up that the handler runs must reach the handler again
// (a fault while SIGSEGV is blocked kills the process without a word).
void install_segv(void (*handler)(int, siginfo_t*, void*), sigset_t const& blocked) {
  struct sigaction action {};
  action.sa_sigaction = handler;
  action.sa_mask = blocked;
  action.sa_flags = SA_RESTART | SA_SIGINFO | SA_NODEFER;
  ::sigaction(SIGSEGV, &action, nullptr);
}

// The client's lines still buffered, before the process ends without
// running its exit handlers.
void flush_client_output() noexcept {
  try {
    std::cout.flush();
  } catch (...) {
  }
  std::fflush(stdout);
  std::fflush(stderr);
}

void exit_17(int) { _exit(17); }

// A handler that finds its thread inside the allocator comes back when the
// allocator is left; until then the heap is not its to use.
bool postponed_while_allocating(int signal) {
  if (!ks_allocation_guard::inside_allocator()) return false;
  ks_allocation_guard::deliver_on_leaving(signal);
  return true;
}

}  // namespace

std::unique_ptr<KsModuleSignalHandler> KsModuleSignalHandler::init(KsModuleUniversal* module) {
  return std::make_unique<KsModuleSignalHandler>(module);
}

KsModuleSignalHandler::KsModuleSignalHandler(KsModuleUniversal* module) {
  module_ptr_ = module;
  shutting_down_ = 0;
  ending_after_fault_ = 0;
  // While the shutdown runs, no other shutdown signal and no pause can
  // start on top of it. SIGSEGV stays open: a SIGSEGV sent meanwhile finds
  // the shutdown begun, and a fault in the clean-up ends the process.
  sigset_t during_shutdown = set_of({SIGTSTP, SIGCONT});
  kestrova::add_shutdown_signals(during_shutdown);
  // Every request to end gets the clean-up of SIGTERM: a closed ssh session
  // sends SIGHUP, a terminal's quit key SIGQUIT, and any other signal whose
  // default would end the process at once would leave what the run made.
  for (int signal = 1; signal <= SIGRTMAX; ++signal)
    if (kestrova::is_shutdown_signal(signal)) install(signal, &shutdown_handler, during_shutdown);
  // A timer asks for nothing (the end after a fault sets its own alarm).
  for (int signal : kestrova::timer_signals) ::signal(signal, SIG_IGN);
  install_segv(&segv_handler, during_shutdown);
  // SIGCONT waits from the start of a pause until the pause handler waits
  // for it (it gets through there), so a resume is never taken before the
  // pause is marked.
  install(SIGTSTP, &pause_handler, set_of({SIGCONT}));
  install(SIGCONT, &continue_handler, set_of({SIGTSTP}));
  install(SIGPIPE, &sigpipe_handler, set_of({}));
}

KsModuleSignalHandler::~KsModuleSignalHandler() {
  for (int signal : {SIGSEGV, SIGTSTP, SIGCONT, SIGPIPE}) ::signal(signal, SIG_DFL);
  for (int signal = 1; signal <= SIGRTMAX; ++signal)
    if (kestrova::is_shutdown_signal(signal)) ::signal(signal, SIG_DFL);
  for (int signal : kestrova::timer_signals) ::signal(signal, SIG_DFL);
}

void KsModuleSignalHandler::shutdown_handler(int signal) {
  if (signal != SIGSEGV && !kestrova::is_shutdown_signal(signal)) return;
  if (shutting_down_) return;
  if (postponed_while_allocating(signal)) return;
  // run() is inside the release hook: let it finish; run() then ends with 17.
  if (module_ptr_ && module_ptr_->defer_shutdown_during_release()) return;
  shutting_down_ = 1;
  try {
    ks_utils_common::kill_childs(getpid());
  } catch (...) {
  }
  try {
    if (module_ptr_) module_ptr_->handle_shutdown_signal();
  } catch (std::exception const& e) {
    try {
      KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": " << kestrova::as_one_line(e.what()) << std::endl;
    } catch (...) {
    }
  } catch (...) {
  }
  try {
    KsLogStream(KsLogLvl::Info) << "Module was terminated. PID: " << getpid() << std::endl;
  } catch (...) {
  }
  // Not exit(): it would run the exit handlers and static destructors of
  // every library (a TLS library's clean-up, say), which may wait on locks
  // the interrupted code holds. Only the client's buffered lines are due.
  flush_client_output();
  _exit(17);
}

void KsModuleSignalHandler::segv_handler(int signal, siginfo_t* info, void*) {
  // A positive code: the kernel raised it for a fault of this process.
  // kill(), raise() and sigqueue() give zero or less: a request to end.
  bool const fault = info != nullptr && info->si_code > 0;
  if (!fault) {
    shutdown_handler(signal);
    return;
  }
  if (ending_after_fault_) _exit(17);
  // Returning would run the faulting instruction again, so a fault is never
  // deferred; inside the clean-up it cannot be finished either.
  bool const in_clean_up =
      shutting_down_ ||
      (module_ptr_ && module_ptr_->release_state_ == static_cast<int>(KsModuleUniversal::ReleaseState::running));
  if (in_clean_up) end_after_fault();
  shutdown_handler(signal);
  end_after_fault();
}

void KsModuleSignalHandler::end_after_fault() noexcept {
  ending_after_fault_ = 1;
  // Exit status 17 as for every other SIGSEGV: the client learns that the
  // module did not finish. The fault may have left the allocator or a lock
  // of the log taken; should the lines below hang, the alarm ends the
  // process all the same.
  struct sigaction on_alarm {};
  on_alarm.sa_handler = &exit_17;
  sigemptyset(&on_alarm.sa_mask);
  ::sigaction(SIGALRM, &on_alarm, nullptr);
  sigset_t alarm_only;
  sigemptyset(&alarm_only);
  sigaddset(&alarm_only, SIGALRM);
  pthread_sigmask(SIG_UNBLOCK, &alarm_only, nullptr);
  ::alarm(5);
  try {
    KsLogStream(KsLogLvl::Error) << "Segmentation fault in the clean-up of the module; the clean-up is not finished"
                                 << std::endl;
    KsLogStream(KsLogLvl::Info) << "Module was terminated. PID: " << getpid() << std::endl;
  } catch (...) {
  }
  flush_client_output();
  _exit(17);
}

void KsModuleSignalHandler::pause_handler(int signal) {
  if (signal != SIGTSTP || !module_ptr_) return;
  if (postponed_while_allocating(signal)) return;
  try {
    module_ptr_->set_to_pause();
  } catch (...) {
  }
}

void KsModuleSignalHandler::continue_handler(int signal) {
  if (signal != SIGCONT || !module_ptr_) return;
  if (postponed_while_allocating(signal)) return;
  try {
    module_ptr_->continue_working();
    module_ptr_->send_signal_to_ksfd(SIGCONT);
  } catch (...) {
  }
}

void KsModuleSignalHandler::sigpipe_handler(int) {}

// ---- the module's side -----------------------------------------------------------

bool KsModuleUniversal::send_signal_to_ksfd(int signal) {
  // Never 0 or a negative number: kill() would reach a process group or
  // every process.
  if (ksfd_pid <= 0) return false;
  return ks_utils_common::send_signal(ksfd_pid, signal);
}

void KsModuleUniversal::set_to_pause() {
  // SIGCONT stays blocked from before the mark is set until the wait begins,
  // so a resume that arrives in between (while the line below is written,
  // say) is delivered into the wait instead of being lost, and ksfd is never
  // stopped after it was told to go on.
  sigset_t cont, before;
  sigemptyset(&cont);
  sigaddset(&cont, SIGCONT);
  pthread_sigmask(SIG_BLOCK, &cont, &before);
  paused = true;
  KsLogStream(KsLogLvl::Info) << "Module pid: " << getpid() << " put on pause" << std::endl;
  send_signal_to_ksfd(SIGTSTP);
  sigset_t waiting = before;
  sigdelset(&waiting, SIGCONT);
  while (is_paused()) sigsuspend(&waiting);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

bool KsModuleUniversal::is_paused() { return paused; }

void KsModuleUniversal::continue_working() {
  KsLogStream(KsLogLvl::Info) << "Module pid: " << getpid() << " continue working" << std::endl;
  paused = false;
}

bool KsModuleUniversal::defer_shutdown_during_release() noexcept {
  if (release_state_ != static_cast<int>(ReleaseState::running)) return false;
  shutdown_deferred_ = 1;
  shutdown_requested = true;
  // A pause would hold the release, and with it the termination, until a
  // resume that a client asking for the end need not send.
  paused = false;
  return true;
}

void KsModuleUniversal::handle_shutdown_signal() {
  shutdown_requested = true;
  switch (options_.operation) {
    case op_backup:
    case op_backup_list:
    case op_create_replica:
      release_once();
      break;
    case op_restore:
      // Only a directory this run made or chose: before the restore directory
      // is chosen, tmp_operation_directory is the client's own directory.
      if (remove_tmp_directory && !restore_directory_.empty()) {
        KsLogStream(KsLogLvl::Info) << "Remove temporary operation directory: " << restore_directory_ << std::endl;
        boost::system::error_code ec;
        boost::filesystem::remove_all(restore_directory_, ec);
      }
      break;
    case op_apply_replica:
      remove_reference_snapshot_directory();
      break;
    default:
      break;
  }
}

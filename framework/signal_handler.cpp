#include "framework/signal_handler.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <iostream>

#include <boost/filesystem.hpp>

#include "framework/ks_module_universal.h"
#include "support/log/ks_log.h"
#include "support/utils/ks_utils_common.h"

KsModuleUniversal* KsModuleSignalHandler::module_ptr_ = nullptr;
volatile std::sig_atomic_t KsModuleSignalHandler::shutting_down_ = 0;

namespace {

void install(int signal, void (*handler)(int), std::initializer_list<int> blocked) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  for (int other : blocked) sigaddset(&action.sa_mask, other);
  // The handler stays installed after each delivery and interrupted reads
  // and writes resume.
  action.sa_flags = SA_RESTART;
  ::sigaction(signal, &action, nullptr);
}

}  // namespace

std::unique_ptr<KsModuleSignalHandler> KsModuleSignalHandler::init(KsModuleUniversal* module) {
  return std::make_unique<KsModuleSignalHandler>(module);
}

KsModuleSignalHandler::KsModuleSignalHandler(KsModuleUniversal* module) {
  module_ptr_ = module;
  shutting_down_ = 0;
  // While the shutdown runs, no other shutdown signal and no pause can
  // start on top of it.
  std::initializer_list<int> const during_shutdown = {SIGINT, SIGTERM, SIGSEGV, SIGTSTP, SIGCONT};
  install(SIGINT, &shutdown_handler, during_shutdown);
  install(SIGTERM, &shutdown_handler, during_shutdown);
  install(SIGSEGV, &shutdown_handler, during_shutdown);
  // SIGCONT waits from the start of a pause until the pause handler waits
  // for it (it gets through there), so a resume is never taken before the
  // pause is marked.
  install(SIGTSTP, &pause_handler, {SIGCONT});
  install(SIGCONT, &continue_handler, {SIGTSTP});
  install(SIGPIPE, &sigpipe_handler, {});
}

KsModuleSignalHandler::~KsModuleSignalHandler() {
  for (int signal : {SIGINT, SIGTERM, SIGSEGV, SIGTSTP, SIGCONT, SIGPIPE}) ::signal(signal, SIG_DFL);
}

void KsModuleSignalHandler::shutdown_handler(int signal) {
  if (signal != SIGINT && signal != SIGSEGV && signal != SIGTERM) return;
  if (shutting_down_) return;
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
      KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": " << e.what() << std::endl;
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
  try {
    std::cout.flush();
  } catch (...) {
  }
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(17);
}

void KsModuleSignalHandler::pause_handler(int signal) {
  if (signal != SIGTSTP || !module_ptr_) return;
  try {
    module_ptr_->set_to_pause();
  } catch (...) {
  }
}

void KsModuleSignalHandler::continue_handler(int signal) {
  if (signal != SIGCONT || !module_ptr_) return;
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

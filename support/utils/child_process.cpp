#include "support/utils/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "support/utils/process_control.h"
#include "support/utils/scope_guard.h"
#include "support/utils/signals_held.h"

extern char** environ;

namespace kestrova {

namespace {

// waitpid for one child, resumed after signals: the wait status, or -1.
int wait_status(pid_t pid) {
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid, &status, 0);
  } while (r < 0 && errno == EINTR);
  return r == pid ? status : -1;
}

}  // namespace

child_process::child_process(std::string const& command, when_abandoned abandoned) : abandoned_(abandoned) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  unique_fd read_end(fds[0]);
  unique_fd write_end(fds[1]);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  if (posix_spawn_file_actions_init(&actions) != 0) return;
  auto destroy_actions = on_scope_exit([&] { posix_spawn_file_actions_destroy(&actions); });
  if (posix_spawnattr_init(&attr) != 0) return;
  auto destroy_attr = on_scope_exit([&] { posix_spawnattr_destroy(&attr); });

  // The write end becomes the standard output; the close-on-exec flag of
  // both ends keeps every other copy out of the command (glibc clears the
  // flag when the write end already is descriptor 1).
  posix_spawn_file_actions_adddup2(&actions, write_end.get(), STDOUT_FILENO);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGCONT, SIGPIPE}) sigaddset(&defaults, s);
  // The module ignores these; a tool that sets a timer must get its signal.
  for (int s : timer_signals) sigaddset(&defaults, s);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  char const* argv[] = {"sh", "-c", command.c_str(), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, "/bin/sh", &actions, &attr, const_cast<char* const*>(argv), environ) != 0) return;
  pid_ = pid;
  output_ = std::move(read_end);
}

child_process::~child_process() {
  if (pid_ <= 0) return;
  if (abandoned_ == when_abandoned::terminate)
    terminate();
  else
    wait();
}

ssize_t child_process::read(char* buffer, std::size_t size) {
  if (!output_.valid()) return -1;
  for (;;) {
    ssize_t const n = ::read(output_.get(), buffer, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

int child_process::wait() {
  output_.reset();
  if (pid_ <= 0) return -1;
  int const status = wait_status(pid_);
  pid_ = -1;
  return status;
}

int child_process::terminate() {
  output_.reset();
  if (pid_ <= 0) return -1;
  pid_t const pid = pid_;
  pid_ = -1;
  // The command runs below the shell (or is the shell, when the shell
  // replaced itself by it): its leaves first, then the shell.
  ks_utils_common::kill_childs(pid);
  int status = -1;
  auto const look = [&] {
    pid_t const r = ::waitpid(pid, &status, WNOHANG);
    if (r == 0) return process_probe::running;
    if (r == pid) return process_probe::gone;
    return errno == EINTR ? process_probe::running : process_probe::failed;
  };
  int error = 0;
  switch (terminate_gracefully(pid, look, error)) {
    case termination::killed:
    case termination::kill_failed:
      return wait_status(pid);
    case termination::exited:
    case termination::not_running:
      return status;  // reaped by the look
    case termination::term_failed:
    case termination::probe_failed:
      break;
  }
  return -1;
}

}  // namespace kestrova

// The process runner: one command run by /bin/sh, its standard output read
// through a pipe, ended early on request with the graceful-then-forced
// sequence, and always reaped. ks_utils_common::execute_command and the
// module's ksfd runs both start their commands here.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "support/utils/unique_fd.h"

namespace kestrova {

class child_process {
 public:
  // What the destructor does with a child that was neither waited for nor
  // terminated (its owner left early, through an exception say).
  enum class when_abandoned {
    wait,       // close the pipe and wait for the end, as pclose() does
    terminate,  // terminate() it
  };

  // Starts `/bin/sh -c command` with its standard output on the pipe; the
  // shell's standard error goes where this process's goes unless the command
  // redirects it (" 2>&1"). It gets this process's environment, working
  // directory, process group, standard input and every descriptor that is
  // not close-on-exec. It starts with an empty signal mask and with the
  // default actions of SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGCONT,
  // SIGPIPE and the timer signals (SIGALRM, SIGVTALRM, SIGPROF), whatever
  // this process blocks, ignores or handles at the moment
  // (a command started from inside a signal handler included). started() is
  // false when the pipe or the process cannot be made.
  explicit child_process(std::string const& command, when_abandoned abandoned = when_abandoned::wait);
  ~child_process();
  child_process(child_process const&) = delete;
  child_process& operator=(child_process const&) = delete;

  bool started() const { return pid_ > 0; }
  // The shell's pid while it is not reaped, else -1.
  pid_t pid() const { return pid_; }

  // Reads at most `size` bytes of the output: the count, 0 at the end of the
  // output (no process holds the pipe open any more), -1 on a read error or
  // when the pipe is closed. A signal handler that interrupts the read does
  // not end it.
  ssize_t read(char* buffer, std::size_t size);

  // Closes the pipe (output not read yet is lost; a writer gets SIGPIPE) and
  // waits for the shell. Its wait status, or -1 when the wait fails (with
  // SIGCHLD ignored the kernel reaps the shell itself) or nothing runs.
  int wait();

  // Ends the command before its time: closes the pipe; the leaves of the
  // process tree below the shell get the sequence of
  // ks_utils_common::synchronous_terminate (kill_childs), then the shell
  // gets SIGTERM and, still there a second later, SIGKILL; it is reaped.
  // Its wait status, or -1 when it could not be waited for or nothing runs.
  int terminate();

 private:
  unique_fd output_;
  pid_t pid_ = -1;
  when_abandoned abandoned_;
};

}  // namespace kestrova

// Signals and process trees (also reached through ks_utils_common.h), and
// the graceful-then-forced end of a process that they and
// kestrova::child_process share.
#pragma once

#include <sys/types.h>

#include <functional>

namespace ks_utils_common {

// Sends `signal` to `pid`. True when sent, and for pid 0 (nothing is sent).
// False for a negative pid (never a process group or "every process") and
// for a process that cannot be probed.
bool send_signal(int pid, int signal);

// SIGTERM, and SIGKILL one second later if the process is still there.
// True when the process is gone or was sent SIGKILL. Messages on stderr.
bool synchronous_terminate(int const& pid);

// Terminates the leaves of the process tree below `pid` (processes without
// children); a process that has children, and `pid` itself, is never
// signalled. When ps cannot tell the children, nothing is signalled.
void kill_childs(int pid);

}  // namespace ks_utils_common

namespace kestrova {

// What a look at a process finds.
enum class process_probe { running, gone, failed };

enum class termination {
  not_running,    // the first look found no running process: nothing sent
  exited,         // gone after SIGTERM
  killed,         // still there after a second: sent SIGKILL
  term_failed,    // SIGTERM could not be sent (errno in `error`)
  probe_failed,   // a look after SIGTERM failed (errno in `error`)
  kill_failed,    // SIGKILL could not be sent (errno in `error`)
};

// The graceful-then-forced end of `pid` (positive): unless the first look
// finds it gone, SIGTERM; then a look every ten milliseconds, for one second,
// until it has gone; then SIGKILL. `look` is how this caller sees the
// process: a stranger by kill(pid, 0), a child of its own by waitpid (which
// reaps it). Prints nothing.
termination terminate_gracefully(pid_t pid, std::function<process_probe()> const& look, int& error);

}  // namespace kestrova

// The shell command runner of ks_utils_common (also reached through
// ks_utils_common.h).
#pragma once

#include <string>

namespace ks_utils_common {

// Runs `cmd` through /bin/sh with " 2>&1" appended, so standard error is
// merged into the output. Everything the command prints is appended to
// `output` (never cleared). Blocks until the command ends; no time limit.
// Result: the exit code (0..255) of a command that exited; 128 + the signal
// number of a command ended by a signal; 1 when the shell cannot be started;
// -1 when closing the pipe fails or an exception is raised inside the runner.
// The shell interprets the whole text: quote values with kestrova::shell_quoted.
// The command starts as kestrova::child_process starts it.
int execute_command(std::string cmd, std::string& output);

}  // namespace ks_utils_common

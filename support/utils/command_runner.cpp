#include "support/utils/command_runner.h"

#include <sys/wait.h>

#include <exception>
#include <iostream>

#include "support/utils/child_process.h"
#include "support/utils/quoting.h"

namespace ks_utils_common {

namespace {

int exit_code_from_status(int status) {
  if (status == -1) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

int execute_command(std::string cmd, std::string& output) {
  try {
    cmd += " 2>&1";
    // Left through an exception, the command is waited for as pclose did.
    kestrova::child_process command(cmd);
    if (!command.started()) {
      std::cerr << "Couldn't start OS command: " << cmd << std::endl;
      return 1;
    }
    // Every byte counts: a NUL byte in the output must not cut off the
    // bytes read with it. A read error ends the output like its end does.
    char buffer[4096];
    for (;;) {
      ssize_t const n = command.read(buffer, sizeof buffer);
      if (n <= 0) break;
      output.append(buffer, static_cast<std::size_t>(n));
    }
    return exit_code_from_status(command.wait());
  } catch (std::exception const& e) {
    std::cerr << "ks_utils_common::execute_command: error: " << kestrova::as_one_line(e.what()) << std::endl;
    return -1;
  }
}

}  // namespace ks_utils_common

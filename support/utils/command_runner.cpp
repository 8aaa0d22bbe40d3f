#include "support/utils/ks_utils_common.h"
#include "support/utils/quoting.h"

#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <iostream>

namespace ks_utils_common {

namespace {

// Owns the popen stream; close() hands back the wait status exactly once.
class PipeStream {
 public:
  explicit PipeStream(std::string const& cmd) : f_(popen(cmd.c_str(), "r")) {}
  ~PipeStream() {
    if (f_) pclose(f_);
  }
  PipeStream(PipeStream const&) = delete;
  PipeStream& operator=(PipeStream const&) = delete;

  FILE* get() const { return f_; }
  int close() {
    FILE* f = f_;
    f_ = nullptr;
    return pclose(f);
  }

 private:
  FILE* f_;
};

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
    PipeStream pipe(cmd);
    if (!pipe.get()) {
      std::cerr << "Couldn't start OS command: " << cmd << std::endl;
      return 1;
    }
    // fread rather than fgets: a NUL byte in the output must not cut off
    // the bytes read with it.
    char buffer[1024];
    for (;;) {
      size_t n = fread(buffer, 1, sizeof buffer, pipe.get());
      output.append(buffer, n);
      if (n == sizeof buffer) continue;
      // A signal handler (the module forwards SIGTSTP/SIGCONT) may interrupt
      // the read; that is not the end of the output.
      if (ferror(pipe.get()) && errno == EINTR) {
        clearerr(pipe.get());
        continue;
      }
      break;
    }
    return exit_code_from_status(pipe.close());
  } catch (std::exception const& e) {
    std::cerr << "ks_utils_common::execute_command: error: " << kestrova::as_one_line(e.what()) << std::endl;
    return -1;
  }
}

}  // namespace ks_utils_common

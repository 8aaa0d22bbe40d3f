// A program run as a child process the way the backup client runs the
// module: argv without a shell, its own environment, standard input from
// /dev/null, standard output read line by line while it runs, standard error
// kept apart.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kstest::e2e {

struct ProcessResult {
  int status = -1;                     // exit status, or 128 + signal
  bool timed_out = false;              // killed because it outlived its limit
  std::vector<std::string> out_lines;  // standard output, one entry per line, without line ends
  std::string out;                     // standard output as written
  std::string err;                     // standard error as written

  // An output line equal to `line`.
  bool has_line(std::string const& line) const;
  // The first output line that begins with `prefix`, or nullptr.
  std::string const* line_starting(std::string const& prefix) const;
};

// Starts the program at once; the destructor kills its process group (it is
// the leader of its own) with SIGKILL when it still runs, and reaps it.
class ChildProcess {
 public:
  // argv[0] is the program path. `env` is the whole environment of the child.
  ChildProcess(std::vector<std::string> const& argv, std::map<std::string, std::string> const& env);
  ~ChildProcess();
  ChildProcess(ChildProcess const&) = delete;
  ChildProcess& operator=(ChildProcess const&) = delete;

  pid_t pid() const { return pid_; }

  // True as soon as some output line (also one already read) satisfies the
  // predicate; false when the time is up or the output ended without one.
  bool wait_for_line(std::function<bool(std::string const&)> const& match, std::chrono::milliseconds timeout);
  bool wait_for_line_starting(std::string const& prefix,
                              std::chrono::milliseconds timeout = std::chrono::seconds(120));

  // The output lines read so far.
  std::vector<std::string> lines_so_far();

  // Sends a signal to the program itself (not to its children).
  void send_signal(int signal);

  // Waits for the end. After `limit` the process group is killed and the
  // result says timed_out. Call once.
  ProcessResult wait(std::chrono::seconds limit = std::chrono::seconds(600));

 private:
  void read_output();

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  bool reaped_ = false;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  std::string partial_;
  std::string out_;
  std::string err_;
  bool out_ended_ = false;
  bool stop_reading_ = false;
};

}  // namespace kstest::e2e

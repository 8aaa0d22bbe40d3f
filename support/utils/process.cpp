#include "support/utils/ks_utils_common.h"
#include "support/utils/quoting.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <iostream>
#include <sstream>
#include <thread>
#include <vector>

namespace ks_utils_common {

bool send_signal(int pid, int signal) {
  if (pid == 0) return true;
  // kill() with a negative pid reaches a whole process group, or with -1
  // every process we may signal: never what a caller with a bad pid wants.
  if (pid < 0) return false;
  if (kill(pid, 0) != 0) return false;
  if (kill(pid, signal) == 0) {
    std::cout << "sent signal " << signal << " to the process: " << pid << std::endl;
    return true;
  }
  std::cout << "No permissions to send signal " << signal << " the process: " << pid << std::endl;
  return false;
}

bool synchronous_terminate(int const& pid) {
  if (pid <= 0) return false;
  // A stranger's process: kill(pid, 0) tells whether it is still there (an
  // unreaped child of ours counts as there until SIGKILL).
  auto const look = [&] {
    if (kill(pid, 0) == 0) return kestrova::process_probe::running;
    return errno == ESRCH ? kestrova::process_probe::gone : kestrova::process_probe::failed;
  };
  int error = 0;
  switch (kestrova::terminate_gracefully(pid, look, error)) {
    case kestrova::termination::not_running:
      std::cerr << "Process with pid:" << pid << " does not exist" << std::endl;
      return false;
    case kestrova::termination::exited:
      std::cerr << "Process with pid:" << pid << " exited" << std::endl;
      return true;
    case kestrova::termination::term_failed:
      std::cerr << " Error send signal:" << strsignal(SIGTERM) << " to process with pid:" << pid << std::endl;
      return false;
    case kestrova::termination::probe_failed:
      std::cerr << "Error calling kill for process with pid:" << pid << ", :" << strerror(error) << std::endl;
      return false;
    case kestrova::termination::kill_failed:
      std::cerr << "Error calling kill SIGKILL for process with pid:" << pid << ", :" << strerror(error)
                << std::endl;
      return false;
    case kestrova::termination::killed:
      break;
  }
  return true;
}

namespace {

enum class Children { found, none, unknown };

bool parse_pid(std::string const& text, int& pid) {
  if (text.size() > 9 || !is_digits(text)) return false;
  pid = std::stoi(text);
  return pid > 0;
}

// The direct children of `pid`. The query's own shell is a child of this
// process while it runs, so it prints its pid first ("exec" keeps the pid for
// ps) and that pid is left out. procps ps exits with 1 and prints nothing when
// there is no child; any other outcome means we cannot tell.
Children list_children(int pid, std::vector<int>& children, std::string& problem) {
  std::string output;
  int rc = execute_command("echo $$; exec ps -eo pid -h --ppid=" + std::to_string(pid), output);
  std::istringstream lines(output);
  std::string line;
  int query_pid = 0;
  if (!std::getline(lines, line) || !parse_pid(trimmed(line), query_pid)) {
    problem = "cannot run ps (code " + std::to_string(rc) + "): " + output;
    return Children::unknown;
  }
  std::vector<int> found;
  while (std::getline(lines, line)) {
    std::string piece = trimmed(line);
    if (piece.empty()) continue;
    int child = 0;
    if (!parse_pid(piece, child)) {
      problem = "unexpected ps output (code " + std::to_string(rc) + "): " + output.substr(output.find('\n') + 1);
      return Children::unknown;
    }
    if (child != query_pid) found.push_back(child);
  }
  if (rc == 0) {
    children = std::move(found);
    return children.empty() ? Children::none : Children::found;
  }
  if (rc == 1 && found.empty()) return Children::none;
  problem = "ps failed with code " + std::to_string(rc);
  return Children::unknown;
}

void terminate_leaves(int pid, bool is_root) {
  std::vector<int> children;
  std::string problem;
  switch (list_children(pid, children, problem)) {
    case Children::unknown:
      std::cerr << "ks_utils_common::kill_childs: error: " << problem << std::endl;
      return;
    case Children::found:
      for (int child : children) terminate_leaves(child, false);
      return;
    case Children::none:
      if (is_root) return;  // the given process itself is never signalled
      if (synchronous_terminate(pid))
        std::cout << "PID was terminated: " << pid << std::endl;
      else
        std::cout << "Error terminate PID: " << pid << std::endl;
      return;
  }
}

}  // namespace

void kill_childs(int pid) {
  try {
    if (pid <= 0) return;
    terminate_leaves(pid, true);
  } catch (std::exception const& e) {
    std::cerr << "ks_utils_common::kill_childs: error: " << kestrova::as_one_line(e.what()) << std::endl;
  }
}

}  // namespace ks_utils_common

namespace kestrova {

termination terminate_gracefully(pid_t pid, std::function<process_probe()> const& look, int& error) {
  if (look() != process_probe::running) return termination::not_running;
  if (kill(pid, SIGTERM) != 0) {
    error = errno;
    // Gone between the look and the signal.
    return error == ESRCH ? termination::exited : termination::term_failed;
  }
  auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  for (;;) {
    switch (look()) {
      case process_probe::gone:
        return termination::exited;
      case process_probe::failed:
        error = errno;
        return termination::probe_failed;
      case process_probe::running:
        break;
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (kill(pid, SIGKILL) != 0) {
    error = errno;
    // SIGTERM took effect at the last moment.
    return error == ESRCH ? termination::exited : termination::kill_failed;
  }
  return termination::killed;
}

}  // namespace kestrova

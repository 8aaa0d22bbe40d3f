// A module program for the signal tests: the scripted module with hooks that
// take their time, recording every hook call in a file.
//
//   framework_signal_probe MODE RECORD_FILE [module arguments...]
//
// The log goes to RECORD_FILE.log and standard output.
// MODE is a comma-separated list of:
//   wait_in_prepare, wait_in_load, wait_in_before_restore: the hook waits on a
//       child process (sleep) that only a termination ends;
//   slow_release: the release hook takes two seconds and then records
//       "release-end";
//   fake_ksfd: the preparation starts a child process, publishes it as the
//       running ksfd (recorded as "ksfd <pid>") and waits until it ends;
//   exit_handler_lock: an exit handler takes a lock that the preparation
//       holds while it waits as in wait_in_prepare (as a library's clean-up
//       at exit may need a lock of the code a signal interrupted).
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "scripted_module.h"
#include "support/log/ks_log.h"
#include "support/utils/ks_utils_common.h"

namespace {

void record(std::string const& file, std::string const& line) {
  std::ofstream out(file, std::ios::app);
  out << line << "\n";
}

void wait_on_child_sleep() {
  std::string output;
  ks_utils_common::execute_command("sleep 300", output);
}

// Two seconds of work that signals do not cut short.
void busy_two_seconds() {
  timespec left{2, 0};
  while (nanosleep(&left, &left) != 0) {
  }
}

std::mutex exit_handler_mutex;

void exit_handler() { std::lock_guard<std::mutex> taken(exit_handler_mutex); }

class ProbeModule : public kstest::ScriptedModule {
 public:
  using kstest::ScriptedModule::ScriptedModule;
  void publish_ksfd(pid_t pid) { ksfd_pid = pid; }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 99;
  std::string const modes = std::string(",") + argv[1] + ",";
  std::string const record_file = argv[2];
  auto has = [&](char const* mode) { return modes.find(std::string(",") + mode + ",") != std::string::npos; };

  // Log lines reach the file at once; standard output may stay buffered.
  KsLogStream::set_default_loggers(KsDestination::File(record_file + ".log"), KsDestination::Stdout());

  ProbeModule module;
  module.record_file = record_file;
  if (has("wait_in_prepare")) module.actions["prepare"] = wait_on_child_sleep;
  if (has("wait_in_load")) module.actions["load_module_config"] = wait_on_child_sleep;
  if (has("wait_in_before_restore")) module.actions["before_restore"] = wait_on_child_sleep;
  if (has("exit_handler_lock")) {
    std::atexit(exit_handler);
    module.actions["prepare"] = [] {
      std::lock_guard<std::mutex> held(exit_handler_mutex);
      wait_on_child_sleep();
    };
  }
  if (has("slow_release"))
    module.actions["release"] = [&] {
      busy_two_seconds();
      record(record_file, "release-end");
    };
  if (has("fake_ksfd"))
    module.actions["prepare"] = [&] {
      pid_t child = fork();
      if (child == 0) {
        execl("/bin/sleep", "sleep", "300", static_cast<char*>(nullptr));
        _exit(127);
      }
      module.publish_ksfd(child);
      record(record_file, "ksfd " + std::to_string(child));
      while (waitpid(child, nullptr, 0) < 0) {
      }
      module.publish_ksfd(0);
      record(record_file, "ksfd-ended");
    };

  std::vector<char*> args;
  args.push_back(argv[0]);
  for (int i = 3; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
  if (!module.init(static_cast<int>(args.size()) - 1, args.data())) return 14;
  return static_cast<int>(module.run());
}

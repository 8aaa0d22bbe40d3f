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
//       running ksfd (recorded as "ksfd <pid>") and waits until it ends; the
//       child writes "TSTP" or "CONT" to RECORD_FILE.tool for each pause or
//       resume it gets, and stops itself on a pause;
//   exit_handler_lock: an exit handler takes a lock that the preparation
//       holds while it waits as in wait_in_prepare (as a library's clean-up
//       at exit may need a lock of the code a signal interrupted);
//   allocating_prepare: the preparation allocates and frees without end;
//   stray_child: the preparation first starts a child process (sleep) that
//       it leaves running (recorded as "child <pid>");
//   throw_in_prepare, throw_in_release: the hook throws (after the waits);
//   segv_in_prepare, segv_in_release: the hook writes to memory it may not
//       write to: a real segmentation fault (after the waits).
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <memory>
#include <stdexcept>
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

// The preparation of a busy module: allocations without end, so a signal
// almost always finds this process inside malloc() or free().
// Keeps the allocations below from being optimised away.
char const* volatile seen = nullptr;

void allocate_for_ever() {
  std::vector<std::string> kept(64);
  for (unsigned long i = 0;; ++i) {
    kept[i % kept.size()] = std::string(16 + i % 4000, 'x');
    auto scratch = std::make_unique<char[]>(1 + i % 300);
    seen = scratch.get();
    seen = kept[i % kept.size()].data();
  }
}

// A write to a page without access: the kernel's SIGSEGV, not a sent one.
void fault() {
  void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) std::abort();
  *static_cast<int volatile*>(page) = 1;
}

// Forks a child that runs `become` (which never returns) with the module's
// signals held: until the child has set its own dispositions it would take
// one with the module's handlers (a pause in the copy of the module instead
// of the child's own answer). `become` gets the mask to restore then.
template <typename Become>
pid_t fork_with_signals_held(Become become) {
  sigset_t held, before;
  sigemptyset(&held);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGCONT}) sigaddset(&held, sig);
  sigprocmask(SIG_BLOCK, &held, &before);
  pid_t child = fork();
  if (child == 0) {
    become(before);
    _exit(127);
  }
  sigprocmask(SIG_SETMASK, &before, nullptr);
  return child;
}

pid_t start_sleep() {
  return fork_with_signals_held([](sigset_t const& before) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGCONT}) signal(sig, SIG_DFL);
    sigprocmask(SIG_SETMASK, &before, nullptr);
    execl("/bin/sleep", "sleep", "300", static_cast<char*>(nullptr));
  });
}

// The stand-in ksfd. It stops itself with SIGSTOP rather than by the default
// action of SIGTSTP: the kernel drops that one in a process group without a
// controlling parent (a client started in its own session), which would make
// a forwarded pause look lost.
int tool_signals_fd = -1;

void tool_signal(int signal) {
  int const saved_errno = errno;
  if (signal == SIGTSTP) {
    (void)!write(tool_signals_fd, "TSTP\n", 5);
    raise(SIGSTOP);
  } else {
    (void)!write(tool_signals_fd, "CONT\n", 5);
  }
  errno = saved_errno;
}

pid_t start_tool(std::string const& signals_file) {
  int const fd = open(signals_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) std::abort();
  pid_t const child = fork_with_signals_held([fd](sigset_t const& before) {
    // Only async-signal-safe calls from here on: a copy of the module.
    tool_signals_fd = fd;
    struct sigaction on_signal {};
    on_signal.sa_handler = &tool_signal;
    sigemptyset(&on_signal.sa_mask);
    sigaction(SIGTSTP, &on_signal, nullptr);
    sigaction(SIGCONT, &on_signal, nullptr);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) signal(sig, SIG_DFL);
    sigprocmask(SIG_SETMASK, &before, nullptr);
    for (;;) pause();
  });
  close(fd);
  return child;
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
  // The steps of a hook run in this order, whichever order the modes come in.
  std::vector<std::function<void()>> prepare, release;
  if (has("stray_child")) prepare.push_back([&] { record(record_file, "child " + std::to_string(start_sleep())); });
  if (has("wait_in_prepare")) prepare.push_back(wait_on_child_sleep);
  if (has("exit_handler_lock")) {
    std::atexit(exit_handler);
    prepare.push_back([] {
      std::lock_guard<std::mutex> held(exit_handler_mutex);
      wait_on_child_sleep();
    });
  }
  if (has("fake_ksfd"))
    prepare.push_back([&] {
      pid_t child = start_tool(record_file + ".tool");
      module.publish_ksfd(child);
      record(record_file, "ksfd " + std::to_string(child));
      while (waitpid(child, nullptr, 0) < 0) {
      }
      module.publish_ksfd(0);
      record(record_file, "ksfd-ended");
    });
  if (has("allocating_prepare")) prepare.push_back(allocate_for_ever);
  if (has("throw_in_prepare")) prepare.push_back([] { throw std::runtime_error("prepare failed"); });
  if (has("segv_in_prepare")) prepare.push_back(fault);
  if (has("slow_release"))
    release.push_back([&] {
      busy_two_seconds();
      record(record_file, "release-end");
    });
  if (has("throw_in_release")) release.push_back([] { throw std::runtime_error("release failed"); });
  if (has("segv_in_release")) release.push_back(fault);
  auto all = [](std::vector<std::function<void()>> steps) {
    return [steps] {
      for (auto const& step : steps) step();
    };
  };
  if (!prepare.empty()) module.actions["prepare"] = all(prepare);
  if (!release.empty()) module.actions["release"] = all(release);
  if (has("wait_in_load")) module.actions["load_module_config"] = wait_on_child_sleep;
  if (has("wait_in_before_restore")) module.actions["before_restore"] = wait_on_child_sleep;

  std::vector<char*> args;
  args.push_back(argv[0]);
  for (int i = 3; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
  if (!module.init(static_cast<int>(args.size()) - 1, args.data())) return 14;
  return static_cast<int>(module.run());
}

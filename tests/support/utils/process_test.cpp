#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_util.h"
#include "support/utils/ks_utils_common.h"

using namespace ks_utils_common;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

// What the processes of a test tree report through a pipe.
struct Record {
  char kind;  // 'P' my pid, 'T' I received SIGTERM, 'R' I reaped a child
  char tag;
  int pid;
  int sig;  // for 'R': the signal that ended the child, 0 when it exited
};

int g_record_fd = -1;
char g_tag = '?';

void send_record(char kind, int pid, int sig) {
  Record r{kind, g_tag, pid, sig};
  ssize_t n = write(g_record_fd, &r, sizeof r);
  (void)n;
}

extern "C" void note_sigterm(int) { send_record('T', getpid(), SIGTERM); }

// A leaf: reports its pid and waits with SIGTERM at its default action.
pid_t spawn_leaf(char tag) {
  pid_t pid = fork();
  if (pid == 0) {
    g_tag = tag;
    send_record('P', getpid(), 0);
    for (;;) pause();
  }
  return pid;
}

// An inner node: notes (and survives) SIGTERM, reaps and reports its children.
[[noreturn]] void inner_node_loop() {
  struct sigaction sa {};
  sa.sa_handler = note_sigterm;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  sigaction(SIGTERM, &sa, nullptr);
  for (;;) {
    int status = 0;
    pid_t w = waitpid(-1, &status, 0);
    if (w > 0)
      send_record('R', w, WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    else if (errno == ECHILD)
      pause();
  }
}

class RecordPipe {
 public:
  RecordPipe() {
    if (pipe(fds_) != 0) std::abort();
    g_record_fd = fds_[1];
  }
  ~RecordPipe() {
    close(fds_[0]);
    close(fds_[1]);
  }
  RecordPipe(RecordPipe const&) = delete;
  RecordPipe& operator=(RecordPipe const&) = delete;

  // Records that arrive within `timeout_ms` of each other.
  std::vector<Record> read_for(int timeout_ms) {
    std::vector<Record> out;
    pollfd p{fds_[0], POLLIN, 0};
    while (poll(&p, 1, timeout_ms) > 0) {
      Record r;
      if (read(fds_[0], &r, sizeof r) != sizeof r) break;
      out.push_back(r);
    }
    return out;
  }
  bool read_one(Record& r, int timeout_ms) {
    pollfd p{fds_[0], POLLIN, 0};
    return poll(&p, 1, timeout_ms) > 0 && read(fds_[0], &r, sizeof r) == sizeof r;
  }

 private:
  int fds_[2];
};

// P has a child C and a leaf child L; C has a leaf child G.
// The leaves G and L are the only processes without children.
class ProcessTree {
 public:
  explicit ProcessTree(RecordPipe& records) {
    root_ = fork();
    if (root_ == 0) {
      g_tag = 'P';
      send_record('P', getpid(), 0);
      if (fork() == 0) {
        g_tag = 'C';
        send_record('P', getpid(), 0);
        spawn_leaf('G');
        inner_node_loop();
      }
      spawn_leaf('L');
      inner_node_loop();
    }
    for (int i = 0; i < 4; ++i) {
      Record r;
      if (!records.read_one(r, 5000) || r.kind != 'P') break;
      pids_[static_cast<unsigned char>(r.tag)] = r.pid;
    }
  }
  ~ProcessTree() {
    for (char tag : {'G', 'L', 'C', 'P'})
      if (pid(tag) > 0) kill(pid(tag), SIGKILL);
    waitpid(root_, nullptr, 0);
  }
  ProcessTree(ProcessTree const&) = delete;
  ProcessTree& operator=(ProcessTree const&) = delete;

  bool complete() const { return pid('P') > 0 && pid('C') > 0 && pid('G') > 0 && pid('L') > 0; }
  int pid(char tag) const {
    auto i = static_cast<unsigned char>(tag);
    return pids_[i];
  }

 private:
  pid_t root_ = -1;
  int pids_[256] = {};
};

bool alive(int pid) { return kill(pid, 0) == 0; }

// Forks a process that waits; it is ready (dispositions set) on return.
pid_t start_waiting_child(bool ignore_term) {
  int fds[2];
  if (pipe(fds) != 0) std::abort();
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    if (ignore_term) signal(SIGTERM, SIG_IGN);
    char c = 'r';
    ssize_t n = write(fds[1], &c, 1);
    (void)n;
    for (;;) pause();
  }
  close(fds[1]);
  char c;
  ssize_t n = read(fds[0], &c, 1);
  (void)n;
  close(fds[0]);
  return pid;
}

// A pid that belonged to a process of ours that is gone and reaped.
int vanished_pid() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

int end_signal(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

TEST(SendSignal, DeliversReportsAndRefusesBadPids) {
  pid_t child = start_waiting_child(false);
  CaptureStdout();
  EXPECT_TRUE(send_signal(child, SIGUSR1));
  EXPECT_EQ(GetCapturedStdout(), "sent signal " + std::to_string(SIGUSR1) + " to the process: " + std::to_string(child) + "\n");
  EXPECT_EQ(end_signal(child), SIGUSR1);

  CaptureStdout();
  EXPECT_TRUE(send_signal(0, SIGTERM));  // nothing sent, our own group survives
  EXPECT_FALSE(send_signal(vanished_pid(), SIGTERM));
  EXPECT_EQ(GetCapturedStdout(), "");
}

TEST(SynchronousTerminate, ProcessIgnoringSigtermGetsSigkill) {
  pid_t child = start_waiting_child(true);
  CaptureStderr();
  EXPECT_TRUE(synchronous_terminate(child));
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(end_signal(child), SIGKILL);
}

TEST(SynchronousTerminate, UnreapedChildCountsAsAliveButEndsBySigterm) {
  pid_t child = start_waiting_child(false);
  CaptureStderr();
  EXPECT_TRUE(synchronous_terminate(child));
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(end_signal(child), SIGTERM);
}

TEST(SynchronousTerminate, ProcessReapedElsewhereCountsAsTerminated) {
  // G is reaped by its parent C as soon as it dies; the probe after SIGTERM
  // or the SIGKILL after the wait then finds no such process: terminated.
  RecordPipe records;
  ProcessTree tree(records);
  ASSERT_TRUE(tree.complete());
  CaptureStderr();
  EXPECT_TRUE(synchronous_terminate(tree.pid('G')));
  EXPECT_EQ(GetCapturedStderr(), "Process with pid:" + std::to_string(tree.pid('G')) + " exited\n");
}

TEST(SynchronousTerminate, MissingAndInvalidPids) {
  int gone = vanished_pid();
  CaptureStderr();
  EXPECT_FALSE(synchronous_terminate(gone));
  EXPECT_FALSE(synchronous_terminate(0));
  EXPECT_EQ(GetCapturedStderr(), "Process with pid:" + std::to_string(gone) + " does not exist\n");
}

TEST(NegativePids, NeverReachEveryProcess) {
  // kill(-1, sig) would hit every process we may signal, so the check runs
  // as init of a private pid namespace where "every process" is one witness.
  pid_t outer = fork();
  if (outer == 0) {
    if (unshare(CLONE_NEWPID) != 0) _exit(3);
    pid_t init = fork();
    if (init == 0) {
      pid_t witness = start_waiting_child(false);
      bool refused = !send_signal(-1, SIGTERM) && !synchronous_terminate(-1);
      kill_childs(-1);
      bool witness_alive = kill(witness, 0) == 0 && waitpid(witness, nullptr, WNOHANG) == 0;
      kill(witness, SIGKILL);
      _exit(refused && witness_alive ? 0 : 1);
    }
    int status = 0;
    waitpid(init, &status, 0);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 2);
  }
  int status = 0;
  ASSERT_EQ(waitpid(outer, &status, 0), outer);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 3) GTEST_SKIP() << "cannot make a pid namespace here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(KillChilds, TerminatesOnlyTheLeavesOfTheTree) {
  RecordPipe records;
  ProcessTree tree(records);
  ASSERT_TRUE(tree.complete());

  CaptureStdout();
  CaptureStderr();
  kill_childs(tree.pid('P'));
  std::string out = GetCapturedStdout();
  std::string err = GetCapturedStderr();

  EXPECT_NE(out.find("PID was terminated: " + std::to_string(tree.pid('G')) + "\n"), std::string::npos) << out;
  EXPECT_NE(out.find("PID was terminated: " + std::to_string(tree.pid('L')) + "\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("Error terminate PID"), std::string::npos) << out;

  // Each leaf was reaped by its parent after SIGTERM; no inner node was
  // signalled, and both inner nodes are still running.
  std::vector<Record> seen = records.read_for(300);
  int leaves_reaped = 0;
  for (Record const& r : seen) {
    EXPECT_NE(r.kind, 'T') << "process " << r.tag << " was sent SIGTERM";
    if (r.kind == 'R') {
      EXPECT_TRUE(r.pid == tree.pid('G') || r.pid == tree.pid('L')) << "reaped " << r.pid;
      EXPECT_EQ(r.sig, SIGTERM);
      ++leaves_reaped;
    }
  }
  EXPECT_EQ(leaves_reaped, 2) << err;
  EXPECT_TRUE(alive(tree.pid('P')));
  EXPECT_TRUE(alive(tree.pid('C')));
}

TEST(KillChilds, GivenProcessIsNeverSignalledEvenWithoutChildren) {
  pid_t leaf = start_waiting_child(false);
  CaptureStdout();
  CaptureStderr();
  kill_childs(leaf);
  kill_childs(0);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(waitpid(leaf, nullptr, WNOHANG), 0) << "the given process was ended";
  kill(leaf, SIGKILL);
  waitpid(leaf, nullptr, 0);
}

TEST(KillChilds, CallerItselfSurvivesAndItsQueryIsNotTargeted) {
  // As the shutdown handler does: a process ends the leaves below itself.
  // The shell that runs ps is a child of the caller too and must be skipped.
  kstest::TempDir dir;
  std::string const log = (dir / "out").string();
  pid_t module = fork();
  if (module == 0) {
    FILE* f = freopen(log.c_str(), "w", stdout);
    if (!f || dup2(fileno(stdout), 2) < 0) _exit(3);
    pid_t leaf = start_waiting_child(false);
    printf("leaf %d\n", leaf);
    fflush(stdout);
    kill_childs(getpid());
    _exit(end_signal(leaf) == SIGTERM ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(module, &status, 0), module);
  std::string const out = kstest::read_file(log);
  ASSERT_TRUE(WIFEXITED(status)) << "the caller was ended by signal " << WTERMSIG(status) << "\n" << out;
  EXPECT_EQ(WEXITSTATUS(status), 0) << out;

  int leaf = std::atoi(out.c_str() + 5);
  EXPECT_EQ(out, "leaf " + std::to_string(leaf) + "\nPID was terminated: " + std::to_string(leaf) + "\n");
}

// Restores PATH on scope exit.
class PathGuard {
 public:
  explicit PathGuard(std::string const& path) {
    char const* old = getenv("PATH");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("PATH", path.c_str(), 1);
  }
  ~PathGuard() {
    if (had_)
      setenv("PATH", old_.c_str(), 1);
    else
      unsetenv("PATH");
  }
  PathGuard(PathGuard const&) = delete;
  PathGuard& operator=(PathGuard const&) = delete;

 private:
  bool had_ = false;
  std::string old_;
};

TEST(KillChilds, FailingPsSignalsNothing) {
  struct StandIn {
    char const* what;
    char const* script;  // body of a stand-in ps; nullptr: no ps on PATH
  };
  StandIn const cases[] = {
      {"no ps on PATH", nullptr},
      {"ps cannot run", "echo 'ps: cannot run' >&2; exit 127"},
      {"ps rejects its options", "echo 'error: unsupported SysV option' >&2; exit 1"},
      {"ps prints no pids", "echo '  PID'; echo ' 12ab'; exit 0"},
      {"ps fails silently", "exit 2"},
      {"ps crashes", "kill -SEGV $$"},
  };

  RecordPipe records;
  ProcessTree tree(records);
  ASSERT_TRUE(tree.complete());
  for (auto const& c : cases) {
    SCOPED_TRACE(c.what);
    kstest::TempDir bin;
    if (c.script) {
      kstest::write_file(bin / "ps", std::string("#!/bin/sh\n") + c.script + "\n");
      ASSERT_EQ(chmod((bin / "ps").c_str(), 0755), 0);
    }
    CaptureStdout();
    CaptureStderr();
    {
      PathGuard path(bin.str());
      kill_childs(tree.pid('P'));
    }
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_NE(GetCapturedStderr().find("ks_utils_common::kill_childs: error: "), std::string::npos);
    EXPECT_TRUE(records.read_for(100).empty()) << "a process was signalled or ended";
  }
  for (char tag : {'P', 'C', 'G', 'L'}) EXPECT_TRUE(alive(tree.pid(tag))) << tag;
}

}  // namespace

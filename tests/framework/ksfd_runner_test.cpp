// The ksfd runner against the stand-in tool with scripted output: line
// endings, the lines the client sees, exit statuses, signals, PID lines good
// and bad, and what the runner leaves behind when it gives up part-way.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <thread>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "common/test_util.h"
#include "framework/signal_handler.h"
#include "ksfd_module.h"

namespace {

namespace fs = boost::filesystem;
using kstest::ScopedEnv;

// A backup of one four-byte file: the stand-in prints its PID line, the
// scripted output, one "Packed: " line and the scripted tail.
std::string tool_command(kstest::TempDir const& dir) {
  kstest::write_file(dir / "src", "data");
  return "/opt/kestrova/bin/ksfd -a sha2 -2 -b 16384 -c " + (dir / "src").string() +
         " -x /opt/kestrova/keys/master-key -n " + (dir / "a.ksfd").string() + " -m " + (dir / "a.meta").string() +
         " 2>&1";
}

char const kPacked[] = "Packed: 100% (1 of 1 items, 4 bytes)";
char const kPidLine[] = "@PID";  // the stand-in's own "KSFD PID: <pid>" line

struct ToolRun {
  bool ok = false;
  std::string output;
  std::string progress;
  std::string echoed;  // standard output
  std::string log;
  pid_t pid_after = -1;
};

ToolRun run_tool(kstest::KsfdModule& module, std::string const& command, std::string output = std::string()) {
  kstest::FrameworkLog log(KsLogLvl::Debug);
  ToolRun r;
  r.output = std::move(output);
  pid_t pid = 12345;
  testing::internal::CaptureStdout();
  r.ok = module.run_ksfd_command(command, r.output, pid, r.progress);
  r.echoed = testing::internal::GetCapturedStdout();
  r.pid_after = pid;
  r.log = log.text();
  return r;
}

struct OutputCase {
  char const* name;
  std::map<std::string, std::string> env;  // KSFD_STANDIN_ + key
  bool ok;
  std::string output;
  std::vector<std::string> echoed;
  std::string progress;
  bool defect;
  std::string message;     // in the log
  std::string not_logged;  // never in the log
};

std::ostream& operator<<(std::ostream& out, OutputCase const& c) { return out << c.name; }

class RunnerOutput : public testing::TestWithParam<OutputCase> {};

TEST_P(RunnerOutput, LinesStatusAndDefect) {
  KS_REQUIRE_SANDBOX();
  OutputCase const& c = GetParam();
  kstest::TempDir dir;
  std::vector<std::unique_ptr<ScopedEnv>> env;
  for (auto const& e : c.env) env.emplace_back(new ScopedEnv("KSFD_STANDIN_" + e.first, e.second));
  kstest::KsfdModule module;
  ToolRun r = run_tool(module, tool_command(dir), "kept\n");

  EXPECT_EQ(r.ok, c.ok) << r.log;
  EXPECT_EQ(r.output, "kept\n" + c.output);
  EXPECT_EQ(r.progress, c.progress);
  EXPECT_EQ(module.defect, c.defect);
  // The pid is never left behind, whatever the end.
  EXPECT_EQ(r.pid_after, 0);
  std::vector<std::string> expected;
  for (auto const& line : c.echoed) {
    if (line == kPidLine) {
      auto pid_lines = kstest::lines_with(r.echoed, "KSFD PID: ");
      ASSERT_EQ(pid_lines.size(), 1u) << r.echoed;
      expected.push_back(pid_lines[0]);
    } else {
      expected.push_back(line);
    }
  }
  std::string joined;
  for (auto const& line : expected) joined += line + "\n";
  EXPECT_EQ(r.echoed, joined);
  if (!c.message.empty()) {
    EXPECT_NE(r.log.find(c.message), std::string::npos) << r.log;
  }
  if (!c.not_logged.empty()) {
    EXPECT_EQ(r.log.find(c.not_logged), std::string::npos) << r.log;
  }
  EXPECT_NE(r.log.find(":ksfd command: /opt/kestrova/bin/ksfd -a sha2"), std::string::npos) << r.log;
}

std::string const kDone = "100% (1 of 1 items, 4 bytes)";

INSTANTIATE_TEST_SUITE_P(
    Scripted, RunnerOutput,
    testing::Values(
        OutputCase{"plain", {}, true, "", {kPidLine, kPacked}, kDone, false, "ksfd process exits with 0x0 status.",
                   "flag"},
        // "\r" and "\n" each end a line, so CRLF gives an empty line.
        OutputCase{"crlf", {{"OUTPUT", "a\\r\\nb\\n"}}, true, "a\n\nb\n", {kPidLine, kPacked}, kDone, false, "", ""},
        OutputCase{"cr_only", {{"OUTPUT", "x\\ry\\r"}}, true, "x\ny\n", {kPidLine, kPacked}, kDone, false, "", ""},
        OutputCase{"empty_lines", {{"OUTPUT", "\\n\\n"}}, true, "\n\n", {kPidLine, kPacked}, kDone, false, "", ""},
        OutputCase{"progress_lines_echoed",
                   {{"OUTPUT", "Unpacked: 50%\\nTransferred: 3 bytes\\r"}},
                   true,
                   "",
                   {kPidLine, "Unpacked: 50%", "Transferred: 3 bytes", kPacked},
                   kDone,
                   false,
                   "",
                   ""},
        OutputCase{"last_progress_kept",
                   {{"TAIL", "Transferred: 9 bytes\\n"}},
                   true,
                   "",
                   {kPidLine, kPacked, "Transferred: 9 bytes"},
                   "9 bytes",
                   false,
                   "",
                   ""},
        // Only at the start of a line, with the blank after the colon.
        OutputCase{"near_misses_are_output",
                   {{"OUTPUT", " Packed: x\\nPacked:y\\nKSFD PID:1\\nunpacked: 1\\n"}},
                   true,
                   " Packed: x\nPacked:y\nKSFD PID:1\nunpacked: 1\n",
                   {kPidLine, kPacked},
                   kDone,
                   false,
                   "",
                   ""},
        // A last line without an end is dropped, whatever it holds.
        OutputCase{"unended_progress_dropped", {{"TAIL", "Transferred: 7 bytes"}}, true, "", {kPidLine, kPacked},
                   kDone, false, "", ""},
        OutputCase{"unended_text_dropped", {{"TAIL", "ok\\nlast words"}}, true, "ok\n", {kPidLine, kPacked}, kDone,
                   false, "", ""},
        OutputCase{"exit_1", {{"EXIT", "1"}}, false, "", {kPidLine, kPacked}, kDone, false,
                   "ksfd finished with an error flag", ""},
        OutputCase{"exit_2", {{"EXIT", "2"}}, false, "", {kPidLine, kPacked}, kDone, false,
                   "ksfd process exits with 0x2 status.", "flag"},
        OutputCase{"exit_100", {{"EXIT", "100"}}, true, "", {kPidLine, kPacked}, kDone, true,
                   "ksfd finished with a defect flag", ""},
        // A positive pid of no process of ours (here init) is echoed, never kept.
        OutputCase{"foreign_pid", {{"PID_TEXT", "1"}}, true, "", {"KSFD PID: 1", kPacked}, kDone, false,
                   "ksfd process 1 is not a local child process", ""},
        OutputCase{"no_pid_line", {{"NO_PID", "1"}}, true, "", {kPacked}, kDone, false, "", ""}),
    [](testing::TestParamInfo<OutputCase> const& info) { return std::string(info.param.name); });

TEST(Runner, ToolThatCannotBeFoundFails) {
  KS_REQUIRE_SANDBOX();
  kstest::KsfdModule module;
  ToolRun r = run_tool(module, "/nonexistent/ksfd -l x 2>&1");
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.output.find("not found"), std::string::npos) << r.output;
  EXPECT_NE(r.log.find("ksfd process exits with 0x7f status."), std::string::npos) << r.log;
}

// A tool ended by a signal fails the run, whether the shell reports the
// signal itself (it replaced itself by the tool) or as its own exit status.
TEST(Runner, ToolKilledBySignalFails) {
  KS_REQUIRE_SANDBOX();
  ScopedEnv raise("KSFD_STANDIN_RAISE", "9");
  struct {
    char const* prefix;
    char const* message;
  } const cases[] = {{"exec ", "ksfd process terminates with 0x9 signal."},
                     {"true && ", "ksfd process exits with 0x89 status."}};
  for (auto const& c : cases) {
    kstest::TempDir dir;
    kstest::KsfdModule module;
    ToolRun r = run_tool(module, c.prefix + tool_command(dir));
    EXPECT_FALSE(r.ok) << c.prefix;
    EXPECT_EQ(r.pid_after, 0);
    EXPECT_FALSE(module.defect);
    EXPECT_NE(r.log.find(c.message), std::string::npos) << r.log;
    EXPECT_FALSE(fs::exists(dir / "a.ksfd"));
  }
}

// A malformed PID line fails the run; the tool (which would go on for a
// minute) is terminated and reaped before the runner returns, so it never
// finishes its archive.
class MalformedPid : public testing::TestWithParam<char const*> {};

TEST_P(MalformedPid, FailsAndTerminatesTheTool) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir dir;
  ScopedEnv text("KSFD_STANDIN_PID_TEXT", GetParam());
  ScopedEnv slow("KSFD_STANDIN_DELAY_ITEM_MS", "60000");
  kstest::KsfdModule module;
  std::string const pid_file = (dir / "tool.pid").string();
  ToolRun r = run_tool(module, "echo $$ > " + pid_file + "; exec " + tool_command(dir));
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.log.find("malformed KSFD PID line"), std::string::npos) << r.log;
  EXPECT_EQ(r.pid_after, 0);
  EXPECT_EQ(kstest::lines_with(r.echoed, "KSFD PID:").size(), 0u) << r.echoed;
  pid_t const tool = std::stoi(kstest::read_file(pid_file));
  errno = 0;
  EXPECT_EQ(kill(tool, 0), -1);
  EXPECT_EQ(errno, ESRCH);
  EXPECT_FALSE(fs::exists(dir / "a.ksfd"));
}

INSTANTIATE_TEST_SUITE_P(Lines, MalformedPid,
                         testing::Values("0", "-12", "abc", "", "   ", "+5", "99999999999", "x4711"));

// While the tool runs, the pid the signal handlers forward to is the tool's
// own, and only when it is a process of ours. The tool's shell asks this
// process, by SIGUSR1, to look at it until it has seen a pid (or often enough).
kstest::KsfdModule* observed_module = nullptr;
volatile sig_atomic_t observations = 0;
volatile pid_t observed_pid = 0;
char seen_flag[256];

void observe(int) {
  ++observations;
  pid_t const pid = observed_module->ksfd_pid;
  if (pid != 0) observed_pid = pid;
  if (pid != 0 || observations > 20) {
    int fd = ::open(seen_flag, O_WRONLY | O_CREAT, 0600);
    if (fd >= 0) ::close(fd);
  }
}

struct ObservedCase {
  char const* name;
  char const* pid_text;  // nullptr: the tool's own pid
  bool kept;
};

class RunnerPid : public testing::TestWithParam<ObservedCase> {};

TEST_P(RunnerPid, HeldOnlyForALocalToolWhileItRuns) {
  KS_REQUIRE_SANDBOX();
  ObservedCase const& c = GetParam();
  kstest::TempDir dir;
  std::unique_ptr<ScopedEnv> text;
  if (c.pid_text) text.reset(new ScopedEnv("KSFD_STANDIN_PID_TEXT", c.pid_text));
  // The tool outlives the time the runner needs to read its first line.
  ScopedEnv slow("KSFD_STANDIN_DELAY_EXIT_MS", "3000");
  std::string const flag = (dir / "seen").string();
  ASSERT_LT(flag.size(), sizeof seen_flag);
  std::copy(flag.begin(), flag.end(), seen_flag);
  seen_flag[flag.size()] = '\0';

  kstest::KsfdModule module;
  observed_module = &module;
  observations = 0;
  observed_pid = 0;
  struct sigaction action {}, old {};
  action.sa_handler = &observe;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGUSR1, &action, &old);

  std::string const command = "( " + tool_command(dir) + " ) & i=0; while [ ! -e " + flag +
                              " ] && [ $i -lt 200 ]; do kill -USR1 $PPID; sleep 0.05; i=$((i+1)); done; wait";
  std::string output, progress;
  testing::internal::CaptureStdout();
  bool const ok = module.run_ksfd_command(command, output, module.ksfd_pid, progress);
  std::string const echoed = testing::internal::GetCapturedStdout();
  sigaction(SIGUSR1, &old, nullptr);

  EXPECT_TRUE(ok) << output;
  EXPECT_GT(observations, 0);
  EXPECT_EQ(module.ksfd_pid, 0);
  auto pid_lines = kstest::lines_with(echoed, "KSFD PID: ");
  ASSERT_EQ(pid_lines.size(), 1u) << echoed;
  if (c.kept) {
    EXPECT_EQ(observed_pid, std::stoi(pid_lines[0].substr(10)));
  } else {
    EXPECT_EQ(observed_pid, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Pids, RunnerPid,
                         testing::Values(ObservedCase{"own", nullptr, true}, ObservedCase{"init", "1", false},
                                         ObservedCase{"trailing_text_ignored", "1 remote", false}),
                         [](testing::TestParamInfo<ObservedCase> const& info) { return std::string(info.param.name); });

// ---- pause and resume -------------------------------------------------------------------

// The state letter of a process from /proc ('T' stopped), 0 when it is gone.
char process_state(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return 0;
  auto const close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() ? 0 : stat[close + 2];
}

bool wait_for(std::function<bool()> const& done, int seconds = 10) {
  for (int i = 0; i < seconds * 50; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

// A pause of the module reaches the tool through the pid the tool printed and
// holds it, however long the pause lasts; the resume lets the run finish.
TEST(RunnerPause, PauseAndResumeReachTheRunningTool) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir dir;
  ScopedEnv slow("KSFD_STANDIN_DELAY_ITEM_MS", "2000");
  std::string const command = tool_command(dir);
  std::string const echoed = (dir / "echoed").string();
  kstest::write_file(echoed, "");
  pid_t const module_pid = fork();
  ASSERT_GE(module_pid, 0);
  if (module_pid == 0) {
    int const fd = ::open(echoed.c_str(), O_WRONLY | O_TRUNC);
    if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0) _exit(3);
    kstest::KsfdModule module;
    auto const handler = KsModuleSignalHandler::init(&module);
    std::string output, progress;
    bool const ok = module.run_ksfd_command(command, output, module.ksfd_pid, progress);
    std::cout.flush();
    _exit(ok ? 0 : 1);
  }
  struct Reaper {
    pid_t pid;
    ~Reaper() {
      if (waitpid(pid, nullptr, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
      }
    }
  } reaper{module_pid};

  pid_t tool = 0;
  ASSERT_TRUE(wait_for([&] {
    std::string const text = kstest::read_file(echoed);
    auto const lines = kstest::lines_with(text, "KSFD PID: ");
    if (!lines.empty() && text.back() == '\n') tool = std::stoi(lines[0].substr(10));
    return tool != 0;
  }));
  kill(module_pid, SIGTSTP);
  EXPECT_TRUE(wait_for([&] { return process_state(tool) == 'T'; })) << process_state(tool);
  // Longer than the tool needs for its item: paused, it gets nowhere.
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(process_state(tool), 'T');
  EXPECT_EQ(waitpid(module_pid, nullptr, WNOHANG), 0);
  EXPECT_EQ(kstest::read_file(echoed).find("Packed: "), std::string::npos);

  kill(module_pid, SIGCONT);
  int status = 0;
  ASSERT_TRUE(wait_for([&] { return waitpid(module_pid, &status, WNOHANG) == module_pid; }));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(kstest::lines_with(kstest::read_file(echoed), kPacked).size(), 1u) << kstest::read_file(echoed);
}

}  // namespace

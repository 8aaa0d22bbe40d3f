#include "common/test_util.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kstest {

TempDir::TempDir() {
  char tmpl[] = "/tmp/kstest.XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  boost::system::error_code ec;
  boost::filesystem::remove_all(path_, ec);
}

std::string read_file(boost::filesystem::path const& p) {
  std::ifstream in(p.string(), std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + p.string());
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(boost::filesystem::path const& p, std::string const& content) {
  std::ofstream out(p.string(), std::ios::binary | std::ios::trunc);
  out << content;
  if (!out.flush()) throw std::runtime_error("cannot write " + p.string());
}

RunResult run(std::string const& command) {
  RunResult r;
  std::string cmd = command + " 2>&1";
  FILE* f = popen(cmd.c_str(), "r");
  if (!f) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) r.output.append(buf, n);
  int st = pclose(f);
  if (st == -1) r.status = -1;
  else if (WIFEXITED(st)) r.status = WEXITSTATUS(st);
  else if (WIFSIGNALED(st)) r.status = 128 + WTERMSIG(st);
  return r;
}

RunResult run_argv(std::vector<std::string> const& argv) {
  RunResult r;
  if (argv.empty()) return r;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return r;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  std::vector<char*> args;
  for (auto const& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int const spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (spawned != 0) {
    close(fds[0]);
    r.output = argv[0] + ": " + std::strerror(spawned);
    r.status = 127;
    return r;
  }
  char buf[4096];
  for (;;) {
    ssize_t const n = read(fds[0], buf, sizeof buf);
    if (n > 0) r.output.append(buf, static_cast<size_t>(n));
    else if (n == 0 || errno != EINTR) break;
  }
  close(fds[0]);
  int st = 0;
  while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(st)) r.status = WEXITSTATUS(st);
  else if (WIFSIGNALED(st)) r.status = 128 + WTERMSIG(st);
  return r;
}

std::string sh_quote(std::string const& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

bool in_sandbox() {
  char const* v = std::getenv("KS_SANDBOX");
  return v && std::string(v) == "1";
}

}  // namespace kstest

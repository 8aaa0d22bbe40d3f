#include "common/test_util.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
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

// Small helpers shared by the test suites: scratch directories, whole-file
// reads and writes, and running a command with its output.
#pragma once

#include <string>
#include <vector>

#include <boost/filesystem.hpp>

namespace kstest {

// A fresh directory under /tmp, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(TempDir const&) = delete;
  TempDir& operator=(TempDir const&) = delete;

  boost::filesystem::path const& path() const { return path_; }
  std::string str() const { return path_.string(); }
  boost::filesystem::path operator/(std::string const& name) const { return path_ / name; }

 private:
  boost::filesystem::path path_;
};

std::string read_file(boost::filesystem::path const& p);
void write_file(boost::filesystem::path const& p, std::string const& content);

struct RunResult {
  int status = -1;  // exit code, or 128 + signal
  std::string output;  // stdout and stderr merged
};
// Runs through /bin/sh with stderr merged into stdout.
RunResult run(std::string const& command);
// Runs the program argv[0] (found on PATH) with these arguments, no shell
// between (one process start fewer), stderr merged into stdout.
RunResult run_argv(std::vector<std::string> const& argv);

// Quotes a text for /bin/sh (test-side, independent of the product's helper).
std::string sh_quote(std::string const& s);

// True inside the private test sandbox (tests/sandbox/ks-sandbox).
bool in_sandbox();

// Path of a file in the source or build tree.
inline boost::filesystem::path source_path(std::string const& rel) { return boost::filesystem::path(KS_SOURCE_DIR) / rel; }
inline boost::filesystem::path build_path(std::string const& rel) { return boost::filesystem::path(KS_BINARY_DIR) / rel; }

}  // namespace kstest

// Ends the current test with a clear message when not run inside the sandbox.
#define KS_REQUIRE_SANDBOX()                                                                   \
  do {                                                                                         \
    if (!::kstest::in_sandbox())                                                               \
      FAIL() << "this test writes under /opt/kestrova and must run inside tests/sandbox/ks-sandbox " \
                "(as root; ctest does this)";                                                   \
  } while (0)

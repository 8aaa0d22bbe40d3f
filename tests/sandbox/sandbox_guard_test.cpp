// A test program started outside the sandbox, or with /opt/kestrova on
// anything but the sandbox's own tmpfs, stops before any test (or any
// global) of it runs.
#include <string>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "common/test_util.h"

namespace fs = boost::filesystem;

namespace {

struct Surroundings {
  char const* what;
  std::string command;  // starts the probe, given as $P
  bool runs;
};

// Runs `command` in a private mount namespace of its own.
std::string unshared(std::string const& command) { return "unshare -m sh -c " + kstest::sh_quote(command); }

TEST(SandboxGuard, TestProgramsRunOnlyInsideTheSandbox) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir dir;
  fs::create_directory(dir / "elsewhere");
  fs::path const mark = dir / "ran";
  std::string const elsewhere = kstest::sh_quote((dir / "elsewhere").string());

  Surroundings const cases[] = {
      {"inside", "exec \"$P\"", true},
      {"marker unset", "unset KS_SANDBOX; exec \"$P\"", false},
      {"marker not 1", "KS_SANDBOX=yes exec \"$P\"", false},
      {"another tmpfs on /opt", unshared("mount -t tmpfs other /opt && mkdir /opt/kestrova && exec \"$P\""), false},
      {"/opt/kestrova bound from elsewhere", unshared("mount --bind " + elsewhere + " /opt/kestrova && exec \"$P\""),
       false},
      {"a tmpfs of the sandbox's name on /opt/kestrova",
       unshared("mount -t tmpfs ks-opt /opt/kestrova && exec \"$P\""), false},
  };
  for (Surroundings const& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(mark);
    kstest::RunResult const r = kstest::run("P=" + kstest::sh_quote(KS_GUARD_PROBE) +
                                            " KS_GUARD_PROBE_MARK=" + kstest::sh_quote(mark.string()) +
                                            " sh -c " + kstest::sh_quote(c.command));
    EXPECT_EQ(fs::exists(mark), c.runs) << r.output;
    if (c.runs) {
      EXPECT_EQ(r.status, 0) << r.output;
    } else {
      EXPECT_EQ(r.status, 2) << r.output;
      EXPECT_NE(r.output.find(std::string(KS_GUARD_PROBE) + ": refusing to run outside the test sandbox ("),
                std::string::npos)
          << r.output;
    }
  }
}

}  // namespace

// The program itself: exit codes of the entry point, the capabilities it
// declares, and where its log lines go.
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "common/test_util.h"

namespace {

namespace fs = boost::filesystem;

struct ProgramRun {
  int status;
  std::string out, err;
};

// Runs the program (or a copy of it at `program`) with the arguments, keeping
// standard output and standard error apart.
ProgramRun run_program(std::vector<std::string> const& args, std::string const& program = KS_MODULE_PROGRAM) {
  kstest::TempDir dir;
  std::string command = kstest::sh_quote(program);
  for (auto const& a : args) command += " " + kstest::sh_quote(a);
  // In a subshell: the runner merges the subshell's standard error only.
  command = "(" + command + " >" + kstest::sh_quote((dir / "out").string()) + " 2>" +
            kstest::sh_quote((dir / "err").string()) + ")";
  ProgramRun r;
  r.status = kstest::run(command).status;
  r.out = kstest::read_file(dir / "out");
  r.err = kstest::read_file(dir / "err");
  return r;
}

std::string read_or_empty(fs::path const& p) { return fs::exists(p) ? kstest::read_file(p) : std::string(); }

TEST(ProgramEntry, RefusedCommandLineExits14AndLogsUnderTheProgramsOwnName) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir dir;
  fs::create_directories(dir / "x" / "y");
  fs::path const copy = dir / "x" / "y" / "prog";
  fs::copy_file(KS_MODULE_PROGRAM, copy);
  fs::permissions(copy, fs::owner_all);

  ProgramRun r = run_program({"-b", ""}, copy.string());
  EXPECT_EQ(r.status, 14);
  std::string const log = read_or_empty("/opt/kestrova/log/prog.log");
  EXPECT_NE(log.find("int main(int, char**)Wrong combination of options"), std::string::npos) << log;
  EXPECT_NE(log.find("Resource is empty"), std::string::npos) << log;
  // Errors go to standard error, not to standard output.
  EXPECT_NE(r.err.find("int main(int, char**)Wrong combination of options"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("Wrong combination"), std::string::npos) << r.out;
}

// A copy name is joined to -d for the description, list and snapshot files:
// one that leads elsewhere is refused before anything is made or read.
TEST(ProgramEntry, CopyNamesOutsideTheDirectoryExit14) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir dir;
  fs::create_directories(dir / "work");
  fs::create_directories(dir / "victim");
  kstest::write_file(dir / "victim" / "precious.vm.config", "precious\n");
  for (std::string const& name : {std::string("../victim/precious"), std::string("a/b"), std::string("."),
                                  std::string(".."), std::string("x\nMAIN SNAPSHOT FILENAME:/etc/shadow")}) {
    ProgramRun r = run_program({"-b", "vm", "-d", (dir / "work").string(), "-n", name, "-m", "media", "-T", "7"});
    EXPECT_EQ(r.status, 14) << name;
    EXPECT_NE(r.err.find("The archive name must be one file name"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("MAIN SNAPSHOT FILENAME:"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("MODULE PID:"), std::string::npos) << "the run began: " << r.out;
    EXPECT_EQ(kstest::read_file(dir / "victim" / "precious.vm.config"), "precious\n");
    EXPECT_TRUE(fs::is_empty(dir / "work")) << name;
    EXPECT_FALSE(fs::exists(dir / "victim" / "precious.snap_dir"));
  }
}

TEST(ProgramEntry, NoArgumentsPrintsTheHelpAndExits14) {
  KS_REQUIRE_SANDBOX();
  ProgramRun r = run_program({});
  EXPECT_EQ(r.status, 14);
  EXPECT_NE(r.out.find("Version: 2.1.0.948a6fb\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Usage: " + std::string(KS_MODULE_PROGRAM) + "\n"), std::string::npos) << r.out;
}

TEST(ProgramEntry, LevelsReachTheirDestinations) {
  KS_REQUIRE_SANDBOX();
  kstest::write_file("/opt/kestrova/etc/ks_logger.config",
                     "log_level Debug\nlog_file_max_size 1\nlog_file_max_rotate 10\n");
  fs::remove("/opt/kestrova/log/ks_module_rustack.log");
  kstest::TempDir work;
  kstest::write_file(work / "new.conf", "key value\n");
  // Info and Warning lines of the upgrade, the Debug line of the lock, and
  // the Error of the configuration reader.
  ProgramRun upgrade = run_program({"-u", ":" + (work / "new.conf").string() + ":"});
  EXPECT_EQ(upgrade.status, 0);
  ProgramRun backup = run_program({"-b", "vm", "-d", work.str(), "-n", "a"});
  EXPECT_EQ(backup.status, 2);
  fs::remove("/opt/kestrova/etc/ks_logger.config");

  std::string const log = read_or_empty("/opt/kestrova/log/ks_module_rustack.log");
  std::string const out = upgrade.out + backup.out;
  std::string const err = upgrade.err + backup.err;
  struct Row {
    char const* text;
    bool in_log, in_out, in_err;
  };
  for (auto const& row : std::vector<Row>{{"Info: UpgradeConfig options.configs_list: ", true, true, false},
                                          {"Variable 'key' is mandatory", true, true, false},
                                          {"hash string is ", true, false, false},
                                          {"Unable to load configuration from config file.", true, false, true}}) {
    EXPECT_EQ(log.find(row.text) != std::string::npos, row.in_log) << row.text << "\n" << log;
    EXPECT_EQ(out.find(row.text) != std::string::npos, row.in_out) << row.text << "\n" << out;
    EXPECT_EQ(err.find(row.text) != std::string::npos, row.in_err) << row.text << "\n" << err;
  }
  EXPECT_EQ(backup.out.rfind("MODULE PID:", 0), 0u) << backup.out;
}

TEST(ProgramEntry, DeclaredCapabilities) {
  KS_REQUIRE_SANDBOX();
  struct Row {
    std::vector<std::string> args;
    int status;
  };
  for (auto const& row : std::vector<Row>{{{"-1"}, 0}, {{"-2"}, 0}, {{"-3"}, 0}, {{"-D"}, 0}, {{"-a"}, 0},
                                          {{"--autonomous"}, 14}, {{"-h"}, 1}}) {
    EXPECT_EQ(run_program(row.args).status, row.status) << row.args[0];
  }
  ProgramRun version = run_program({"-V"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "2.1.0\n");

  ProgramRun properties = run_program({"--show-module-properties"});
  EXPECT_EQ(properties.status, 0);
  EXPECT_EQ(properties.out,
            "Module properties:\n\n"
            "Only one data source backup operation is allowed at one time       : true\n"
            "Does the module support working in the client's autonomous mode    : false\n"
            "Does the module support incremental backup                         : true\n"
            "Does the module support differential backup                        : true\n"
            "Does this module support deduplication                             : true\n"
            "Does this module support archiving                                 : true\n"
            "Location of the restriction list                                   : "
            "/opt/kestrova/etc/kestrova_restriction.list.rustack");

  ProgramRun options = run_program({"--show-backup-options"});
  EXPECT_EQ(options.status, 0);
  EXPECT_EQ(options.out,
            "script_before_snapshot\t\t : string \tExecute script before snapshot(s) creation\n"
            "script_after_snapshot\t\t : string \tExecute script after snapshot(s) creation\n"
            "execution_script_timeout\t : integer \tScript timeout, seconds\n"
            "dd_block_size\t\t\t : integer \tBlock size for dd operations, Megabytes\n");
}

}  // namespace

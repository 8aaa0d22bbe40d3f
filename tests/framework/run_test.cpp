// run(): for each operation and each failing step, the exit code and the
// hooks called in order, up to the successful ends through the stand-in ksfd
// (exit 0 and 100); the answers of the information operations; the lock
// step; exceptions.
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "common/test_util.h"
#include "framework/resource_lock.h"
#include "framework_log.h"
#include "ksfd_module.h"
#include "scripted_module.h"

namespace {

namespace fs = boost::filesystem;
using Calls = std::vector<std::string>;

char const program[] = "/usr/lib/kestrova/ks_test_module";

struct Outcome {
  unsigned code = 0;
  Calls calls;
  std::string output;  // standard output
  std::string log;
  bool last = false;
};

struct Script {
  std::set<std::string> failing;
  std::map<std::string, std::function<void()>> actions;
  std::function<void(KsModuleOptions&)> options;
  int client_code = 0;
  std::map<std::string, std::string> tool;  // the stand-in ksfd's faults: KSFD_STANDIN_ + key
};

// "@T" stands for the test's scratch directory.
std::string with_scratch(std::string text, std::string const& scratch) {
  auto at = text.find("@T");
  if (at != std::string::npos) text.replace(at, 2, scratch);
  return text;
}

Outcome run_module(std::vector<std::string> args, Script const& setup, std::string const& scratch) {
  kstest::FrameworkLog log(KsLogLvl::Info);
  KsModuleOptions options = kstest::module_capabilities();
  if (setup.options) setup.options(options);
  kstest::ScriptedModule module(options);
  module.failing = setup.failing;
  module.actions = setup.actions;
  module.client_code = setup.client_code;
  std::vector<std::unique_ptr<kstest::ScopedEnv>> tool;
  for (auto const& fault : setup.tool)
    tool.emplace_back(new kstest::ScopedEnv("KSFD_STANDIN_" + fault.first, fault.second));
  for (auto& a : args) a = with_scratch(a, scratch);
  args.insert(args.begin(), program);
  testing::internal::CaptureStdout();
  Outcome out;
  bool init_ok = false;
  out.code = kstest::init_and_run(module, args, &init_ok);
  out.output = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(init_ok);
  out.calls = module.calls;
  out.last = module.last;
  // The module parameters always end with this hook; it says nothing here.
  out.calls.erase(std::remove(out.calls.begin(), out.calls.end(), "load_custom_module_parameters"), out.calls.end());
  out.log = log.text();
  return out;
}

struct Case {
  char const* name;
  std::vector<std::string> args;
  Script setup;
  unsigned code;
  Calls calls;
  std::string message;  // in the output or the log
};

std::ostream& operator<<(std::ostream& out, Case const& c) { return out << c.name; }

template <typename Param>
std::string case_name(testing::TestParamInfo<Param> const& info) {
  return info.param.name;
}

class RunSequence : public testing::TestWithParam<Case> {
 protected:
  void SetUp() override { kstest::write_file(scratch_ / "list.json", R"([{"path": "/srv/a"}])"); }
  kstest::TempDir scratch_;
};

TEST_P(RunSequence, ExitCodeAndCallOrder) {
  KS_REQUIRE_SANDBOX();
  Case const& c = GetParam();
  Outcome out = run_module(c.args, c.setup, scratch_.str());
  EXPECT_EQ(out.code, c.code) << out.output << out.log;
  EXPECT_EQ(out.calls, c.calls);
  if (!c.message.empty()) {
    EXPECT_NE((out.output + out.log).find(with_scratch(c.message, scratch_.str())), std::string::npos)
        << out.output << out.log;
  }
  // Only the operations 9 to 13 announce their process id, first of all.
  auto has = [&](char const* arg) { return std::find(c.args.begin(), c.args.end(), arg) != c.args.end(); };
  bool const announces =
      (has("-b") || has("-B") || has("-A") || has("-r") || has("-R")) && !has("--need_esign");
  std::string const pid_line = "MODULE PID:" + std::to_string(getpid()) + "\n";
  if (announces) {
    // Before anything of the run itself (only the parser's notice may come first).
    std::string const before = out.output.substr(0, out.output.find(pid_line));
    EXPECT_TRUE(before.empty() || before.rfind("Archiving mode: ", 0) == 0) << out.output;
    EXPECT_NE(out.output.find(pid_line), std::string::npos) << out.output;
  } else {
    EXPECT_EQ(out.output.find("MODULE PID:"), std::string::npos);
  }
}

Script failing(std::initializer_list<std::string> hooks) {
  Script s;
  s.failing = hooks;
  return s;
}

Script throwing(std::string const& hook, std::function<void()> thrower) {
  Script s;
  s.actions[hook] = std::move(thrower);
  return s;
}

std::function<void()> throw_runtime() {
  return [] { throw std::runtime_error("boom"); };
}

std::function<void()> throw_filesystem() {
  return [] {
    throw fs::filesystem_error("scripted", fs::path("/nowhere"),
                               boost::system::errc::make_error_code(boost::system::errc::permission_denied));
  };
}

Script with_options(std::function<void(KsModuleOptions&)> f, std::initializer_list<std::string> hooks = {}) {
  Script s;
  s.options = std::move(f);
  s.failing = hooks;
  return s;
}

Script client_code(int code) {
  Script s;
  s.client_code = code;
  return s;
}

// The stand-in ksfd ends its runs of the given modes (backup, restore) with
// this exit status.
Script tool_exits(char const* modes, char const* status, std::initializer_list<std::string> hooks = {}) {
  Script s;
  s.tool = {{"ONLY", modes}, {"EXIT", status}};
  s.failing = hooks;
  return s;
}

Script tool_fails() { return tool_exits("backup,restore", "1"); }

Calls const backup_to_release = {"load_module_config", "resource_exists", "prepare", "release"};

INSTANTIATE_TEST_SUITE_P(
    Information, RunSequence,
    testing::Values(
        Case{"check_client", {"-t"}, client_code(0), 0, {"load_module_config", "check_client"}, ""},
        Case{"check_client_code", {"-t"}, client_code(5), 5, {"load_module_config", "check_client"}, ""},
        Case{"check_client_no_config", {"-t"}, failing({"load_module_config"}), 2, {"load_module_config"},
             "Unable to load configuration from config file."},
        Case{"list_all", {"-l"}, client_code(3), 3, {"load_module_config", "list_all_resources"}, ""},
        Case{"list_with_headers", {"-L"}, client_code(0), 0,
             {"load_module_config", "list_all_resources_with_header_labels"}, ""},
        Case{"list_headers_no_config", {"-c"}, failing({"load_module_config"}), 2, {"load_module_config"},
             "Unable to load configuration from config file."},
        Case{"list_headers", {"-c"}, client_code(0), 0, {"load_module_config", "list_header_labels"}, ""},
        Case{"full_supported", {"-1"}, {}, 0, {}, ""},
        Case{"incremental_supported", {"-2"}, {}, 0, {}, ""},
        Case{"incremental_unsupported", {"-2"},
             with_options([](KsModuleOptions& o) { o.supports_incremental = false; }), 3, {},
             ": incremental backup is not supported by module /usr/lib/kestrova/ks_test_module"},
        Case{"differential_unsupported", {"-3"},
             with_options([](KsModuleOptions& o) { o.supports_differential = false; }), 3, {},
             ": differential backup is not supported by module /usr/lib/kestrova/ks_test_module"},
        Case{"dedup_supported", {"-D"}, {}, 0, {}, ""},
        Case{"dedup_unsupported", {"-D"}, with_options([](KsModuleOptions& o) { o.supports_dedup = false; }), 15,
             {}, ""},
        Case{"archiving_supported", {"-a"}, {}, 0, {}, ""},
        Case{"archiving_unsupported", {"-a"},
             with_options([](KsModuleOptions& o) { o.supports_archiving = false; }), 16, {}, ""},
        Case{"autonomous_unsupported", {"--autonomous"}, {}, 14, {}, ""},
        Case{"autonomous_supported", {"--autonomous"},
             with_options([](KsModuleOptions& o) { o.supports_autonomous = true; }), 0, {}, ""},
        Case{"version", {"-V"}, {}, 0, {}, "2.1.0\n"},
        Case{"backup_options", {"--show-backup-options"}, {}, 0, {"autonomous_options"}, ""},
        Case{"restore_parameters", {"-o"}, {}, 0, {"list_restore_parameters"}, ""},
        Case{"help_is_nothing_to_do", {"-h"}, {}, 1, {"usage_custom"}, ""},
        Case{"esign_needed_for_verify", {"--verify_in_client_defined_storage", "--need_esign"}, {}, 0, {}, ""},
        Case{"esign_not_needed_for_backup", {"-b", "vm", "--need_esign"}, {}, 14, {}, ""},
        Case{"delete_empty_json", {"--delete_from_client_defined_storage", ""}, {}, 14, {"load_module_config"},
             "Empty json content"},
        Case{"delete_no_config", {"--delete_from_client_defined_storage", "{}"}, failing({"load_module_config"}),
             2, {"load_module_config"}, ""},
        Case{"verify_no_config", {"--verify_in_client_defined_storage"}, failing({"load_module_config"}), 2,
             {"load_module_config"}, ""}),
    case_name<Case>);

INSTANTIATE_TEST_SUITE_P(
    Backup, RunSequence,
    testing::Values(
        Case{"no_config", {"-b", "vm", "-d", "@T", "-n", "arch"}, failing({"load_module_config"}), 2,
             {"load_module_config"}, "Unable to load configuration from config file."},
        Case{"no_directory", {"-b", "vm", "-n", "arch"}, {}, 4, {"load_module_config"},
             "Backup module: you must define tmp_operation_directory directory."},
        Case{"no_archive_name", {"-b", "vm", "-d", "@T"}, {}, 5, {"load_module_config"},
             "Backup module: you must define archive name."},
        Case{"no_resource", {"-b", "vm", "-d", "@T", "-n", "arch"}, failing({"resource_exists"}), 2,
             {"load_module_config", "resource_exists"},
             "Backup module: Unable to backup this resource \"vm\". Resource doesn't exist."},
        Case{"reference_not_unpacked", {"-2", "-b", "vm", "-d", "@T", "-n", "arch", "-s", "/nonexistent/r.snap"},
             {}, 2, {"load_module_config", "resource_exists"},
             "Backup module: Unable to unpack reference snapshot file: \"/nonexistent/r.snap\"."},
        Case{"prepare_fails", {"-b", "vm", "-d", "@T", "-n", "arch"}, failing({"prepare"}), 6,
             {"load_module_config", "resource_exists", "prepare"}, ""},
        // The backup itself fails: still released.
        Case{"backup_fails", {"-b", "vm", "-d", "@T", "-n", "arch"}, tool_fails(), 6, backup_to_release, ""},
        Case{"release_fails", {"-b", "vm", "-d", "@T", "-n", "arch"}, failing({"release"}), 6, backup_to_release,
             ""},
        Case{"archiving_backup_fails", {"-b", "vm", "-a", "-d", "@T", "-n", "arch"}, tool_fails(), 6,
             backup_to_release, ""},
        Case{"prepare_throws", {"-b", "vm", "-d", "@T", "-n", "arch"}, throwing("prepare", throw_runtime()), 13,
             backup_to_release, "unsigned int KsModuleUniversal::run(): Database error: boom"},
        Case{"release_throws", {"-b", "vm", "-d", "@T", "-n", "arch"}, throwing("release", throw_runtime()), 13,
             backup_to_release, "Database error: boom"},
        // The backup step's own exception (a path no system call takes) is
        // reported there; the release still follows.
        Case{"backup_step_throws", {"-b", "/" + std::string(300, 'x'), "-d", "@T", "-n", "arch"}, {}, 6,
             backup_to_release, "make_backup_locally(): filesystem error: "},
        Case{"resource_check_throws_filesystem", {"-b", "vm", "-d", "@T", "-n", "arch"},
             throwing("resource_exists", throw_filesystem()), 13, {"load_module_config", "resource_exists"},
             "unsigned int KsModuleUniversal::run(): filesystem error: scripted"},
        Case{"replica", {"-A", "vm", "-d", "@T", "-n", "arch"}, tool_fails(), 6,
             {"load_module_config", "resource_exists", "prepare(replica)", "release"}, ""},
        Case{"backup_list", {"-B", "@T/list.json", "-d", "@T", "-n", "arch"}, tool_fails(), 6, backup_to_release,
             ""}),
    case_name<Case>);

INSTANTIATE_TEST_SUITE_P(
    Restore, RunSequence,
    testing::Values(
        Case{"no_config", {"-r", "rec", "-d", "@T"}, failing({"load_module_config"}), 2, {"load_module_config"},
             "Unable to load configuration from config file."},
        Case{"no_restore_directory", {"-r", "rec", "-d", "@T"}, failing({"define_restore_directory"}), 7,
             {"load_module_config", "define_restore_directory"}, ""},
        // The restore directory goes as after any other failed step.
        Case{"meta_not_unpacked", {"-r", "rec", "-d", "@T", "-M", "/nonexistent/m.snap"}, {}, 2,
             {"load_module_config", "define_restore_directory", "close_restore"},
             "Unable to unpack snapshot file: \"/nonexistent/m.snap\"."},
        Case{"before_restore_fails", {"-r", "rec", "-d", "@T"}, failing({"before_restore"}), 7,
             {"load_module_config", "define_restore_directory", "before_restore", "close_restore"}, ""},
        Case{"extraction_fails", {"-r", "rec", "-d", "@T", "-e", "last:true"}, tool_fails(), 7,
             {"load_module_config", "define_restore_directory", "before_restore", "after_restore", "close_restore"},
             ""},
        Case{"after_restore_fails", {"-r", "rec", "-d", "@T"}, failing({"after_restore"}), 7,
             {"load_module_config", "define_restore_directory", "before_restore", "after_restore", "close_restore"},
             ""},
        Case{"before_restore_throws", {"-r", "rec", "-d", "@T"}, throwing("before_restore", throw_runtime()), 13,
             {"load_module_config", "define_restore_directory", "before_restore", "close_restore"},
             "Database error: boom"},
        Case{"apply_no_config", {"-R", "rec", "-d", "@T"}, failing({"load_module_config"}), 2,
             {"load_module_config"}, ""},
        Case{"apply_without_meta_file", {"-R", "rec", "-d", "@T"}, {}, 2, {"load_module_config"},
             "Unable to unpack snapshot file: \"\"."}),
    case_name<Case>);

// The sequences run to their ends through the stand-in ksfd at its fixed
// path: a directory is backed up to a folder that stands for the media
// server, and a backup made beforehand ("ref", its tarball @T/ref.snap) is
// restored and applied as a replica.
class ThroughTheTool : public testing::Test {
 protected:
  void SetUp() override {
    KS_REQUIRE_SANDBOX();
    for (char const* dir : {"src", "media", "out"}) fs::create_directories(scratch_ / dir);
    kstest::write_file(scratch_ / "src" / "disk", std::string(40000, 'd'));
    kstest::write_file(scratch_ / "list.json", R"([{"path": "/srv/a"}])");
    kstest::write_file("/opt/kestrova/var/tasks//task_secret_t1", "secret\n");
    Outcome const ref = run_module(media({"-b", "@T/src", "-d", "@T", "-n", "ref"}), {}, scratch_.str());
    ASSERT_EQ(ref.code, 0u) << ref.output << ref.log;
  }
  static std::vector<std::string> media(std::vector<std::string> args) {
    args.insert(args.end(), {"-m", "media1", "-T", "t1"});
    return args;
  }
  kstest::TempDir scratch_;
  kstest::ScopedEnv media_dir_{"KSFD_STANDIN_MEDIA_DIR", (scratch_ / "media").string()};
};

class RunThroughTheTool : public ThroughTheTool, public testing::WithParamInterface<Case> {};

TEST_P(RunThroughTheTool, ExitCodeAndCallOrder) {
  Case const& c = GetParam();
  Outcome out = run_module(media(c.args), c.setup, scratch_.str());
  EXPECT_EQ(out.code, c.code) << out.output << out.log;
  EXPECT_EQ(out.calls, c.calls);
  EXPECT_NE((out.output + out.log).find(with_scratch(c.message, scratch_.str())), std::string::npos)
      << out.output << out.log;
}

Calls with(Calls calls, std::initializer_list<std::string> more) {
  calls.insert(calls.end(), more);
  return calls;
}

std::string const defect_warning =
    "The work of the module is completed without a guarantee of completeness and consistency of the data";
Calls const restored = {"load_module_config", "define_restore_directory", "before_restore", "after_restore"};
Calls const replica_applied = {"load_module_config", "before_restore", "after_restore"};
std::vector<std::string> restore_ref(std::vector<std::string> more) {
  std::vector<std::string> args = {"-r", "ref", "-d", "@T/out", "-M", "@T/ref.snap"};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}
std::vector<std::string> const apply_ref = {"-R", "ref", "-d", "@T/out", "-M", "@T/ref.snap"};

INSTANTIATE_TEST_SUITE_P(
    Backup, RunThroughTheTool,
    testing::Values(
        Case{"full", {"-b", "@T/src", "-d", "@T", "-n", "arch"}, {}, 0, backup_to_release,
             "MAIN ARCHIVE FILENAME:@T/arch.snap\n"},
        Case{"incremental", {"-2", "-b", "@T/src", "-d", "@T", "-n", "arch", "-s", "@T/ref.snap"}, {}, 0,
             backup_to_release, "The task to make an incremental backup of resource '"},
        Case{"replica", {"-A", "@T/src", "-d", "@T", "-n", "arch"}, {}, 0,
             {"load_module_config", "resource_exists", "prepare(replica)", "release"},
             "MAIN SNAPSHOT FILENAME:@T/arch.snap\n"},
        Case{"backup_list", {"-B", "@T/list.json", "-d", "@T", "-n", "arch"}, {}, 0, backup_to_release,
             "MAIN ARCHIVE FILENAME:@T/arch.snap\n"},
        Case{"archiving", {"-b", "@T/src", "-a", "-d", "@T", "-n", "arch"}, {}, 0,
             with(backup_to_release, {"make_archiving"}), "MAIN ARCHIVE FILENAME:@T/arch.snap\n"},
        Case{"defect", {"-b", "@T/src", "-d", "@T", "-n", "arch"}, tool_exits("backup", "100"), 100,
             backup_to_release, defect_warning},
        // A backup without the guarantee never deletes the resource.
        Case{"archiving_defect", {"-b", "@T/src", "-a", "-d", "@T", "-n", "arch"}, tool_exits("backup", "100"), 100,
             backup_to_release, "is not deleted, since the backup finished with a defect"},
        Case{"close_fails_after_release", {"-b", "@T/src", "-d", "@T", "-n", "arch", "-e", "file_list:true"},
             tool_exits("list", "3"), 6, backup_to_release, ": command produced error: "}),
    case_name<Case>);

INSTANTIATE_TEST_SUITE_P(
    Restore, RunThroughTheTool,
    testing::Values(
        // Not the last run: extracted only, and the directory stays.
        Case{"not_last", restore_ref({}), {}, 0, with(restored, {"close_restore"}),
             "The archive 'ref' has been unpacked successfully"},
        Case{"last", restore_ref({"-e", "last:true"}), {}, 0,
             with(restored, {"after_restore_last_file", "deployment", "close_restore"}), "Unpacked: "},
        Case{"last_without_deployment", restore_ref({"-e", "last:true,without_deployment_restore:yes"}), {}, 0,
             with(restored, {"after_restore_last_file"}),
             "Remove obsolete snapshot directory: @T/out/ref.rest/ref.snap_dir"},
        Case{"not_last_without_deployment", restore_ref({"-e", "without_deployment_restore:yes"}), {}, 0, restored,
             "Unpacked: "},
        Case{"last_file_fails", restore_ref({"-e", "last:true"}), failing({"after_restore_last_file"}), 7,
             with(restored, {"after_restore_last_file", "close_restore"}), "Unpacked: "},
        Case{"deployment_fails", restore_ref({"-e", "last:true"}), failing({"deployment"}), 7,
             with(restored, {"after_restore_last_file", "deployment", "close_restore"}), "Unpacked: "},
        Case{"deployment_throws", restore_ref({"-e", "last:true"}), throwing("deployment", throw_runtime()), 13,
             with(restored, {"after_restore_last_file", "deployment", "close_restore"}), "Database error: boom"},
        Case{"defect", restore_ref({"-e", "last:true"}), tool_exits("restore", "100"), 100,
             with(restored, {"after_restore_last_file", "deployment", "close_restore"}), defect_warning}),
    case_name<Case>);

INSTANTIATE_TEST_SUITE_P(
    ApplyReplica, RunThroughTheTool,
    testing::Values(
        Case{"applied", apply_ref, {}, 0, with(replica_applied, {"after_restore_last_file", "deployment(replica)"}),
             "Unpacked: "},
        Case{"before_restore_fails", apply_ref, failing({"before_restore"}), 7,
             {"load_module_config", "before_restore"}, "Remove obsolete snapshot directory: @T/out/ref.snap_dir"},
        Case{"tool_fails", apply_ref, tool_exits("restore", "1"), 7, replica_applied,
             "ksfd finished with an error flag"},
        Case{"after_restore_fails", apply_ref, failing({"after_restore"}), 7, replica_applied, "Unpacked: "},
        Case{"last_file_fails", apply_ref, failing({"after_restore_last_file"}), 7,
             with(replica_applied, {"after_restore_last_file"}), "Unpacked: "},
        Case{"deployment_fails", apply_ref, failing({"deployment(replica)"}), 7,
             with(replica_applied, {"after_restore_last_file", "deployment(replica)"}),
             "Remove obsolete snapshot directory: @T/out/ref.snap_dir"},
        // An exception still removes the unpacked snapshot.
        Case{"before_restore_throws", apply_ref, throwing("before_restore", throw_runtime()), 13,
             {"load_module_config", "before_restore"}, "Remove obsolete snapshot directory: @T/out/ref.snap_dir"},
        Case{"deployment_throws", apply_ref, throwing("deployment(replica)", throw_runtime()), 13,
             with(replica_applied, {"after_restore_last_file", "deployment(replica)"}),
             "Remove obsolete snapshot directory: @T/out/ref.snap_dir"},
        Case{"defect", apply_ref, tool_exits("restore", "100"), 100,
             with(replica_applied, {"after_restore_last_file", "deployment(replica)"}), defect_warning}),
    case_name<Case>);

// A client that closed its end of the pipe while ksfd's progress lines flow
// to it: the module is not killed, and the backup finishes.
TEST_F(ThroughTheTool, BackupToAClosedStandardOutputFinishes) {
  for (int i = 0; i < 6; ++i) kstest::write_file(scratch_ / "src" / ("part" + std::to_string(i)), "p");
  kstest::ScopedEnv slow("KSFD_STANDIN_DELAY_ITEM_MS", "50");
  std::vector<std::string> args = media({"-b", "@T/src", "-d", "@T", "-n", "arch"});
  for (auto& a : args) a = with_scratch(a, scratch_.str());
  args.insert(args.begin(), program);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  std::fflush(nullptr);
  pid_t const child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    dup2(fds[1], 1);
    close(fds[1]);
    int code = 99;
    try {
      KsLogStream::set_default_loggers(KsDestination::File((scratch_ / "log").string()));
      kstest::ScriptedModule module;
      code = static_cast<int>(kstest::init_and_run(module, args));
    } catch (...) {
    }
    _exit(code);
  }
  close(fds[1]);
  int status = 0;
  bool ended = false;
  for (int i = 0; i < 600 && !ended; ++i) {
    ended = waitpid(child, &status, WNOHANG) == child;
    if (!ended) usleep(100000);
  }
  if (!ended) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  ASSERT_TRUE(ended) << "the module did not end";
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0) << kstest::read_file(scratch_ / "log");
  EXPECT_TRUE(fs::exists(scratch_ / "arch.snap"));
}

// The restore failures mark the run as the last one, so close_restore removes
// the restore directory.
TEST(RunRestore, FailureMarksTheRunLast) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir scratch;
  Outcome out = run_module({"-r", "rec", "-d", "@T"}, failing({"before_restore"}), scratch.str());
  EXPECT_EQ(out.code, 7u);
  EXPECT_TRUE(out.last);
}

TEST(RunBackup, CreatesTheSnapshotDirectories) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir scratch;
  run_module({"-b", "vm", "-d", "@T", "-n", "a.b"}, failing({"prepare"}), scratch.str());
  EXPECT_TRUE(fs::is_directory(scratch / "a.b.snap_dir" / "leveldb"));
}

// ---- the restriction list of -j ------------------------------------------------

struct RestrictionCase {
  char const* name;
  std::vector<std::string> args;
  char const* list;  // nullptr: no list; "<dir>": a directory in its place
  unsigned code;
  Calls calls;
  std::string message;
};

std::ostream& operator<<(std::ostream& out, RestrictionCase const& c) { return out << c.name; }

class Restrictions : public testing::TestWithParam<RestrictionCase> {};

TEST_P(Restrictions, DecideBeforeTheResourceIsTouched) {
  KS_REQUIRE_SANDBOX();
  RestrictionCase const& c = GetParam();
  kstest::TempDir scratch;
  std::string const list = (scratch / "restrict.list").string();
  if (c.list && std::string(c.list) == "<dir>")
    fs::create_directory(list);
  else if (c.list)
    kstest::write_file(list, c.list);
  kstest::write_file(scratch / "list.json", R"([{"path": "/srv/a"}, {"path": "/srv/b"}])");
  // The tool fails: these rows are about what the restriction check lets by.
  Script setup = tool_fails();
  setup.options = [list](KsModuleOptions& o) { o.restriction_list_file = list; };
  Outcome out = run_module(c.args, setup, scratch.str());
  EXPECT_EQ(out.code, c.code) << out.log;
  EXPECT_EQ(out.calls, c.calls);
  if (!c.message.empty()) {
    EXPECT_NE(out.log.find(c.message), std::string::npos) << out.log;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Restrictions,
    testing::Values(
        RestrictionCase{"restricted", {"-b", "vm", "-j", "-d", "@T", "-n", "a"}, "other\nvm\n", 11,
                        {"load_module_config"}, "Backup module: Unable to backup this resource \"vm\". Local restriction."},
        RestrictionCase{"not_restricted", {"-b", "vm", "-j", "-d", "@T", "-n", "a"}, "vm \n\nvm2\n", 6,
                        backup_to_release, ""},
        RestrictionCase{"without_j_ignored", {"-b", "vm", "-d", "@T", "-n", "a"}, "vm\n", 6, backup_to_release, ""},
        RestrictionCase{"no_list", {"-b", "vm", "-j", "-d", "@T", "-n", "a"}, nullptr, 6, backup_to_release, ""},
        RestrictionCase{"unreadable_list", {"-b", "vm", "-j", "-d", "@T", "-n", "a"}, "<dir>", 11,
                        {"load_module_config"}, "read_local_restrictions() const: unable to open "},
        RestrictionCase{"replica_restricted", {"-A", "vm", "-j", "-d", "@T", "-n", "a"}, "vm", 11,
                        {"load_module_config"},
                        "Backup module: Unable to backup this resource \"vm\" due to the local restriction."},
        RestrictionCase{"list_restricted", {"-B", "@T/list.json", "-j", "-d", "@T", "-n", "a"}, "/srv/b\n", 11,
                        {"load_module_config"}, "Unable to backup this resource from ResourceList: /srv/b."},
        RestrictionCase{"list_unreadable", {"-B", "@T/list.json", "-j", "-d", "@T", "-n", "a"}, "<dir>", 11,
                        {"load_module_config"}, "unable to open "},
        RestrictionCase{"list_not_restricted", {"-B", "@T/list.json", "-j", "-d", "@T", "-n", "a"}, "/srv\n", 6,
                        backup_to_release, ""}),
    case_name<RestrictionCase>);

// ---- module properties -------------------------------------------------------------

TEST(RunInformation, ModuleProperties) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir scratch;
  Outcome out = run_module(
      {"--show-module-properties"},
      with_options([](KsModuleOptions& o) { o.restriction_list_file = "/opt/kestrova/etc/kestrova_restriction.list.rustack"; }),
      scratch.str());
  EXPECT_EQ(out.code, 0u);
  EXPECT_EQ(out.output,
            "Module properties:\n\n"
            "Only one data source backup operation is allowed at one time       : true\n"
            "Does the module support working in the client's autonomous mode    : false\n"
            "Does the module support incremental backup                         : true\n"
            "Does the module support differential backup                        : true\n"
            "Does this module support deduplication                             : true\n"
            "Does this module support archiving                                 : true\n"
            "Location of the restriction list                                   : "
            "/opt/kestrova/etc/kestrova_restriction.list.rustack");
}

// ---- the lock step -------------------------------------------------------------------

// A child process that holds the lock of (module, resource) until told to go.
class LockHolder {
 public:
  LockHolder(std::string const& module, std::string const& resource) {
    if (pipe(ready_) != 0 || pipe(release_) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      char c = 0;
      kestrova::module::resource_file_lock lock(module, resource);
      c = lock.try_lock() ? 'y' : 'n';
      if (write(ready_[1], &c, 1) != 1) _exit(3);
      if (read(release_[0], &c, 1) < 0) _exit(4);
      _exit(0);
    }
    char c = 0;
    if (read(ready_[0], &c, 1) != 1) throw std::runtime_error("holder died");
    held_ = c == 'y';
  }
  ~LockHolder() { finish(); }
  bool held() const { return held_; }
  void finish() {
    if (pid_ <= 0) return;
    char c = 'x';
    if (write(release_[1], &c, 1) != 1) {
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    for (int fd : {ready_[0], ready_[1], release_[0], release_[1]}) close(fd);
  }

 private:
  int ready_[2]{};
  int release_[2]{};
  pid_t pid_ = -1;
  bool held_ = false;
};

TEST(RunLock, BusyResourceExitsTwoAndRunsNothing) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir scratch;
  {
    LockHolder holder("ks_test_module", "vm-busy");
    ASSERT_TRUE(holder.held());
    Outcome out = run_module({"-b", "vm-busy", "-d", "@T", "-n", "a"}, {}, scratch.str());
    EXPECT_EQ(out.code, 2u);
    EXPECT_TRUE(out.calls.empty());
    EXPECT_NE(out.log.find("resource \"vm-busy\" is busy by another process!"), std::string::npos) << out.log;
    // Another resource, or the same resource of another program, is free.
    Outcome other = run_module({"-b", "vm-other", "-d", "@T", "-n", "a"}, failing({"prepare"}), scratch.str());
    EXPECT_EQ(other.code, 6u);
  }
  // Once the holder is gone the resource can be backed up again.
  Outcome after = run_module({"-b", "vm-busy", "-d", "@T", "-n", "a"}, failing({"prepare"}), scratch.str());
  EXPECT_EQ(after.code, 6u);
}

TEST(RunLock, RestoreLocksTheRecordId) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir scratch;
  LockHolder holder("ks_test_module", "rec-9");
  ASSERT_TRUE(holder.held());
  Outcome out = run_module({"-r", "rec-9", "-d", "@T"}, {}, scratch.str());
  EXPECT_EQ(out.code, 2u);
  EXPECT_NE(out.log.find("resource \"rec-9\" is busy by another process!"), std::string::npos);
}

TEST(RunLock, NoLockWithoutOneSourceAtATime) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir scratch;
  LockHolder holder("ks_test_module", "vm-shared");
  ASSERT_TRUE(holder.held());
  Outcome out = run_module({"-b", "vm-shared", "-d", "@T", "-n", "a"},
                           with_options([](KsModuleOptions& o) { o.one_source_at_a_time = false; }, {"prepare"}),
                           scratch.str());
  EXPECT_EQ(out.code, 6u);
}

// The lock is given up before the exception is reported, and the lock file
// goes with the module object.
TEST(RunLock, ReleasedAfterAnException) {
  KS_REQUIRE_SANDBOX();
  kstest::FrameworkLog log;
  kstest::TempDir scratch;
  kstest::ScriptedModule module;
  module.actions["resource_exists"] = throw_filesystem();
  testing::internal::CaptureStdout();
  unsigned code = kstest::init_and_run(module, {program, "-b", "vm-x", "-d", scratch.str(), "-n", "a"});
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(code, 13u);
  {
    LockHolder other("ks_test_module", "vm-x");
    EXPECT_TRUE(other.held());
  }
}

TEST(RunLock, LockFileRemovedWithTheModule) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir scratch;
  fs::path const file = kestrova::module::resource_lock_file_handler::make_lock_file_path(
      kestrova::module::resource_lock_file_handler::make_lock_file_name("ks_test_module", "vm-gone"));
  {
    kstest::ScriptedModule module;
    module.failing = {"prepare"};
    testing::internal::CaptureStdout();
    EXPECT_EQ(kstest::init_and_run(module, {program, "-b", "vm-gone", "-d", scratch.str(), "-n", "a"}), 6u);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(fs::exists(file));
  }
  EXPECT_FALSE(fs::exists(file));
}

}  // namespace

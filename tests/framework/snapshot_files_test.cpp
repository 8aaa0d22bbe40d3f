// Task file names, unpacking snapshot tarballs (checked against real tar),
// the result lines of close_backup, the restore directory and the clean-up
// after a restore.
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/test_util.h"
#include "ksfd_module.h"

namespace {

namespace fs = boost::filesystem;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

TEST(TaskNames, DerivedFromDirectoryAndArchiveName) {
  KS_REQUIRE_SANDBOX();
  kstest::KsfdModule module;
  module.options_.tmp_operation_directory = "/tmp/w";
  module.options_.archive_name = "a.b";
  EXPECT_EQ(module.archive_filename(), "/tmp/w/a.b");
  EXPECT_EQ(module.archive_sign_filename(), "/tmp/w/a.b.signature");
  EXPECT_EQ(module.snapshot_filename(), "/tmp/w/a.b.snap");
  EXPECT_EQ(module.snapshot_directory_path(), "/tmp/w/a.b.snap_dir");
  EXPECT_EQ(module.meta_filename(), "/tmp/w/a.b.snap_dir/a.b.meta");
  EXPECT_EQ(module.leveldb_directory_path(), "/tmp/w/a.b.snap_dir/leveldb");
  module.options_.autonomous = true;
  EXPECT_EQ(module.archive_filename(), "/tmp/w/a.b.ksfd");
  EXPECT_EQ(module.archive_sign_filename(), "/tmp/w/a.b.ksfd.signature");
  EXPECT_EQ(module.snapshot_filename(), "/tmp/w/a.b.snap");
}

// ---- unpacking ----------------------------------------------------------------------

class Unpack : public testing::Test {
 protected:
  void SetUp() override {
    KS_REQUIRE_SANDBOX();
    module_.options_.tmp_operation_directory = (work_ / "t").string();
    fs::create_directories(work_ / "t");
  }
  // A tarball packed as the framework packs one: the contents of a directory,
  // member list ".".
  std::string tarball(std::string const& name, std::vector<std::string> const& files) {
    fs::path const dir = work_ / ("pack-" + name);
    fs::create_directories(dir);
    for (auto const& f : files) kstest::write_file(dir / f, "content of " + f);
    std::string const path = (work_ / "client" / name).string();
    fs::create_directories(work_ / "client");
    auto r = kstest::run("cd " + kstest::sh_quote(dir.string()) + " && tar czf " + kstest::sh_quote(path) + " .");
    EXPECT_EQ(r.status, 0) << r.output;
    return path;
  }
  int unpack(std::string const& path) {
    kstest::FrameworkLog log;
    int const code = module_.unpack_snapshot_file(path);
    log_ = log.text();
    return code;
  }
  kstest::TempDir work_;
  kstest::KsfdModule module_;
  std::string log_;
};

TEST_F(Unpack, TarballIntoTheReferenceDirectory) {
  std::string const path = tarball("ref.snap", {"ref.meta", "other"});
  ASSERT_EQ(unpack(path), 0) << log_;
  std::string const dir = module_.options_.tmp_operation_directory + "/ref.snap_dir";
  EXPECT_EQ(module_.reference_snapshot_directory, dir);
  EXPECT_EQ(module_.options_.meta_file_path, dir + "/ref.meta");
  EXPECT_EQ(kstest::read_file(dir + "/ref.meta"), "content of ref.meta");
  // Outside autonomous mode the tarball is used up.
  EXPECT_FALSE(fs::exists(path));
  EXPECT_THAT(log_, HasSubstr("Removing obsolete snapshot file: " + path));
}

TEST_F(Unpack, AutonomousKeepsTheTarballAndAnEarlierDirectoryIsReplaced) {
  module_.options_.autonomous = true;
  std::string const dir = module_.options_.tmp_operation_directory + "/ref.snap_dir";
  fs::create_directories(dir);
  kstest::write_file(dir + "/stale.meta", "old");
  std::string const path = tarball("ref.snap", {"ref.meta"});
  ASSERT_EQ(unpack(path), 0) << log_;
  EXPECT_TRUE(fs::exists(path));
  EXPECT_FALSE(fs::exists(dir + "/stale.meta"));
  EXPECT_EQ(module_.options_.meta_file_path, dir + "/ref.meta");
  EXPECT_THAT(log_, HasSubstr(": Removing already existing directory " + dir));
}

TEST_F(Unpack, UnusualNamesStayOneWord) {
  std::string const path = tarball("it's a $ref.snap", {"x.meta"});
  ASSERT_EQ(unpack(path), 0) << log_;
  EXPECT_EQ(module_.options_.meta_file_path, module_.options_.tmp_operation_directory + "/it's a $ref.snap_dir/x.meta");
}

// The directory after -C has a backslash before each shell character; the
// tarball's path is written as it is.
TEST_F(Unpack, DirectoryWrittenWithBackslashes) {
  ASSERT_EQ(unpack("/nonexistent/r.snap"), 12);
  std::string escaped;
  for (char c : module_.options_.tmp_operation_directory) escaped += c == '.' ? std::string("\\.") : std::string(1, c);
  EXPECT_THAT(log_, HasSubstr(": command: '/bin/tar xzf /nonexistent/r.snap -C " + escaped + "/r\\.snap_dir'"));
}

TEST_F(Unpack, Refusals) {
  struct {
    std::string path;
    std::string message;
  } const cases[] = {
      {tarball("nometa.snap", {"a.txt"}), "Snapshot doesn't contain any metafile!"},
      {"/nonexistent/r.snap", "returned code: 2"},
      {"/x/ref.tgz", "Invalid snapshot file extension: \"/x/ref.tgz\""},
      {"/x/ref", "Invalid snapshot file extension: \"/x/ref\""},
      {"", "Invalid snapshot file extension: \"\""},
  };
  for (auto const& c : cases) {
    EXPECT_EQ(unpack(c.path), 12) << c.path;
    EXPECT_THAT(log_, HasSubstr(c.message)) << c.path;
  }
  kstest::write_file(work_ / "client" / "bad.snap", "not a tarball");
  EXPECT_EQ(unpack((work_ / "client" / "bad.snap").string()), 12);
  // A failed unpacking does not use up the client's file.
  EXPECT_TRUE(fs::exists(work_ / "client" / "bad.snap"));
}

TEST_F(Unpack, MetaFileIsTakenAsItIs) {
  module_.reference_snapshot_directory = "/before";
  ASSERT_EQ(unpack("/x/ref.meta"), 0);
  EXPECT_EQ(module_.options_.meta_file_path, "/x/ref.meta");
  EXPECT_EQ(module_.reference_snapshot_directory, "/before");
}

// Without a task directory (the storage operations have none) the tarball is
// unpacked into a private directory, never next to the root directory.
TEST_F(Unpack, NoTaskDirectoryUsesAPrivateDirectory) {
  kstest::TempDir tmp;
  kstest::ScopedEnv tmpdir("TMPDIR", tmp.str());
  module_.options_.tmp_operation_directory.clear();
  std::string const path = tarball("ref.snap", {"ref.meta"});
  ASSERT_EQ(unpack(path), 0) << log_;
  std::string const dir = module_.reference_snapshot_directory;
  fs::path const root = fs::path(dir).parent_path();
  EXPECT_EQ(root.parent_path(), tmp.path());
  EXPECT_EQ(fs::path(dir).filename(), "ref.snap_dir");
  EXPECT_EQ(kstest::mode_of(root.string()), 0700u);
  EXPECT_EQ(module_.options_.meta_file_path, dir + "/ref.meta");
  module_.remove_reference_snapshot_directory();
  EXPECT_TRUE(fs::is_empty(tmp.path()));
}

// The storage operations read the client's tarball and keep it; the private
// directory goes when the operation ends, however it ends.
TEST(StorageOperations, TarballKeptAndPrivateDirectoryRemoved) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir work, tmp;
  kstest::ScopedEnv tmpdir("TMPDIR", tmp.str());
  fs::create_directories(work / "pack");
  kstest::write_file(work / "pack" / "s.meta", "meta");
  std::string const good = (work / "s.snap").string();
  ASSERT_EQ(kstest::run("cd " + (work / "pack").string() + " && tar czf " + good + " .").status, 0);
  kstest::write_file(work / "bad.snap", "not a tarball");
  struct {
    char const* file;
    unsigned code;
  } const cases[] = {{"s.snap", 0}, {"bad.snap", 2}};
  for (auto const& c : cases) {
    kstest::KsfdModule module;
    kstest::ModuleRun r = kstest::run_module(
        module, {"--delete_from_client_defined_storage", "{}", "-M", (work / c.file).string()});
    EXPECT_EQ(r.code, c.code) << r.log;
    EXPECT_TRUE(fs::exists(work / c.file));
    EXPECT_TRUE(fs::is_empty(tmp.path())) << c.file;
    if (c.code == 0) {
      EXPECT_THAT(r.log, MatchesRegex("(.|\n)*Remove obsolete snapshot directory: " + tmp.str() +
                                      "/ks_snapshot_[^/]+/s.snap_dir\n(.|\n)*"));
      EXPECT_THAT(r.log, HasSubstr("Type: 3"));
    }
  }
}

// ---- the result lines ------------------------------------------------------------------

struct ResultCase {
  char const* name;
  bool autonomous;
  int storage_type;
  std::string lines;  // "@T" is the task directory
};

class CloseBackup : public testing::TestWithParam<ResultCase> {};

TEST_P(CloseBackup, ResultLinesAndCleanUp) {
  KS_REQUIRE_SANDBOX();
  ResultCase const& c = GetParam();
  kstest::TempDir work;
  kstest::KsfdModule module;
  module.options_.tmp_operation_directory = work.str();
  module.options_.archive_name = "arch";
  module.options_.autonomous = c.autonomous;
  module.options_.resource = "vm";
  module.storage_type = c.storage_type;
  module.storage_id = 42;
  fs::create_directories(module.leveldb_directory_path());
  kstest::write_file(module.meta_filename(), "meta");
  module.reference_snapshot_directory = (work / "ref.snap_dir").string();
  fs::create_directories(module.reference_snapshot_directory);

  testing::internal::CaptureStdout();
  bool const ok = module.close_backup(false);
  std::string const out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(ok);
  std::string expected = c.lines;
  for (auto at = expected.find("@T"); at != std::string::npos; at = expected.find("@T")) expected.replace(at, 2, work.str());
  EXPECT_EQ(out, expected);
  EXPECT_FALSE(fs::exists(module.snapshot_directory_path()));
  EXPECT_FALSE(fs::exists(module.reference_snapshot_directory));
  EXPECT_TRUE(fs::exists(module.snapshot_filename()));
  EXPECT_EQ(module.count("make_archiving"), 0);
}

std::string const kMediaLines =
    "MAIN ARCHIVE FILENAME:@T/arch.snap\nMAIN SNAPSHOT FILENAME:@T/arch.snap\nMAIN ARCHIVE SIGN FILENAME:@T/arch.signature\n";
std::string const kAutonomousLines =
    "MAIN ARCHIVE FILENAME:@T/arch.ksfd\nMAIN SNAPSHOT FILENAME:@T/arch.snap\n"
    "MAIN ARCHIVE SIGN FILENAME:@T/arch.ksfd.signature\n";

INSTANTIATE_TEST_SUITE_P(
    Storages, CloseBackup,
    testing::Values(ResultCase{"media_server", false, 0, kMediaLines},
                    // The storage line only in autonomous mode.
                    ResultCase{"media_server_ignores_storage", false, 1, kMediaLines},
                    ResultCase{"autonomous", true, 0, kAutonomousLines},
                    ResultCase{"local_directory", true, 1, "CLIENT DEFINED STORAGE:local-directory@42\n" + kAutonomousLines},
                    ResultCase{"s3", true, 2, "CLIENT DEFINED STORAGE:s3@42\n" + kAutonomousLines},
                    ResultCase{"module_default", true, 3, "CLIENT DEFINED STORAGE:default@42\n" + kAutonomousLines},
                    ResultCase{"unknown_type", true, 5, kAutonomousLines}),
    [](testing::TestParamInfo<ResultCase> const& info) { return std::string(info.param.name); });

TEST(CloseBackupFailure, NoSnapshotDirectoryToPack) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir work;
  kstest::KsfdModule module;
  module.options_.tmp_operation_directory = work.str();
  module.options_.archive_name = "arch";
  kstest::FrameworkLog log;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(module.close_backup(false));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_THAT(log.text(), HasSubstr("Unable to pack snapshot file: "));
  EXPECT_THAT(log.text(), HasSubstr(": can't create the main snapshot file: "));
}

// ---- the restore directory ----------------------------------------------------------------

struct DirectoryCase {
  char const* name;
  bool autonomous;
  bool storages;
  std::string archive_name;
  std::string archive_to_patch;
  int code;
  std::string directory;  // below the client's directory
};

class RestoreDirectory : public testing::TestWithParam<DirectoryCase> {};

TEST_P(RestoreDirectory, ChosenAndCreated) {
  KS_REQUIRE_SANDBOX();
  DirectoryCase const& c = GetParam();
  kstest::TempDir work;
  fs::create_directories(work / "p.rest");
  kstest::KsfdModule module;
  module.options_.tmp_operation_directory = work.str();
  module.options_.autonomous = c.autonomous;
  module.options_.archive_name = c.archive_name;
  module.options_.archive_to_patch = c.archive_to_patch;
  module.options_.record_id = "rec";
  if (c.storages) module.client_defined_storages.push_back({1, 1, work.str()});
  kstest::FrameworkLog log;
  EXPECT_EQ(module.define_restore_directory(), c.code) << log.text();
  EXPECT_EQ(module.options_.tmp_operation_directory, work.str() + "/" + c.directory);
  if (c.code == 0) {
    EXPECT_TRUE(fs::is_directory(module.options_.tmp_operation_directory));
  } else {
    EXPECT_THAT(log.text(), HasSubstr(": catalog 'archive to patch' doesn't exist: " + work.str() + "/q.rest"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Names, RestoreDirectory,
    testing::Values(DirectoryCase{"record", false, false, "vm_full_2024", "", 0, "rec.rest"},
                    DirectoryCase{"behind_full", true, false, "vm_full_2024", "", 0, "2024.rest"},
                    DirectoryCase{"case_and_extension", true, false, "/a/VM_FULL_X.ksfd", "", 0, "X.rest"},
                    DirectoryCase{"between_two_separators", true, false, "a_full_b_Full_c", "", 0, "b.rest"},
                    DirectoryCase{"no_separator", true, false, "plain", "", 0, "plain.rest"},
                    DirectoryCase{"storages_use_the_record", true, true, "vm_full_2024", "", 0, "rec.rest"},
                    DirectoryCase{"archive_to_patch", false, false, "x", "p", 0, "p.rest"},
                    DirectoryCase{"archive_to_patch_missing", false, false, "x", "q", 1, "q.rest"}),
    [](testing::TestParamInfo<DirectoryCase> const& info) { return std::string(info.param.name); });

// The restore directory is removed with everything in it after the last run:
// it must lie below the client's directory, and the root directory is never
// its parent.
TEST(RestoreDirectory, NamesThatLeaveTheClientsDirectoryAreRefused) {
  KS_REQUIRE_SANDBOX();
  struct {
    char const* parent;  // "@" is the scratch directory
    std::string record_id;
    std::string archive_to_patch;
    char const* message;
  } const cases[] = {
      {"@/d", "../out", "", ": record id is not a directory name: \"../out\""},
      {"@/d", "a/b", "", ": record id is not a directory name: \"a/b\""},
      {"@/d", "/abs", "", ": record id is not a directory name: \"/abs\""},
      {"@/d", "..", "", ": record id is not a directory name: \"..\""},
      {"@/d", ".", "", ": record id is not a directory name: \".\""},
      {"@/d", "", "", ": record id is not a directory name: \"\""},
      {"@/d", "rec\nMAIN SNAPSHOT FILENAME:x", "", ": record id is not a directory name: \"rec"},
      {"@/d", "rec", "p\r", ": catalog 'archive to patch' is not a directory name: \"p"},
      {"@/d", "rec", "../p", ": catalog 'archive to patch' is not a directory name: \"../p\""},
      {"", "rec", "", ": no temporary directory (-d) given; a restore directory is never made in the root directory"},
      {"", "rec", "p", ": no temporary directory (-d) given"},
  };
  for (auto const& c : cases) {
    kstest::TempDir work;
    fs::create_directories(work / "d");
    fs::create_directories(work / "p.rest");
    std::string parent = c.parent;
    if (!parent.empty()) parent.replace(0, 1, work.str());
    kstest::KsfdModule module;
    module.options_.tmp_operation_directory = parent;
    module.options_.record_id = c.record_id;
    module.options_.archive_to_patch = c.archive_to_patch;
    kstest::FrameworkLog log;
    EXPECT_EQ(module.define_restore_directory(), 1) << c.record_id << log.text();
    EXPECT_THAT(log.text(), HasSubstr(c.message));
    EXPECT_EQ(module.options_.tmp_operation_directory, parent);
    EXPECT_FALSE(fs::exists(work / "out.rest"));
    EXPECT_FALSE(fs::exists(work / "d" / "a"));
    EXPECT_FALSE(fs::exists("/rec.rest"));
  }
}

// ---- after a restore ----------------------------------------------------------------------

struct CloseRestoreCase {
  char const* name;
  KsModuleOperations operation;
  bool last;
  bool remove_tmp;
  bool directory_kept;
};

class CloseRestore : public testing::TestWithParam<CloseRestoreCase> {};

TEST_P(CloseRestore, RemovesWhatTheRunMade) {
  KS_REQUIRE_SANDBOX();
  CloseRestoreCase const& c = GetParam();
  kstest::TempDir work;
  fs::path const dir = work / "rec.rest";
  fs::create_directories(dir / "ref.snap_dir");
  kstest::write_file(dir / "vdb", "data");
  kstest::KsfdModule module;
  module.options_.operation = c.operation;
  module.options_.tmp_operation_directory = dir.string();
  module.reference_snapshot_directory = (dir / "ref.snap_dir").string();
  module.last = c.last;
  module.remove_tmp_directory = c.remove_tmp;
  module.KsModuleUniversal::close_restore();
  EXPECT_FALSE(fs::exists(dir / "ref.snap_dir"));
  EXPECT_EQ(fs::exists(dir / "vdb"), c.directory_kept);
  EXPECT_TRUE(fs::exists(work.path()));
}

INSTANTIATE_TEST_SUITE_P(
    Runs, CloseRestore,
    testing::Values(CloseRestoreCase{"restore_last", op_restore, true, true, false},
                    CloseRestoreCase{"restore_not_last", op_restore, false, true, true},
                    CloseRestoreCase{"restore_keep_directory", op_restore, true, false, true},
                    CloseRestoreCase{"apply_replica", op_apply_replica, true, true, true}),
    [](testing::TestParamInfo<CloseRestoreCase> const& info) { return std::string(info.param.name); });

TEST(RemoveReference, NothingUnpackedNothingRemoved) {
  KS_REQUIRE_SANDBOX();
  kstest::KsfdModule module;
  kstest::FrameworkLog log;
  module.remove_reference_snapshot_directory();
  EXPECT_THAT(log.text(), ::testing::Not(HasSubstr("Remove obsolete snapshot directory")));
}

}  // namespace

// Backups and restores through init() and run() with the stand-in ksfd, in
// media-server and autonomous mode: the lines the client reads, the members
// and modes of the snapshot tarball, the archive signature, incremental
// backups from the -s tarball, and the restored bytes.
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/test_util.h"
#include "ksfd_module.h"

namespace {

namespace fs = boost::filesystem;
using kstest::ScopedEnv;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;

std::string random_data(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen() & 0xff);
  return s;
}

std::vector<std::string> lines_of(std::string const& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    out.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out;
}

// Member names and permission strings of a tarball, as real tar lists them.
std::vector<std::string> tar_members(std::string const& tarball) {
  auto r = kstest::run("tar -tzvf " + kstest::sh_quote(tarball));
  EXPECT_EQ(r.status, 0) << r.output;
  std::vector<std::string> members;
  for (auto const& line : lines_of(r.output)) {
    if (line.empty()) continue;
    // "-rw-r--r-- root/root 123 2026-01-01 00:00 ./name"
    std::string const perms = line.substr(0, 10);
    members.push_back(perms + " " + line.substr(line.rfind(' ') + 1));
  }
  return members;
}

class BackupRestore : public testing::Test {
 protected:
  void SetUp() override {
    KS_REQUIRE_SANDBOX();
    disk_ = random_data(5 * 16384 + 123, 11);
    kstest::write_file(src_ / "disk0", disk_);
    kstest::write_file(src_ / "vm.config", "name=vm\n");
    kstest::write_file(src_ / "vol-1.conf", "size=1\n");
    kstest::write_file(kstest::task_secret_path("t7"), "secret\n");
    media_env_.reset(new ScopedEnv("KSFD_STANDIN_MEDIA_DIR", media_.str()));
    argv_env_.reset(new ScopedEnv("KSFD_STANDIN_ARGV_LOG", (aux_ / "argv.log").string()));
  }

  KsModuleOptions options(bool autonomous) const {
    KsModuleOptions o = kstest::module_capabilities();
    o.supports_autonomous = autonomous;
    return o;
  }

  // A module that backs up the three source files as a RuStack backup does:
  // one image named after its device and the description files.
  void give_items(kstest::KsfdModule& module) const {
    module.items = {{(src_ / "disk0").string(), "vdb"},
                    {(src_ / "vm.config").string(), "vm.config"},
                    {(src_ / "vol-1.conf").string(), "vol-1.conf"}};
    module.list_file = (aux_ / "ksfd.list").string();
  }

  kstest::ModuleRun backup(std::vector<std::string> args, bool autonomous = false) {
    kstest::KsfdModule module(options(autonomous));
    give_items(module);
    kstest::ModuleRun r = kstest::run_module(module, std::move(args));
    calls_ = module.calls;
    return r;
  }

  void expect_restored(fs::path const& dir, std::string const& disk) const {
    EXPECT_EQ(kstest::read_file(dir / "vdb"), disk);
    EXPECT_EQ(kstest::read_file(dir / "vm.config"), "name=vm\n");
    EXPECT_EQ(kstest::read_file(dir / "vol-1.conf"), "size=1\n");
  }

  std::string T() const { return work_.str(); }

  // The product's signing key (in the sandbox); the path of its public half,
  // empty when it could not be made.
  std::string make_signing_key() const {
    kstest::write_file("/opt/kestrova/keys/master-key", "pass phrase\n");
    std::string const pub = (aux_ / "public.pem").string();
    bool const made = kstest::run("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -aes-256-cbc -pass "
                                  "file:/opt/kestrova/keys/master-key -out /opt/kestrova/keys/secret-key.pem")
                              .status == 0 &&
                      kstest::run("openssl pkey -in /opt/kestrova/keys/secret-key.pem -passin "
                                  "file:/opt/kestrova/keys/master-key -pubout -out " + pub)
                              .status == 0;
    return made ? pub : std::string();
  }

  kstest::TempDir src_, work_, media_, aux_, restore_;
  std::string disk_;
  std::vector<std::string> calls_;
  std::unique_ptr<ScopedEnv> media_env_, argv_env_;
};

TEST_F(BackupRestore, MediaServerFullBackupAndRestore) {
  mode_t const original = ::umask(0);
  kstest::ModuleRun b = backup({"-1", "-b", "vm", "-d", T(), "-n", "vm_full_1", "-m", "media1", "-T", "t7"});
  mode_t const after = ::umask(original);
  ASSERT_EQ(b.code, 0u) << b.out << b.log;
  EXPECT_EQ(calls_, (std::vector<std::string>{"load_custom_module_parameters", "load_module_config",
                                              "resource_exists", "prepare", "release"}));

  // The tool's lines first, then the result lines; both names are the tarball.
  std::vector<std::string> lines = lines_of(b.out);
  ASSERT_GE(lines.size(), 5u) << b.out;
  EXPECT_EQ(lines[0], "MODULE PID:" + std::to_string(getpid()));
  EXPECT_THAT(lines[1], MatchesRegex("KSFD PID: [0-9]+"));
  EXPECT_EQ(kstest::lines_with(b.out, "Packed: ").size(), 3u) << b.out;
  EXPECT_EQ(kstest::lines_with(b.out, "Transferred: ").size(), 3u) << b.out;
  std::vector<std::string> const tail(lines.end() - 3, lines.end());
  EXPECT_THAT(tail, ElementsAre("MAIN ARCHIVE FILENAME:" + T() + "/vm_full_1.snap",
                                "MAIN SNAPSHOT FILENAME:" + T() + "/vm_full_1.snap",
                                "MAIN ARCHIVE SIGN FILENAME:" + T() + "/vm_full_1.signature"));
  EXPECT_THAT(b.log, HasSubstr("The task to make a full backup of resource 'vm' completed successfully"));

  EXPECT_TRUE(fs::exists(media_ / "vm_full_1.ksfd"));
  // The meta file was written while the mask was 022, the tarball after it
  // became 077; the leveldb directory is not packed.
  EXPECT_THAT(tar_members(T() + "/vm_full_1.snap"),
              ElementsAre(MatchesRegex("d......... \\./"), "-rw-r--r-- ./vm_full_1.meta"));
  EXPECT_EQ(kstest::mode_of(T() + "/vm_full_1.snap"), 0600u);
  EXPECT_EQ(after, 077u);
  EXPECT_FALSE(fs::exists(T() + "/vm_full_1.snap_dir"));

  // A restore that is not the last one extracts and keeps its directory.
  fs::copy_file(T() + "/vm_full_1.snap", aux_ / "copy.snap");
  kstest::KsfdModule first;
  kstest::ModuleRun r = kstest::run_module(
      first, {"-r", "vm_full_1", "-d", restore_.str(), "-m", "media1", "-T", "t7", "-M", T() + "/vm_full_1.snap"});
  ASSERT_EQ(r.code, 0u) << r.out << r.log;
  fs::path const dir = restore_ / "vm_full_1.rest";
  expect_restored(dir, disk_);
  EXPECT_EQ(kstest::lines_with(r.out, "Unpacked: ").size(), 3u) << r.out;
  EXPECT_THAT(r.log, HasSubstr("The archive 'vm_full_1' has been unpacked successfully"));
  // Outside autonomous mode the client's tarball is used up.
  EXPECT_FALSE(fs::exists(T() + "/vm_full_1.snap"));
  EXPECT_FALSE(fs::exists(dir / "vm_full_1.snap_dir"));
  EXPECT_EQ(first.count("deployment"), 0);

  // The last one deploys what it restored, then removes the directory.
  kstest::KsfdModule last;
  bool deployed_complete = false;
  last.actions["deployment"] = [&] {
    deployed_complete = kstest::read_file(dir / "vdb") == disk_ && fs::exists(dir / "vol-1.conf");
  };
  r = kstest::run_module(last, {"-r", "vm_full_1", "-d", restore_.str(), "-m", "media1", "-T", "t7", "-M",
                                (aux_ / "copy.snap").string(), "-e", "last:true"});
  ASSERT_EQ(r.code, 0u) << r.out << r.log;
  EXPECT_TRUE(deployed_complete);
  EXPECT_EQ(last.count("after_restore_last_file"), 1);
  EXPECT_FALSE(fs::exists(dir));
}

TEST_F(BackupRestore, AutonomousSignedBackupWithListingAndRestore) {
  std::string const pub = make_signing_key();
  ASSERT_FALSE(pub.empty());

  mode_t const original = ::umask(0);
  kstest::ModuleRun b =
      backup({"-1", "-b", "vm", "-d", T(), "-n", "vm_full_7", "--autonomous", "--dgst", "-e", "file_list:true"}, true);
  ::umask(original);
  ASSERT_EQ(b.code, 0u) << b.out << b.log;
  std::string const archive = T() + "/vm_full_7.ksfd";
  std::string const result = "MAIN ARCHIVE FILENAME:" + archive + "\nMAIN SNAPSHOT FILENAME:" + T() +
                             "/vm_full_7.snap\nMAIN ARCHIVE SIGN FILENAME:" + archive + ".signature\n";
  std::string const listing_start = "FILE LISTING START:\n";
  auto const at = b.out.find(result + listing_start);
  ASSERT_NE(at, std::string::npos) << b.out;
  std::string const listing = b.out.substr(at + result.size() + listing_start.size());
  std::vector<std::string> listed = lines_of(listing);
  ASSERT_EQ(listed.size(), 4u) << listing;
  EXPECT_THAT(listed[0], MatchesRegex("-[rwx-]{9} [0-9]+/[0-9]+ " + std::to_string(disk_.size()) + " .* vdb"));
  EXPECT_THAT(listed[1], MatchesRegex(".* vm\\.config"));
  EXPECT_THAT(listed[2], MatchesRegex(".* vol-1\\.conf"));
  EXPECT_EQ(listed[3], "FILE LISTING END");
  EXPECT_THAT(b.out, Not(HasSubstr("CLIENT DEFINED STORAGE:")));

  EXPECT_EQ(kstest::mode_of(archive), 0644u);
  EXPECT_EQ(kstest::mode_of(archive + ".signature"), 0644u);
  EXPECT_EQ(kstest::mode_of(T() + "/vm_full_7.snap"), 0600u);
  auto v = kstest::run("openssl dgst -sha256 -verify " + pub + " -signature " + archive + ".signature " + archive);
  EXPECT_EQ(v.status, 0) << v.output;

  // The restore directory is named after the part behind "_full_"; the
  // client's tarball stays in autonomous mode.
  kstest::KsfdModule module(options(true));
  kstest::ModuleRun r = kstest::run_module(module, {"-r", "rec", "--autonomous", "--client-archive", archive, "-d",
                                                    restore_.str(), "-M", T() + "/vm_full_7.snap"});
  ASSERT_EQ(r.code, 0u) << r.out << r.log;
  expect_restored(restore_ / "7.rest", disk_);
  EXPECT_TRUE(fs::exists(T() + "/vm_full_7.snap"));
  EXPECT_FALSE(fs::exists(restore_ / "7.rest" / "vm_full_7.snap_dir"));
}

TEST_F(BackupRestore, IncrementalFromTheReferenceTarball) {
  ASSERT_EQ(backup({"-1", "-b", "vm", "-d", T(), "-n", "vm_full_1", "-m", "media1", "-T", "t7"}).code, 0u);
  std::string changed = disk_;
  changed.replace(2 * 16384 + 5, 7, "changed");
  changed += "appended";
  kstest::write_file(src_ / "disk0", changed);
  fs::remove(aux_ / "argv.log");

  kstest::ModuleRun b = backup({"-2", "-b", "vm", "-d", T(), "-n", "vm_incr_2", "-s", T() + "/vm_full_1.snap", "-m",
                                "media1", "-T", "t7"});
  ASSERT_EQ(b.code, 0u) << b.out << b.log;
  EXPECT_THAT(kstest::read_file(aux_ / "argv.log"),
              HasSubstr(" -S " + T() + "/vm_full_1.snap_dir/vm_full_1.meta -z None"));
  EXPECT_THAT(b.log, HasSubstr("The task to make an incremental backup of resource 'vm' completed successfully"));
  // The reference was unpacked, used and removed; its tarball was used up.
  EXPECT_FALSE(fs::exists(T() + "/vm_full_1.snap_dir"));
  EXPECT_FALSE(fs::exists(T() + "/vm_full_1.snap"));
  EXPECT_THAT(tar_members(T() + "/vm_incr_2.snap"),
              ElementsAre(MatchesRegex("d......... \\./"), MatchesRegex("-......... \\./vm_incr_2\\.meta")));
  // Only the changed blocks are stored again.
  EXPECT_LT(fs::file_size(media_ / "vm_incr_2.ksfd"), fs::file_size(media_ / "vm_full_1.ksfd") / 2);

  kstest::KsfdModule module;
  kstest::ModuleRun r = kstest::run_module(
      module, {"-r", "vm_incr_2", "-d", restore_.str(), "-m", "media1", "-T", "t7", "-M", T() + "/vm_incr_2.snap"});
  ASSERT_EQ(r.code, 0u) << r.out << r.log;
  expect_restored(restore_ / "vm_incr_2.rest", changed);
}

// A relative temporary directory still names the same place once the tool
// runs from the root directory.
TEST_F(BackupRestore, RelativeTemporaryDirectory) {
  fs::path const before = fs::current_path();
  fs::current_path(work_.path());
  fs::create_directories("rel");
  kstest::ModuleRun b = backup({"-1", "-b", "vm", "-d", "rel", "-n", "arch", "--autonomous"}, true);
  fs::current_path(before);
  ASSERT_EQ(b.code, 0u) << b.out << b.log;
  std::string const dir = fs::canonical(work_.path()).string() + "/rel";
  EXPECT_THAT(b.out, HasSubstr("MAIN ARCHIVE FILENAME:" + dir + "/arch.ksfd\n"));
  EXPECT_TRUE(fs::exists(dir + "/arch.ksfd"));
  EXPECT_EQ(tar_members(dir + "/arch.snap").size(), 2u);
}

struct OutcomeCase {
  char const* name;
  std::vector<std::string> args;
  std::map<std::string, std::string> env;  // KSFD_STANDIN_ + key
  unsigned code;
  bool result_lines;
  std::string log;  // in the log
  bool listing;
};

std::ostream& operator<<(std::ostream& out, OutcomeCase const& c) { return out << c.name; }

class BackupOutcome : public BackupRestore, public testing::WithParamInterface<OutcomeCase> {};

TEST_P(BackupOutcome, ExitCodeResultLinesAndListing) {
  OutcomeCase const& c = GetParam();
  std::vector<std::unique_ptr<ScopedEnv>> env;
  for (auto const& e : c.env) env.emplace_back(new ScopedEnv("KSFD_STANDIN_" + e.first, e.second));
  std::vector<std::string> args = c.args;
  for (auto& a : args)
    if (a == "@T") a = T();
  kstest::ModuleRun b = backup(args);
  EXPECT_EQ(b.code, c.code) << b.out << b.log;
  EXPECT_EQ(kstest::lines_with(b.out, "MAIN ARCHIVE FILENAME:").size(), c.result_lines ? 1u : 0u) << b.out;
  EXPECT_EQ(b.out.find("FILE LISTING START:") != std::string::npos, c.listing) << b.out;
  if (!c.log.empty()) {
    EXPECT_THAT(b.log, HasSubstr(c.log));
  }
  // Whatever the end, the module's temporary objects were released.
  EXPECT_EQ(std::count(calls_.begin(), calls_.end(), "release"), 1);
}

std::vector<std::string> media_backup(std::vector<std::string> more) {
  std::vector<std::string> args = {"-b", "vm", "-d", "@T", "-n", "arch", "-m", "media1", "-T", "t7"};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

INSTANTIATE_TEST_SUITE_P(
    Ends, BackupOutcome,
    testing::Values(
        OutcomeCase{"listed", media_backup({"-e", "file_list:true"}), {}, 0, true, "", true},
        // A replica never lists its files.
        OutcomeCase{"replica_not_listed",
                    {"-A", "vm", "-d", "@T", "-n", "arch", "-m", "media1", "-T", "t7", "-e", "file_list:true"},
                    {},
                    0,
                    true,
                    "",
                    false},
        OutcomeCase{"listing_fails",
                    media_backup({"-e", "file_list:true"}),
                    {{"ONLY", "list"}, {"EXIT", "3"}},
                    6,
                    true,
                    ": command produced error: /opt/kestrova/bin/ksfd -l '",
                    false},
        OutcomeCase{"defect", media_backup({}), {{"ONLY", "backup"}, {"EXIT", "100"}}, 100, true,
                    "The work of the module is completed without a guarantee of completeness and consistency of the data",
                    false},
        OutcomeCase{"tool_fails", media_backup({}), {{"ONLY", "backup"}, {"EXIT", "1"}}, 6, false, "ksfd out: ", false},
        OutcomeCase{"media_server_unreachable", media_backup({}), {{"MEDIA_DIR", ""}}, 6, false,
                    "media server not reachable", false}),
    [](testing::TestParamInfo<OutcomeCase> const& info) { return std::string(info.param.name); });

// A restore directory that would lie outside the client's directory, or in
// the root directory when no -d is given, ends the restore before anything
// is made or run.
TEST_F(BackupRestore, RestoreDirectoryOutsideTheClientsDirectoryIsRefused) {
  fs::create_directories(restore_ / "sub");
  std::vector<std::vector<std::string>> const runs = {
      {"-r", "../escape", "-d", (restore_ / "sub").string(), "-m", "media1", "-T", "t7"},
      {"-r", "ks_rootless", "-m", "media1", "-T", "t7"},
  };
  for (auto const& args : runs) {
    kstest::KsfdModule module;
    kstest::ModuleRun r = kstest::run_module(module, args);
    EXPECT_TRUE(r.init_ok) << r.log;
    EXPECT_EQ(r.code, 7u) << r.log;
    EXPECT_THAT(module.calls, Not(testing::Contains("before_restore")));
    EXPECT_THAT(r.log, Not(HasSubstr(":ksfd command: ")));
  }
  EXPECT_FALSE(fs::exists(restore_ / "escape.rest"));
  EXPECT_FALSE(fs::exists("/ks_rootless.rest"));
}

// Entries added to the archive of an autonomous backup come back with it.
TEST_F(BackupRestore, SpecialEntriesAddedToTheArchive) {
  kstest::KsfdModule module(options(true));
  give_items(module);
  ASSERT_EQ(kstest::run_module(module, {"-1", "-b", "vm", "-d", T(), "-n", "arch", "--autonomous"}).code, 0u);
  kstest::write_file(src_ / "extra", "more");
  module.special_entries = {{(src_ / "extra").string(), "extra.txt"}};
  {
    kstest::FrameworkLog log;
    ASSERT_TRUE(module.append_some_special()) << log.text();
    EXPECT_THAT(log.text(), HasSubstr("Execute command:cd '" + T() + "' && /opt/kestrova/bin/ksfd -a sha2 -2  -b 16384 -u " +
                                      T() + "/arch.ksfd --add " + (aux_ / "ksfd.list").string() + " -z None"));
  }
  auto r = kstest::run("/opt/kestrova/bin/ksfd -a sha2 -2 -b 16384 -r " + T() + "/arch.ksfd -d " + restore_.str());
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(kstest::read_file(restore_ / "extra.txt"), "more");
  EXPECT_EQ(kstest::read_file(restore_ / "vdb"), disk_);

  kstest::KsfdModule nothing(options(true));
  EXPECT_TRUE(nothing.append_some_special());
  nothing.special_entries = {{"/x", "x"}};
  EXPECT_FALSE(nothing.append_some_special());
}

// Entries added to an archive on the media server, signed, with every option
// of the command; adding them a second time fails with the command and the
// tool's output in the log.
TEST_F(BackupRestore, SpecialEntriesAddedToAMediaServerArchive) {
  std::string const pub = make_signing_key();
  ASSERT_FALSE(pub.empty());
  ASSERT_EQ(backup({"-1", "-b", "vm", "-d", T(), "-n", "arch", "-m", "media1", "-T", "t7"}).code, 0u);
  // The meta file the tool extends, where the task keeps it.
  ASSERT_EQ(kstest::run("mkdir " + T() + "/arch.snap_dir && tar xzf " + T() + "/arch.snap -C " + T() + "/arch.snap_dir")
                .status,
            0);
  kstest::write_file(src_ / "extra", "more");
  kstest::KsfdModule module;
  module.options_.tmp_operation_directory = T();
  module.options_.archive_name = "arch";
  module.options_.media_server = "media1";
  module.options_.task_id = "t7";
  module.options_.resource_list_file = (aux_ / "ksfd.list").string();
  module.options_.dgst = true;
  module.options_.parallelism = 2;
  module.options_.compress = 3;
  module.options_.memory_threshold = 7;
  module.special_entries = {{(src_ / "extra").string(), "extra.txt"}};
  std::string const command =
      "cd '" + T() + "' && /opt/kestrova/bin/ksfd -a sha2 -2  -b 16384 -U arch --add " + (aux_ / "ksfd.list").string() +
      " -M media1 -T t7 -s /opt/kestrova/var/tasks//task_secret_t7 -m " + T() + "/arch.snap_dir/arch.meta -g " + T() +
      "/arch.signature --passin /opt/kestrova/keys/master-key --sign /opt/kestrova/keys/secret-key.pem -p 2"
      " -z optimal --memory-threshold 7";
  {
    kstest::FrameworkLog log;
    ASSERT_TRUE(module.append_some_special()) << log.text();
    EXPECT_THAT(log.text(), HasSubstr("Execute command:" + command + "\n"));
  }
  EXPECT_EQ(kstest::read_file(aux_ / "ksfd.list"), "KSFD file list:\n   " + (src_ / "extra").string() + " : extra.txt\n");
  auto v = kstest::run("openssl dgst -sha256 -verify " + pub + " -signature " + T() + "/arch.signature " +
                       (media_ / "arch.ksfd").string());
  EXPECT_EQ(v.status, 0) << v.output;
  auto r = kstest::run("/opt/kestrova/bin/ksfd -a sha2 -2 -b 16384 -R arch -M media1 -T t7 -s " +
                       kstest::task_secret_path("t7") + " -m " + T() + "/arch.snap_dir/arch.meta -d " + restore_.str());
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(kstest::read_file(restore_ / "extra.txt"), "more");
  EXPECT_EQ(kstest::read_file(restore_ / "vdb"), disk_);

  kstest::FrameworkLog log;
  EXPECT_FALSE(module.append_some_special());
  // Error lines reach the log with runs of blanks reduced to one.
  std::string single_blanks = command;
  single_blanks.replace(single_blanks.find("  "), 2, " ");
  EXPECT_THAT(log.text(), HasSubstr("Error: base_backup command: " + single_blanks + " \n"));
  EXPECT_THAT(log.text(), HasSubstr("Error: base_backup command result: KSFD PID: "));
  EXPECT_THAT(log.text(), HasSubstr("the archive already holds extra.txt"));
}

// A restored file with holes did not get all its data.
TEST(RestoredFile, HolesAreReported) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir dir;
  kstest::write_file(dir / "full", std::string(65536, 'x'));
  ASSERT_EQ(kstest::run("truncate -s 64M " + (dir / "sparse").string()).status, 0);
  kstest::KsfdModule module;
  module.options_.tmp_operation_directory = dir.str();
  kstest::FrameworkLog log;
  EXPECT_EQ(module.check_file_to_restore_for_sparse((dir / "full").string()), 0);
  EXPECT_EQ(module.check_file_to_restore_for_sparse((dir / "missing").string()), 0);
  EXPECT_THAT(log.text(), HasSubstr(": unable to check sparse status of \"" + dir.str() + "/missing\" file, error: "));
  EXPECT_EQ(module.check_file_to_restore_for_sparse((dir / "sparse").string()), 7);
  EXPECT_THAT(log.text(), MatchesRegex("(.|\n)*: file \"" + dir.str() +
                                       "/sparse\" is a sparse file, i.e. it doesn't contain all the data required for "
                                       "restore. Probably it is not enough free space in a " +
                                       dir.str() + " folder. Free space is: [0-9]+\\.[0-9]{6}%(.|\n)*"));
}

}  // namespace

// Backup on a remote host through stand-ins of ssh and scp that reach a
// "remote host" made of a chroot with its own /opt, /tmp and media folder,
// where the real ksfd stand-in runs: the exact commands in order, which
// failure cleans what, the quoting through both shells, the reference of an
// incremental backup, and a whole backup run of the module.
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/test_util.h"
#include "framework_log.h"
#include "os_sandbox.h"
#include "scripted_module.h"

namespace {

namespace fs = boost::filesystem;
using testing::AllOf;
using testing::Contains;
using testing::ElementsAre;
using testing::Each;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::Not;

std::string const kOpts =
    "-o ConnectTimeout=5 -o PasswordAuthentication=no -o PubkeyAuthentication=yes -o BatchMode=yes";
std::string const kSecret = "/opt/kestrova/var/tasks//task_secret_42";
std::string const kRestrictions = "/opt/kestrova/etc/kestrova_restriction.list.rustack";

// A host of its own for ssh and scp: the machine's /usr read-only, a few
// device nodes, and everything else (/opt, /tmp, /media) private to it.
// Lives on the sandbox's /opt and is never removed with its mounts in place.
class RemoteHost {
 public:
  RemoteHost() {
    kstest::require_sandbox();
    for (char const* dir : {"/usr", "/dev", "/tmp", "/media", "/opt/kestrova/bin"}) fs::create_directories(root_ + dir);
    kstest::must_mount("/usr", root_ + "/usr", nullptr, MS_BIND);
    kstest::must_mount("/usr", root_ + "/usr", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY);
    for (char const* link : {"bin", "lib", "lib64", "sbin"}) {
      fs::remove(root_ + "/" + link);
      fs::create_symlink(std::string("usr/") + link, root_ + "/" + link);
    }
    for (char const* node : {"null", "zero", "urandom", "random"}) {
      kstest::write_file(root_ + "/dev/" + node, "");
      kstest::must_mount(std::string("/dev/") + node, root_ + "/dev/" + node, nullptr, MS_BIND);
    }
    fs::copy_file(KS_KSFD_STANDIN, root_ + "/opt/kestrova/bin/ksfd", fs::copy_options::overwrite_existing);
    ::setenv("KS_REMOTE_ROOT", root_.c_str(), 1);
    ::setenv("KSFD_STANDIN_MEDIA_DIR", "/media", 1);
  }
  ~RemoteHost() {
    ::unsetenv("KS_REMOTE_ROOT");
    ::unsetenv("KSFD_STANDIN_MEDIA_DIR");
    for (char const* node : {"null", "zero", "urandom", "random"}) (void)::umount((root_ + "/dev/" + node).c_str());
    (void)::umount((root_ + "/usr").c_str());
    // Removed only once nothing is mounted below it any more.
    if (kstest::read_file("/proc/mounts").find(" " + root_ + "/") == std::string::npos) {
      boost::system::error_code ec;
      fs::remove_all(root_, ec);
    }
  }
  RemoteHost(RemoteHost const&) = delete;
  RemoteHost& operator=(RemoteHost const&) = delete;

  // A path of the remote host, seen from here.
  fs::path operator()(std::string const& path) const { return fs::path(root_ + path); }

 private:
  std::string root_ = "/opt/ks-remote-host";
};

class RemoteModule : public kstest::ScriptedModule {
 public:
  using KsModuleUniversal::incremental_without_reference;
  explicit RemoteModule(KsModuleOptions const& options = kstest::module_capabilities())
      : kstest::ScriptedModule(options) {}
};

class RemoteTest : public testing::Test {
 public:
  void SetUp() override {
    KS_REQUIRE_SANDBOX();
    fs::remove(kRestrictions);  // the sandbox's /opt is shared by the tests of this program
    remote_ = std::make_unique<RemoteHost>();
    task("task");
  }
  void TearDown() override { remote_.reset(); }

  // Paths and files of one task named after `dir` (under the scratch folder),
  // on this host and, unless told otherwise, on the remote one.
  void task(std::string const& dir, bool remote_tmp = true) {
    tmp_ = (scratch_ / dir).string();
    list_ = tmp_ + "/list";
    snapdir_ = tmp_ + "/arch1.snap_dir";
    meta_ = snapdir_ + "/arch1.meta";
    item_ = (scratch_ / "items" / "disk.raw").string();
    fs::create_directories(snapdir_);  // as run() makes it before a backup
    kstest::write_file(list_, "KSFD file list:\n   " + item_ + " : disk.raw\n");
    kstest::write_file(kSecret, "secret\n");
    fs::create_directories((*remote_)(item_).parent_path());
    kstest::write_file((*remote_)(item_), "remote disk content\n");
    if (remote_tmp) fs::create_directories((*remote_)(tmp_));
    module_.options_.tmp_operation_directory = tmp_;
    module_.options_.archive_name = "arch1";
    module_.options_.task_id = "42";
    module_.options_.media_server = "media1";
    module_.options_.resource = "vm-1";
    module_.options_.resource_list_file = list_;
    module_.options_.remote_backup_host = "backup-host";
    module_.options_.restriction_list_file = kRestrictions;
  }

  // The remote command of each ssh call, the copy of each scp call, by step.
  std::vector<std::string> steps() const {
    std::vector<std::string> out;
    for (auto const& c : tools_.calls()) {
      auto has = [&](std::string const& part) { return c.find(part) != std::string::npos; };
      if (c.compare(0, 4, "ssh ") == 0) {
        out.push_back(has("'exit 0'")        ? "check"
                      : has("'test -d ")     ? "test -d"
                      : has("'mkdir -p ")    ? "mkdir"
                      : has("/bin/ksfd ")    ? "ksfd"
                      : has("'test -f ")     ? "test -f"
                      : has("'rmdir ")       ? "rmdir"
                      : has("'rm ")          ? "rm"
                                             : "ssh?");
      } else if (c.compare(0, 4, "scp ") == 0) {
        out.push_back(has("task_secret_42 ")      ? "scp secret"
                      : has("/list ")             ? "scp list"
                      : has("restriction.list")   ? "scp restrictions"
                      : has("/reference-")        ? "scp reference"
                      : has("backup-host:" + meta_) ? "scp meta back"
                                                  : "scp?");
      }
    }
    return out;
  }
  bool remote_clean() const {
    return !fs::exists((*remote_)(kSecret)) && !fs::exists((*remote_)(list_)) && !fs::exists((*remote_)(snapdir_));
  }
  bool backup() {
    testing::internal::CaptureStdout();
    bool ok = module_.make_backup();
    stdout_ = testing::internal::GetCapturedStdout();
    return ok;
  }

  kstest::FrameworkLog log_{KsLogLvl::Debug};
  kstest::OsTools tools_;
  kstest::TempDir scratch_;
  RemoteModule module_;
  std::unique_ptr<RemoteHost> remote_;
  std::string tmp_, list_, snapdir_, meta_, item_, stdout_;
};

// ---- the road of a successful remote backup ---------------------------------------------

TEST_F(RemoteTest, CommandsInOrderAndWhatEachLeaves) {
  ASSERT_TRUE(backup()) << log_.text();
  std::string const ssh = "ssh -q -l root backup-host " + kOpts + " ";
  std::string const scp = "scp " + kOpts + " ";
  std::string const ksfd = "cd / && /opt/kestrova/bin/ksfd -a sha2 -2  -b 16384 -c " + list_ +
                           " -x /opt/kestrova/keys/master-key,/opt/kestrova/keys/secret-key.pem -z None -M media1 -N "
                           "arch1 -T 42 -s " + kSecret + " -m " + meta_ + " 2>&1";
  EXPECT_THAT(tools_.calls(),
              ElementsAre(ssh + "'exit 0'", ssh + "'test -d " + tmp_ + "'",
                          ssh + "'mkdir -p " + snapdir_ + " /opt/kestrova/var/tasks/'",
                          scp + kSecret + " root@backup-host:" + kSecret, scp + list_ + " root@backup-host:" + list_,
                          ssh + kstest::sh_quote(ksfd), ssh + "'test -f " + meta_ + "'",
                          scp + "root@backup-host:" + meta_ + " " + meta_,
                          ssh + "'rm " + list_ + " " + kSecret + " " + meta_ + "'", ssh + "'rmdir " + snapdir_ + "'"));
  // The local command lines, as the shell got them.
  std::string const local_ssh = "/usr/bin/ssh -q -l root backup-host  " + kOpts + " ";
  EXPECT_THAT(log_.text(), HasSubstr(":ksfd command: " + local_ssh + kstest::sh_quote(ksfd) + " 2>&1"));

  // The archive was written on the remote host, the meta file came back,
  // and the remote host keeps only its tasks folder.
  EXPECT_TRUE(fs::exists((*remote_)("/media/arch1.ksfd")));
  EXPECT_TRUE(fs::exists(meta_));
  EXPECT_TRUE(remote_clean());
  EXPECT_TRUE(fs::is_directory((*remote_)("/opt/kestrova/var/tasks")));
  EXPECT_TRUE(fs::exists(kSecret));  // the local one stays
  EXPECT_TRUE(module_.backup_succeeded);
  EXPECT_FALSE(module_.defect);
  // The remote tool's lines reach the client as in a local run.
  EXPECT_THAT(stdout_, HasSubstr("KSFD PID: "));
  EXPECT_THAT(stdout_, HasSubstr("Packed: 100% (1 of 1 items"));
  EXPECT_THAT(log_.text(), HasSubstr("Testing connection to remote host: backup-host"));
  EXPECT_THAT(log_.text(), HasSubstr("Remote KSFD execution finished successfully"));
  EXPECT_THAT(log_.text(), HasSubstr("Cleaning remote host"));
}

TEST_F(RemoteTest, EverySshAndScpCallIsNonInteractive) {
  kstest::write_file(kRestrictions, "/etc\n");
  module_.options_.local_restrictions = true;
  ASSERT_TRUE(backup()) << log_.text();
  std::vector<std::string> calls = tools_.calls();
  ASSERT_FALSE(calls.empty());
  // The stand-ins refuse a call without BatchMode=yes, as a real one would
  // wait at a password prompt; all of them carry the whole set.
  EXPECT_THAT(calls, Each(AllOf(HasSubstr("-o BatchMode=yes"), HasSubstr("-o PasswordAuthentication=no"),
                                HasSubstr("-o PubkeyAuthentication=yes"), HasSubstr("-o ConnectTimeout=5"))));
}

TEST_F(RemoteTest, RestrictionListGoesAlongWhenItExists) {
  kstest::write_file(kRestrictions, "/etc\n");
  // Copied whether or not -j was given; only -j puts it on the command.
  ASSERT_TRUE(backup()) << log_.text();
  EXPECT_THAT(steps(), Contains("scp restrictions"));
  EXPECT_THAT(tools_.calls_of("ssh"), Not(Contains(HasSubstr(" -X "))));
  EXPECT_THAT(tools_.calls_of("ssh"),
              Contains("ssh -q -l root backup-host " + kOpts + " 'rm " + list_ + " " + kSecret + " " + meta_ + " " +
                       snapdir_ + "/kestrova_restriction.list.rustack'"));
  EXPECT_TRUE(remote_clean());

  tools_.clear();
  module_.options_.local_restrictions = true;
  ASSERT_TRUE(backup()) << log_.text();
  EXPECT_THAT(tools_.calls_of("ssh"),
              Contains(HasSubstr(" -X " + snapdir_ + "/kestrova_restriction.list.rustack 2>&1")));
  EXPECT_TRUE(remote_clean());
}

TEST_F(RemoteTest, ADefectOfTheRemoteToolStillBringsTheMetaFileBack) {
  ::setenv("KSFD_STANDIN_EXIT", "100", 1);
  bool ok = backup();
  ::unsetenv("KSFD_STANDIN_EXIT");
  EXPECT_TRUE(ok);
  EXPECT_TRUE(module_.defect);
  EXPECT_TRUE(fs::exists(meta_));
  EXPECT_TRUE(remote_clean());
}

TEST_F(RemoteTest, ResourceWithoutAListFileIsBackedUpByItsPath) {
  module_.options_.resource_list_file.clear();
  module_.options_.resource = item_;  // exists there as here
  ASSERT_TRUE(backup()) << log_.text();
  EXPECT_THAT(steps(), ElementsAre("check", "test -d", "mkdir", "scp secret", "ksfd", "test -f", "scp meta back", "rm",
                                   "rmdir"));
  EXPECT_THAT(tools_.calls_of("ssh"), Contains(HasSubstr(" -c " + item_ + " ")));
  EXPECT_THAT(tools_.calls_of("ssh"), Contains(HasSubstr("'rm " + kSecret + " " + meta_ + "'")));
  EXPECT_TRUE(remote_clean());
}

// ---- refusals before anything runs ----------------------------------------------------

struct RefusalCase {
  char const* name;
  std::function<void(KsModuleOptions&)> change;
  char const* message;
};

std::ostream& operator<<(std::ostream& out, RefusalCase const& c) { return out << c.name; }

class RefusalTest : public RemoteTest, public testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusalTest, RefusedBeforeAnySshCall) {
  GetParam().change(module_.options_);
  EXPECT_FALSE(backup());
  EXPECT_THAT(tools_.calls(), IsEmpty());
  EXPECT_THAT(log_.text(), HasSubstr(GetParam().message));
  EXPECT_FALSE(module_.backup_succeeded);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, RefusalTest,
    testing::Values(
        RefusalCase{"Autonomous", [](KsModuleOptions& o) { o.autonomous = true; },
                    ": Autonomous mode is not supported for remote backup ksfd mode"},
        RefusalCase{"Signature", [](KsModuleOptions& o) { o.dgst = true; },
                    ": Digital signature is not supported for remote backup ksfd mode"},
        RefusalCase{"Encryption",
                    [](KsModuleOptions& o) {
                      o.crypto = "kuznyechik";
                      o.key_file = "/opt/kestrova/keys/master-key";
                    },
                    ": Encrytping signature is not supported for remote backup ksfd mode"},
        RefusalCase{"NoListFile", [](KsModuleOptions& o) { o.resource_list_file += ".missing"; },
                    ": resource list file doesn't exist: "},
        RefusalCase{"NoReference", [](KsModuleOptions& o) { o.backup_type = 3; },
                    ": you must define reference snapshot name (-s option)"},
        // A host that would be read as an ssh option.
        RefusalCase{"HostLikeAnOption", [](KsModuleOptions& o) { o.remote_backup_host = "-oProxyCommand=touch x"; },
                    ": unusable remote host or user: "},
        RefusalCase{"UserLikeAnOption", [](KsModuleOptions& o) { o.remote_user = "-F/tmp/cfg"; },
                    ": unusable remote host or user: "},
        // scp passes a remote path either literally or through the remote
        // shell, depending on its version: no quoting suits both, so a
        // remote path of other characters than the plain ones is refused.
        RefusalCase{"TemporaryDirectoryWithBlanks", [](KsModuleOptions& o) { o.tmp_operation_directory += " b"; },
                    ": remote path unusable for scp (only an absolute path of letters, digits and _@%+=:,./- is "
                    "passed unchanged): \""},
        RefusalCase{"ArchiveNameWithACommand",
                    [](KsModuleOptions& o) { o.archive_name = "arch$(touch /opt/ks-owned)"; },
                    "/arch$(touch /opt/ks-owned).meta\""},
        RefusalCase{"TaskIdWithAGlob", [](KsModuleOptions& o) { o.task_id = "4*"; },
                    ": remote path unusable for scp"},
        RefusalCase{"ReferenceNameWithAQuote",
                    [](KsModuleOptions& o) {
                      o.backup_type = 3;
                      o.meta_file_path = "/opt/ks'ref.meta";
                    },
                    "/reference-ks'ref.meta\""}),
    [](testing::TestParamInfo<RefusalCase> const& info) { return std::string(info.param.name); });

// ---- failures and their clean-up ----------------------------------------------------------

struct FailureCase {
  char const* name;
  std::function<void(RemoteTest&, kstest::OsTools&)> arrange;
  bool ok;
  std::vector<std::string> steps;
  char const* message;
  bool remote_clean;
};

std::ostream& operator<<(std::ostream& out, FailureCase const& c) { return out << c.name; }

class FailureTest : public RemoteTest, public testing::WithParamInterface<FailureCase> {};

TEST_P(FailureTest, WhichFailureCleansWhat) {
  FailureCase const& c = GetParam();
  c.arrange(*this, tools_);
  EXPECT_EQ(backup(), c.ok);
  ::unsetenv("KSFD_STANDIN_EXIT");
  EXPECT_EQ(steps(), c.steps);
  EXPECT_THAT(log_.text(), HasSubstr(c.message));
  EXPECT_EQ(remote_clean(), c.remote_clean);
  EXPECT_EQ(module_.backup_succeeded, c.ok);
}

std::vector<std::string> const upto_copies{"check", "test -d", "mkdir", "scp secret", "scp list"};
std::vector<std::string> with(std::vector<std::string> a, std::vector<std::string> const& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

INSTANTIATE_TEST_SUITE_P(
    Failures, FailureTest,
    testing::Values(
        FailureCase{"NoConnection", [](RemoteTest&, kstest::OsTools& t) { t.fail("ssh", 255, "exit 0"); }, false,
                    {"check"}, "ssh connection failed to: backup-host", true},
        FailureCase{"NoTemporaryDirectoryThere", [](RemoteTest& r, kstest::OsTools&) { r.task("elsewhere", false); },
                    false, {"check", "test -d"}, " does not exist on remote host: backup-host", true},
        FailureCase{"DirectoriesNotMade", [](RemoteTest&, kstest::OsTools& t) { t.fail("ssh", 1, "mkdir -p"); },
                    false, {"check", "test -d", "mkdir"}, ": the following command produced an error: ", true},
        FailureCase{"SecretNotCopied",
                    [](RemoteTest&, kstest::OsTools& t) { t.fail("scp", 1, "task_secret_42 root@"); }, false,
                    {"check", "test -d", "mkdir", "scp secret", "rm", "rmdir"}, "Cleaning remote host", true},
        FailureCase{"ListNotCopied", [](RemoteTest&, kstest::OsTools& t) { t.fail("scp", 1, "/list root@"); }, false,
                    with(upto_copies, {"rm", "rmdir"}), "scp: forced failure", true},
        FailureCase{"RemoteToolFails", [](RemoteTest&, kstest::OsTools&) { ::setenv("KSFD_STANDIN_EXIT", "1", 1); },
                    false, with(upto_copies, {"ksfd", "rm", "rmdir"}), "produced an error, ksfd out: ", true},
        FailureCase{"MetaFileMissingThere", [](RemoteTest&, kstest::OsTools& t) { t.fail("ssh", 1, "test -f"); },
                    false, with(upto_copies, {"ksfd", "test -f", "rm", "rmdir"}),
                    " does not exist on remote host: backup-host", true},
        FailureCase{"MetaFileNotCopiedBack",
                    [](RemoteTest& r, kstest::OsTools& t) { t.fail("scp", 1, "backup-host:" + r.meta_ + " "); },
                    false, with(upto_copies, {"ksfd", "test -f", "scp meta back", "rm", "rmdir"}),
                    "scp: forced failure", true},
        // After a good backup an unclean remote host is only a warning.
        FailureCase{"CleanupFails", [](RemoteTest&, kstest::OsTools& t) { t.fail("ssh", 1, "rm /"); }, true,
                    with(upto_copies, {"ksfd", "test -f", "scp meta back", "rm", "rmdir"}),
                    ": unable to cleanup remote host: backup-host", false}),
    [](testing::TestParamInfo<FailureCase> const& info) { return std::string(info.param.name); });

// ---- quoting through both shells ----------------------------------------------------------

// Values that no scp call carries, the backed-up path and the media
// server, pass both shells intact, whatever they hold.
TEST_F(RemoteTest, ValuesWithShellCharactersReachTheRemoteShellIntact) {
  module_.options_.resource_list_file.clear();
  for (std::string name : {"item with blanks", "item $(touch /opt/ks-owned) `touch /opt/ks-owned2`",
                           "item 'quoted' \"double\" $HOME;&|"}) {
    tools_.clear();
    std::string const item = (scratch_ / "items" / name).string();
    fs::create_directories((*remote_)(item).parent_path());  // the "/" of a command makes folders
    kstest::write_file((*remote_)(item), "remote content\n");
    module_.options_.resource = item;
    module_.options_.media_server = "media " + name;
    ASSERT_TRUE(backup()) << name << "\n" << log_.text();
    EXPECT_TRUE(fs::exists(meta_)) << name;
    EXPECT_TRUE(remote_clean()) << name;
    // The remote shell saw each value as one word.
    std::string const ksfd = "cd / && /opt/kestrova/bin/ksfd -a sha2 -2  -b 16384 -c " + kstest::sh_quote(item) +
                             " -x /opt/kestrova/keys/master-key,/opt/kestrova/keys/secret-key.pem -z None -M " +
                             kstest::sh_quote("media " + name) + " -N arch1 -T 42 -s " + kSecret + " -m " + meta_ +
                             " 2>&1";
    EXPECT_THAT(tools_.calls_of("ssh"), Contains("ssh -q -l root backup-host " + kOpts + " " + kstest::sh_quote(ksfd)))
        << name;
  }
  for (char const* owned : {"/opt/ks-owned", "/opt/ks-owned2"}) {
    EXPECT_FALSE(fs::exists(owned));
    EXPECT_FALSE(fs::exists((*remote_)(owned)));
  }
}

// ---- incremental backups read their reference on the remote host --------------------------

TEST_F(RemoteTest, IncrementalBackupTakesItsReferenceAlongAndRemovesIt) {
  ASSERT_TRUE(backup()) << log_.text();
  std::string const reference = (scratch_ / "ref" / "arch0.meta").string();
  fs::create_directories(fs::path(reference).parent_path());
  fs::rename(meta_, reference);

  tools_.clear();
  module_.options_.backup_type = 2;
  module_.options_.meta_file_path = reference;
  ASSERT_TRUE(backup()) << log_.text();
  std::string const copy = snapdir_ + "/reference-arch0.meta";
  EXPECT_THAT(steps(), ElementsAre("check", "test -d", "mkdir", "scp secret", "scp list", "scp reference", "ksfd",
                                   "test -f", "scp meta back", "rm", "rmdir"));
  EXPECT_THAT(tools_.calls_of("scp"), Contains("scp " + kOpts + " " + reference + " root@backup-host:" + copy));
  EXPECT_THAT(tools_.calls_of("ssh"), Contains(HasSubstr(" -S " + copy + " ")));
  EXPECT_THAT(tools_.calls_of("ssh"), Contains(HasSubstr("'rm " + list_ + " " + kSecret + " " + meta_ + " " + copy + "'")));
  EXPECT_TRUE(remote_clean());
  // The local reference is untouched and still the one the module knows.
  EXPECT_TRUE(fs::exists(reference));
  EXPECT_EQ(module_.options_.meta_file_path, reference);

  // Without a reference the incremental backup reads none and copies none.
  tools_.clear();
  module_.incremental_without_reference = true;
  ASSERT_TRUE(backup()) << log_.text();
  EXPECT_THAT(steps(), Not(Contains("scp reference")));
  EXPECT_THAT(tools_.calls_of("ssh"), Not(Contains(HasSubstr(" -S "))));
}

// ---- a whole backup run of the module --------------------------------------------------------

TEST_F(RemoteTest, BackupRunOfTheModuleGoesToTheRemoteHost) {
  KsModuleOptions options = kstest::module_capabilities();
  options.remote_backup_host = "backup-host";
  RemoteModule module(options);
  std::string const list = list_;
  module.actions["prepare"] = [&module, list] { module.options_.resource_list_file = list; };
  testing::internal::CaptureStdout();
  unsigned code = kstest::init_and_run(
      module, {"/usr/lib/kestrova/ks_test_module", "-1", "-b", "vm-1", "-d", tmp_, "-n", "arch1", "-m", "media1",
               "-T", "42"});
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(code, 0u) << log_.text();
  EXPECT_THAT(module.calls, Contains("release"));
  EXPECT_THAT(out, HasSubstr("MAIN SNAPSHOT FILENAME:" + tmp_ + "/arch1.snap"));
  EXPECT_THAT(kstest::must("tar tzf " + kstest::sh_quote(tmp_ + "/arch1.snap")), HasSubstr("arch1.meta"));
  EXPECT_TRUE(fs::exists((*remote_)("/media/arch1.ksfd")));
  EXPECT_TRUE(remote_clean());
}

}  // namespace

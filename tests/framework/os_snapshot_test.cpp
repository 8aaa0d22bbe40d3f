// Block devices and operating-system snapshots on real loop devices with
// real file systems, read by the real lsblk, stat, realpath and mount: the
// mount table with escaped names, the device properties, the snapshot size,
// the scripts, the single and list forms of a dattobd snapshot made by the
// stand-in dbdctl (a true point-in-time copy) and of an LVM snapshot made by
// the stand-in lvcreate, with every failing step and what it leaves behind,
// and an unmount that never deletes anything of a mounted file system.
#include <cstdlib>
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
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::Not;

class SnapModule : public kstest::ScriptedModule {
 public:
  using KsModuleUniversal::os_snapshot;
  using KsModuleUniversal::os_snapshots;
};

std::string trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

// ---- snapshot size ---------------------------------------------------------------

struct SizeCase {
  int percent;
  unsigned long device;
  unsigned long expected;
};

TEST(SnapshotSize, PercentOfTheDeviceInWholeSectors) {
  // Rounded twice: to a byte, then to a 512-byte sector, halves away from
  // zero each time.
  for (SizeCase c : {SizeCase{10, 10737418240ul, 1073741824ul}, SizeCase{10, 3000, 512}, SizeCase{10, 1000, 0},
                     SizeCase{10, 2560, 512},  // 256 bytes: half a sector rounds up
                     SizeCase{10, 2549, 0},    // 254.9 -> 255: just under half
                     SizeCase{10, 2555, 512},  // 255.5 -> 256 first, then half a sector
                     SizeCase{1, 51200, 512}, SizeCase{100, 1536, 1536}, SizeCase{33, 1000000, 330240},
                     SizeCase{50, 0, 0}, SizeCase{10, 2199023255552ul, 219902325760ul}}) {
    SnapModule module;
    module.snapshot_size = c.percent;
    EXPECT_EQ(module.calculate_OS_snapshot_size(c.device), c.expected) << c.percent << "% of " << c.device;
  }
}

// ---- the fixture: a disk with a file system, the tools, the scripts ----------------------

class OsTest : public testing::Test {
 public:  // for the arrangements of the tables below
  void SetUp() override {
    KS_REQUIRE_SANDBOX();
    // The stand-in lsblk lies in /usr/local/bin and hands over to the real one.
    ::setenv("PATH", "/usr/local/bin:/usr/local/sbin:/usr/sbin:/usr/bin:/sbin:/bin", 1);
    proc_ = std::make_unique<kstest::FakeProc>();
    dev_ = std::make_unique<kstest::DevOverlay>();
    udev_ = std::make_unique<kstest::UdevDatabase>();
    // Every unmount shows in the call log and can be refused.
    umount_ = std::make_unique<kstest::StandinTools>("/usr/local/bin", std::vector<std::string>{"umount"});
    proc_->write("datto-info", "{\"version\": \"0.11.2\", \"devices\": []}\n");
    tools_.set("modules", "dattobd\n");
    fs::create_directories(tmp());
    module_.options_.tmp_operation_directory = tmp();
    module_.options_.task_id = "42";
    module_.use_snapshot = true;
    module_.snapshot_type = "dattobd";
    write_script("record.sh", "#!/bin/sh\necho \"$0 $1\" >> " + kstest::sh_quote(script_log()) + "\necho ran $1\n");
    write_script("fail.sh", "#!/bin/sh\necho \"$0 $1\" >> " + kstest::sh_quote(script_log()) + "\nexit 3\n");
  }
  void TearDown() override {
    mounts_.clear();
    disks_.clear();
    umount_.reset();
    udev_.reset();
    dev_.reset();
    proc_.reset();
  }

  std::string tmp() const { return (scratch_ / "tmp").string(); }
  std::string script_log() const { return (scratch_ / "scripts.log").string(); }
  std::vector<std::string> scripts_run() const {
    std::vector<std::string> lines;
    if (!fs::exists(script_log())) return lines;
    std::istringstream in(kstest::read_file(script_log()));
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
  }
  void write_script(std::string const& name, std::string const& text) const {
    fs::path p = fs::path("/opt/kestrova/scripts") / name;
    kstest::write_file(p, text);
    fs::permissions(p, fs::perms(0755));
  }

  // A 32 MiB ext4 disk mounted at scratch/<name> holding data.txt.
  kstest::LoopDevice& disk(std::string const& name, std::string const& content = "before\n") {
    disks_.push_back(std::make_unique<kstest::LoopDevice>(scratch_ / (name + ".img"), 32, "mkfs.ext4 -q -F"));
    kstest::LoopDevice& d = *disks_.back();
    udev_->probe(d.device());
    fs::create_directories(scratch_ / name);
    mount(d.device(), (scratch_ / name).string());
    kstest::write_file(scratch_ / name / "data.txt", content);
    return d;
  }
  void mount(std::string const& source, std::string const& target, std::string const& options = "") {
    mounts_.push_back(std::make_unique<kstest::ScopedMount>(source, target, options));
  }
  std::string datto_info() const { return kstest::read_file("/proc/datto-info"); }
  // The driver's entry of a device, whole: /dev/loop1 is no entry of /dev/loop12.
  static std::string entry_of(std::string const& device) { return "\"block_device\": \"" + device + "\""; }

  kstest::FrameworkLog log_{KsLogLvl::Debug};
  kstest::OsTools tools_;
  kstest::TempDir scratch_;
  SnapModule module_;
  std::unique_ptr<kstest::FakeProc> proc_;
  std::unique_ptr<kstest::DevOverlay> dev_;
  std::unique_ptr<kstest::UdevDatabase> udev_;
  std::unique_ptr<kstest::StandinTools> umount_;
  std::vector<std::unique_ptr<kstest::LoopDevice>> disks_;
  std::vector<std::unique_ptr<kstest::ScopedMount>> mounts_;  // undone before the disks
};

// ---- the mount table -----------------------------------------------------------------

TEST_F(OsTest, MountTableNamesAreFoundThroughTheKernelsEscapes) {
  kstest::LoopDevice& d = disk("plain");
  // One file system mounted again under names the kernel escapes.
  for (std::string name : {"a b", "tab\there", "back\\slash", "two  blanks"}) {
    fs::path dir = scratch_ / name;
    fs::create_directories(dir);
    mount(d.device(), dir.string());
    EXPECT_EQ(module_.get_block_device(dir.string(), false), d.device()) << name;
    EXPECT_EQ(module_.get_block_device(dir.string(), true), d.device()) << name;
  }
  // A directory that is only a prefix of a mounted name is not mounted.
  fs::create_directories(scratch_ / "a");
  log_.clear();
  EXPECT_EQ(module_.get_block_device((scratch_ / "a").string(), false), "");
  EXPECT_THAT(log_.text(), HasSubstr("Mount point " + (scratch_ / "a").string() + " not found in '/proc/mounts'"));
}

TEST_F(OsTest, TheLastMountOnADirectoryIsTheOneSeen) {
  kstest::LoopDevice& d = disk("stacked");
  std::string const dir = (scratch_ / "stacked").string();
  EXPECT_EQ(module_.get_block_device(dir, false), d.device());
  mount("ks top layer", dir, "-t tmpfs");
  // The source name is unescaped as well.
  EXPECT_EQ(module_.get_block_device(dir, false), "ks top layer");
}

TEST_F(OsTest, ResolveGivesTheCanonicalDevice) {
  kstest::LoopDevice& d = disk("origin");
  std::string const link = "/opt/ks-disk-link";
  fs::create_symlink(d.device(), link);
  fs::create_directories(scratch_ / "via link");
  // Listed under the name it was mounted by.
  mount(link, (scratch_ / "via link").string(), "--no-canonicalize");
  EXPECT_EQ(module_.get_block_device((scratch_ / "via link").string(), false), link);
  EXPECT_EQ(module_.get_block_device((scratch_ / "via link").string(), true), d.device());
  fs::remove(link);
  // The link is gone: realpath still answers with the listed path's
  // resolution, and a failure is reported with its command.
  fs::create_symlink("/nonexistent/ks/dir/dev", link);
  log_.clear();
  EXPECT_EQ(module_.get_block_device((scratch_ / "via link").string(), true), "");
  EXPECT_THAT(log_.text(), HasSubstr("std::__cxx11::string KsModuleUniversal::get_block_device(const string&, bool) "
                                     "const: command: realpath '/opt/ks-disk-link'"));
  fs::remove(link);
}

TEST_F(OsTest, MountPointOfAPath) {
  disk("my disk");
  fs::path const mounted = scratch_ / "my disk";
  kstest::write_file(mounted / "it's here", "x");
  EXPECT_EQ(module_.get_mountpoint((mounted / "it's here").string()), mounted.string());
  EXPECT_EQ(module_.get_mountpoint(mounted.string()), mounted.string());
  EXPECT_EQ(module_.get_mountpoint((scratch_ / "tmp").string()), trimmed(kstest::must("stat -c %m /tmp")));
  EXPECT_EQ(module_.get_mountpoint("/nonexistent/ks"), "");
  EXPECT_THAT(log_.text(), HasSubstr("std::__cxx11::string KsModuleUniversal::get_mountpoint(const string&) const: "
                                     "command: stat -c %m -- '/nonexistent/ks'"));
}

// ---- device properties -------------------------------------------------------------------

TEST_F(OsTest, PropertiesOfARealDeviceMountedAndNot) {
  kstest::TempDir images;
  kstest::LoopDevice d(images / "disk.img", 32, "mkfs.ext4 -q -F -L 'my label'");
  udev_->probe(d.device());
  std::string const uuid = trimmed(kstest::must("blkid -s UUID -o value " + d.device()));

  KsModuleUniversal::block_device_info info;
  ASSERT_TRUE(module_.get_block_device_info(d.device(), info));
  EXPECT_EQ(info.name, d.name());
  EXPECT_EQ(info.size, 32u * 1048576u);
  EXPECT_FALSE(info.ro);
  EXPECT_EQ(info.type, "loop");
  EXPECT_EQ(info.fstype, "ext4");
  EXPECT_EQ(info.fsver, "1.0");
  EXPECT_EQ(info.label, "my label");
  EXPECT_EQ(info.uuid, uuid);
  // Not mounted: lsblk has null for the free space and the mount point.
  EXPECT_EQ(info.fsavail, 0u);
  EXPECT_THAT(info.mountpoints, IsEmpty());
  EXPECT_THAT(log_.text(), HasSubstr(": can't convert null to uintmax_t"));
  EXPECT_THAT(tools_.calls_of("lsblk"), ElementsAre("lsblk -bJ " + d.device(), "lsblk -bfJ " + d.device()));

  fs::create_directories(scratch_ / "m n");
  mount(d.device(), (scratch_ / "m n").string());
  KsModuleUniversal::block_device_info mounted;
  ASSERT_TRUE(module_.get_block_device_info(d.device(), mounted));
  std::string const df = trimmed(kstest::must("df -B1 --output=avail " + kstest::sh_quote((scratch_ / "m n").string()) +
                                              " | tail -n 1"));
  EXPECT_EQ(std::to_string(mounted.fsavail), df);
  EXPECT_THAT(mounted.mountpoints, ElementsAre((scratch_ / "m n").string()));
}

TEST_F(OsTest, PropertiesOfAReadOnlyUnformattedDevice) {
  kstest::TempDir images;
  kstest::must("truncate -s 8M " + (images / "raw.img").string());
  std::string loop = trimmed(kstest::must("losetup -f --show -r " + (images / "raw.img").string()));
  struct Detach {
    std::string dev;
    ~Detach() { kstest::quietly("losetup -d " + dev); }
  } detach{loop};
  udev_->probe(loop);
  KsModuleUniversal::block_device_info info;
  ASSERT_TRUE(module_.get_block_device_info(loop, info));
  EXPECT_TRUE(info.ro);
  EXPECT_EQ(info.size, 8u * 1048576u);
  EXPECT_EQ(info.fstype, "");  // null: no file system, not the text "null"
  EXPECT_EQ(info.label, "");
}

TEST_F(OsTest, PropertiesOfSomethingThatIsNoDevice) {
  KsModuleUniversal::block_device_info info;
  EXPECT_FALSE(module_.get_block_device_info("/opt/kestrova/etc", info));
  EXPECT_THAT(log_.text(), HasSubstr("bool KsModuleUniversal::get_block_device_info(const string&, "
                                     "KsModuleUniversal::block_device_info&) const: command: lsblk -bJ "
                                     "'/opt/kestrova/etc'"));
}

struct ReplyCase {
  char const* name;
  std::string plain;  // reply to lsblk -bJ
  std::string fs;     // reply to lsblk -bfJ
  bool ok;
  char const* message;  // in the log
  std::function<void(KsModuleUniversal::block_device_info const&)> check;
};

std::ostream& operator<<(std::ostream& out, ReplyCase const& c) { return out << c.name; }

class ReplyTest : public OsTest, public testing::WithParamInterface<ReplyCase> {};

TEST_P(ReplyTest, RepliesOfLsblk) {
  ReplyCase const& c = GetParam();
  tools_.set("lsblk-bJ", c.plain);
  tools_.set("lsblk-bfJ", c.fs);
  KsModuleUniversal::block_device_info info;
  info.name = "untouched";
  EXPECT_EQ(module_.get_block_device_info("/dev/sdz", info), c.ok);
  if (*c.message) {
    EXPECT_THAT(log_.text(), HasSubstr(c.message));
  }
  if (c.check) c.check(info);
}

std::string const fs_reply =
    R"({"blockdevices": [{"name": "sdz", "fstype": "xfs", "fsver": null, "label": "data", "uuid": "u-1",)"
    R"( "fsavail": 4096, "fsuse%": "1%", "mountpoints": [null, "/srv/a b", "/srv/c"]}]})";

INSTANTIATE_TEST_SUITE_P(
    Replies, ReplyTest,
    testing::Values(
        ReplyCase{"NumbersNullsAndMountPoints",
                  R"({"blockdevices": [{"name": "sdz", "maj:min": "8:0", "rm": false, "size": 1024, "ro": true,)"
                  R"( "type": "disk", "mountpoints": [null]}]})",
                  fs_reply, true, "",
                  [](KsModuleUniversal::block_device_info const& i) {
                    EXPECT_EQ(i.name, "sdz");
                    EXPECT_EQ(i.size, 1024u);
                    EXPECT_TRUE(i.ro);
                    EXPECT_EQ(i.type, "disk");
                    EXPECT_EQ(i.fstype, "xfs");
                    EXPECT_EQ(i.fsver, "");
                    EXPECT_EQ(i.label, "data");
                    EXPECT_EQ(i.fsavail, 4096u);
                    EXPECT_THAT(i.mountpoints, ElementsAre("/srv/a b", "/srv/c"));
                  }},
        // Older lsblk: numbers and flags as texts.
        ReplyCase{"SizeAndFlagAsText",
                  R"({"blockdevices": [{"name": "sdz", "size": "2048", "ro": "1", "type": "part"}]})",
                  R"({"blockdevices": [{"fsavail": "512"}]})", true, "",
                  [](KsModuleUniversal::block_device_info const& i) {
                    EXPECT_EQ(i.size, 2048u);
                    EXPECT_TRUE(i.ro);
                    EXPECT_EQ(i.fsavail, 512u);
                  }},
        // Only the device itself is read, not its partitions.
        ReplyCase{"ChildrenAreNotRead",
                  R"({"blockdevices": [{"name": "sdz", "size": 10, "type": "disk", "children": [{"name": "sdz1",)"
                  R"( "size": 5, "type": "part"}]}, {"name": "sdy", "size": 7}]})",
                  fs_reply, true, "",
                  [](KsModuleUniversal::block_device_info const& i) {
                    EXPECT_EQ(i.name, "sdz");
                    EXPECT_EQ(i.size, 10u);
                  }},
        // Digits that fit 64 bits, leading zeros too.
        ReplyCase{"SizeAtTheEndOf64Bits",
                  R"({"blockdevices": [{"name": "sdz", "size": 18446744073709551615}]})",
                  R"({"blockdevices": [{"fsavail": "000512"}]})", true, "",
                  [](KsModuleUniversal::block_device_info const& i) {
                    EXPECT_EQ(i.size, 18446744073709551615u);
                    EXPECT_EQ(i.fsavail, 512u);
                  }},
        ReplyCase{"SizeBeyond64Bits", R"({"blockdevices": [{"size": "018446744073709551616"}]})", fs_reply, false,
                  ": can't convert 018446744073709551616 to uintmax_t", nullptr},
        ReplyCase{"NullSize", R"({"blockdevices": [{"name": "sdz", "size": null}]})", fs_reply, false,
                  ": can't convert null to uintmax_t", nullptr},
        ReplyCase{"NegativeSize", R"({"blockdevices": [{"name": "sdz", "size": -5}]})", fs_reply, false,
                  ": can't convert -5 to uintmax_t", nullptr},
        ReplyCase{"SizeWithText", R"({"blockdevices": [{"size": "12abc"}]})", fs_reply, false,
                  ": can't convert 12abc to uintmax_t", nullptr},
        // Free space that cannot be read is only logged.
        ReplyCase{"BadFreeSpace", R"({"blockdevices": [{"name": "sdz", "size": 1}]})",
                  R"({"blockdevices": [{"fsavail": "lots", "label": "x"}]})", true,
                  ": can't convert lots to uintmax_t",
                  [](KsModuleUniversal::block_device_info const& i) {
                    EXPECT_EQ(i.fsavail, 0u);
                    EXPECT_EQ(i.label, "x");
                  }},
        ReplyCase{"NoDeviceListLeavesTheRecord", R"({"other": 1})", R"({"other": 1})", true, "",
                  [](KsModuleUniversal::block_device_info const& i) { EXPECT_EQ(i.name, "untouched"); }},
        ReplyCase{"ListNotArray", R"({"blockdevices": {"name": "sdz"}})", fs_reply, false,
                  ": json value is not an array", nullptr},
        ReplyCase{"EmptyList", R"({"blockdevices": []})", fs_reply, false, ": array is empty", nullptr},
        ReplyCase{"EmptyEntry", R"({"blockdevices": [{}]})", fs_reply, false, ": json object value is empty", nullptr},
        ReplyCase{"EntryNotObject", R"({"blockdevices": ["sdz"]})", fs_reply, false, ": json value is not an object",
                  nullptr},
        ReplyCase{"TopIsArray", "[]", fs_reply, false, ": json value is not an object", nullptr},
        ReplyCase{"TopIsEmpty", "{}", fs_reply, false, ": json object value is empty", nullptr},
        ReplyCase{"NotJson", "lsblk: /dev/sdz: not a block device", fs_reply, false, ": json parsing failed: ",
                  nullptr},
        ReplyCase{"SecondReplyBroken", R"({"blockdevices": [{"name": "sdz", "size": 1}]})", R"({"blockdevices": []})",
                  false, ": array is empty", nullptr}),
    [](testing::TestParamInfo<ReplyCase> const& info) { return std::string(info.param.name); });

// ---- scripts -------------------------------------------------------------------------

struct ScriptCase {
  char const* name;
  std::string given;
  std::string runs;     // the path the script ran from; empty when it must not run
  bool ok;
  char const* message;
};

std::ostream& operator<<(std::ostream& out, ScriptCase const& c) { return out << c.name; }

class ScriptTest : public OsTest, public testing::WithParamInterface<ScriptCase> {};

TEST_P(ScriptTest, ScriptsRunOnlyFromTheScriptsFolder) {
  ScriptCase const& c = GetParam();
  write_script("my script.sh", "#!/bin/sh\necho \"$0 $1\" >> " + kstest::sh_quote(script_log()) + "\n");
  fs::create_directories("/opt/kestrova/scripts/folder.sh");
  kstest::write_file("/opt/kestrova/scripts/noexec.sh", "#!/bin/sh\n");
  EXPECT_EQ(module_.run_script(c.given, "before"), c.ok);
  if (c.runs.empty()) {
    EXPECT_THAT(scripts_run(), IsEmpty());
  } else {
    EXPECT_THAT(scripts_run(), ElementsAre(c.runs + " before"));
  }
  EXPECT_THAT(log_.text(), HasSubstr(c.message));
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, ScriptTest,
    testing::Values(
        ScriptCase{"InTheFolder", "/opt/kestrova/scripts/record.sh", "/opt/kestrova/scripts/record.sh", true,
                   "Script returned code: 0"},
        ScriptCase{"ElsewhereIsMovedIntoTheFolder", "/tmp/record.sh", "/opt/kestrova/scripts/record.sh", true,
                   "Change script path to: /opt/kestrova/scripts"},
        ScriptCase{"SubfolderIsMovedUp", "/opt/kestrova/scripts/sub/record.sh", "/opt/kestrova/scripts/record.sh",
                   true, "Change script path to: /opt/kestrova/scripts"},
        ScriptCase{"RelativeName", "record.sh", "/opt/kestrova/scripts/record.sh", true,
                   "Run script. Script name: /opt/kestrova/scripts/record.sh before"},
        ScriptCase{"NameWithABlank", "/opt/kestrova/scripts/my script.sh", "/opt/kestrova/scripts/my script.sh", true,
                   "Script returned code: 0"},
        ScriptCase{"ItsOutputIsLogged", "/opt/kestrova/scripts/record.sh", "/opt/kestrova/scripts/record.sh", true,
                   "ran before"},
        ScriptCase{"FailingScript", "/opt/kestrova/scripts/fail.sh", "/opt/kestrova/scripts/fail.sh", false,
                   "Script returns code is not NULL"},
        ScriptCase{"Missing", "/opt/kestrova/scripts/none.sh", "", false,
                   "Script doesn't exist: \"/opt/kestrova/scripts/none.sh\""},
        ScriptCase{"Folder", "/opt/kestrova/scripts/folder.sh", "", false,
                   "\"/opt/kestrova/scripts/folder.sh\" is not a regular file"},
        ScriptCase{"NotExecutable", "/opt/kestrova/scripts/noexec.sh", "", false, "Script returned code: 126"}),
    [](testing::TestParamInfo<ScriptCase> const& info) { return std::string(info.param.name); });

// ---- the single form ---------------------------------------------------------------------

// 10 % of 32 MiB, in whole sectors, is 3355648 bytes: 3 MiB for dbdctl.
std::string setup_command(kstest::LoopDevice const& d, std::string const& mountpoint, int minor = 0) {
  return "dbdctl setup-snapshot -f 3 " + d.device() + " " + mountpoint + "/.kestrova_dattobd_42 " +
         std::to_string(minor);
}

TEST_F(OsTest, SnapshotOfTheResourceIsAPointInTimeCopyMountedReadOnly) {
  kstest::LoopDevice& d = disk("data");
  std::string const fsdir = (scratch_ / "data").string();
  module_.options_.resource = fsdir + "/data.txt";
  module_.before_snapshot_script = "/opt/kestrova/scripts/record.sh";
  module_.after_snapshot_script = "/opt/kestrova/scripts/record.sh";
  module_.error_snapshot_script = "/opt/kestrova/scripts/record.sh";

  std::string device, mount_directory, mountpoint;
  ASSERT_TRUE(module_.create_OS_snapshot(device, true, mount_directory, mountpoint));
  EXPECT_EQ(device, "/dev/datto0");
  EXPECT_EQ(mountpoint, fsdir);
  EXPECT_EQ(mount_directory, tmp() + "/42");
  EXPECT_FALSE(module_.defect);
  EXPECT_THAT(scripts_run(), ElementsAre("/opt/kestrova/scripts/record.sh before",
                                         "/opt/kestrova/scripts/record.sh after"));
  EXPECT_THAT(tools_.calls_of("dbdctl"), ElementsAre(setup_command(d, fsdir)));
  EXPECT_THAT(log_.text(), HasSubstr("Expected OS snapshot size: 3355648 bytes"));
  EXPECT_THAT(log_.text(), HasSubstr("Resource is located at the block device: " + d.device()));

  // The origin goes on changing; the mounted snapshot does not.
  kstest::write_file(fs::path(fsdir) / "data.txt", "after\n");
  EXPECT_EQ(kstest::read_file(mount_directory + "/data.txt"), "before\n");
  EXPECT_THAT(kstest::read_file("/proc/mounts"), HasSubstr("/dev/datto0 " + mount_directory + " ext4 ro,"));

  ASSERT_TRUE(module_.umount_OS_snapshot());
  EXPECT_FALSE(fs::exists(mount_directory));
  ASSERT_TRUE(module_.remove_OS_snapshot());
  EXPECT_THAT(tools_.calls_of("dbdctl"), ElementsAre(setup_command(d, fsdir), "dbdctl destroy 0"));
  EXPECT_FALSE(fs::exists("/dev/datto0"));
  EXPECT_THAT(datto_info(), Not(HasSubstr(entry_of(d.device()))));
}

TEST_F(OsTest, SnapshotWithoutMountLeavesTheMountDirectoryAlone) {
  kstest::LoopDevice& d = disk("data");
  module_.options_.resource = (scratch_ / "data").string();
  std::string device, mount_directory = "unchanged", mountpoint;
  ASSERT_TRUE(module_.create_OS_snapshot(device, false, mount_directory, mountpoint));
  EXPECT_EQ(mount_directory, "unchanged");
  EXPECT_FALSE(fs::exists(tmp() + "/42"));
  EXPECT_THAT(datto_info(), HasSubstr(entry_of(d.device())));
  ASSERT_TRUE(module_.remove_OS_snapshot());
  EXPECT_THAT(datto_info(), Not(HasSubstr(entry_of(d.device()))));
}

// The snapshot of a device the caller names, while the resource lies on
// another file system: removal takes the snapshot of that device.
TEST_F(OsTest, RemovalTakesTheSnapshotOfTheDeviceThatWasSnapshotted) {
  disk("resource");
  kstest::LoopDevice& other = disk("other");
  module_.options_.resource = (scratch_ / "resource").string();
  std::string device = other.device(), mount_directory, mountpoint = (scratch_ / "other").string();
  ASSERT_TRUE(module_.create_OS_snapshot(device, true, mount_directory, mountpoint));
  EXPECT_EQ(device, "/dev/datto0");
  EXPECT_EQ(mountpoint, (scratch_ / "other").string());
  ASSERT_TRUE(module_.remove_OS_snapshot());
  EXPECT_THAT(tools_.calls_of("dbdctl").back(), "dbdctl destroy 0");
  EXPECT_THAT(datto_info(), Not(HasSubstr(entry_of(other.device()))));
  EXPECT_FALSE(fs::exists("/dev/datto0"));
}

TEST_F(OsTest, XfsSnapshotIsMountedWithoutItsUuidAndAFailedMountKeepsTheSnapshot) {
  kstest::LoopDevice& d = disk("data");
  module_.options_.resource = (scratch_ / "data").string();
  module_.error_snapshot_script = "/opt/kestrova/scripts/record.sh";
  // lsblk reports xfs for what is ext4, so the mount with nouuid fails.
  tools_.set("lsblk-bfJ", R"({"blockdevices": [{"fstype": "xfs"}]})");
  tools_.set("lsblk-bJ", kstest::must("/usr/bin/lsblk -bJ " + d.device()));
  std::string device, mount_directory, mountpoint = "unchanged";
  EXPECT_FALSE(module_.create_OS_snapshot(device, true, mount_directory, mountpoint));
  EXPECT_THAT(log_.text(), HasSubstr("bool KsModuleUniversal::mount_OS_snapshot(const string&, std::__cxx11::string&, "
                                     "const string&) const: command: mount -o ro,norecovery,nouuid /dev/datto0 " +
                                     tmp() + "/42"));
  EXPECT_EQ(mountpoint, "unchanged");
  EXPECT_TRUE(module_.defect);
  EXPECT_TRUE(module_.os_snapshot);
  EXPECT_THAT(scripts_run(), IsEmpty());  // only a failed creation runs the error script
  // The caller's clean-up removes what is left.
  ASSERT_TRUE(module_.remove_OS_snapshot());
  EXPECT_THAT(datto_info(), Not(HasSubstr(entry_of(d.device()))));
}

struct FailCase {
  char const* name;
  std::function<void(OsTest&, SnapModule&, kstest::OsTools&)> arrange;
  bool snapshot_kept;     // os_snapshot still set afterwards
  bool snapshot_made;     // dbdctl setup-snapshot ran and succeeded
  std::vector<std::string> scripts;
  char const* message;
};

std::ostream& operator<<(std::ostream& out, FailCase const& c) { return out << c.name; }

class FailTest : public OsTest, public testing::WithParamInterface<FailCase> {};

TEST_P(FailTest, EveryFailingStepAndWhatItLeaves) {
  FailCase const& c = GetParam();
  kstest::LoopDevice& d = disk("data");
  module_.options_.resource = (scratch_ / "data" / "data.txt").string();
  module_.error_snapshot_script = "/opt/kestrova/scripts/record.sh";
  c.arrange(*this, module_, tools_);
  std::string device, mount_directory, mountpoint = "unchanged";
  EXPECT_FALSE(module_.create_OS_snapshot(device, true, mount_directory, mountpoint));
  EXPECT_EQ(mountpoint, "unchanged");
  EXPECT_EQ(bool(module_.os_snapshot), c.snapshot_kept);
  EXPECT_EQ(datto_info().find(d.device()) != std::string::npos, c.snapshot_made);
  EXPECT_EQ(scripts_run(), c.scripts);
  EXPECT_THAT(log_.text(), HasSubstr(c.message));
  EXPECT_EQ(module_.defect, module_.use_snapshot);  // set by every attempt that started
  // Whatever is left, the clean-up takes it away.
  EXPECT_TRUE(module_.remove_OS_snapshot());
  EXPECT_THAT(datto_info(), Not(HasSubstr(entry_of(d.device()))));
  EXPECT_FALSE(fs::exists(tmp() + "/42"));
}

std::string const rec = "/opt/kestrova/scripts/record.sh";
std::string const fail_script = "/opt/kestrova/scripts/fail.sh";

INSTANTIATE_TEST_SUITE_P(
    Steps, FailTest,
    testing::Values(
        FailCase{"SnapshotsNotUsed", [](OsTest&, SnapModule& m, kstest::OsTools&) { m.use_snapshot = false; }, false,
                 false, {}, "Snapshots are not used"},
        FailCase{"SizeZero",
                 [](OsTest&, SnapModule&, kstest::OsTools& t) {
                   t.set("lsblk-bJ", R"({"blockdevices": [{"name": "loop9", "size": 1000, "type": "loop"}]})");
                 },
                 false, false, {}, ": unable to create a snapshot with a size of zero"},
        FailCase{"NoMakerForLvmOnALoopDevice", [](OsTest&, SnapModule& m, kstest::OsTools&) { m.snapshot_type = "lvm"; },
                 false, false, {}, "Unable to use LVM snapshot for non-LVM volume: loop, skip"},
        FailCase{"DriverNotLoaded", [](OsTest&, SnapModule&, kstest::OsTools& t) { t.set("modules", "loop\n"); },
                 false, false, {}, "Dattobd is not ready or not installed"},
        FailCase{"ResourceNowhere",
                 [](OsTest&, SnapModule& m, kstest::OsTools&) { m.options_.resource = "/nonexistent/ks/file"; }, false,
                 false, {}, "Can't get block device info: "},
        FailCase{"BeforeScriptFails",
                 [](OsTest&, SnapModule& m, kstest::OsTools&) { m.before_snapshot_script = fail_script; }, false,
                 false, {fail_script + " before"}, "Script returns code is not NULL"},
        FailCase{"CreationRefused",
                 [](OsTest&, SnapModule& m, kstest::OsTools& t) {
                   m.before_snapshot_script = rec;
                   t.fail("dbdctl", 1, "setup-snapshot");
                 },
                 false, false, {rec + " before", rec + " error"}, "' after snapshot creation failed"},
        FailCase{"MountDirectoryUnknown", [](OsTest&, SnapModule& m, kstest::OsTools&) { m.options_.task_id.clear(); },
                 true, true, {}, ": no mount directory"},
        FailCase{"AfterScriptFails",
                 [](OsTest&, SnapModule& m, kstest::OsTools&) { m.after_snapshot_script = fail_script; }, true, true,
                 {fail_script + " after"}, "Run script '/opt/kestrova/scripts/fail.sh' after snapshot creation"}),
    [](testing::TestParamInfo<FailCase> const& info) { return std::string(info.param.name); });

TEST_F(OsTest, AnEarlierDefectSurvivesASuccessfulSnapshot) {
  disk("data");
  module_.options_.resource = (scratch_ / "data").string();
  module_.defect = true;
  std::string device, mount_directory, mountpoint;
  ASSERT_TRUE(module_.create_OS_snapshot(device, false, mount_directory, mountpoint));
  EXPECT_TRUE(module_.defect);
  EXPECT_TRUE(module_.remove_OS_snapshot());
}

TEST_F(OsTest, UnmountWithNothingToUnmount) {
  // No mount directory at all.
  EXPECT_TRUE(module_.umount_OS_snapshot());
  // A mount directory with nothing mounted on it stays.
  fs::create_directories(tmp() + "/42");
  kstest::write_file(tmp() + "/42/keep", "x");
  EXPECT_TRUE(module_.umount_OS_snapshot());
  EXPECT_TRUE(fs::exists(tmp() + "/42/keep"));
  EXPECT_THAT(log_.text(), HasSubstr("Mount point " + tmp() + "/42 not found in '/proc/mounts'"));
  // Without a task id the temporary directory itself is never taken for
  // the mount directory.
  module_.options_.task_id.clear();
  EXPECT_TRUE(module_.umount_OS_snapshot());
  EXPECT_TRUE(fs::exists(tmp() + "/42/keep"));
}

TEST_F(OsTest, MountDirectoryThatExistsIsFineForTheSingleFormOnly) {
  kstest::LoopDevice& d = disk("data");
  fs::create_directories(tmp() + "/42");
  std::string dir;
  ASSERT_TRUE(module_.mount_OS_snapshot(d.device(), dir, "-t ext4"));
  EXPECT_EQ(dir, tmp() + "/42");
  ASSERT_TRUE(module_.umount_OS_snapshot());

  fs::create_directories(scratch_ / "taken");
  std::string taken = (scratch_ / "taken").string();
  EXPECT_FALSE(module_.mount_OS_snapshot_multiple(d.device(), taken, "-t ext4"));
  EXPECT_THAT(log_.text(), HasSubstr("bool KsModuleUniversal::mount_OS_snapshot_multiple(const string&, "
                                     "std::__cxx11::string&, const string&) const: Create directory failed: " +
                                     taken));
  // The default directory of the list form is the task's, made with its parents.
  std::string fresh;
  module_.options_.tmp_operation_directory = (scratch_ / "deep" / "er").string();
  ASSERT_TRUE(module_.mount_OS_snapshot_multiple(d.device(), fresh, "-t ext4"));
  EXPECT_EQ(fresh, (scratch_ / "deep" / "er" / "42").string());
  EXPECT_TRUE(module_.umount_OS_snapshot_multiple(fresh));
  EXPECT_FALSE(fs::exists(fresh));
}

TEST_F(OsTest, RefusedUnmountIsReportedWithItsOutputAndLeavesTheDirectory) {
  kstest::LoopDevice& d = disk("data");
  std::string dir;
  ASSERT_TRUE(module_.mount_OS_snapshot(d.device(), dir, "-t ext4"));
  tools_.fail("umount", 32, "-lf");
  EXPECT_FALSE(module_.umount_OS_snapshot());
  EXPECT_THAT(log_.text(), HasSubstr("bool KsModuleUniversal::umount_OS_snapshot() const: command: umount -lf " + dir +
                                     "; result: umount: forced failure"));
  EXPECT_EQ(kstest::read_file(dir + "/data.txt"), "before\n");
  tools_.clear_failures();
  EXPECT_TRUE(module_.umount_OS_snapshot());
  EXPECT_FALSE(fs::exists(dir));
}

// The unmount takes the mount on its directory, not the device's latest
// one, and removes only an empty directory that is no mount point any more:
// nothing of a mounted file system is ever deleted.
struct UnmountCase {
  char const* name;
  // Mounts the disk on the task's mount directory through the module, and
  // more around it.
  std::function<void(OsTest&, std::string const& device, std::string& dir)> arrange;
  bool ok;
  char const* message;
  bool directory_stays;  // after a second try
};

std::ostream& operator<<(std::ostream& out, UnmountCase const& c) { return out << c.name; }

class UnmountTest : public OsTest, public testing::WithParamInterface<UnmountCase> {};

TEST_P(UnmountTest, OnlyTheMountOnTheDirectoryGoesAndNothingBelowAMountIsDeleted) {
  UnmountCase const& c = GetParam();
  kstest::LoopDevice& d = disk("data");
  std::string dir;
  c.arrange(*this, d.device(), dir);
  tools_.clear();
  EXPECT_EQ(module_.umount_OS_snapshot(), c.ok);
  EXPECT_THAT(log_.text(), HasSubstr(c.message));
  EXPECT_THAT(tools_.calls_of("umount"), ElementsAre("umount -lf " + dir));
  EXPECT_EQ(fs::exists(dir), !c.ok);
  // Every other mount of the disk is still there, with its file.
  for (char const* other : {"data", "later"}) {
    if (!fs::exists(scratch_ / other)) continue;
    EXPECT_EQ(module_.get_block_device((scratch_ / other).string(), false), d.device()) << other;
    EXPECT_EQ(kstest::read_file(scratch_ / other / "data.txt"), "before\n") << other;
  }
  // A second try takes what the first one left, and no more.
  EXPECT_TRUE(module_.umount_OS_snapshot());
  EXPECT_EQ(fs::exists(dir), c.directory_stays);
  if (c.directory_stays) {
    EXPECT_EQ(kstest::read_file(dir + "/theirs"), "x");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Unmounts, UnmountTest,
    testing::Values(
        // "umount <device>" would take the later mount and leave this one.
        UnmountCase{"TheDeviceMountedElsewhereLater",
                    [](OsTest& t, std::string const& device, std::string& dir) {
                      ASSERT_TRUE(t.module_.mount_OS_snapshot(device, dir, "-t ext4"));
                      fs::create_directories(t.scratch_ / "later");
                      t.mount(device, (t.scratch_ / "later").string());
                    },
                    true, "Unmount successful: ", false},
        UnmountCase{"AnotherFileSystemStackedOnTop",
                    [](OsTest& t, std::string const& device, std::string& dir) {
                      ASSERT_TRUE(t.module_.mount_OS_snapshot(device, dir, "-t ext4"));
                      t.mount("ks-top", dir, "-t tmpfs");
                    },
                    false, " is still mounted on ", false},
        UnmountCase{"FilesOfTheDirectoryUnderTheMount",
                    [](OsTest& t, std::string const& device, std::string& dir) {
                      fs::create_directories(t.tmp() + "/42");
                      kstest::write_file(t.tmp() + "/42/theirs", "x");
                      ASSERT_TRUE(t.module_.mount_OS_snapshot(device, dir, "-t ext4"));
                    },
                    false, " is not empty after the unmount; left in place", true}),
    [](testing::TestParamInfo<UnmountCase> const& info) { return std::string(info.param.name); });

// ---- the list form ---------------------------------------------------------------------

TEST_F(OsTest, ListOfSnapshotsMadeMountedAndRemovedTogether) {
  kstest::LoopDevice& a = disk("a", "one\n");
  kstest::LoopDevice& b = disk("b", "two\n");
  std::string da, dira = (scratch_ / "snap a").string(), mpa;
  std::string db, dirb, mpb;  // the default directory: the task's
  ASSERT_TRUE(module_.create_OS_snapshot_multiple((scratch_ / "a" / "data.txt").string(), da, true, dira, mpa));
  ASSERT_TRUE(module_.create_OS_snapshot_multiple((scratch_ / "b").string(), db, true, dirb, mpb));
  EXPECT_EQ(da, "/dev/datto0");
  EXPECT_EQ(db, "/dev/datto1");
  EXPECT_EQ(mpa, (scratch_ / "a").string());
  EXPECT_EQ(dirb, tmp() + "/42");
  ASSERT_EQ(module_.os_snapshots.size(), 2u);
  EXPECT_EQ(module_.os_snapshots[0].block_device, a.device());
  EXPECT_EQ(module_.os_snapshots[1].mount_directory, dirb);
  EXPECT_FALSE(module_.os_snapshot);

  kstest::write_file(scratch_ / "a" / "data.txt", "changed\n");
  EXPECT_EQ(kstest::read_file(dira + "/data.txt"), "one\n");
  EXPECT_EQ(kstest::read_file(dirb + "/data.txt"), "two\n");

  ASSERT_TRUE(module_.remove_all_OS_snapshots());
  EXPECT_FALSE(fs::exists(dira));
  EXPECT_FALSE(fs::exists(dirb));
  EXPECT_THAT(datto_info(), Not(HasSubstr(entry_of(a.device()))));
  EXPECT_THAT(datto_info(), Not(HasSubstr(entry_of(b.device()))));
  EXPECT_THAT(module_.os_snapshots, IsEmpty());
  // Nothing is tried twice.
  tools_.clear();
  EXPECT_TRUE(module_.remove_all_OS_snapshots());
  EXPECT_THAT(tools_.calls_of("dbdctl"), IsEmpty());
}

TEST_F(OsTest, OneFailedSnapshotOfTheListIsNotHiddenByALaterOne) {
  kstest::LoopDevice& a = disk("a");
  disk("b");
  std::string da, dira, mpa, db, dirb, mpb;
  // The first device already has a snapshot of someone else's.
  proc_->write("datto-info", "{\"devices\": [{\"minor\": 7, \"block_device\": \"" + a.device() + "\"}]}");
  EXPECT_FALSE(module_.create_OS_snapshot_multiple((scratch_ / "a").string(), da, false, dira, mpa));
  EXPECT_TRUE(module_.defect);
  proc_->write("datto-info", "{\"devices\": []}");
  ASSERT_TRUE(module_.create_OS_snapshot_multiple((scratch_ / "b").string(), db, false, dirb, mpb));
  EXPECT_TRUE(module_.defect);
  EXPECT_EQ(module_.os_snapshots.size(), 1u);
  EXPECT_TRUE(module_.remove_all_OS_snapshots());
}

TEST_F(OsTest, ListedSnapshotWhoseMountFailedIsStillRemoved) {
  kstest::LoopDevice& a = disk("a");
  fs::create_directories(scratch_ / "busy");
  kstest::write_file(scratch_ / "busy" / "theirs", "x");
  std::string da, dir = (scratch_ / "busy").string(), mp;
  EXPECT_FALSE(module_.create_OS_snapshot_multiple((scratch_ / "a").string(), da, true, dir, mp));
  EXPECT_TRUE(module_.defect);
  ASSERT_EQ(module_.os_snapshots.size(), 1u);
  EXPECT_EQ(module_.os_snapshots[0].mount_directory, "");  // not ours to unmount
  EXPECT_THAT(datto_info(), HasSubstr(entry_of(a.device())));
  EXPECT_TRUE(module_.remove_all_OS_snapshots());
  EXPECT_THAT(datto_info(), Not(HasSubstr(entry_of(a.device()))));
  EXPECT_TRUE(fs::exists(scratch_ / "busy" / "theirs"));
}

TEST_F(OsTest, RemovalOfTheListGoesOnAfterAFailure) {
  kstest::LoopDevice& a = disk("a");
  kstest::LoopDevice& b = disk("b");
  std::string da, dira, mpa, db, dirb, mpb;
  ASSERT_TRUE(module_.create_OS_snapshot_multiple((scratch_ / "a").string(), da, false, dira, mpa));
  ASSERT_TRUE(module_.create_OS_snapshot_multiple((scratch_ / "b").string(), db, false, dirb, mpb));
  tools_.fail("dbdctl", 1, "destroy 0");
  EXPECT_FALSE(module_.remove_all_OS_snapshots());
  EXPECT_THAT(datto_info(), HasSubstr(entry_of(a.device())));
  EXPECT_THAT(datto_info(), Not(HasSubstr(entry_of(b.device()))));
  // The failed one stays listed and goes at the next try.
  ASSERT_EQ(module_.os_snapshots.size(), 1u);
  tools_.clear_failures();
  EXPECT_TRUE(module_.remove_all_OS_snapshots());
  EXPECT_THAT(datto_info(), Not(HasSubstr(entry_of(a.device()))));
}

TEST_F(OsTest, RemoveAllTakesTheSingleSnapshotFirst) {
  kstest::LoopDevice& a = disk("a");
  kstest::LoopDevice& b = disk("b");
  module_.options_.resource = (scratch_ / "a").string();
  std::string d1, m1, p1, d2, m2, p2;
  ASSERT_TRUE(module_.create_OS_snapshot(d1, false, m1, p1));
  ASSERT_TRUE(module_.create_OS_snapshot_multiple((scratch_ / "b").string(), d2, false, m2, p2));
  ASSERT_TRUE(module_.remove_all_OS_snapshots());
  EXPECT_THAT(tools_.calls_of("dbdctl"),
              ElementsAre(testing::StartsWith("dbdctl setup-snapshot"), testing::StartsWith("dbdctl setup-snapshot"),
                          "dbdctl destroy 0", "dbdctl destroy 1"));
  EXPECT_THAT(datto_info(), Not(HasSubstr(entry_of(a.device()))));
  EXPECT_THAT(datto_info(), Not(HasSubstr(entry_of(b.device()))));
}

// Every failing step of the list form, and what it leaves: a snapshot that
// exists is listed before anything can fail or throw, so the removal of the
// list takes it away.
struct ListFailCase {
  char const* name;
  std::function<void(SnapModule&, kstest::OsTools&, fs::path const& scratch, std::string& dir)> arrange;
  bool throws;
  bool listed;   // made, and on the list
  bool mounted;  // listed with its mount directory
  std::vector<std::string> scripts;
  char const* message;
};

std::ostream& operator<<(std::ostream& out, ListFailCase const& c) { return out << c.name; }

class ListFailTest : public OsTest, public testing::WithParamInterface<ListFailCase> {};

TEST_P(ListFailTest, EveryFailingStepOfTheListAndWhatItLeaves) {
  ListFailCase const& c = GetParam();
  kstest::LoopDevice& a = disk("a");
  module_.error_snapshot_script = rec;
  std::string device, dir = (scratch_ / "snap").string(), mountpoint = "unchanged";
  c.arrange(module_, tools_, scratch_.path(), dir);
  bool threw = false;
  try {
    EXPECT_FALSE(module_.create_OS_snapshot_multiple((scratch_ / "a").string(), device, true, dir, mountpoint));
  } catch (fs::filesystem_error const&) {
    threw = true;
  }
  EXPECT_EQ(threw, c.throws);
  EXPECT_EQ(mountpoint, "unchanged");
  EXPECT_TRUE(module_.defect);
  ASSERT_EQ(module_.os_snapshots.size(), c.listed ? 1u : 0u);
  EXPECT_EQ(datto_info().find(a.device()) != std::string::npos, c.listed);
  if (c.listed) {
    EXPECT_EQ(module_.os_snapshots[0].mount_directory, c.mounted ? dir : "");
  }
  EXPECT_EQ(fs::exists(dir + "/data.txt"), c.mounted);
  EXPECT_EQ(scripts_run(), c.scripts);
  EXPECT_THAT(log_.text(), HasSubstr(c.message));

  EXPECT_TRUE(module_.remove_all_OS_snapshots());
  EXPECT_THAT(module_.os_snapshots, IsEmpty());
  EXPECT_THAT(datto_info(), Not(HasSubstr(entry_of(a.device()))));
  if (c.mounted) {
    EXPECT_FALSE(fs::exists(dir));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ListFailTest,
    testing::Values(
        ListFailCase{"BeforeScriptFails",
                     [](SnapModule& m, kstest::OsTools&, fs::path const&, std::string&) {
                       m.before_snapshot_script = fail_script;
                     },
                     false, false, false, {fail_script + " before"}, "Script returns code is not NULL"},
        ListFailCase{"CreationRefusedRunsTheErrorScript",
                     [](SnapModule& m, kstest::OsTools& t, fs::path const&, std::string&) {
                       m.before_snapshot_script = rec;
                       t.fail("dbdctl", 1, "setup-snapshot");
                     },
                     false, false, false, {rec + " before", rec + " error"}, "' after snapshot creation failed"},
        ListFailCase{"MountDirectoryCannotBeMade",
                     [](SnapModule&, kstest::OsTools&, fs::path const& scratch, std::string& dir) {
                       kstest::write_file(scratch / "plain", "x");
                       dir = (scratch / "plain" / "snap").string();
                     },
                     true, true, false, {}, ""},
        ListFailCase{"AfterScriptFails",
                     [](SnapModule& m, kstest::OsTools&, fs::path const&, std::string&) {
                       m.after_snapshot_script = fail_script;
                     },
                     false, true, true, {fail_script + " after"}, "Script returns code is not NULL"},
        // The script's file cannot even be looked at.
        ListFailCase{"AfterScriptNameTooLong",
                     [](SnapModule& m, kstest::OsTools&, fs::path const&, std::string&) {
                       m.after_snapshot_script = "/opt/kestrova/scripts/" + std::string(300, 'x');
                     },
                     true, true, true, {}, "' after snapshot creation"}),
    [](testing::TestParamInfo<ListFailCase> const& info) { return std::string(info.param.name); });

TEST_F(OsTest, RemoveAllReportsAFailedRemovalOfTheSingleSnapshot) {
  kstest::LoopDevice& a = disk("a");
  module_.options_.resource = (scratch_ / "a").string();
  std::string device, dir, mountpoint;
  ASSERT_TRUE(module_.create_OS_snapshot(device, true, dir, mountpoint));
  tools_.fail("dbdctl", 1, "destroy");
  EXPECT_FALSE(module_.remove_all_OS_snapshots());
  EXPECT_THAT(datto_info(), HasSubstr(entry_of(a.device())));
  EXPECT_TRUE(module_.os_snapshot);
  tools_.clear_failures();
  EXPECT_TRUE(module_.remove_all_OS_snapshots());
  EXPECT_THAT(datto_info(), Not(HasSubstr(entry_of(a.device()))));
  EXPECT_FALSE(fs::exists(dir));
}

// ---- the LVM road ------------------------------------------------------------------------

// lsblk reports the resource's device as a logical volume; the stand-in
// lvcreate and lvremove at their fixed paths make the snapshot a file.
class LvmTest : public OsTest {
 public:
  void SetUp() override {
    OsTest::SetUp();
    if (HasFatalFailure()) return;
    lvm_ = std::make_unique<kstest::StandinTools>("/sbin", std::vector<std::string>{"lvcreate", "lvremove"});
    disk("data");
    module_.options_.resource = (scratch_ / "data" / "data.txt").string();
    module_.snapshot_type = "lvm";
    tools_.set("lsblk-bJ", R"({"blockdevices": [{"name": "vg0-data", "size": 33554432, "ro": false, "type": "lvm"}]})");
    tools_.set("lsblk-bfJ", R"({"blockdevices": [{"fstype": "ext4"}]})");
  }
  void TearDown() override {
    lvm_.reset();
    OsTest::TearDown();
  }

  std::string const snapshot_ = "/dev/mapper/vg0-data--ks--snap--42";
  std::unique_ptr<kstest::StandinTools> lvm_;
};

TEST_F(LvmTest, SnapshotOfTheLogicalVolumeFromCreationToRemoval) {
  std::string device, dir, mountpoint;
  ASSERT_TRUE(module_.create_OS_snapshot(device, false, dir, mountpoint));
  EXPECT_EQ(device, snapshot_);
  EXPECT_EQ(mountpoint, (scratch_ / "data").string());
  EXPECT_FALSE(module_.defect);
  // The source is named after lsblk's name of the volume.
  EXPECT_THAT(tools_.calls_of("lvcreate"),
              ElementsAre("lvcreate --size=3355648B --snapshot --name " + snapshot_ + " /dev/mapper/vg0-data"));
  EXPECT_EQ(kstest::read_file(snapshot_), "snapshot of /dev/mapper/vg0-data\n");
  EXPECT_THAT(tools_.calls_of("dbdctl"), IsEmpty());

  ASSERT_TRUE(module_.remove_OS_snapshot());
  EXPECT_THAT(tools_.calls_of("lvremove"), ElementsAre("lvremove -y " + snapshot_));
  EXPECT_FALSE(fs::exists(snapshot_));
  EXPECT_FALSE(module_.os_snapshot);
}

TEST_F(LvmTest, AFailedBeforeScriptLeavesNothingToRemove) {
  module_.before_snapshot_script = fail_script;
  std::string device, dir, mountpoint;
  EXPECT_FALSE(module_.create_OS_snapshot(device, false, dir, mountpoint));
  EXPECT_TRUE(module_.defect);
  EXPECT_FALSE(module_.os_snapshot);
  log_.clear();
  EXPECT_TRUE(module_.remove_OS_snapshot());
  EXPECT_TRUE(module_.remove_all_OS_snapshots());
  EXPECT_THAT(log_.text(), Not(HasSubstr("SnapshotLVM")));
  EXPECT_THAT(tools_.calls_of("lvcreate"), IsEmpty());
  EXPECT_THAT(tools_.calls_of("lvremove"), IsEmpty());
}

TEST_F(LvmTest, ARefusedRemovalIsReportedAndTriedAgain) {
  std::string device, dir, mountpoint;
  ASSERT_TRUE(module_.create_OS_snapshot(device, false, dir, mountpoint));
  tools_.fail("lvremove", 5, "-y");
  EXPECT_FALSE(module_.remove_OS_snapshot());
  EXPECT_THAT(log_.text(), HasSubstr("SnapshotLVM: command: /sbin/lvremove -y " + snapshot_));
  EXPECT_FALSE(module_.remove_all_OS_snapshots());
  EXPECT_TRUE(fs::exists(snapshot_));
  tools_.clear_failures();
  EXPECT_TRUE(module_.remove_all_OS_snapshots());
  EXPECT_FALSE(fs::exists(snapshot_));
  EXPECT_THAT(tools_.calls_of("lvremove"), ElementsAre("lvremove -y " + snapshot_, "lvremove -y " + snapshot_,
                                                       "lvremove -y " + snapshot_));
}

}  // namespace

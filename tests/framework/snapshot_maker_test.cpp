// The snapshot makers against stand-ins of the LVM tools, lsmod and dbdctl
// (tests/standins/ostools), placed at their fixed paths in the sandbox, and
// a /proc/datto-info written by the test or by the stand-in dbdctl: which
// maker the factory gives, the free minor, the lookup of an existing
// snapshot, and the exact commands with their failures.
#include <memory>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/test_util.h"
#include "framework/snapshot.h"
#include "framework_log.h"
#include "os_sandbox.h"

namespace {

namespace fs = boost::filesystem;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::Not;

class MakerTest : public testing::Test {
 protected:
  void SetUp() override {
    KS_REQUIRE_SANDBOX();
    proc_ = std::make_unique<kstest::FakeProc>();
    dev_ = std::make_unique<kstest::DevOverlay>();
  }
  void TearDown() override {
    dev_.reset();
    proc_.reset();
  }
  void datto_info(std::string const& json) const { proc_->write("datto-info", json); }
  void no_datto_info() const { proc_->remove("datto-info"); }
  void dattobd_loaded() const { tools_.set("modules", "dattobd\n"); }

  kstest::FrameworkLog log_{KsLogLvl::Debug};
  kstest::OsTools tools_;
  std::unique_ptr<kstest::FakeProc> proc_;
  std::unique_ptr<kstest::DevOverlay> dev_;
};

// A state file of the driver with these (device, minor) pairs, with the
// other members a real one carries.
std::string datto_state(std::vector<std::pair<std::string, std::string>> const& devices) {
  std::string json = "{\"version\": \"0.11.2\", \"devices\": [";
  for (size_t i = 0; i < devices.size(); ++i) {
    if (i) json += ", ";
    json += "{\"cow_file\": \"/.snap\", \"minor\": " + devices[i].second + ", \"block_device\": \"" +
            devices[i].first + "\", \"state\": 3}";
  }
  return json + "]}";
}

// ---- factory --------------------------------------------------------------------

struct FactoryCase {
  char const* name;
  char const* device_type;
  char const* snapshot_type;
  char const* maker;  // "lvm", "dattobd" or "" for none
  std::vector<std::string> messages;
};

std::ostream& operator<<(std::ostream& out, FactoryCase const& c) { return out << c.name; }

class FactoryTest : public testing::TestWithParam<FactoryCase> {};

TEST_P(FactoryTest, ChoosesTheMakerFromBothTypes) {
  FactoryCase const& c = GetParam();
  kstest::FrameworkLog log;
  std::unique_ptr<Snapshot> maker = SnapshotFactory().createSnapshot(c.device_type, c.snapshot_type);
  std::string const made = !maker ? ""
                           : dynamic_cast<SnapshotLVM*>(maker.get())     ? "lvm"
                           : dynamic_cast<SnapshotDattobd*>(maker.get()) ? "dattobd"
                                                                         : "other";
  EXPECT_EQ(made, c.maker);
  for (auto const& m : c.messages) EXPECT_THAT(log.text(), HasSubstr(m));
  if (c.messages.empty()) {
    EXPECT_EQ(log.text(), "");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Types, FactoryTest,
    testing::Values(
        FactoryCase{"LvmOnLvm", "lvm", "lvm", "lvm", {}},
        FactoryCase{"LvmOnPartition",
                    "part",
                    "lvm",
                    "",
                    {"Unable to use LVM snapshot for non-LVM volume: part, skip",
                     "SnapshotFactory:: it is impossible to determine the snapshot type. Block device type: part, "
                     "snapshot type: lvm"}},
        FactoryCase{"DattobdOnPartition", "part", "dattobd", "dattobd", {}},
        FactoryCase{"DattobdOnLvm", "lvm", "dattobd", "dattobd", {}},
        FactoryCase{"UpperCaseIsWrong", "lvm", "LVM", "", {"SnapshotFactory:: wrong value of OS snapshot type: LVM"}},
        FactoryCase{"EmptyTypeIsWrong", "disk", "", "", {"SnapshotFactory:: wrong value of OS snapshot type: "}}),
    [](testing::TestParamInfo<FactoryCase> const& info) { return std::string(info.param.name); });

// ---- the driver's state: free minors and existing snapshots ------------------------------

struct StateCase {
  char const* name;
  std::string state;  // content of /proc/datto-info; "-" for no such file
  bool ok;
  char const* free_minor;      // when ok
  bool exists;                 // for the device /dev/sdb1, when ok
  char const* existing_minor;  // when exists
  char const* message;         // in the log of a failure
};

std::ostream& operator<<(std::ostream& out, StateCase const& c) { return out << c.name; }

class DattoStateTest : public MakerTest, public testing::WithParamInterface<StateCase> {};

TEST_P(DattoStateTest, FreeMinorAndExistingSnapshot) {
  StateCase const& c = GetParam();
  if (c.state == "-")
    no_datto_info();
  else
    datto_info(c.state);
  SnapshotDattobd maker;

  std::string minor = "unset";
  EXPECT_EQ(maker.get_dattobd_free_minor(minor), c.ok && std::string(c.free_minor) != "-");
  if (c.ok && std::string(c.free_minor) != "-") {
    EXPECT_EQ(minor, c.free_minor);
  }

  bool exists = true;
  std::string existing;
  EXPECT_EQ(maker.is_dattobd_snapshot_exists("/dev/sdb1", exists, existing), c.ok);
  EXPECT_EQ(exists, c.ok && c.exists);
  if (c.ok && c.exists) {
    EXPECT_EQ(existing, c.existing_minor);
  }
  if (*c.message) {
    EXPECT_THAT(log_.text(), HasSubstr(c.message));
  }
}

std::string const free_sig = "bool SnapshotDattobd::get_dattobd_free_minor(std::__cxx11::string&)";
std::string const exists_sig =
    "bool SnapshotDattobd::is_dattobd_snapshot_exists(const string&, bool&, std::__cxx11::string&) const";

INSTANTIATE_TEST_SUITE_P(
    States, DattoStateTest,
    testing::Values(
        StateCase{"NoDevices", datto_state({}), true, "0", false, "", ""},
        // Minors below the largest in use are not reused.
        StateCase{"GapIsNotReused", datto_state({{"/dev/sda1", "0"}, {"/dev/sdc", "2"}}), true, "3", false, "", ""},
        StateCase{"DeviceListed", datto_state({{"/dev/sda1", "4"}, {"/dev/sdb1", "1"}}), true, "5", true, "1", ""},
        StateCase{"OtherMembersIgnored",
                  R"({"x": [1], "devices": [{"minor": 7, "block_device": "/dev/sdb1", "cow_file": "/.c"}], "y": {}})",
                  true, "8", true, "7", ""},
        StateCase{"MinorAsText", R"({"devices": [{"minor": "9", "block_device": "/dev/sdb1"}]})", true, "10", true,
                  "9", ""},
        // A prefix of the device is another device.
        StateCase{"PrefixIsNotTheDevice", datto_state({{"/dev/sdb", "3"}, {"/dev/sdb12", "6"}}), true, "7", false, "",
                  ""},
        StateCase{"EntriesWithoutMinor", R"({"devices": [{"block_device": "/dev/sda"}]})", true, "0", false, "", ""},
        // Without a "devices" member there is no snapshot, but no minor can
        // be chosen either.
        StateCase{"NoDevicesMember", R"({"version": "0.11.2"})", true, "-", false, "", ""},
        StateCase{"DevicesNotArray", R"({"devices": {"minor": 1}})", false, "", false, "",
                  ": json value is not an array"},
        StateCase{"TopIsArray", "[1, 2]", false, "", false, "", ": json value is not an object"},
        StateCase{"TopIsEmpty", "{}", false, "", false, "", ": json object value is empty"},
        StateCase{"ElementNotObject", R"({"devices": [3]})", false, "", false, "", ": json value is not an object"},
        StateCase{"ElementEmpty", R"({"devices": [{}]})", false, "", false, "", ": json object value is empty"},
        // Not JSON at all: a failed lookup, not an exception.
        StateCase{"NotJson", "dattobd: garbage\n", false, "", false, "", ": json parsing failed: "},
        StateCase{"NoStateFile", "-", false, "", false, "", ": command: cat /proc/datto-info"}),
    [](testing::TestParamInfo<StateCase> const& info) { return std::string(info.param.name); });

TEST_F(MakerTest, MinorThatIsNotANumberFailsTheChoiceWithoutThrowing) {
  datto_info(R"({"devices": [{"minor": "x1", "block_device": "/dev/sda"}]})");
  SnapshotDattobd maker;
  std::string minor;
  EXPECT_FALSE(maker.get_dattobd_free_minor(minor));
  EXPECT_THAT(log_.text(), HasSubstr(free_sig + ": can't convert x1"));
}

TEST_F(MakerTest, FailureMessagesBeginWithTheReadersSignature) {
  datto_info("{}");
  SnapshotDattobd maker;
  std::string minor;
  bool exists;
  maker.get_dattobd_free_minor(minor);
  maker.is_dattobd_snapshot_exists("/dev/sda", exists, minor);
  EXPECT_THAT(log_.text(), HasSubstr(free_sig + ": json object value is empty"));
  EXPECT_THAT(log_.text(), HasSubstr(exists_sig + ": json object value is empty"));
}

// ---- dattobd check ----------------------------------------------------------------

TEST_F(MakerTest, CheckWithoutTheDriverLoadedLooksNoFurther) {
  tools_.set("modules", "loop\next4\n");
  datto_info(datto_state({}));
  SnapshotDattobd maker;
  EXPECT_FALSE(maker.check("/dev/sdb1"));
  EXPECT_THAT(log_.text(), HasSubstr("Dattobd is not ready or not installed"));
  EXPECT_THAT(tools_.calls(), ElementsAre("lsmod"));
}

TEST_F(MakerTest, CheckRefusesADeviceThatHasASnapshotAndNamesTheDestroyCommand) {
  dattobd_loaded();
  datto_info(datto_state({{"/dev/sda1", "0"}, {"/dev/sdb1", "2"}}));
  SnapshotDattobd maker;
  EXPECT_FALSE(maker.check("/dev/sdb1"));
  EXPECT_THAT(log_.text(), HasSubstr("Can't create dattobd snapshot of the device /dev/sdb1. The snapshot exists: "
                                     "/dev/datto2"));
  EXPECT_THAT(log_.text(), HasSubstr("You can remove it by hand if you are sure it is obsoleted. Command to destroy "
                                     "the snapshot: dbdctl destroy 2"));
}

TEST_F(MakerTest, CheckChoosesTheNextMinorAndCreateUsesIt) {
  dattobd_loaded();
  datto_info(datto_state({{"/dev/sda1", "0"}, {"/dev/sdc", "2"}}));
  tools_.fail("dbdctl", 0, "setup-snapshot");  // accepted without doing anything
  SnapshotDattobd maker;
  ASSERT_TRUE(maker.check("/dev/sdb1"));
  EXPECT_THAT(log_.text(), HasSubstr("Free dattobd minor to create a snapshot: 3"));
  std::string path;
  ASSERT_TRUE(maker.create("/dev/sdb1", "sdb1", "/srv", "77", 1610612736, path));
  EXPECT_EQ(path, "/dev/datto3");
  EXPECT_THAT(tools_.calls_of("dbdctl"), ElementsAre("dbdctl setup-snapshot -f 1536 /dev/sdb1 /srv/.kestrova_dattobd_77 3"));
  EXPECT_THAT(log_.text(), HasSubstr("Dattobd snapshot was created: /dev/datto3"));
}

TEST_F(MakerTest, CheckWithABrokenStateFails) {
  dattobd_loaded();
  datto_info("[]");
  SnapshotDattobd maker;
  EXPECT_FALSE(maker.check("/dev/sdb1"));
  EXPECT_THAT(log_.text(), HasSubstr("SnapshotDattobd::check: can't check weather dattobd snapshot exists for the "
                                     "device: /dev/sdb1"));
}

TEST_F(MakerTest, CheckWithoutADevicesMemberCannotChooseAMinor) {
  dattobd_loaded();
  datto_info(R"({"version": "0.11.2"})");
  SnapshotDattobd maker;
  EXPECT_FALSE(maker.check("/dev/sdb1"));
  EXPECT_THAT(log_.text(), HasSubstr("Can't get free minor of dattobd to create snapshot"));
}

// ---- dattobd create and remove ---------------------------------------------------------

struct SizeCase {
  uintmax_t bytes;
  char const* mib;
};

TEST_F(MakerTest, CreateAsksForTheSizeInWholeMebibytes) {
  dattobd_loaded();
  tools_.fail("dbdctl", 0, "setup-snapshot");
  for (SizeCase c : {SizeCase{1610612736, "1536"}, SizeCase{1048575, "0"}, SizeCase{3 * 1048576 + 5, "3"},
                     SizeCase{1048576, "1"}}) {
    datto_info(datto_state({}));
    tools_.clear();
    SnapshotDattobd maker;
    ASSERT_TRUE(maker.check("/dev/sdb1"));
    std::string path;
    ASSERT_TRUE(maker.create("/dev/sdb1", "sdb1", "/", "5", c.bytes, path));
    EXPECT_THAT(tools_.calls_of("dbdctl"),
                ElementsAre(std::string("dbdctl setup-snapshot -f ") + c.mib + " /dev/sdb1 //.kestrova_dattobd_5 0"))
        << c.bytes;
  }
}

TEST_F(MakerTest, CreateKeepsAMountPointWithBlanksOneWord) {
  dattobd_loaded();
  datto_info(datto_state({}));
  tools_.fail("dbdctl", 0, "setup-snapshot");
  SnapshotDattobd maker;
  ASSERT_TRUE(maker.check("/dev/sdb1"));
  std::string path;
  ASSERT_TRUE(maker.create("/dev/sdb1", "sdb1", "/srv/my data", "t'1", 1048576, path));
  EXPECT_THAT(tools_.calls_of("dbdctl"),
              ElementsAre("dbdctl setup-snapshot -f 1 /dev/sdb1 '/srv/my data/.kestrova_dattobd_t'\\''1' 0"));
}

TEST_F(MakerTest, CreateWithoutACheckRunsNothing) {
  SnapshotDattobd maker;
  std::string path = "unchanged";
  EXPECT_FALSE(maker.create("/dev/sdb1", "sdb1", "/", "5", 1048576, path));
  EXPECT_EQ(path, "unchanged");
  EXPECT_THAT(tools_.calls_of("dbdctl"), IsEmpty());
}

TEST_F(MakerTest, RefusedCreateLogsTheCommandAndTheToolsOutput) {
  dattobd_loaded();
  datto_info(datto_state({}));
  tools_.fail("dbdctl", 1, "setup-snapshot");
  SnapshotDattobd maker;
  ASSERT_TRUE(maker.check("/dev/sdb1"));
  std::string path = "unchanged";
  EXPECT_FALSE(maker.create("/dev/sdb1", "sdb1", "/srv", "5", 1048576, path));
  EXPECT_EQ(path, "unchanged");
  std::string const sig =
      "virtual bool SnapshotDattobd::create(const string&, const string&, const string&, const string&, uintmax_t, "
      "std::__cxx11::string&)";
  EXPECT_THAT(log_.text(), HasSubstr(sig + ": command: dbdctl setup-snapshot -f 1 /dev/sdb1 /srv/.kestrova_dattobd_5 0"));
  EXPECT_THAT(log_.text(), HasSubstr("dbdctl: forced failure"));
}

// The whole life of a dattobd snapshot of a real loop device: the stand-in
// dbdctl records it in /proc/datto-info, and removal looks it up there again.
TEST_F(MakerTest, RemoveLooksTheSnapshotUpAgainAndDestroysIt) {
  kstest::TempDir scratch;
  kstest::LoopDevice disk(scratch / "disk.img", 32, "mkfs.ext4 -q");
  fs::create_directory(scratch / "fs");
  kstest::ScopedMount mounted(disk.device(), (scratch / "fs").string());
  dattobd_loaded();
  datto_info(datto_state({{"/dev/other", "4"}}));

  SnapshotDattobd maker;
  ASSERT_TRUE(maker.check(disk.device()));
  std::string path;
  ASSERT_TRUE(maker.create(disk.device(), disk.name(), (scratch / "fs").string(), "42", 8 * 1048576, path));
  EXPECT_EQ(path, "/dev/datto5");
  EXPECT_TRUE(fs::exists("/dev/datto5"));
  EXPECT_THAT(kstest::read_file("/proc/datto-info"), HasSubstr(disk.device()));

  // A second maker (as after a restart) finds it through the driver's state.
  SnapshotDattobd other;
  EXPECT_FALSE(other.check(disk.device()));
  tools_.clear();
  ASSERT_TRUE(other.remove(disk.device()));
  EXPECT_THAT(tools_.calls_of("dbdctl"), ElementsAre("dbdctl destroy 5"));
  EXPECT_THAT(log_.text(), HasSubstr("Dattobd snapshot was destroyed: /dev/datto5"));
  EXPECT_FALSE(fs::exists("/dev/datto5"));
  EXPECT_THAT(kstest::read_file("/proc/datto-info"), Not(HasSubstr(disk.device())));
}

TEST_F(MakerTest, RemoveOfADeviceWithoutSnapshotDestroysNothing) {
  datto_info(datto_state({{"/dev/sda1", "0"}}));
  SnapshotDattobd maker;
  EXPECT_TRUE(maker.remove("/dev/sdb1"));
  EXPECT_THAT(tools_.calls_of("dbdctl"), IsEmpty());
}

// Without the driver's state nobody knows whether a snapshot is left behind.
TEST_F(MakerTest, RemoveFailsWhenTheStateCannotBeRead) {
  for (std::string state : {std::string("-"), std::string("not json"), std::string("{}")}) {
    if (state == "-")
      no_datto_info();
    else
      datto_info(state);
    SnapshotDattobd maker;
    EXPECT_FALSE(maker.remove("/dev/sdb1")) << state;
  }
  EXPECT_THAT(tools_.calls_of("dbdctl"), IsEmpty());
}

TEST_F(MakerTest, RefusedDestroyFailsTheRemoval) {
  datto_info(datto_state({{"/dev/sdb1", "6"}}));
  tools_.fail("dbdctl", 1, "destroy");
  SnapshotDattobd maker;
  EXPECT_FALSE(maker.remove("/dev/sdb1"));
  EXPECT_THAT(log_.text(), HasSubstr("virtual bool SnapshotDattobd::remove(const string&): command: dbdctl destroy 6"));
  EXPECT_THAT(log_.text(), HasSubstr("dbdctl: forced failure"));
}

// ---- LVM ------------------------------------------------------------------------------

std::string const lvm_sig =
    "virtual bool SnapshotLVM::create(const string&, const string&, const string&, const string&, uintmax_t, "
    "std::__cxx11::string&)";

TEST_F(MakerTest, LvmSnapshotIsMadeReadAndRemoved) {
  SnapshotLVM maker;
  EXPECT_TRUE(maker.check("/dev/vg0/root"));
  std::string path;
  ASSERT_TRUE(maker.create("/dev/vg0/root", "vg0-root", "/unused", "42", 1073741824, path));
  EXPECT_EQ(path, "/dev/mapper/vg0-root--ks--snap--42");
  EXPECT_THAT(log_.text(), HasSubstr("The snapshot was created: /dev/mapper/vg0-root--ks--snap--42"));
  ASSERT_TRUE(maker.remove("/dev/vg0/root"));
  EXPECT_THAT(tools_.calls(),
              ElementsAre("lvcreate --size=1073741824B --snapshot --name /dev/mapper/vg0-root--ks--snap--42 "
                          "/dev/mapper/vg0-root",
                          "lvremove -y /dev/mapper/vg0-root--ks--snap--42"));
  EXPECT_THAT(log_.text(), HasSubstr("LVM snapshot was removed: /dev/mapper/vg0-root--ks--snap--42"));
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(MakerTest, LvmNamesWithShellCharactersStayOneWord) {
  for (std::string task : {"a b", "x'y", "$(touch /opt/ks-owned)", "`id`;"}) {
    tools_.clear();
    SnapshotLVM maker;
    std::string path;
    ASSERT_TRUE(maker.create("/dev/vg0/root", "vg0-root", "/", task, 1024, path)) << task;
    EXPECT_EQ(path, "/dev/mapper/vg0-root--ks--snap--" + task);
    std::vector<std::string> calls = tools_.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], "lvcreate --size=1024B --snapshot --name " + kstest::sh_quote(path) + " /dev/mapper/vg0-root");
    ASSERT_TRUE(maker.remove("/dev/vg0/root")) << task;
    EXPECT_FALSE(fs::exists(path) || fs::is_symlink(path)) << task;
  }
  EXPECT_FALSE(fs::exists("/opt/ks-owned"));
}

TEST_F(MakerTest, RemoveBeforeAnyCreateRefuses) {
  SnapshotLVM maker;
  EXPECT_FALSE(maker.remove("/dev/vg0/root"));
  EXPECT_THAT(log_.text(), HasSubstr("SnapshotLVM: LVM snapshot path is empty, unable to remove LVM snapshot"));
  EXPECT_THAT(tools_.calls(), IsEmpty());
}

TEST_F(MakerTest, RefusedLvcreateKeepsThePathForALaterRemove) {
  tools_.fail("lvcreate", 5, "--snapshot");
  SnapshotLVM maker;
  std::string path = "unchanged";
  EXPECT_FALSE(maker.create("/dev/vg0/root", "vg0-root", "/", "42", 4096, path));
  EXPECT_EQ(path, "unchanged");
  std::string const text = log_.text();
  EXPECT_THAT(text, HasSubstr(lvm_sig + ": Unable create LVM snapshot for /dev/mapper/vg0-root"));
  EXPECT_THAT(text, HasSubstr("Command: /sbin/lvcreate --size=4096B --snapshot --name "
                              "'/dev/mapper/vg0-root--ks--snap--42' /dev/mapper/vg0-root"));
  EXPECT_THAT(text, HasSubstr("lvcreate: forced failure"));
  EXPECT_THAT(text, HasSubstr("LVM snapshot wasn't created"));
  // The path is known, so the clean-up tries it.
  EXPECT_FALSE(maker.remove("/dev/vg0/root"));
  EXPECT_THAT(tools_.calls_of("lvremove"), ElementsAre("lvremove -y /dev/mapper/vg0-root--ks--snap--42"));
  EXPECT_THAT(log_.text(), HasSubstr("SnapshotLVM: command: /sbin/lvremove -y /dev/mapper/vg0-root--ks--snap--42"));
}

TEST_F(MakerTest, UnreadableLvmSnapshotIsRemovedAgain) {
  tools_.set("lvm-unreadable");
  SnapshotLVM maker;
  std::string path;
  EXPECT_FALSE(maker.create("/dev/vg0/root", "vg0-root", "/", "42", 4096, path));
  EXPECT_THAT(log_.text(), HasSubstr(lvm_sig + ": Unable to read LVM snapshot: /dev/mapper/vg0-root--ks--snap--42. "
                                               "Error: No such file or directory"));
  EXPECT_THAT(tools_.calls_of("lvremove"), ElementsAre("lvremove -y /dev/mapper/vg0-root--ks--snap--42"));
  EXPECT_THAT(log_.text(), HasSubstr("LVM snapshot has been deleted"));
  EXPECT_FALSE(fs::is_symlink(path));
}

}  // namespace

// Finding the device of a just-attached volume, over scratch directories that
// play /dev and /sys: device nodes made with mknod (never opened), serial
// links and sysfs serials, and hints that are right, wrong, stale, another
// volume's or not devices at all. Also the plain block-device check the paths
// share.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cctype>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_util.h"
#include "log_capture.h"
#include "rustack/attached_device.h"
#include "rustack/ks_module_rustack.h"

namespace {

namespace fs = boost::filesystem;
using rustack_device::probe_result;

char const* const kVolume = "0123456789abcdef0123456789abcdef0123";
// The virtio serial keeps the first 20 characters of the volume id.
char const* const kSerial = "disk/by-id/virtio-0123456789abcdef0123";
// The links of QEMU's SCSI disks: 20 characters, or the whole id.
char const* const kScsiSerial = "disk/by-id/scsi-0QEMU_QEMU_HARDDISK_0123456789abcdef0123";
char const* const kScsiWholeId = "disk/by-id/scsi-SQEMU_QEMU_HARDDISK_0123456789abcdef0123456789abcdef0123";
// Another volume's.
char const* const kOtherSerial = "fedcba9876543210fedc";

// A scratch /dev and /sys. Nodes get distinct device numbers of a major no
// test opens.
class FakeDev {
 public:
  std::string root() const { return (dir_ / "dev").string(); }
  rustack_device::device_roots roots() const { return {root(), (dir_ / "sys").string()}; }
  std::string at(std::string const& rel) const { return (fs::path(root()) / rel).string(); }

  void node(std::string const& rel, unsigned minor) const {
    fs::create_directories(fs::path(at(rel)).parent_path());
    if (::mknod(at(rel).c_str(), S_IFBLK | 0600, makedev(240, minor)) != 0)
      throw std::runtime_error("mknod " + at(rel) + " failed (the tests run as root)");
  }
  // The node at `rel` removed and made again with that number, as when the
  // disk that had the name went and another took it (virtio gives the name's
  // number again). Made before the old one goes, so its inode differs.
  void renew(std::string const& rel, unsigned minor) const {
    std::string const fresh = at(rel) + ".new";
    if (::mknod(fresh.c_str(), S_IFBLK | 0600, makedev(240, minor)) != 0)
      throw std::runtime_error("mknod " + fresh + " failed (the tests run as root)");
    fs::rename(fresh, at(rel));
  }
  void file(std::string const& rel) const {
    fs::create_directories(fs::path(at(rel)).parent_path());
    kstest::write_file(at(rel), "not a disk");
  }
  void link(std::string const& rel, std::string const& target) const {
    fs::create_directories(fs::path(at(rel)).parent_path());
    fs::create_symlink(target, at(rel));
  }
  // Sysfs shows the node of that minor as a partition.
  void sys_partition(unsigned minor) const {
    fs::path const dir = dir_ / "sys/dev/block" / ("240:" + std::to_string(minor));
    fs::create_directories(dir);
    kstest::write_file((dir / "partition").string(), "1\n");
  }
  // The serial that sysfs shows for the node of that minor (a virtio disk).
  void sys_serial(unsigned minor, std::string const& serial) const {
    fs::path const dir = dir_ / "sys/dev/block" / ("240:" + std::to_string(minor));
    fs::create_directories(dir);
    kstest::write_file((dir / "serial").string(), serial + "\n");
  }

 private:
  kstest::TempDir dir_;
};

TEST(BlockDeviceCensus, CountsNodesAtAnyDepthButNotLinksOrFiles) {
  FakeDev dev;
  dev.node("vda", 1);
  dev.node("mapper/root", 2);
  dev.link("disk/by-id/virtio-x", "../../vda");
  dev.file("vdz");
  ASSERT_EQ(::mknod(dev.at("tty9").c_str(), S_IFCHR | 0600, makedev(240, 3)), 0);

  std::set<std::string> found;
  for (auto const& entry : rustack_device::block_devices_under(dev.root())) found.insert(entry.first);
  EXPECT_EQ(found, (std::set<std::string>{dev.at("vda"), dev.at("mapper/root")}));
}

struct ProbeCase {
  char const* what;
  std::vector<std::string> before;  // block nodes present before the attach
  void (*after)(FakeDev const&);    // what the attach brought
  std::string hint;                 // relative to the scratch /dev; "" for none
  probe_result::state_type state;
  std::string device;  // relative; for found
  std::string reason;  // a part of it, for unusable and refused
  bool by_serial = false;  // for found: a serial of the device speaks for it
};

class Probe : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(Probe, DecidesFromSerialAndHint) {
  ProbeCase const& c = GetParam();
  FakeDev dev;
  unsigned minor = 10;
  for (auto const& rel : c.before) dev.node(rel, minor++);
  auto const before = rustack_device::block_devices_under(dev.root());
  c.after(dev);

  std::string const hint = c.hint.empty() ? "" : c.hint[0] == '!' ? c.hint.substr(1) : dev.at(c.hint);
  auto const r = rustack_device::probe_attached_device(dev.roots(), hint, kVolume, before, "kestrova-vm");
  EXPECT_EQ(r.state, c.state);
  if (c.state == probe_result::found) {
    EXPECT_EQ(r.device, dev.at(c.device));
    EXPECT_EQ(r.by_serial, c.by_serial);
  }
  EXPECT_NE(r.reason.find(c.reason), std::string::npos) << r.reason;
}

INSTANTIATE_TEST_SUITE_P(
    AttachedDevice, Probe,
    ::testing::Values(
        ProbeCase{"new node at the hint", {"vda"}, [](FakeDev const& d) { d.node("vdb", 1); }, "vdb",
                  probe_result::found, "vdb", ""},
        ProbeCase{"hint names a disk that was there before", {"vda", "vdb"}, [](FakeDev const&) {}, "vdb",
                  probe_result::unusable, "", "was already present on server 'kestrova-vm' before the attach"},
        ProbeCase{"hint is a regular file", {"vda"}, [](FakeDev const& d) { d.file("vdb"); }, "vdb",
                  probe_result::unusable, "",
                  ": volume was attached to server: 'kestrova-vm' as device '"},
        // The hint is no device, but the one disk that appeared is.
        ProbeCase{"hint is a link to a new node", {}, [](FakeDev const& d) {
                    d.node("loop7", 1);
                    d.link("vdb", "loop7");
                  }, "vdb", probe_result::found, "loop7", ""},
        ProbeCase{"hint is not an absolute path", {}, [](FakeDev const&) {}, "!.",
                  probe_result::unusable, "", "is not an absolute path"},
        ProbeCase{"nothing there yet", {"vda"}, [](FakeDev const&) {}, "vdb", probe_result::waiting, "", ""},
        ProbeCase{"no hint and no serial: the one new disk", {"vda"}, [](FakeDev const& d) { d.node("vdb", 1); }, "",
                  probe_result::found, "vdb", ""},
        // Another module attached its disk before this one took the lock, and
        // the cloud names that one: the disk that appeared since is taken.
        ProbeCase{"crossed hint: the one new disk", {"vda", "vdc"}, [](FakeDev const& d) { d.node("vdb", 1); },
                  "vdc", probe_result::found, "vdb", ""},
        // Another module's disk went from vdb meanwhile and this volume's
        // took the name: a node made anew is a new disk.
        ProbeCase{"a name given again: the new node at the hint", {"vda", "vdb"},
                  [](FakeDev const& d) { d.renew("vdb", 11); }, "vdb", probe_result::found, "vdb", ""},
        ProbeCase{"a name given again, the hint crossed: the new node", {"vda", "vdb", "vdc"},
                  [](FakeDev const& d) { d.renew("vdb", 11); }, "vdc", probe_result::found, "vdb", ""},
        ProbeCase{"missing hint: the one new disk", {"vda"}, [](FakeDev const& d) { d.node("vdc", 1); }, "vdz",
                  probe_result::found, "vdc", ""},
        ProbeCase{"two new disks and no serial tell nothing", {"vda"}, [](FakeDev const& d) {
                    d.node("vdb", 1);
                    d.node("vdc", 2);
                  }, "vdb", probe_result::unusable, "", "2 new block devices appeared on server 'kestrova-vm' ("},
        ProbeCase{"two new disks and a missing hint tell nothing", {"vda"}, [](FakeDev const& d) {
                    d.node("vdb", 1);
                    d.node("vdc", 2);
                  }, "vdz", probe_result::unusable, "", "and nothing tells which of them is volume '"},
        // One disk may come with a second node of its own, and with partitions.
        ProbeCase{"a disk with a loop node of its own is one disk", {"vda"}, [](FakeDev const& d) {
                    d.node("loop3", 1);
                    d.node("vdb", 1);
                  }, "vdz", probe_result::found, "vdb", ""},
        ProbeCase{"partitions of the new disk are no disks", {"vda"}, [](FakeDev const& d) {
                    d.node("vdb", 1);
                    d.node("vdb1", 2);
                    d.sys_partition(2);
                  }, "vdq", probe_result::found, "vdb", ""},
        ProbeCase{"a new partition at the hint is no disk", {"vda"}, [](FakeDev const& d) {
                    d.node("vdb1", 2);
                    d.sys_partition(2);
                  }, "vdb1", probe_result::unusable, "", "is no disk of its own"},
        ProbeCase{"serial overrules a hint that names an old disk", {"vda"}, [](FakeDev const& d) {
                    d.node("vdc", 1);
                    d.link(kSerial, "../../vdc");
                  }, "vda", probe_result::found, "vdc", "", true},
        ProbeCase{"serial overrules a hint that is a new but other disk", {"vda"}, [](FakeDev const& d) {
                    d.node("vdb", 1);
                    d.node("vdc", 2);
                    d.link(kSerial, "../../vdc");
                  }, "vdb", probe_result::found, "vdc", "", true},
        ProbeCase{"serial and hint agree: the hint's name is kept", {}, [](FakeDev const& d) {
                    d.node("vdb", 1);
                    d.node("loop3", 1);
                    d.link(kSerial, "../../loop3");
                  }, "vdb", probe_result::found, "vdb", "", true},
        ProbeCase{"serial as a node of its own", {}, [](FakeDev const& d) { d.node(kSerial, 1); }, "vdq",
                  probe_result::found, kSerial, "", true},
        ProbeCase{"serial link leads to a regular file", {}, [](FakeDev const& d) {
                    d.file("vdb");
                    d.link(kSerial, "../../vdb");
                  }, "vdb", probe_result::refused, "", "which is not a block device"},
        ProbeCase{"dangling serial link: wait, even with a usable hint", {}, [](FakeDev const& d) {
                    d.node("vdb", 1);
                    d.link(kSerial, "../../vdx");
                  }, "vdb", probe_result::waiting, "", ""},
        ProbeCase{"a link named with the whole id is no serial link", {"vda"}, [](FakeDev const& d) {
                    d.node("vdc", 1);
                    d.link(std::string("disk/by-id/virtio-") + kVolume, "../../vdc");
                  }, "vda", probe_result::unusable, "", "already present"},
        // QEMU's SCSI disks: their links carry the serial too.
        ProbeCase{"scsi serial link overrules the hint", {"vda"}, [](FakeDev const& d) {
                    d.node("sdc", 1);
                    d.link(kScsiSerial, "../../sdc");
                  }, "vda", probe_result::found, "sdc", "", true},
        ProbeCase{"scsi link with the whole id", {"vda"}, [](FakeDev const& d) {
                    d.node("sdb", 1);
                    d.link(kScsiWholeId, "../../sdb");
                  }, "sdb", probe_result::found, "sdb", "", true},
        // A new device at the hint that is evidently another volume's: attached
        // at the same time for another backup or restore.
        ProbeCase{"new hint that another volume's virtio link names", {"vda"}, [](FakeDev const& d) {
                    d.node("vdb", 1);
                    d.link(std::string("disk/by-id/virtio-") + kOtherSerial, "../../vdb");
                  }, "vdb", probe_result::unusable, "",
                  std::string("' names it with the serial '") + kOtherSerial + "'"},
        ProbeCase{"new hint that another volume's scsi link names", {"vda"}, [](FakeDev const& d) {
                    d.node("sdb", 1);
                    d.link(std::string("disk/by-id/scsi-0QEMU_QEMU_HARDDISK_") + kOtherSerial, "../../sdb");
                  }, "sdb", probe_result::unusable, "",
                  std::string("names it with the serial '") + kOtherSerial + "'"},
        ProbeCase{"new hint whose sysfs serial is another volume's", {"vda"}, [](FakeDev const& d) {
                    d.node("vdb", 1);
                    d.sys_serial(1, kOtherSerial);
                  }, "vdb", probe_result::unusable, "",
                  std::string("' on server 'kestrova-vm' belongs to another disk: its serial is '") + kOtherSerial +
                      "'"},
        ProbeCase{"new hint whose sysfs serial is the volume's", {"vda"}, [](FakeDev const& d) {
                    d.node("vdb", 1);
                    d.sys_serial(1, "0123456789abcdef0123");
                  }, "vdb", probe_result::found, "vdb", "", true},
        ProbeCase{"links of other devices and of no known form say nothing", {"vda"}, [](FakeDev const& d) {
                    d.node("vdb", 1);
                    d.node("vdc1", 2);
                    d.link(std::string("disk/by-id/virtio-") + kOtherSerial + "-part1", "../../vdc1");
                    d.link("disk/by-id/wwn-0x5000c500a1b2c3d4", "../../vdb");
                  }, "vdb", probe_result::found, "vdb", ""}),
    [](auto const& info) {
      std::string name;
      for (char c : std::string(info.param.what)) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

TEST(DeviceWait, FindsADeviceThatAppearsAfterSomePolls) {
  FakeDev dev;
  dev.node("vda", 1);
  auto const before = rustack_device::block_devices_under(dev.root());
  std::thread udev([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    dev.node("vdb", 2);
  });
  std::string device;
  int const rc = rustack_device::wait_for_attached_device(dev.roots(), dev.at("vdb"), kVolume, before, "kvm", "sig",
                                                          ": timed out", device, {5, 1});
  udev.join();
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(device, dev.at("vdb"));
}

TEST(DeviceWait, NamesTheSerialDeviceWhenTheCloudReportedAnother) {
  kstest::LogCapture log;
  FakeDev dev;
  dev.node("vda", 1);
  auto const before = rustack_device::block_devices_under(dev.root());
  dev.node("vdc", 2);
  dev.link(kSerial, "../../vdc");
  std::string device;
  EXPECT_EQ(rustack_device::wait_for_attached_device(dev.roots(), dev.at("vda"), kVolume, before, "kvm", "sig",
                                                     ": timed out", device, {3, 1}),
            0);
  EXPECT_EQ(device, dev.at("vdc"));
  EXPECT_TRUE(log.contains("The cloud reported device '" + dev.at("vda") + "' for volume '" + kVolume +
                           "', its serial names '" + dev.at("vdc") + "'"))
      << log.text();
}

TEST(DeviceWait, UnusableHintWithoutSerialFailsClearlyAfterTheGrace) {
  kstest::LogCapture log;
  FakeDev dev;
  dev.node("vda", 1);
  auto const before = rustack_device::block_devices_under(dev.root());
  std::string device = "untouched";
  auto const start = std::chrono::steady_clock::now();
  EXPECT_EQ(rustack_device::wait_for_attached_device(dev.roots(), dev.at("vda"), kVolume, before, "kvm", "SIG",
                                                     ": timed out", device, {300, 2}),
            2);
  auto const waited = std::chrono::steady_clock::now() - start;
  // The grace, not the whole bound.
  EXPECT_LT(waited, std::chrono::seconds(10));
  EXPECT_EQ(device, "untouched");
  std::string const text = log.text();
  EXPECT_NE(text.find("SIG: the device '" + dev.at("vda") + "' reported for volume '" + kVolume +
                      "' was already present on server 'kvm' before the attach"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("SIG: no device with the serial of volume '" + std::string(kVolume) + "' (" + dev.at(kSerial) +
                      ") appeared on server 'kvm', so its device cannot be told"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("timed out"), std::string::npos);
}

TEST(DeviceWait, NothingAtAllEndsWithTheTimeoutMessage) {
  kstest::LogCapture log;
  FakeDev dev;
  std::string device;
  EXPECT_EQ(rustack_device::wait_for_attached_device(dev.roots(), dev.at("vdb"), kVolume, {}, "kvm", "SIG",
                                                     ": gone. Break by timeout 2", device, {2, 1}),
            2);
  EXPECT_TRUE(log.contains("SIG: gone. Break by timeout 2")) << log.text();
}

TEST(DeviceWait, SerialLinkToAFileFailsAtOnce) {
  kstest::LogCapture log;
  FakeDev dev;
  dev.file("vdb");
  dev.link(kSerial, "../../vdb");
  std::string device;
  auto const start = std::chrono::steady_clock::now();
  EXPECT_EQ(rustack_device::wait_for_attached_device(dev.roots(), dev.at("vdb"), kVolume, {}, "kvm", "SIG",
                                                     ": timed out", device, {300, 10}),
            2);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_TRUE(log.contains("which is not a block device")) << log.text();
}

// With no serial to read, a new device at the hint is taken at the second
// look, once udev has had the time to name it.
TEST(DeviceWait, ANewDeviceWithoutSerialIsTakenAtTheSecondLook) {
  FakeDev dev;
  dev.node("vda", 1);
  auto const before = rustack_device::block_devices_under(dev.root());
  dev.node("vdb", 2);
  std::string device;
  auto const start = std::chrono::steady_clock::now();
  EXPECT_EQ(rustack_device::wait_for_attached_device(dev.roots(), dev.at("vdb"), kVolume, before, "kvm", "SIG",
                                                     ": timed out", device, {300, 10}),
            0);
  auto const waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(900));
  EXPECT_LT(waited, std::chrono::seconds(3));
  EXPECT_EQ(device, dev.at("vdb"));
}

// Another backup attached its volume at the same moment, the cloud named
// that disk, and udev names it after the first look: it is never taken, and
// the wait fails clearly.
TEST(DeviceWait, AnotherVolumesNewDiskIsNeverTaken) {
  kstest::LogCapture log;
  FakeDev dev;
  dev.node("vda", 1);
  auto const before = rustack_device::block_devices_under(dev.root());
  dev.node("vdb", 2);
  std::string const other_link = std::string("disk/by-id/virtio-") + kOtherSerial;
  std::thread udev([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    dev.link(other_link, "../../vdb");
  });
  std::string device = "untouched";
  int const rc = rustack_device::wait_for_attached_device(dev.roots(), dev.at("vdb"), kVolume, before, "kvm", "SIG",
                                                          ": timed out", device, {300, 1});
  udev.join();
  EXPECT_EQ(rc, 2);
  EXPECT_EQ(device, "untouched");
  std::string const text = log.text();
  EXPECT_NE(text.find("SIG: the device '" + dev.at("vdb") + "' reported for volume '" + kVolume +
                      "' on server 'kvm' belongs to another disk: '" + dev.at(other_link) +
                      "' names it with the serial '" + kOtherSerial + "'"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("SIG: no device with the serial of volume '" + std::string(kVolume) + "'"), std::string::npos)
      << text;
}

// The hint names another volume's disk and the volume's own (SCSI) link
// comes a moment later: the volume's device is taken.
TEST(DeviceWait, TheOwnLinkWinsOverAnotherVolumesDiskAtTheHint) {
  FakeDev dev;
  dev.node("vda", 1);
  auto const before = rustack_device::block_devices_under(dev.root());
  dev.node("sdb", 2);
  dev.link(std::string("disk/by-id/scsi-0QEMU_QEMU_HARDDISK_") + kOtherSerial, "../../sdb");
  dev.node("sdc", 3);
  std::thread udev([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    dev.link(kScsiSerial, "../../sdc");
  });
  std::string device;
  int const rc = rustack_device::wait_for_attached_device(dev.roots(), dev.at("sdb"), kVolume, before, "kvm", "SIG",
                                                          ": timed out", device, {300, 5});
  udev.join();
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(device, dev.at("sdc"));
}

TEST(SerialOfLinkName, ReadsTheFormsOfQemuDisks) {
  std::string const id = kVolume;
  struct Case {
    std::string name, serial;
    bool own;
  };
  for (Case const& c : std::vector<Case>{
           {"virtio-" + id.substr(0, 20), id.substr(0, 20), true},
           // The virtio block driver keeps 20 bytes: a longer name is no serial of it.
           {"virtio-" + id, id, false},
           {"virtio-" + id.substr(0, 20) + "-part1", id.substr(0, 20) + "-part1", false},
           {"scsi-0QEMU_QEMU_HARDDISK_" + id.substr(0, 20), id.substr(0, 20), true},
           {"scsi-SQEMU_QEMU_HARDDISK_" + id, id, true},
           {"scsi-0QEMU_QEMU_HARDDISK_" + id.substr(0, 19), id.substr(0, 19), false},
           {std::string("scsi-0QEMU_QEMU_HARDDISK_") + kOtherSerial, kOtherSerial, false},
           {"virtio-", "", false},
           {"wwn-0x5000c500a1b2c3d4", "", false},
           {"scsi-3600508b1001c4d5e6f", "", false},
           {"ata-QEMU_HARDDISK_" + id.substr(0, 20), "", false},
       }) {
    bool own = !c.own;
    EXPECT_EQ(rustack_device::serial_of_link_name(c.name, id, own), c.serial) << c.name;
    EXPECT_EQ(own, c.own) << c.name;
  }
}

struct CheckCase {
  char const* what;
  void (*make)(FakeDev const&);
  int result;
  std::string message;  // the Error text after the signature, %p for the path; "" for none
};

char const* const kNotBlock =
    "volume was attached to server: 'kestrova-vm' as device '%p' but it is not a block device";

class CheckBlockDevice : public ::testing::TestWithParam<CheckCase> {};

TEST_P(CheckBlockDevice, AcceptsOnlyABlockNodeItself) {
  CheckCase const& c = GetParam();
  kstest::LogCapture log;
  FakeDev dev;
  c.make(dev);
  EXPECT_EQ(check_block_device(dev.at("vdb"), "kestrova-vm"), c.result);
  std::string const text = log.text();
  if (!c.message.empty()) {
    std::string message = c.message;
    message.replace(message.find("%p"), 2, dev.at("vdb"));
    EXPECT_NE(text.find("int check_block_device(const string&, const string&): " + message), std::string::npos)
        << text;
  } else {
    EXPECT_EQ(text.find("check_block_device"), std::string::npos) << text;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, CheckBlockDevice,
    ::testing::Values(
        CheckCase{"node", [](FakeDev const& d) { d.node("vdb", 1); }, 0, ""},
        CheckCase{"missing", [](FakeDev const&) {}, 2, "attached device '%p' does not exist in server 'kestrova-vm'"},
        CheckCase{"regular_file", [](FakeDev const& d) { d.file("vdb"); }, 2, kNotBlock},
        CheckCase{"link_to_node", [](FakeDev const& d) {
                    d.node("loop1", 1);
                    d.link("vdb", "loop1");
                  }, 2, kNotBlock},
        CheckCase{"directory", [](FakeDev const& d) { fs::create_directories(d.at("vdb")); }, 2, kNotBlock}),
    [](auto const& info) { return std::string(info.param.what); });

}  // namespace

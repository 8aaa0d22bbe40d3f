// Finding the block device that carries a disk serial number, against the
// lsblk and udevadm stand-ins placed at /usr/bin inside the sandbox.
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/json.hpp>
#include <gtest/gtest.h>

#include "common/test_util.h"
#include "module_probe.h"
#include "rustack/ks_module_rustack.h"

namespace fs = boost::filesystem;

namespace {

char const* const kListSig = "int openstack::get_block_devices_list(std::vector<std::__cxx11::basic_string<char> >&)";
char const* const kSerialSig = "int openstack::get_disk_serial_number(const string&, std::__cxx11::string&)";
char const* const kAttachedSig =
    "int openstack::get_attached_block_device_name(const string&, const string&, std::__cxx11::string&)";

// lsblk --json of a machine with a root disk and two more, one of them with
// a partition, and devices that are no disks.
char const* const kLsblk = R"({"blockdevices": [
  {"name": "loop0", "maj:min": "7:0", "rm": false, "size": "1M", "ro": false, "type": "loop", "mountpoints": [null]},
  {"name": "sr0", "maj:min": "11:0", "rm": true, "size": "1M", "ro": false, "type": "rom", "mountpoints": [null]},
  {"name": "vda", "maj:min": "254:0", "rm": false, "size": "10G", "ro": false, "type": "disk", "mountpoints": [null],
   "children": [{"name": "vda1", "maj:min": "254:1", "type": "part", "mountpoints": ["/"]}]},
  {"name": "vdb", "maj:min": "254:16", "rm": false, "size": "2G", "ro": false, "type": "disk", "mountpoints": [null]},
  {"name": "vdc", "maj:min": "254:32", "rm": false, "size": "1G", "ro": false, "type": "disk", "mountpoints": [null]}
]})";

class Disks {
 public:
  Disks() {
    ::setenv("DISKS_STANDIN_FIXTURE", (dir_ / "disks.json").c_str(), 1);
    ::setenv("DISKS_STANDIN_LOG", (dir_ / "disks.log").c_str(), 1);
    set({});
  }
  ~Disks() {
    ::unsetenv("DISKS_STANDIN_FIXTURE");
    ::unsetenv("DISKS_STANDIN_LOG");
  }
  Disks(Disks const&) = delete;
  Disks& operator=(Disks const&) = delete;

  void set(boost::json::object const& fixture) {
    kstest::write_file(dir_ / "disks.json", boost::json::serialize(fixture));
    fs::remove(dir_ / "disks.log");
  }
  int calls(std::string const& tool) const {
    if (!fs::exists(dir_ / "disks.log")) return 0;
    std::istringstream in(kstest::read_file(dir_ / "disks.log"));
    int n = 0;
    for (std::string line; std::getline(in, line);) n += boost::json::parse(line).at("tool") == tool.c_str();
    return n;
  }

 private:
  kstest::TempDir dir_;
};

boost::json::object lsblk(std::string const& output, int exit = 0) { return {{"exit", exit}, {"output", output}}; }

}  // namespace

TEST(DiskDiscovery, BlockDevicesAreTheDisksOfLsblk) {
  KS_REQUIRE_SANDBOX();
  struct Case {
    char const* what;
    boost::json::object answer;
    int result;
    std::vector<std::string> names;
    std::string line;
  };
  std::string const sig = std::string(kListSig) + ": ";
  for (Case const& c : std::vector<Case>{
           {"disks in order, no partitions, no other types", lsblk(kLsblk), 0, {"vda", "vdb", "vdc"}, ""},
           {"no devices", lsblk(R"({"blockdevices": []})"), 0, {}, ""},
           {"other members are ignored", lsblk(R"({"x": 1, "blockdevices": [{"name": "vdb", "type": "disk"}]})"), 0,
            {"vdb"}, ""},
           {"lsblk fails", lsblk("lsblk: bad usage\n", 1), 6, {},
            sig + "This command produced an error: /usr/bin/lsblk --json\n: command output: lsblk: bad usage"},
           {"not JSON", lsblk("lsblk says hello"), 2, {}, sig + "boost::json: "},
           {"an array", lsblk("[]"), 6, {}, sig + "json value is not block devices object"},
           {"an empty object", lsblk("{}"), 6, {}, sig + "block devices object is empty"},
           {"devices not an array", lsblk(R"({"blockdevices": {}})"), 6, {}, sig + "json is not an array of block devices"},
           {"a device not an object", lsblk(R"({"blockdevices": [1]})"), 6, {}, sig + "json value is not block device object"},
           {"an empty device", lsblk(R"({"blockdevices": [{}]})"), 6, {},
            sig + "json object is empty. Expected block device info"},
           {"a name that is no string", lsblk(R"({"blockdevices": [{"name": 5, "type": "disk"}]})"), 2, {},
            sig + "exception:"}}) {
    SCOPED_TRACE(c.what);
    Disks d;
    d.set({{"lsblk", {c.answer}}});
    kstest::LogLines log;
    std::vector<std::string> names;
    EXPECT_EQ(openstack::get_block_devices_list(names), c.result);
    EXPECT_EQ(names, c.names);
    if (c.line.empty()) EXPECT_EQ(log.lines(), "");
    else EXPECT_TRUE(log.contains(c.line)) << log.lines();
  }
}

TEST(DiskDiscovery, SerialNumberOfADevice) {
  KS_REQUIRE_SANDBOX();
  Disks d;
  d.set({{"udevadm",
          {{"vdb", {{"DEVNAME", "/dev/vdb"}, {"ID_SERIAL", "3a7f1c9e-5d2b-4e8a-b"}}},
           {"sda", {{"ID_SERIAL", "QEMU_HARDDISK_drive-1"}, {"ID_SERIAL_SHORT", "drive-1"}}},
           {"vdz", {{"DEVNAME", "/dev/vdz"}}}}}});
  kstest::LogLines log;
  std::string serial = "unchanged";
  EXPECT_EQ(openstack::get_disk_serial_number("vdb", serial), 0);
  EXPECT_EQ(serial, "3a7f1c9e-5d2b-4e8a-b");
  // A short serial on the next line does not become part of the serial.
  EXPECT_EQ(openstack::get_disk_serial_number("/dev/sda", serial), 0);
  EXPECT_EQ(serial, "QEMU_HARDDISK_drive-1");

  // Without an ID_SERIAL line grep finds nothing, which is a failure.
  serial = "unchanged";
  EXPECT_EQ(openstack::get_disk_serial_number("vdz", serial), 1);
  EXPECT_EQ(serial, "unchanged");
  EXPECT_TRUE(log.contains(std::string(kSerialSig) +
                           ": This command produced an error: /usr/bin/udevadm info --name=vdz | grep ID_SERIAL"))
      << log.lines();
  // A device name with shell syntax stays one word.
  EXPECT_EQ(openstack::get_disk_serial_number("vdq; echo ID_SERIAL=x", serial), 1);
  EXPECT_EQ(serial, "unchanged");
}

TEST(DiskDiscovery, TheDeviceThatCarriesASerial) {
  KS_REQUIRE_SANDBOX();
  boost::json::object const udev = {{"vda", {{"ID_SERIAL", "root-disk"}}},
                                    {"vdb", {{"ID_SERIAL", "0123456789abcdefghij"}}},
                                    {"vdc", {{"ID_SERIAL", "c5d2e8f1-7a3b-4c9d-8"}}}};
  {
    SCOPED_TRACE("found on the first attempt");
    Disks d;
    d.set({{"lsblk", {lsblk(kLsblk)}}, {"udevadm", udev}});
    std::string device;
    EXPECT_EQ(openstack::get_attached_block_device_name("c5d2e8f1-7a3b-4c9d-8", "kestrova-vm", device), 0);
    EXPECT_EQ(device, "vdc");
    EXPECT_EQ(d.calls("lsblk"), 1);
    EXPECT_EQ(d.calls("udevadm"), 3);
  }
  {
    SCOPED_TRACE("after a failed listing");
    Disks d;
    d.set({{"lsblk", {lsblk("", 1), lsblk(kLsblk)}}, {"udevadm", udev}});
    kstest::LogLines log;
    std::string device;
    EXPECT_EQ(openstack::get_attached_block_device_name("0123456789abcdefghij", "kestrova-vm", device), 0);
    EXPECT_EQ(device, "vdb");
    EXPECT_EQ(d.calls("lsblk"), 2);
    EXPECT_TRUE(log.contains(std::string(kAttachedSig) + ": unable to get list of block devices on VM 'kestrova-vm'"))
        << log.lines();
  }
  {
    SCOPED_TRACE("the disk appears on a later listing");
    Disks d;
    d.set({{"lsblk", {lsblk(R"({"blockdevices": [{"name": "vda", "type": "disk"}]})"), lsblk(kLsblk)}},
           {"udevadm", udev}});
    std::string device;
    EXPECT_EQ(openstack::get_attached_block_device_name("c5d2e8f1-7a3b-4c9d-8", "kestrova-vm", device), 0);
    EXPECT_EQ(device, "vdc");
    EXPECT_EQ(d.calls("lsblk"), 2);
  }
}

// Disk discovery: the matrix of driver x live x persistent over real qcow2
// chains and links, with the VM's host reached through the loopback ssh.
#include <gtest/gtest.h>

#include "opennebula/disk_discovery.h"
#include "opennebula/one_test_support.h"
#include "opennebula/xml_util.h"
#include "support/utils/ks_utils_common.h"

using namespace ks_opennebula_common;
using onetest::LogCapture;
using onetest::Standins;
using onetest::VmXml;
using onetest::disk;

namespace {

constexpr char kLoadSig[] =
    "int ks_opennebula_common::load_VM_devices(const string&, std::vector<opennebula_device_info>&, bool, bool, bool)";
constexpr char kPathSig[] = "int ks_opennebula_common::get_real_vm_path(const string&, std::__cxx11::string&)";

void qemu_img(const std::string& args) {
  kstest::RunResult r = kstest::run("/usr/bin/qemu-img " + args);
  ASSERT_EQ(r.status, 0) << args << "\n" << r.output;
}

// One OpenNebula installation under a temporary directory: system datastore
// 0, image datastore 1, VM 12 on host "kvm-b" (this machine over ssh).
class Cloud {
 public:
  Cloud() {
    namespace fs = boost::filesystem;
    fs::create_directories(vm_dir);
    fs::create_directories(image_dir);
    fs::create_directories(run_dir);
    qemu_img("create -q -f qcow2 " + kstest::sh_quote(image) + " 64M");
    tools.answer({"onehost", "list", "-x"}, onetest::host_pool("kvm-b", "kvm-b.example"));
    tools.answer({"onedatastore", "list", "-x"},
                 onetest::pool("DATASTORE_POOL", {datastore("0", root + "//datastores//0", "1"),
                                                  datastore("1", root + "/datastores/1", "0")}));
  }
  static std::string datastore(const std::string& id, const std::string& base_path, const std::string& type) {
    onetest::DatastoreXml ds;
    ds.id = id;
    ds.name = type == "1" ? "system" : "default";
    ds.base_path = base_path;
    ds.type = type;
    return ds.str();
  }
  void vm(const std::string& disks) {
    VmXml vm;
    vm.disks = disks;
    tools.object("onevm", "12", vm.str());
  }
  void domain(const std::string& listing) {
    tools.answer({"virsh", "-q", "-c", "qemu+ssh://root@kvm-b/system", "-q", "domblklist", "one-12"}, listing);
  }

  kstest::TempDir base;
  std::string root = (base / "one & co").string();
  std::string vm_dir = root + "/datastores/0/12";
  std::string image_dir = root + "/datastores/1";
  std::string run_dir = root + "/run";
  std::string image = image_dir + "/3f2a'9c";
  Standins tools;
};

struct Driver {
  const char* tm_mad;
  const char* disk_type;
  const char* type;
  int storage_kind;
};

const Driver kDrivers[] = {
    {"qcow2", "FILE", "FILE", STORAGE_KIND_FILE},   {"shared", "FILE", "FILE", STORAGE_KIND_FILE},
    {"fs_lvm", "BLOCK", "BLOCK", STORAGE_KIND_BLOCK}, {"lvm_lvm", "BLOCK", "BLOCK", STORAGE_KIND_BLOCK},
    {"ceph", "RBD", "RBD", STORAGE_KIND_RBD},
};

TEST(OneDiskDiscovery, DriverLiveAndPersistentMatrix) {
  for (const Driver& driver : kDrivers) {
    for (bool live : {false, true}) {
      for (bool persistent : {false, true}) {
        SCOPED_TRACE(std::string(driver.tm_mad) + (live ? " live" : " stopped") +
                     (persistent ? " persistent" : " non-persistent"));
        Cloud cloud;
        const std::string tm = driver.tm_mad;
        const bool file_driver = tm == "qcow2" || tm == "shared";
        const bool lvm = tm == "fs_lvm" || tm == "lvm_lvm";
        const std::string source = tm == "ceph" ? "one/one-5" : tm == "lvm_lvm" ? "/dev/vg-one-1/lv-one-5" : cloud.image;
        const std::string disk0 = cloud.vm_dir + "/disk.0";
        const std::string running = cloud.run_dir + "/disk.0";
        if (file_driver) {
          qemu_img("create -q -f qcow2 -F qcow2 -b " + kstest::sh_quote(cloud.image) + " " + kstest::sh_quote(disk0));
          qemu_img("create -q -f qcow2 -F qcow2 -b " + kstest::sh_quote(cloud.image) + " " + kstest::sh_quote(running));
        }
        if (lvm) {
          boost::filesystem::create_symlink("/dev/vg-one-0/lv-one-12-0", disk0);
          boost::filesystem::create_symlink("/dev/vg-one-1/lv-one-5-12", running);
        }
        cloud.domain(" vda      " + (tm == "ceph" ? std::string("one/one-5-12-0") : running) + "\n hda      -\n");
        std::map<std::string, std::string> items{{"DISK_ID", "0"},  {"DISK_TYPE", driver.disk_type},
                                                 {"IMAGE_ID", "5"}, {"SIZE", "64"},
                                                 {"SOURCE", source}, {"TARGET", "vda"},
                                                 {"TM_MAD", tm},     {"TYPE", driver.type}};
        if (persistent) items["PERSISTENT"] = "YES";
        cloud.vm(disk(items));

        std::vector<std::string> files;
        if (!live) {
          if (file_driver) files = {disk0, cloud.image};
          if (tm == "fs_lvm") files = {"/dev/vg-one-0/lv-one-12-0", cloud.image};
          if (tm == "lvm_lvm") files = {"/dev/vg-one-0/lv-one-12-0"};
          if (tm == "ceph") files = {persistent ? "one/one-5" : "one/one-5-12-0"};
        } else {
          if (file_driver) files = {running, cloud.image};
          if (tm == "lvm_lvm") files = {"/dev/vg-one-1/lv-one-5-12"};
          if (tm == "ceph") files = {"one/one-5-12-0"};
        }

        LogCapture log;
        std::vector<opennebula_device_info> devices;
        ASSERT_EQ(load_VM_devices("12", devices, false, live, true), 0) << log.dump();
        ASSERT_EQ(devices.size(), 1u);
        const opennebula_device_info& d = devices[0];
        EXPECT_EQ(d.files, files) << log.dump();
        EXPECT_EQ(d.tm_mad, tm_mad_from_name(tm));
        EXPECT_EQ(d.persistent, persistent);
        EXPECT_EQ(d.storage_kind, driver.storage_kind);
        EXPECT_EQ(d.device_kind, DEVICE_KIND_DISK);
        EXPECT_EQ(d.size, 64u << 20);
        EXPECT_EQ(d.disk_id, "0");
        EXPECT_EQ(d.image_id, "5");
        EXPECT_EQ(d.target, "vda");
        EXPECT_EQ(d.source, source);
        if (live && tm != "fs_lvm") {
          EXPECT_EQ(d.device_file, tm == "ceph" ? std::string("one/one-5-12-0") : running);
        } else if (!live && tm == "fs_lvm") {
          EXPECT_EQ(d.device_file, source);
        } else {
          EXPECT_EQ(d.device_file, "");
        }
        if (persistent && tm != "ceph" && tm != "fs_lvm") {
          EXPECT_TRUE(log.has("Info: The disk is persistent, source: : " + source)) << log.dump();
        }

        // A stopped VM is read from its directory, a running one from libvirt.
        bool asked_libvirt = false, looked_for_directory = false;
        for (auto const& call : cloud.tools.calls()) {
          if (call[0] == "virsh") asked_libvirt = true;
          if (call[0] == "onedatastore") looked_for_directory = true;
        }
        EXPECT_EQ(asked_libvirt, live && tm != "fs_lvm");
        EXPECT_EQ(looked_for_directory, !live && tm != "ceph");
      }
    }
  }
}

TEST(OneDiskDiscovery, VolatileDisksAndCdroms) {
  for (bool live : {false, true}) {
    Cloud cloud;
    cloud.domain(" vda  /x/disk.0\n vdc  " + cloud.vm_dir + "/disk.2\n hda  " + cloud.vm_dir + "/disk.1\n");
    cloud.vm(disk({{"DISK_ID", "1"}, {"IMAGE_ID", "9"}, {"SOURCE", "one/one-9"}, {"TARGET", "hda"},
                   {"TM_MAD", "ceph"}, {"TYPE", "CDROM"}}) +
             disk({{"DISK_ID", "2"}, {"SIZE", "0x10"}, {"TARGET", "vdc"}, {"TM_MAD", "qcow2"}, {"TYPE", "fs"}}));
    LogCapture log;
    std::vector<opennebula_device_info> devices;
    ASSERT_EQ(load_VM_devices("12", devices, false, live, true), 0) << log.dump();
    EXPECT_TRUE(log.has("Info: The found disk is temporary (type: fs) - it won't be added to the backup"));
    ASSERT_EQ(devices.size(), live ? 2u : 1u);
    EXPECT_EQ(devices[0].device_kind, DEVICE_KIND_CDROM);
    EXPECT_EQ(devices[0].storage_kind, STORAGE_KIND_FILE);
    if (live) {
      const opennebula_device_info& v = devices[1];
      EXPECT_EQ(v.device_kind, DEVICE_KIND_VOLATILE);
      EXPECT_EQ(v.disk_id, "2");
      EXPECT_EQ(v.size, 16u << 20);
      EXPECT_EQ(v.target, "vdc");
      EXPECT_EQ(v.device_file, cloud.vm_dir + "/disk.2");
      EXPECT_TRUE(v.files.empty());
    }
  }
}

TEST(OneDiskDiscovery, RefusedDisksStopTheDiscovery) {
  const std::string ok_disk = disk({{"DISK_ID", "0"}, {"SOURCE", "one/one-5"}, {"TARGET", "vda"}, {"TM_MAD", "ceph"}});
  struct Case {
    const char* what;
    std::string second_disk;
    bool ceph_ok;
    std::string line;
    size_t records;
  } cases[] = {
      {"no TM_MAD", disk({{"DISK_ID", "1"}, {"TARGET", "vdb"}, {"TYPE", "FILE"}}), true, ": unsupported TM_MAD type: -1", 1},
      {"ceph not allowed", "", false,
       ": module doesn't support Ceph RADOS block devices: required qemu version at least 2.11", 0},
      // The refusal names the module that uses the library: this program.
      {"lvm_thin", disk({{"DISK_ID", "1"}, {"TM_MAD", "lvm_thin"}}), true,
       ": one_disk_discovery_test does not yet support TM_MAD: lvm_thin", 1},
      {"dev", disk({{"DISK_ID", "1"}, {"TM_MAD", "dev"}}), true,
       ": one_disk_discovery_test does not yet support TM_MAD: dev", 1},
      {"iscsi", disk({{"DISK_ID", "1"}, {"TM_MAD", "iscsi"}}), true,
       ": one_disk_discovery_test does not yet support TM_MAD: iscsi", 1},
      {"a volatile disk on ssh fails before its kind", disk({{"DISK_ID", "1"}, {"TM_MAD", "ssh"}, {"TYPE", "fs"}}), true,
       ": one_disk_discovery_test does not yet support TM_MAD: ssh", 1},
      {"an unknown driver", disk({{"DISK_ID", "1"}, {"TM_MAD", "vcenter"}}), true, ": unsupported TM_MAD value: vcenter", 1},
      {"an unknown type", disk({{"DISK_ID", "1"}, {"TM_MAD", "ceph"}, {"TYPE", "NETWORK"}}), true,
       ": unsupported type: NETWORK", 1},
      {"an unknown disk type", disk({{"DISK_ID", "1"}, {"DISK_TYPE", "GLUSTER"}, {"TM_MAD", "ceph"}}), true,
       ": unsupported disk type: GLUSTER", 1},
      {"a SIZE that is no number", disk({{"DISK_ID", "1"}, {"SIZE", "big"}, {"TM_MAD", "ceph"}}), true, ": stoull", 1},
      {"a DISK_ID that is no number", disk({{"DISK_ID", "../../x"}, {"TM_MAD", "ceph"}}), true,
       ": wrong DISK_ID: ../../x", 1},
  };
  for (const Case& c : cases) {
    Cloud cloud;
    cloud.vm(ok_disk + c.second_disk);
    LogCapture log;
    std::vector<opennebula_device_info> devices;
    EXPECT_EQ(load_VM_devices("12", devices, false, false, c.ceph_ok), 1) << c.what;
    EXPECT_EQ(devices.size(), c.records) << c.what;
    EXPECT_TRUE(log.has(std::string("Error: ") + kLoadSig + c.line)) << c.what << "\n" << log.dump();
  }

  Cloud cloud;
  cloud.tools.answer({"onehost", "list", "-x"}, "<HOST_POOL/>");
  LogCapture log;
  std::vector<opennebula_device_info> devices;
  EXPECT_EQ(load_VM_devices("12", devices, false, false, true), 1);
  EXPECT_EQ(load_VM_devices("12 13", devices, false, false, true), 1);
}

TEST(OneDiskDiscovery, DirectoryOfAStoppedVm) {
  Cloud cloud;
  const std::string first = cloud.root + "/first", second = cloud.root + "/second";
  boost::filesystem::create_directories(second + "/12");
  boost::filesystem::create_directories(first + "/13");
  cloud.tools.answer({"onedatastore", "list", "-x"},
                     onetest::pool("DATASTORE_POOL", {Cloud::datastore("0", first, "1"), Cloud::datastore("1", second, "0"),
                                                      Cloud::datastore("100", second, "1")}));
  cloud.vm("");
  LogCapture log;
  std::string directory;
  ASSERT_EQ(get_real_vm_path("12", directory), 0) << log.dump();
  EXPECT_EQ(directory, second + "/12");
  EXPECT_EQ(log.of("Info"), (std::vector<std::string>{
                                "Info: Trying to find path for VM '12' here: " + first + "/12 ... ", "Info: not found",
                                "Info: Trying to find path for VM '12' here: " + second + "/12 ... ", "Info: Success"}));
  // The VM's host is remote: the directory test ran there, through ssh.
  auto calls = cloud.tools.calls();
  EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](auto const& c) { return c[0] == "ssh"; }), 2);

  log.clear();
  EXPECT_EQ(get_real_vm_path("13", directory), 1) << "VM 13 runs on no host";
  EXPECT_TRUE(log.has(std::string("Error: ") + kPathSig + ": can't get workplace for VM: 13")) << log.dump();

  // The VM runs on this machine: its directory is looked for here, not over ssh.
  cloud.tools.answer({"onehost", "list", "-x"}, onetest::host_pool(ks_utils_common::get_nodename(), "local"));
  cloud.tools.clear_calls();
  directory.clear();
  ASSERT_EQ(get_real_vm_path("12", directory), 0) << log.dump();
  EXPECT_EQ(directory, second + "/12");
  calls = cloud.tools.calls();
  EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](auto const& c) { return c[0] == "ssh"; }), 0);
  boost::filesystem::remove(second + "/12");
  EXPECT_EQ(get_real_vm_path("12", directory), 1);
  EXPECT_TRUE(log.has(std::string("Error: ") + kPathSig +
                      ": couldn't find real path to VM: 12. Please check VM configuration and VM's files placement"))
      << log.dump();
}

TEST(OneDiskDiscovery, TemporaryDiskInfo) {
  xml_document doc = xml_read_memory("<TEMPLATE><DISK><DISK_ID>2</DISK_ID><SIZE>8</SIZE><TARGET>vdc</TARGET></DISK>"
                                     "<DISK><SIZE>1</SIZE></DISK><NIC/></TEMPLATE>");
  ASSERT_TRUE(doc);
  auto disks = child_elements(xmlDocGetRootElement(doc.get()));
  xmlDoc* raw = doc.get();
  LogCapture log;
  opennebula_device_info device;
  EXPECT_EQ(get_temporary_disk_info(raw, disks[0], device), 0);
  EXPECT_EQ(device.disk_id, "2");
  EXPECT_EQ(device.size, 8u << 20);
  EXPECT_EQ(device.target, "vdc");
  opennebula_device_info other;
  EXPECT_EQ(get_temporary_disk_info(raw, disks[1], other), 1);
  EXPECT_EQ(get_temporary_disk_info(raw, disks[2], other), 1);
  const std::string sig =
      "int ks_opennebula_common::get_temporary_disk_info(xmlDoc* const&, xmlNode* const&, opennebula_device_info&)";
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"Error: " + sig + ": got empty disk_id string",
                                                   "Error: " + sig + ": wrong XML node, expected 'DISK' info"}));
}

}  // namespace

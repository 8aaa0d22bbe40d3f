// Disk files on KVM hosts: links, libvirt sources, qcow2 backing chains made
// with the real qemu-img, virtual sizes and Ceph disk names. A remote host
// is this machine behind the loopback ssh stand-in, which runs the remote
// command through a second shell.
#include <unistd.h>

#include <gtest/gtest.h>

#include "opennebula/disk_files.h"
#include "opennebula/one_test_support.h"
#include "support/utils/ks_utils_common.h"

using namespace ks_opennebula_common;
using onetest::LogCapture;
using onetest::Standins;
using onetest::VmXml;
using onetest::disk;

namespace {

constexpr char kLinkSig[] =
    "int ks_opennebula_common::read_file_link(const string&, std::__cxx11::string&, const string&, bool)";
constexpr char kTargetSig[] =
    "int ks_opennebula_common::get_target_device_path(const string&, const string&, opennebula_device_info&)";

void qemu_img(const std::string& args) {
  kstest::RunResult r = kstest::run("/usr/bin/qemu-img " + args);
  ASSERT_EQ(r.status, 0) << args << "\n" << r.output;
}

// A directory whose name a shell would act on, so quoting faults show.
struct HostileDir {
  kstest::TempDir base;
  boost::filesystem::path dir = base / "vm 12 it's $(touch pwned) `touch pwned2`";
  HostileDir() { boost::filesystem::create_directory(dir); }
  std::string operator/(const std::string& name) const { return (dir / name).string(); }
};

TEST(OneDiskFiles, LinksLocallyAndOnARemoteHost) {
  HostileDir d;
  const std::string file = d / "disk.0";
  kstest::write_file(file, "x");
  const std::string mid = d / "mid", top = d / "top";
  boost::filesystem::create_symlink(file, mid);
  boost::filesystem::create_symlink("mid", top);  // relative, two levels
  Standins tools;
  LogCapture log;
  const std::string node = ks_utils_common::get_nodename();

  struct Case {
    const char* what;
    std::string path, host;
    bool follow_all;
    std::string result;
  } cases[] = {
      {"not a link", file, "", true, file},
      {"local links are followed to the end", top, "", false, file},
      {"the local node name is local", top, node, true, file},
      {"remote, every link", top, "kvm-b", true, file},
      {"remote, one level", mid, "kvm-b", false, file},
  };
  for (const Case& c : cases) {
    log.clear();
    std::string resolved = "stale";
    EXPECT_EQ(read_file_link(c.path, resolved, c.host, c.follow_all), 0) << c.what << "\n" << log.dump();
    EXPECT_EQ(resolved, c.result) << c.what;
    if (c.result == c.path) {
      EXPECT_TRUE(log.lines().empty()) << c.what;
    } else {
      EXPECT_TRUE(log.has("Info: The path: '" + c.path + "' is a link to " + c.result)) << log.dump();
    }
  }
  auto calls = tools.calls();
  ASSERT_EQ(calls.size(), 2u) << "only the remote cases use ssh";
  EXPECT_EQ(calls[0][1], "root@kvm-b");

  std::string resolved;
  const std::string dangling = d / "dangling";
  boost::filesystem::create_symlink(d / "nowhere", dangling);
  EXPECT_EQ(read_file_link(dangling, resolved, "", true), 1);
  EXPECT_TRUE(log.has(std::string("Error: ") + kLinkSig + ": can't find file: " + (d / "nowhere"))) << log.dump();
  EXPECT_EQ(read_file_link(d / "nothing", resolved, "kvm-b", false), 1) << "readlink without -f fails on no link";
  EXPECT_TRUE(log.has(std::string("Error: ") + kLinkSig + ": can't run readlink for " + (d / "nothing")));

  EXPECT_FALSE(boost::filesystem::exists("pwned"));
  EXPECT_FALSE(boost::filesystem::exists("pwned2"));
}

// What a remote readlink printed counts only when it is one path; ssh's own
// messages (merged into the output) never become part of a disk's name.
TEST(OneDiskFiles, RemoteReadlinkPrintsExactlyOnePath) {
  const std::string link = "/var/lib/one/datastores/0/12/disk.0";
  struct Case {
    const char* what;
    bool follow_all;
    std::string output;
    int rc;
    std::string result;
  } cases[] = {
      {"one line", true, "/dev/dm-3\n", 0, "/dev/dm-3"},
      {"no line break", true, "/dev/dm-3", 0, "/dev/dm-3"},
      {"one level, relative", false, "../../../../../../dev/vg-one-1/lv-one-7\n", 1, ""},
      {"an ssh warning first", true,
       "Warning: Permanently added 'kvm-b' (ED25519) to the list of known hosts.\r\n/dev/dm-3\n", 1, ""},
      {"a warning alone", false, "Warning: Permanently added 'kvm-b' (ED25519) to the list of known hosts.\n", 1, ""},
      {"two lines", true, "/dev/dm-3\n/dev/dm-4\n", 1, ""},
      {"nothing", true, "", 1, ""},
      {"an empty line", true, "\n", 1, ""},
  };
  for (const Case& c : cases) {
    Standins tools;
    tools.answer({"ssh", "root@kvm-b", std::string("/bin/readlink ") + (c.follow_all ? "-f " : "") + "-- " + link},
                 c.output);
    LogCapture log;
    std::string resolved = "stale";
    EXPECT_EQ(read_file_link(link, resolved, "kvm-b", c.follow_all), c.rc) << c.what << "\n" << log.dump();
    ASSERT_EQ(tools.calls().size(), 1u) << c.what;
    if (c.rc == 0) {
      EXPECT_EQ(resolved, c.result) << c.what;
    } else {
      EXPECT_TRUE(log.has(std::string("Error: ") + kLinkSig + ": got wrong output of readlink for " + link))
          << c.what << "\n" << log.dump();
    }
  }
}

// Names that begin with "-" reach readlink and qemu-img as file names, not
// as options (relative names, so the test works in a directory of its own).
TEST(OneDiskFiles, NamesThatBeginWithADash) {
  kstest::TempDir dir;
  const std::string image = (dir / "-disk.qcow2").string();
  qemu_img("create -q -f qcow2 " + kstest::sh_quote(image) + " 3M");
  qemu_img("create -q -f qcow2 -F qcow2 -b " + kstest::sh_quote(image) + " " + kstest::sh_quote((dir / "-top").string()));
  boost::filesystem::create_symlink(image, dir / "-link");
  onetest::CurrentDirectory here(dir.path());
  Standins tools;
  LogCapture log;

  unsigned long long size = 0;
  EXPECT_EQ(get_image_virtual_size("-disk.qcow2", false, "", size), 0) << log.dump();
  EXPECT_EQ(size, 3ull << 20);
  EXPECT_EQ(get_image_virtual_size("-disk.qcow2", false, "kvm-b", size), 0) << log.dump();
  std::vector<std::string> files;
  EXPECT_EQ(fill_backing_image_chain("-top", files, false, ""), 0) << log.dump();
  EXPECT_EQ(files, (std::vector<std::string>{"-top", image}));
  for (bool follow_all : {false, true}) {
    std::string resolved;
    EXPECT_EQ(read_file_link("-link", resolved, "kvm-b", follow_all), 0) << log.dump();
    EXPECT_EQ(resolved, image);
  }
}

TEST(OneDiskFiles, SourceOfADomainDisk) {
  Standins tools;
  const std::string listing =
      " Target   Source\n"
      "------------------------------------------------\n"
      " vda      /var/lib/one//datastores/0/12/disk.0\n"
      " vdab     /var/lib/one//datastores/0/12/disk.9\n"
      " xvda     /var/lib/one//datastores/0/12/disk.8\n"
      " hda      -\n"
      " vdc      /srv/with space/disk.2\n";
  tools.answer({"virsh", "domblklist", "one-12"}, listing);
  tools.answer({"virsh", "-q", "-c", "qemu+ssh://root@kvm-b/system", "-q", "domblklist", "one-12"}, listing);
  tools.answer({"virsh", "-q", "-c", "qemu+ssh://root@[fd00::1:2]/system", "-q", "domblklist", "one-12"}, listing);
  tools.answer({"virsh", "-q", "-c", "qemu+ssh://root@10.0.0.7/system", "-q", "domblklist", "one-12"}, listing);
  LogCapture log;
  const std::string node = ks_utils_common::get_nodename();
  struct Case {
    std::string host, target;
    int rc;
    std::string device_file;
  } cases[] = {
      {node, "vda", 0, "/var/lib/one//datastores/0/12/disk.0"},
      {"kvm-b", "vda", 0, "/var/lib/one//datastores/0/12/disk.0"},
      {"[fd00::1:2]", "vda", 0, "/var/lib/one//datastores/0/12/disk.0"},
      {"10.0.0.7", "vda", 0, "/var/lib/one//datastores/0/12/disk.0"},
      // Refused before virsh runs: no path, query, user or port in the address.
      {"evil/system?command=/tmp/x&", "vda", 1, "unchanged"},
      {"kvm-b:2222", "vda", 1, "unchanged"},
      {"x@kvm-b", "vda", 1, "unchanged"},
      {"kvm b", "vda", 1, "unchanged"},
      {"[fe80::1%eth0]", "vda", 1, "unchanged"},
      {"[kvm-b]", "vda", 1, "unchanged"},
      {node, "vdc", 0, "/srv/with space/disk.2"},
      {node, "hda", 1, "unchanged"},
      {node, "vd", 1, "unchanged"},
      {node, "Target", 1, "unchanged"},
  };
  for (const Case& c : cases) {
    opennebula_device_info device;
    device.target = c.target;
    device.tm_mad = TM_MAD_QCOW2;
    device.device_file = "unchanged";
    EXPECT_EQ(get_target_device_path(c.host, "one-12", device), c.rc) << c.target;
    EXPECT_EQ(device.device_file, c.device_file) << c.target;
  }
  EXPECT_TRUE(log.has("Info: A VM device found, TM_MAD: qcow2, target: vda, device file: "
                      "/var/lib/one//datastores/0/12/disk.0"));
  EXPECT_TRUE(log.has(std::string("Error: ") + kTargetSig + ": not a host name: \"evil/system?command=/tmp/x&\""))
      << log.dump();
  for (const std::vector<std::string>& call : tools.calls())
    for (const std::string& word : call)
      for (const char* refused : {"evil", ":2222", "x@", "kvm b", "fe80", "[kvm-b]"})
        EXPECT_EQ(word.find(refused), std::string::npos) << "virsh ran for the refused host " << refused;
  EXPECT_TRUE(log.has(std::string("Error: ") + kTargetSig + ": unable to get source path for device: hda"));
  EXPECT_TRUE(log.has("Error: Probably the following command failed: LANG=C /usr/bin/virsh domblklist one-12"));
  EXPECT_TRUE(log.has("Error: Please make sure that all configurations settings from Kestrova module instruction "
                      "have been performed"));
  log.clear();
  opennebula_device_info device;
  device.target = "vda";
  EXPECT_EQ(get_target_device_path(node, "one-13", device), 1);
  EXPECT_TRUE(log.has(std::string("Error: ") + kTargetSig + ": can't get domblklist for vda")) << log.dump();
}

TEST(OneDiskFiles, BackingChainsWithQemuImg) {
  HostileDir d;
  const std::string base = d / "base.qcow2", mid = d / "mid image.qcow2", top = d / "disk.0";
  qemu_img("create -q -f qcow2 " + kstest::sh_quote(base) + " 64M");
  qemu_img("create -q -f qcow2 -F qcow2 -b " + kstest::sh_quote("base.qcow2") + " " + kstest::sh_quote(mid));
  qemu_img("create -q -f qcow2 -F qcow2 -b " + kstest::sh_quote(mid) + " " + kstest::sh_quote(top));
  const std::string link = d / "link";
  boost::filesystem::create_symlink(top, link);
  const std::string lone = d / "lone.raw";
  qemu_img("create -q -f raw " + kstest::sh_quote(lone) + " 1M");
  Standins tools;
  LogCapture log;
  const std::string node = ks_utils_common::get_nodename();

  struct Case {
    const char* what;
    std::string file, host;
    bool force_share;
    std::vector<std::string> files;
    size_t ssh_calls;
  } cases[] = {
      {"local, through a link", link, "", false, {top, mid, base}, 0},
      {"remote", top, "kvm-b", true, {top, mid, base}, 6},
      {"the local node name still goes over ssh", mid, node, false, {mid, base}, 2},
      {"no backing file", lone, "", false, {lone}, 0},
  };
  for (const Case& c : cases) {
    tools.clear_calls();
    std::vector<std::string> files{"earlier"};
    EXPECT_EQ(fill_backing_image_chain(c.file, files, c.force_share, c.host), 0) << c.what << "\n" << log.dump();
    std::vector<std::string> expected{"earlier"};
    expected.insert(expected.end(), c.files.begin(), c.files.end());
    EXPECT_EQ(files, expected) << c.what;
    auto calls = tools.calls();
    EXPECT_EQ(calls.size(), c.ssh_calls) << c.what;
    for (auto const& call : calls) {
      if (call[2].find("qemu-img") != std::string::npos) {
        EXPECT_EQ(call[2].find("--force-share") != std::string::npos, c.force_share) << call[2];
      }
    }
  }
  EXPECT_TRUE(log.has("Info: Adding to backing image chain: " + base));

  // A chain whose base is gone is a failure, not a shorter chain.
  boost::filesystem::remove(base);
  std::vector<std::string> files;
  EXPECT_EQ(fill_backing_image_chain(top, files, false, ""), 1);
  EXPECT_EQ(files, (std::vector<std::string>{top, mid, base}));
  EXPECT_TRUE(log.contains("the following command produced an error: /usr/bin/qemu-img info"));

  // A chain that comes back to itself ends with a failure.
  const std::string a = d / "a.qcow2", b = d / "b.qcow2";
  qemu_img("create -q -f qcow2 " + kstest::sh_quote(b) + " 1M");
  qemu_img("create -q -f qcow2 -F qcow2 -b " + kstest::sh_quote(b) + " " + kstest::sh_quote(a));
  qemu_img("rebase -u -F qcow2 -b " + kstest::sh_quote(a) + " " + kstest::sh_quote(b));
  files.clear();
  EXPECT_EQ(fill_backing_image_chain(a, files, false, ""), 1);
  EXPECT_EQ(files, (std::vector<std::string>{a, b}));

  EXPECT_FALSE(boost::filesystem::exists("pwned"));
  EXPECT_FALSE(boost::filesystem::exists("pwned2"));
}

TEST(OneDiskFiles, VirtualSize) {
  HostileDir d;
  const std::string image = d / "disk.1";
  qemu_img("create -q -f qcow2 " + kstest::sh_quote(image) + " 5G");
  Standins tools;
  LogCapture log;
  unsigned long long size = 0;
  EXPECT_EQ(get_image_virtual_size(image, false, "", size), 0) << log.dump();
  EXPECT_EQ(size, 5ull << 30);
  size = 0;
  EXPECT_EQ(get_image_virtual_size(image, true, "kvm-b", size), 0) << log.dump();
  EXPECT_EQ(size, 5ull << 30);
  EXPECT_EQ(tools.calls().size(), 1u);
  EXPECT_EQ(get_image_virtual_size(d / "missing", false, "", size), 1);
  EXPECT_TRUE(log.contains("get_image_virtual_size(const string&, bool, const string&, long long unsigned int&): the "
                           "following command produced an error: /usr/bin/qemu-img info"));

  // A plain name keeps the command line as it would be written by hand.
  kstest::TempDir plain;
  const std::string missing = (plain / "missing.qcow2").string();
  log.clear();
  EXPECT_EQ(get_image_virtual_size(missing, true, "kvm-b", size), 1);
  EXPECT_TRUE(log.has("Error: int ks_opennebula_common::get_image_virtual_size(const string&, bool, const string&, long "
                      "long unsigned int&): the following command produced an error: ssh root@kvm-b /usr/bin/qemu-img "
                      "info --force-share --output=json -- '" + missing + "'"))
      << log.dump();
}

TEST(OneDiskFiles, CephDisksOfAVm) {
  Standins tools;
  VmXml vm;
  vm.disks = disk({{"DISK_ID", "0"}, {"SOURCE", "one/one-5"}, {"TARGET", "vda"}, {"TM_MAD", "ceph"}, {"TYPE", "RBD"}}) +
             disk({{"DISK_ID", "1"}, {"SOURCE", "one/one-6"}, {"TARGET", "hda"}, {"TM_MAD", "ceph"}, {"TYPE", "RBD_CDROM"}}) +
             disk({{"DISK_ID", "2"}, {"SOURCE", "/var/lib/one/7"}, {"TARGET", "vdb"}, {"TM_MAD", "qcow2"}, {"TYPE", "FILE"}}) +
             disk({{"DISK_ID", "3"}, {"SOURCE", "one/one-42"}, {"TARGET", "vdc"}, {"TM_MAD", "ceph"}, {"TYPE", "RBD"}});
  tools.answer({"onevm", "show", "12", "-x"}, vm.str());
  VmXml shorty;
  shorty.id = "13";
  shorty.disks = disk({{"DISK_ID", "0"}, {"SOURCE", "one/on"}, {"TARGET", "vda"}, {"TM_MAD", "ceph"}});
  tools.answer({"onevm", "show", "13", "-x"}, shorty.str());
  LogCapture log;

  std::vector<RBD_disk> disks(1);
  ASSERT_EQ(get_vm_rbd_disks("12", disks), 0) << log.dump();
  ASSERT_EQ(disks.size(), 3u);
  EXPECT_EQ(disks[1].image_id, "5");
  EXPECT_EQ(disks[1].vm_id, "12");
  EXPECT_EQ(disks[1].disk_id, "0");
  EXPECT_EQ(disks[1].target, "vda");
  EXPECT_EQ(disks[2].image_id, "42");
  EXPECT_EQ(disks[2].target, "vdc");
  EXPECT_TRUE(log.has("Info: Run command: '/usr/bin/onevm show 12 -x'"));

  EXPECT_EQ(get_vm_rbd_disks("13", disks), 1) << "a short SOURCE fails instead of throwing";
  EXPECT_EQ(get_vm_rbd_disks("14", disks), 1);
  EXPECT_TRUE(log.has("Error: int ks_opennebula_common::get_vm_rbd_disks(const string&, std::vector<RBD_disk>&): the "
                      "following command produced an error: /usr/bin/onevm show 14 -x"));
}

TEST(OneDiskFiles, RbdNames) {
  struct Case {
    const char* name;
    const char* image_id;
    const char* vm_id;
    const char* disk_id;
  } cases[] = {
      {"one-5-12-0", "5", "12", "0"},
      {"one-5", "5", "", ""},
      {"one-5-12", "5", "12", ""},
      {"one-5-12-0-snap", "5", "12", "0"},
      {"one-", "", "", ""},
      {"on", "", "", ""},
  };
  LogCapture log;
  for (const Case& c : cases) {
    RBD_disk d = fill_rbd_disk_struct_from_target(c.name, "vdb");
    EXPECT_EQ(d.image_id, c.image_id) << c.name;
    EXPECT_EQ(d.vm_id, c.vm_id) << c.name;
    EXPECT_EQ(d.disk_id, c.disk_id) << c.name;
    EXPECT_EQ(d.target, "vdb");
  }
  EXPECT_EQ(log.of("Error").size(), 1u) << "only the name shorter than 4 characters";

  struct Name {
    const char* path;
    bool ok;
    const char* name;
  } names[] = {
      {"/var/lib/one//datastores/0/12/disk.0", true, "0"},
      {"/dev/rbd/one/one-5-12-0", false, "one-5-12-0"},
      {"disk.1.snap", true, "1.snap"},
      {"plain", false, "plain"},
  };
  for (const Name& n : names) {
    std::string name;
    EXPECT_EQ(parse_rbd_disk_name(n.path, name), n.ok) << n.path;
    EXPECT_EQ(name, n.name) << n.path;
  }
}

}  // namespace

// The restore: its decisions that need no cloud (the network table, the free
// server name, image names, the dd command run for real by the shell, the
// boot volume and the order of the other volumes), then restores through the
// real program against the stand-in cloud with real block devices, and the
// refusals of the volume restore on hand-made restore directories.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_util.h"
#include "e2e/backup_client.h"
#include "log_capture.h"
#include "path_runs.h"
#include "rustack/ks_module_rustack.h"
#include "rustack/restore_path.h"
#include "support/utils/ks_utils_common.h"

namespace {

namespace fs = boost::filesystem;

char const* const kNetA = "1b4e28ba-2fa1-41d2-883f-0016d3cca427";
char const* const kNetB = "6fa459ea-ee8a-4ca4-894e-db77e160355e";
char const* const kOther = "9c5b94b1-35ad-49bb-b118-8e8fc24abf80";

std::vector<network> networks(int count) {
  std::vector<network> list;
  if (count > 0) list.push_back({kNetA, "private"});
  if (count > 1) list.push_back({kNetB, "public"});
  return list;
}

struct NetworkCase {
  char const* what;
  int networks;
  std::string given;
  bool allowed;
  std::string reason;
};

class NetworkChoice : public ::testing::TestWithParam<NetworkCase> {};

TEST_P(NetworkChoice, FollowsTheTable) {
  NetworkCase const& c = GetParam();
  std::string reason;
  EXPECT_EQ(rustack_restore::check_network_choice(networks(c.networks), c.given, reason), c.allowed);
  EXPECT_EQ(reason, c.reason);
}

std::string const kBoth = std::string("private(") + kNetA + "), public(" + kNetB + ")";

INSTANTIATE_TEST_SUITE_P(
    Restore, NetworkChoice,
    ::testing::Values(
        NetworkCase{"none_given_no_network", 0, "", true, ""},
        NetworkCase{"none_given_one_network", 1, "", true, ""},
        NetworkCase{"none_given_two_networks", 2, "", false,
                    ": a network wasn't specified in restore parameters but there are 2 networks aiavalable: " +
                        kBoth},
        NetworkCase{"given_no_network", 0, kNetA, false, ": no networks are available on current RUSTACK cloud"},
        NetworkCase{"given_one_of_them", 2, kNetB, true, ""},
        NetworkCase{"given_unknown", 2, kOther, false,
                    std::string(": unable to find the specified network ") + kOther +
                        " among available networks: " + kBoth},
        NetworkCase{"given_not_a_uuid", 1, "abc", false,
                    ": invalid value of network_uuid parameter provided: 'abc'"},
        NetworkCase{"given_with_a_quote", 1, "a'b", false,
                    ": invalid value of network_uuid parameter provided: 'a\\'b'"}),
    [](auto const& info) { return std::string(info.param.what); });

struct NameCase {
  char const* what;
  std::vector<std::string> taken;
  std::string name;
  std::int32_t counter;
  std::string chosen;
  std::int32_t counter_after;
};

class FreeServerName : public ::testing::TestWithParam<NameCase> {};

TEST_P(FreeServerName, SkipsTakenNames) {
  NameCase const& c = GetParam();
  std::vector<rustack_vm_info> servers;
  for (auto const& n : c.taken) servers.push_back({"id-" + n, n, "ACTIVE"});
  std::int32_t counter = c.counter;
  EXPECT_EQ(rustack_restore::free_server_name(servers, c.name, counter), c.chosen);
  EXPECT_EQ(counter, c.counter_after);
}

INSTANTIATE_TEST_SUITE_P(Restore, FreeServerName,
                         ::testing::Values(NameCase{"free", {"db"}, "web", 2, "web", 2},
                                           NameCase{"no_servers", {}, "web", 2, "web", 2},
                                           NameCase{"taken_once", {"web"}, "web", 2, "web_2", 3},
                                           NameCase{"taken_twice", {"db", "db_2"}, "db", 2, "db_3", 4},
                                           NameCase{"suffix_taken_only", {"web_2"}, "web", 2, "web", 2},
                                           NameCase{"gap", {"db", "db_3"}, "db", 2, "db_2", 3},
                                           // The counter lives for the process: a second search goes on from it.
                                           NameCase{"later_search", {"web", "web_5"}, "web", 5, "web_6", 7}),
                         [](auto const& info) { return std::string(info.param.what); });

TEST(FreeServerName, LogsEachStep) {
  kstest::LogCapture log;
  std::int32_t counter = 2;
  rustack_restore::free_server_name({{"1", "db", ""}, {"2", "db_2", ""}}, "db", counter);
  std::string const text = log.text();
  auto const first = text.find("Server with the name: db exists in Rustack ");
  auto const second = text.find("Check new server name: 'db_2'");
  auto const third = text.find("Server with the name: db_2 exists in Rustack ");
  auto const fourth = text.find("Check new server name: 'db_3'");
  ASSERT_NE(fourth, std::string::npos) << text;
  EXPECT_TRUE(first < second && second < third && third < fourth) << text;
}

TEST(ImageName, OnlyPlainFileNames) {
  for (char const* good : {"vdb", "loop3", "virtio-0123456789abcd", "vd b", "v'd", "a.b", "a..b"})
    EXPECT_TRUE(rustack_restore::is_plain_file_name(good)) << good;
  for (std::string const& bad :
       {std::string(), std::string("."), std::string(".."), std::string("../vdb"), std::string("a/b"),
        std::string("/dev/vda"), std::string("vdb/"), std::string("vd\0b", 4), std::string("vd\nb"),
        std::string("vdb\r")})
    EXPECT_FALSE(rustack_restore::is_plain_file_name(bad)) << bad;
}

// The command as built, run by the shell through the product's runner: the
// bytes arrive whatever the paths hold, and nothing in them is executed.
TEST(DdCommand, CopiesThroughAwkwardPathsAndExecutesNothing) {
  kstest::TempDir dir;
  std::string const restore_dir = (dir / "re store $(touch pwned) 'x'").string();
  fs::create_directories(restore_dir);
  std::string const image = restore_dir + "/vd`touch pwned`b;x";
  std::string const device = (dir / "dev ice\"$HOME'").string();
  std::string bytes;
  for (int i = 0; i < (3 << 20) + 4099; ++i) bytes += static_cast<char>((i * 131 + i / 7) & 0xff);
  kstest::write_file(image, bytes);

  std::string const command = rustack_restore::dd_command(image, device, 1);
  EXPECT_NE(command.find(" bs=1M conv=fsync"), std::string::npos) << command;
  std::string output;
  int const status = ks_utils_common::execute_command("cd " + kstest::sh_quote(dir.str()) + " && " + command, output);
  EXPECT_EQ(status, 0) << output;
  EXPECT_EQ(kstest::read_file(device), bytes);
  EXPECT_FALSE(fs::exists(dir / "pwned"));
  EXPECT_FALSE(fs::exists(fs::path(restore_dir) / "pwned"));
}

TEST(DdCommand, FailsWhenTheImageIsMissing) {
  kstest::TempDir dir;
  std::string output;
  EXPECT_NE(ks_utils_common::execute_command(
                rustack_restore::dd_command((dir / "none").string(), (dir / "out").string(), 5), output),
            0);
}

volume record(std::string const& id, bool bootable, std::vector<std::string> const& devices) {
  volume v;
  v.id = id;
  v.bootable = bootable ? "true" : "false";
  for (auto const& d : devices) v.attachments.push_back({"att-" + id, "", d});
  return v;
}

struct BootCase {
  char const* what;
  std::vector<volume> records;
  std::size_t boot;                // records.size() for none
  std::vector<std::size_t> order;  // of the others
};

class BootVolume : public ::testing::TestWithParam<BootCase> {};

TEST_P(BootVolume, IsTheOriginalBootDisk) {
  BootCase const& c = GetParam();
  std::size_t const boot = rustack_restore::boot_volume_index(c.records);
  EXPECT_EQ(boot, c.boot);
  EXPECT_EQ(rustack_restore::attachment_order(c.records, boot), c.order);
}

INSTANTIATE_TEST_SUITE_P(
    Restore, BootVolume,
    ::testing::Values(
        BootCase{"only_one_bootable", {record("a", false, {"/dev/vdb"}), record("b", true, {"/dev/vda"})}, 1, {0}},
        // A bootable data disk listed after the root must not become the boot volume.
        BootCase{"root_before_bootable_data",
                 {record("root", true, {"/dev/vda"}), record("data", true, {"/dev/vdb"})}, 0, {1}},
        BootCase{"bootable_data_listed_first",
                 {record("data", true, {"/dev/vdc"}), record("root", true, {"/dev/vda"})}, 1, {0}},
        BootCase{"saved_attachment_wins_over_none",
                 {record("x", true, {}), record("y", true, {"/dev/vdc"})}, 1, {0}},
        BootCase{"none_saved_first_bootable", {record("x", false, {}), record("y", true, {}), record("z", true, {})},
                 1, {0, 2}},
        BootCase{"none_bootable", {record("x", false, {"/dev/vdb"}), record("y", false, {"/dev/vda"})}, 2, {1, 0}},
        BootCase{"disk_naming_order",
                 {record("aa", true, {"/dev/vdaa"}), record("z", true, {"/dev/vdz"})}, 1, {0}},
        BootCase{"lowest_of_several_attachments",
                 {record("m", true, {"/dev/vdd", "/dev/vdb"}), record("n", true, {"/dev/vdc"})}, 0, {1}},
        BootCase{"others_in_device_order",
                 {record("r", true, {"/dev/vda"}), record("c", false, {"/dev/vdc"}), record("n", false, {}),
                  record("b", false, {"/dev/vdb"}), record("ab", false, {"/dev/vdab"})},
                 0, {3, 1, 4, 2}}),
    [](auto const& info) { return std::string(info.param.what); });

// ---- restores through the program ------------------------------------------------

namespace sc = kstest::standard_cloud;
using kstest::e2e::Harness;
using kstest::e2e::ProcessResult;
using kstest::paths::cloud_objects;
using kstest::paths::describe;
using kstest::paths::text;

class RestorePath : public ::testing::Test {
 protected:
  void SetUp() override {
    kstest::paths::fresh_log();
    kstest::paths::write_task_secret();
  }

  // For the tests whose subject is not the cloud's transitions (the round
  // trip keeps them): each ends at its first read, so every wait of the
  // module costs one sleep.
  static void quick(Harness& h) { h.cloud().set_polls(kstest::e2e::quick_polls()); }

  // A full backup of the server; the path of its snapshot tarball.
  static std::string backup(Harness const& h, std::string const& server, std::string const& name) {
    std::string const dir = h.task_dir() + "/backup-" + name;
    fs::create_directories(dir);
    ProcessResult const r = h.run(kstest::paths::backup_args(server, dir, name));
    EXPECT_EQ(r.status, 0) << describe(r, h);
    return dir + "/" + name + ".snap";
  }

  static std::vector<std::string> restore_args(Harness const& h, std::string const& name, std::string const& snap) {
    std::string const dir = h.task_dir() + "/restore";
    fs::create_directories(dir);
    return kstest::paths::restore_args(name, dir, snap, "last:true");
  }

  static boost::json::value server_named(Harness const& h, std::string const& name) {
    boost::json::object const inventory = h.inventory();
    for (auto const& s : inventory.at("servers").as_array())
      if (text(s, "name") == name) return s;
    return nullptr;
  }

  // The volumes attached to a server, by device.
  static std::map<std::string, boost::json::value> disks_of(Harness const& h, std::string const& server) {
    std::map<std::string, boost::json::value> disks;
    boost::json::object const inventory = h.inventory();
    for (auto const& v : inventory.at("volumes").as_array()) {
      auto const& a = v.at("attachment");
      if (!a.is_null() && text(a, "server_id") == server) disks[text(a, "device")] = v;
    }
    return disks;
  }
};

TEST_F(RestorePath, RoundTripMakesANewServerWithTheBackedUpBytes) {
  Harness h;
  auto const web = h.standard_vm();
  std::string const root = web.volume_ids[0], data = web.volume_ids[1];
  std::string const root_bytes = h.read_volume(root), data_bytes = h.read_volume(data);
  std::string const snap = backup(h, web.id, "copy1");
  // Written after the backup: neither reaches the restore nor is undone by it.
  std::string const later = kstest::e2e::random_bytes(4096);
  h.write_volume(root, later);
  std::string const vda = kstest::read_file("/dev/vda");

  ProcessResult const r = h.run(restore_args(h, "copy1", snap));
  ASSERT_EQ(r.status, 0) << describe(r, h);

  // "web" is taken by the original.
  boost::json::value const made = server_named(h, "web_2");
  ASSERT_FALSE(made.is_null()) << cloud_objects(h);
  EXPECT_EQ(text(made, "status"), "ACTIVE");
  auto const disks = disks_of(h, text(made, "id"));
  ASSERT_EQ(disks.size(), 2u) << cloud_objects(h);
  boost::json::value const& boot = disks.at("/dev/vda");
  boost::json::value const& second = disks.at("/dev/vdb");
  EXPECT_TRUE(boot.at("bootable").as_bool());
  EXPECT_EQ(h.read_volume(text(boot, "id")), root_bytes);
  EXPECT_EQ(h.read_volume(text(second, "id")), data_bytes);
  EXPECT_EQ(text(second, "status"), "in-use");

  // Nothing left on the Kestrova VM; the original untouched.
  EXPECT_TRUE(h.block_devices().empty());
  auto const kestrova = disks_of(h, sc::kestrova_vm);
  ASSERT_EQ(kestrova.size(), 1u);
  EXPECT_EQ(kestrova.begin()->first, "/dev/vda");
  EXPECT_EQ(kstest::read_file("/dev/vda"), vda);
  auto const original = disks_of(h, web.id);
  ASSERT_EQ(original.size(), 2u);
  EXPECT_EQ(text(original.at("/dev/vda"), "id"), root);
  EXPECT_EQ(h.read_volume(root).substr(0, later.size()), later);
  EXPECT_EQ(h.read_volume(data), data_bytes);

  EXPECT_FALSE(fs::exists(h.task_dir() + "/restore/copy1.rest"));
  std::string const log = h.log_text();
  EXPECT_NE(log.find("Server will be restored with the name: web_2"), std::string::npos) << log;
  EXPECT_NE(log.find("Server 'web_2 is now ACTIVE"), std::string::npos) << log;
  EXPECT_EQ(log.find("left behind"), std::string::npos) << log;
}

// The cloud names the Kestrova VM's own disk for the first new volume: the
// copy goes to the volume's real device, found by its serial, and /dev/vda
// is never written.
TEST_F(RestorePath, NeverWritesTheDiskTheCloudWronglyNames) {
  Harness h;
  quick(h);
  auto const web = h.standard_vm();
  std::string const root_bytes = h.read_volume(web.volume_ids[0]);
  std::string const snap = backup(h, web.id, "copy1");
  std::string const vda = kstest::read_file("/dev/vda");
  h.cloud().add_fault({{"method", "POST"},
                       {"path", ".*/os-volume_attachments"},
                       {"nth", 1},
                       {"patch", {{"volumeAttachment", {{"device", "/dev/vda"}}}}}});

  ProcessResult const r = h.run(restore_args(h, "copy1", snap));
  ASSERT_EQ(r.status, 0) << describe(r, h);
  EXPECT_EQ(kstest::read_file("/dev/vda"), vda);
  boost::json::value const made = server_named(h, "web_2");
  ASSERT_FALSE(made.is_null()) << cloud_objects(h);
  auto const disks = disks_of(h, text(made, "id"));
  ASSERT_EQ(disks.count("/dev/vda"), 1u) << cloud_objects(h);
  EXPECT_EQ(h.read_volume(text(disks.at("/dev/vda"), "id")), root_bytes);
  EXPECT_NE(h.log_text().find("The cloud reported device '/dev/vda' for volume '"), std::string::npos);
}

// When the original name is free (the original server is gone), the new
// server takes it.
TEST_F(RestorePath, TakesTheOriginalNameWhenItIsFree) {
  Harness h;
  quick(h);
  auto const web = h.standard_vm();
  std::string const root_bytes = h.read_volume(web.volume_ids[0]);
  std::string const snap = backup(h, web.id, "copy1");
  h.cloud().control("DELETE", "objects/servers/" + web.id);

  ProcessResult const r = h.run(restore_args(h, "copy1", snap));
  ASSERT_EQ(r.status, 0) << describe(r, h);
  boost::json::value const made = server_named(h, "web");
  ASSERT_FALSE(made.is_null()) << cloud_objects(h);
  EXPECT_NE(text(made, "id"), web.id);
  auto const disks = disks_of(h, text(made, "id"));
  ASSERT_EQ(disks.size(), 2u) << cloud_objects(h);
  EXPECT_EQ(h.read_volume(text(disks.at("/dev/vda"), "id")), root_bytes);
  std::string const log = h.log_text();
  EXPECT_NE(log.find("Server will be restored with the name: web"), std::string::npos) << log;
  EXPECT_EQ(log.find("Server will be restored with the name: web_"), std::string::npos) << log;
  EXPECT_EQ(log.find("exists in Rustack"), std::string::npos) << log;
}

// A final detachment that fails leaves the complete volumes where they are
// (never rolled back) and names each of them, with its state and where it is
// attached.
TEST_F(RestorePath, AFailedFinalDetachKeepsTheCompleteVolumesAndNamesThem) {
  Harness h;
  quick(h);
  auto const web = h.standard_vm();
  std::string const root = web.volume_ids[0], data = web.volume_ids[1];
  std::string const root_bytes = h.read_volume(root), data_bytes = h.read_volume(data);
  std::string const snap = backup(h, web.id, "copy1");
  std::set<std::string> before;
  boost::json::object const inventory_before = h.inventory();
  for (auto const& v : inventory_before.at("volumes").as_array()) before.insert(text(v, "id"));
  h.cloud().add_fault({{"method", "DELETE"},
                       {"path", std::string(".*/servers/") + sc::kestrova_vm + "/os-volume_attachments/.*"},
                       {"nth", 1},
                       {"status", 500}});

  ProcessResult const r = h.run(restore_args(h, "copy1", snap));
  EXPECT_EQ(r.status, 7) << describe(r, h);

  std::map<std::string, boost::json::value> kept;  // by the bytes' original
  boost::json::object const inventory = h.inventory();
  for (auto const& v : inventory.at("volumes").as_array()) {
    if (before.count(text(v, "id"))) continue;
    std::string const bytes = h.read_volume(text(v, "id"));
    kept[bytes == root_bytes ? root : bytes == data_bytes ? data : "?"] = v;
  }
  ASSERT_EQ(kept.size(), 2u) << cloud_objects(h);
  ASSERT_EQ(kept.count(root) + kept.count(data), 2u) << cloud_objects(h);
  EXPECT_EQ(inventory.at("servers").as_array().size(), 2u) << cloud_objects(h);
  // The first detachment failed: that volume is still on the Kestrova VM,
  // the other one was detached.
  std::string const stuck = text(kept.at(root), "status") == "in-use" ? root : data;
  std::string const detached = stuck == root ? data : root;
  boost::json::value const& on_kestrova = kept.at(stuck);
  ASSERT_EQ(text(on_kestrova, "status"), "in-use") << cloud_objects(h);
  EXPECT_EQ(text(on_kestrova.at("attachment"), "server_id"), sc::kestrova_vm);
  EXPECT_EQ(text(kept.at(detached), "status"), "available");

  std::string const log = h.log_text();
  std::string const sig =
      "Error: int KsModuleRuStack::restore_volumes(const server_conf&, const string&, "
      "std::set<std::__cxx11::basic_string<char> >&, std::__cxx11::string&): the restored volume '";
  std::string const project = std::string("') of project '") + sc::project + "' remains in the state ";
  EXPECT_NE(log.find(sig + text(on_kestrova, "id") + "' (a copy of '" + stuck + project +
                     "in-use, attached to server 'kestrova-vm' as '" + text(on_kestrova.at("attachment"), "device") +
                     "'"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(sig + text(kept.at(detached), "id") + "' (a copy of '" + detached + project + "available"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("virtual bool KsModuleRuStack::deployment(const bool&): failed to restore volumes"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("left behind"), std::string::npos) << log;
}

struct Neighbour {
  char const* what;
  char const* own_link;  // the by-id form of the link of the restore's own disks: "scsi", or "" for none
  bool other_link;       // the other task's disk has its virtio link
};

class NeighbourAttachment : public RestorePath, public ::testing::WithParamInterface<Neighbour> {};

// Another task on the Kestrova VM (one that does not take the attach lock)
// attaches its volume while the restore waits for the cloud's answer, and
// the cloud names that new disk for the restore's first volume. dd never
// writes it: the restore copies onto its own disk, found by its serial or as
// the one new disk that no serial shows to be another's, or fails clearly
// when it cannot tell it.
TEST_P(NeighbourAttachment, NeverWritesAnotherVolumesNewDisk) {
  Harness h;
  quick(h);
  auto const web = h.standard_vm();
  std::string const root_bytes = h.read_volume(web.volume_ids[0]);
  std::string const snap = backup(h, web.id, "copy1");
  std::string const other = kstest::paths::spare_volume(h);
  std::string const other_bytes = h.read_volume(other);
  std::string const own_link = GetParam().own_link;
  boost::json::object other_rule{{"volumes", {other}}};
  if (!GetParam().other_link) other_rule["by_id"] = false;
  h.set_device_fault_rules({other_rule, {{"by_id", own_link.empty() ? boost::json::value(false)
                                                                     : boost::json::value(own_link)}}});
  std::string const before = cloud_objects(h);
  kstest::paths::AttachmentMeanwhile neighbour(h, other);
  auto run = h.start(restore_args(h, "copy1", snap));
  EXPECT_EQ(neighbour.run(), "");
  ProcessResult const r = run->wait(std::chrono::seconds(300));
  std::string const log = h.log_text();

  EXPECT_EQ(h.read_volume(other), other_bytes);
  auto const devices = h.block_devices();
  ASSERT_EQ(devices.size(), 1u) << cloud_objects(h);
  EXPECT_EQ(devices[0].volume_id, other);
  if (!GetParam().other_link) {
    EXPECT_EQ(r.status, 7) << describe(r, h);
    EXPECT_NE(log.find("2 new block devices appeared on server 'kestrova-vm' ("), std::string::npos) << log;
    EXPECT_NE(log.find("so its device cannot be told"), std::string::npos) << log;
    // Only the other task's attachment is new.
    std::string const other_line = "volume " + other + " available\n";
    std::string expected = before;
    ASSERT_NE(expected.find(other_line), std::string::npos) << before;
    expected.replace(expected.find(other_line), other_line.size(),
                     "volume " + other + " in-use at " + sc::kestrova_vm + ":/dev/vdb\n");
    EXPECT_EQ(cloud_objects(h), expected);
  } else {
    ASSERT_EQ(r.status, 0) << describe(r, h);
    boost::json::value const made = server_named(h, "web_2");
    ASSERT_FALSE(made.is_null()) << cloud_objects(h);
    EXPECT_EQ(h.read_volume(text(disks_of(h, text(made, "id")).at("/dev/vda"), "id")), root_bytes);
    EXPECT_NE(log.find("The cloud reported device '/dev/vdb' for volume '"), std::string::npos) << log;
  }
}

INSTANTIATE_TEST_SUITE_P(RestorePath, NeighbourAttachment,
                         ::testing::Values(Neighbour{"own_disk_without_a_link", "", true},
                                           Neighbour{"own_disk_on_a_scsi_bus", "scsi", true},
                                           Neighbour{"no_disk_with_a_link", "", false}),
                         [](auto const& info) { return std::string(info.param.what); });

// Two bootable volumes: the new server boots from the one that was the boot
// disk, and the others come back at their original devices, each attachment
// complete.
TEST_F(RestorePath, BootsFromTheOriginalBootDiskAndKeepsTheDeviceOrder) {
  Harness h;
  quick(h);
  auto const vm = h.make_vm({"db", {{"db-root", 2, true, true}, {"db-a", 1, true, true}, {"db-b", 1}}});
  std::vector<std::string> bytes;
  for (auto const& id : vm.volume_ids) bytes.push_back(h.read_volume(id));
  std::string const snap = backup(h, vm.id, "copy1");

  ProcessResult const r = h.run(restore_args(h, "copy1", snap));
  ASSERT_EQ(r.status, 0) << describe(r, h);
  boost::json::value const made = server_named(h, "db_2");
  ASSERT_FALSE(made.is_null()) << cloud_objects(h);
  auto const disks = disks_of(h, text(made, "id"));
  ASSERT_EQ(disks.size(), 3u) << cloud_objects(h);
  std::vector<std::string> const devices{"/dev/vda", "/dev/vdb", "/dev/vdc"};
  for (std::size_t i = 0; i < devices.size(); ++i) {
    SCOPED_TRACE(devices[i]);
    EXPECT_EQ(h.read_volume(text(disks.at(devices[i]), "id")), bytes[i]);
    EXPECT_EQ(text(disks.at(devices[i]), "status"), "in-use");
  }
}

// A restore stopped while it makes its volumes removes them again.
TEST_F(RestorePath, SignalWhileTheVolumesAreMadeRemovesThem) {
  Harness h;
  auto const web = h.standard_vm();
  std::string const snap = backup(h, web.id, "copy1");
  std::string const before = cloud_objects(h);
  h.cloud().set_polls({{"volume_attach", 3}});
  // The signal must come within the polls of the wait: on the real clock.
  h.cap_clock_rate(1);
  auto run = h.start(restore_args(h, "copy1", snap));
  // The first volume is copied, the second is being attached.
  ASSERT_TRUE(kstest::paths::wait_for_requests(h, "POST", ".*/os-volume_attachments", 2));
  run->send_signal(SIGTERM);
  ProcessResult const r = run->wait(std::chrono::seconds(120));
  EXPECT_EQ(r.status, 17) << describe(r, h);
  EXPECT_EQ(cloud_objects(h), before);
  EXPECT_TRUE(h.block_devices().empty());
  EXPECT_EQ(h.log_text().find("left behind"), std::string::npos) << h.log_text();
}

// ---- refusals of the volume restore, on hand-made restore directories ---------------

class InProcessModule : public KsModuleRuStack {
 public:
  explicit InProcessModule(std::string const& directory) : KsModuleRuStack(options(directory)) {}

 private:
  static KsModuleOptions options(std::string const& directory) {
    KsModuleOptions o;
    o.operation = op_restore;
    o.tmp_operation_directory = directory;
    return o;
  }
};

volume saved_volume(std::string const& id, std::string const& device, bool boot) {
  volume v;
  v.id = id;
  v.size = "1";
  v.availability_zone = "nova";
  v.volume_type = "__DEFAULT__";
  v.tenant_id = sc::project;
  v.bootable = boot ? "true" : "false";
  if (boot) v.volume_image_metadata.image_id = sc::image;
  v.attachments.push_back({"att-" + id, "", boot ? "/dev/vda" : "/dev/vdb"});
  v.attached_device_name = device;
  return v;
}

struct RefusalCase {
  char const* what;
  std::string first_image, second_image;  // the saved device names
  std::size_t second_size;                // bytes of the second image; 0: no image file
  bool makes_volumes;                     // whether any volume is made before the refusal
  std::string message;                    // a part of the Error line of restore_volumes
  bool first_bootable = true;             // the first volume was the boot disk (else none was bootable)
};

class RestoreRefusal : public RestorePath, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RestoreRefusal, RefusesAndLeavesNothing) {
  RefusalCase const& c = GetParam();
  Harness h;
  quick(h);
  kstest::TempDir dir;
  server_conf server;
  server.id = "original";
  server.name = "hand";
  server.tenant_id = sc::project;
  server.flavor_id = "1";
  server.availability_zone = "nova";
  server.security_groups = {"default"};
  server.attached_volumes = {"saved-1", "saved-2"};
  ASSERT_TRUE(save_server_config((dir / "vm.config").string(), server));
  ASSERT_TRUE(save_volume_config((dir / "saved-1.conf").string(),
                                 saved_volume("saved-1", c.first_image, c.first_bootable)));
  ASSERT_TRUE(save_volume_config((dir / "saved-2.conf").string(), saved_volume("saved-2", c.second_image, false)));
  if (rustack_restore::is_plain_file_name(c.first_image))
    kstest::write_file(dir / c.first_image, kstest::e2e::random_bytes(1 << 20));
  if (c.second_size > 0 && rustack_restore::is_plain_file_name(c.second_image))
    kstest::write_file(dir / c.second_image, kstest::e2e::random_bytes(c.second_size));

  std::string const before = cloud_objects(h);
  h.cloud().clear_log();
  kstest::LogCapture log;
  InProcessModule module(dir.str());
  ASSERT_TRUE(module.load_module_config());
  EXPECT_FALSE(module.deployment(false));

  std::string const text = log.text();
  EXPECT_NE(text.find(c.message), std::string::npos) << text;
  EXPECT_NE(text.find("virtual bool KsModuleRuStack::deployment(const bool&): failed to restore volumes"),
            std::string::npos)
      << text;
  EXPECT_EQ(cloud_objects(h), before);
  EXPECT_TRUE(h.block_devices().empty());
  EXPECT_EQ(text.find("left behind"), std::string::npos) << text;
  bool created = false;
  for (auto const& e : h.request_log())
    if (kstest::paths::text(e, "method") == "POST" &&
        kstest::paths::text(e, "path").find("/volumes") != std::string::npos)
      created = true;
  EXPECT_EQ(created, c.makes_volumes);
}

INSTANTIATE_TEST_SUITE_P(
    RestorePath, RestoreRefusal,
    ::testing::Values(
        RefusalCase{"parent_directory", "../vm.config", "vdc", 1 << 20, false,
                    "\"../vm.config\" of volume 'saved-1' is not a plain file name"},
        RefusalCase{"sub_directory", "vdb", "x/vdc", 1 << 20, false,
                    "\"x/vdc\" of volume 'saved-2' is not a plain file name"},
        RefusalCase{"same_device_name", "vdb", "vdb", 1 << 20, false,
                    "volumes 'saved-1' and 'saved-2' were both saved as the device 'vdb'"},
        RefusalCase{"missing_image", "vdb", "vdc", 0, false, "/vdc' doesn't exist"},
        // A server that booted from an image: no volume to boot a new one from.
        RefusalCase{"no_bootable_volume", "vdb", "vdc", 1 << 20, false,
                    "none of the saved volumes is bootable, no server can boot from them", false},
        // Found once the volume exists: both volumes made so far go again.
        RefusalCase{"image_larger_than_volume", "vdb", "vdc", (1 << 20) + 1, true,
                    " bytes is larger than volume '"}),
    [](auto const& info) { return std::string(info.param.what); });

// The pid of a /bin/dd that this process started through the shell, or 0.
pid_t own_dd() {
  pid_t const self = ::getpid();
  for (auto const& e : fs::directory_iterator("/proc")) {
    std::string const name = e.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string cmdline, stat;
    try {
      cmdline = kstest::read_file(e.path() / "cmdline");
      stat = kstest::read_file(e.path() / "stat");
    } catch (std::exception const&) {
      continue;
    }
    if (cmdline.rfind(std::string("/bin/dd\0if=", 11), 0) != 0) continue;
    // The parent is a shell whose parent is this process (or dd is ours directly).
    auto parent_of = [](std::string const& text) {
      std::istringstream in(text.substr(text.rfind(')') + 2));
      std::string state;
      pid_t parent = 0;
      in >> state >> parent;
      return parent;
    };
    pid_t const parent = parent_of(stat);
    pid_t grandparent = 0;
    try {
      grandparent = parent_of(kstest::read_file("/proc/" + std::to_string(parent) + "/stat"));
    } catch (std::exception const&) {
    }
    if (parent == self || grandparent == self) return static_cast<pid_t>(std::stoi(name));
  }
  return 0;
}

// A copy that dies by a signal is no copy: the restore fails and its volume
// goes again.
TEST_F(RestorePath, ACopyKilledByASignalFailsTheRestore) {
  Harness h;
  quick(h);
  kstest::TempDir dir;
  server_conf server;
  server.id = "original";
  server.name = "hand";
  server.tenant_id = sc::project;
  server.attached_volumes = {"saved-1"};
  ASSERT_TRUE(save_server_config((dir / "vm.config").string(), server));
  volume record = saved_volume("saved-1", "vdb", true);
  record.size = "256";  // MiB in the standard seed
  ASSERT_TRUE(save_volume_config((dir / "saved-1.conf").string(), record));
  kstest::write_file(dir / "vdb", "");
  fs::resize_file(dir / "vdb", 256u << 20);

  std::string const before = cloud_objects(h);
  kstest::LogCapture log;
  InProcessModule module(dir.str());
  ASSERT_TRUE(module.load_module_config());
  std::atomic<bool> done{false}, killed{false};
  std::thread killer([&] {
    while (!done && !killed) {
      if (pid_t const dd = own_dd(); dd > 0 && ::kill(dd, SIGKILL) == 0) killed = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  bool const deployed = module.deployment(false);
  done = true;
  killer.join();
  ASSERT_TRUE(killed) << "the copy ended before it could be stopped";
  EXPECT_FALSE(deployed);
  std::string const text = log.text();
  EXPECT_NE(text.find(": unable to copy archive to block device: "), std::string::npos) << text;
  EXPECT_EQ(cloud_objects(h), before);
  EXPECT_TRUE(h.block_devices().empty());
}

}  // namespace

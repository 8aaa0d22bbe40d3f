// The backup hooks through the real program, against the stand-in cloud with
// real block devices, the stand-in ksfd and virsh: what a full backup hands
// to ksfd and leaves behind, device names the cloud gets wrong, and clean-ups
// that cannot finish.
#include <signal.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/backup_client.h"
#include "path_runs.h"
#include "rustack/records.h"

namespace {

namespace fs = boost::filesystem;
namespace sc = kstest::standard_cloud;
using kstest::e2e::Harness;
using kstest::e2e::ProcessResult;
using kstest::paths::backup_args;
using kstest::paths::cloud_objects;
using kstest::paths::describe;

// The items of a backup as the program lists them on standard output.
std::vector<std::string> listed_items(ProcessResult const& r) {
  std::vector<std::string> items;
  bool in_list = false;
  for (auto const& line : r.out_lines) {
    if (line == "File list to backup: ") {
      in_list = true;
    } else if (in_list && line.find(" : ") != std::string::npos) {
      items.push_back(line);
    } else {
      in_list = false;
    }
  }
  return items;
}

// The archive extracted again by a restore run that is not the last one
// (it keeps its directory), so what went into it can be read back.
std::string extract(Harness const& h, std::string const& name, std::string const& snap) {
  std::string const dir = h.task_dir() + "/extract";
  fs::create_directories(dir);
  ProcessResult const r = h.run(kstest::paths::restore_args(name, dir, snap, ""));
  EXPECT_EQ(r.status, 0) << describe(r, h);
  return dir + "/" + name + ".rest";
}

class BackupPath : public ::testing::Test {
 protected:
  void SetUp() override {
    kstest::paths::fresh_log();
    kstest::paths::write_task_secret();
  }

  // For the tests whose subject is not the cloud's transitions (the full
  // backup keeps them): each ends at its first read, so every wait of the
  // module costs one sleep.
  static void quick(Harness& h) { h.cloud().set_polls(kstest::e2e::quick_polls()); }
};

TEST_F(BackupPath, FullBackupListsDevicesAndDescriptionsAndLeavesTheCloudAsItWas) {
  Harness h;
  auto const web = h.standard_vm();
  ASSERT_EQ(web.volume_ids.size(), 2u);
  std::string const root = web.volume_ids[0], data = web.volume_ids[1];
  std::string const root_bytes = h.read_volume(root), data_bytes = h.read_volume(data);
  std::string const before = cloud_objects(h);
  std::string const vda = kstest::read_file("/dev/vda");

  std::string const t = h.task_dir();
  ProcessResult const r = h.run(backup_args(web.id, t, "copy1"));
  ASSERT_EQ(r.status, 0) << describe(r, h);

  // Block devices first: their paths sort before the task directory's.
  EXPECT_EQ(listed_items(r), (std::vector<std::string>{
                                 "/dev/vdb : vdb",
                                 "/dev/vdc : vdc",
                                 t + "/copy1.vm.config : vm.config",
                                 t + "/copy1_vdb.config : " + root + ".conf",
                                 t + "/copy1_vdc.config : " + data + ".conf",
                             }))
      << r.out;
  ASSERT_EQ(h.ksfd_calls().size(), 1u);
  EXPECT_NE(h.ksfd_calls()[0].find(" -c " + t + "/copy1.ksfd.list "), std::string::npos) << h.ksfd_calls()[0];

  // Nothing left: temporary volumes, snapshots, devices, local files.
  EXPECT_EQ(cloud_objects(h), before);
  EXPECT_TRUE(h.block_devices().empty());
  EXPECT_EQ(kstest::paths::entries(t), std::vector<std::string>{"copy1.snap"});
  boost::json::object const inventory = h.inventory();
  EXPECT_EQ(inventory.at("deleted").at("snapshots").as_array().size(), 2u);
  EXPECT_EQ(inventory.at("deleted").at("volumes").as_array().size(), 2u);

  // What went into the archive.
  std::string const rest = extract(h, "copy1", t + "/copy1.snap");
  std::vector<std::string> expected{data + ".conf", root + ".conf", "vdb", "vdc", "vm.config"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(kstest::paths::entries(rest), expected);
  EXPECT_EQ(kstest::read_file(rest + "/vdb"), root_bytes);
  EXPECT_EQ(kstest::read_file(rest + "/vdc"), data_bytes);

  server_conf server;
  ASSERT_EQ(fill_server_config(rest, server), 0);
  EXPECT_EQ(server.id, web.id);
  EXPECT_EQ(server.name, "web");
  EXPECT_EQ(server.tenant_id, sc::project);
  EXPECT_EQ(server.attached_volumes, web.volume_ids);
  EXPECT_EQ(server.instance_name, web.instance_name);
  EXPECT_EQ(server.hypervisor_type, "QEMU");

  std::set<std::string> deleted_snapshots;
  for (auto const& s : inventory.at("deleted").at("snapshots").as_array()) deleted_snapshots.emplace(s.as_string());
  for (auto const& [id, device] : std::map<std::string, std::string>{{root, "vdb"}, {data, "vdc"}}) {
    SCOPED_TRACE(id);
    volume v;
    ASSERT_EQ(fill_volume_config(rest, id, v), 0);
    EXPECT_EQ(v.id, id);
    EXPECT_EQ(v.attached_device_name, device);
    EXPECT_EQ(v.tenant_id, sc::project);
    // The snapshot this backup took of it.
    EXPECT_EQ(deleted_snapshots.count(v.snapshot_id), 1u) << v.snapshot_id;
    ASSERT_FALSE(v.attachments.empty());
    EXPECT_EQ(v.attachments[0].device, "/dev/" + std::string(id == root ? "vda" : "vdb"));
  }

  // The Kestrova VM's own disk was never written.
  EXPECT_EQ(kstest::read_file("/dev/vda"), vda);
  std::string const log = h.log_text();
  EXPECT_NE(log.find("Got a task to make full backup of VM '" + web.id + "'"), std::string::npos);
  EXPECT_NE(log.find("The task to make 1 backup of VM '" + web.id + "' completed successfully"), std::string::npos);
  EXPECT_EQ(log.find("prepare_resource_before_backup(const bool&): "), std::string::npos) << log;
  EXPECT_EQ(log.find("left behind"), std::string::npos) << log;
}

// The attachment reply names the Kestrova VM's own disk for the first volume
// and a device that never appears for the second: each is found by its
// serial, and the archive holds the volumes' bytes, never /dev/vda's.
TEST_F(BackupPath, WrongDeviceNamesFromTheCloudAreNotTrusted) {
  Harness h;
  quick(h);
  auto const web = h.standard_vm();
  std::string const root_bytes = h.read_volume(web.volume_ids[0]), data_bytes = h.read_volume(web.volume_ids[1]);
  for (auto const& [nth, device] : std::map<int, std::string>{{1, "/dev/vda"}, {2, "/dev/vdq"}})
    h.cloud().add_fault({{"method", "POST"},
                         {"path", ".*/os-volume_attachments"},
                         {"nth", nth},
                         {"patch", {{"volumeAttachment", {{"device", device}}}}}});
  std::string const t = h.task_dir();
  ProcessResult const r = h.run(backup_args(web.id, t, "copy1"));
  ASSERT_EQ(r.status, 0) << describe(r, h);

  auto const items = listed_items(r);
  ASSERT_EQ(items.size(), 5u) << r.out;
  EXPECT_EQ(items[0], "/dev/vdb : vdb");
  EXPECT_EQ(items[1], "/dev/vdc : vdc");
  std::string const log = h.log_text();
  EXPECT_NE(log.find("The cloud reported device '/dev/vda' for volume '"), std::string::npos) << log;
  EXPECT_NE(log.find("The cloud reported device '/dev/vdq' for volume '"), std::string::npos) << log;

  std::string const rest = extract(h, "copy1", t + "/copy1.snap");
  EXPECT_EQ(kstest::read_file(rest + "/vdb"), root_bytes);
  EXPECT_EQ(kstest::read_file(rest + "/vdc"), data_bytes);
  volume v;
  ASSERT_EQ(fill_volume_config(rest, web.volume_ids[0], v), 0);
  EXPECT_EQ(v.attached_device_name, "vdb");
}

struct PreparationFailure {
  char const* what;
  boost::json::object fault;
  std::string message;  // a part of the hook's Error line
};

// A log line holding `start` followed, somewhere after it, by `part`.
bool has_line(std::string const& log, std::string const& start, std::string const& part) {
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    auto const at = line.find(start);
    if (at != std::string::npos && line.find(part, at + start.size()) != std::string::npos) return true;
  }
  return false;
}

class FailedPreparation : public BackupPath, public ::testing::WithParamInterface<PreparationFailure> {};

// Whatever the preparation made is gone again when it fails, and so are its
// local files.
TEST_P(FailedPreparation, RemovesWhatItMade) {
  Harness h;
  auto const web = h.standard_vm();
  std::string const before = cloud_objects(h);
  h.cloud().add_fault(GetParam().fault);
  std::string const t = h.task_dir();
  ProcessResult const r = h.run(backup_args(web.id, t, "copy1"));
  EXPECT_EQ(r.status, 6) << describe(r, h);
  std::string const log = h.log_text();
  EXPECT_TRUE(has_line(log, "Error: virtual bool KsModuleRuStack::prepare_resource_before_backup(const bool&): ",
                       GetParam().message))
      << log;
  EXPECT_EQ(cloud_objects(h), before);
  EXPECT_TRUE(h.block_devices().empty());
  for (auto const& name : kstest::paths::entries(t)) EXPECT_EQ(name.find(".config"), std::string::npos) << name;
  EXPECT_EQ(log.find("left behind"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(
    BackupPath, FailedPreparation,
    ::testing::Values(
        // Both volumes reported at one device: never one replacing the other.
        PreparationFailure{"same_device_for_two_volumes",
                           {{"method", "POST"},
                            {"path", ".*/os-volume_attachments"},
                            {"times", 0},
                            {"patch", {{"volumeAttachment", {{"device", "/dev/vdb"}}}}}},
                           "' were both reported at device '/dev/vdb'"},
        PreparationFailure{"second_attachment_refused",
                           {{"method", "POST"}, {"path", ".*/os-volume_attachments"}, {"nth", 2}, {"status", 500}},
                           "unable to attach volume '"},
        PreparationFailure{"snapshot_in_error",
                           {{"method", "GET"}, {"path", ".*/snapshots/[0-9a-f-]+"}, {"nth", 1}, {"state", "error"}},
                           "' has unexpected status: error"}),
    [](auto const& info) { return std::string(info.param.what); });

struct Neighbour {
  char const* what;
  char const* own_link;  // the by-id form of the link of the backup's own disks: "scsi", or "" for none
  bool other_link;       // the other task's disk has its virtio link
};

class NeighbourAttachment : public BackupPath, public ::testing::WithParamInterface<Neighbour> {};

// Another task on the Kestrova VM (one that does not take the attach lock)
// attaches its volume while this backup waits for the cloud's answer, and
// the cloud names that new disk for this backup's volume. It is never read:
// the backup takes its own disk by its serial, or as the one new disk that
// no serial shows to be another's, and fails clearly when it cannot tell.
TEST_P(NeighbourAttachment, AnotherVolumesNewDiskIsNeverRead) {
  Harness h;
  quick(h);
  auto const web = h.standard_vm();
  std::string const root_bytes = h.read_volume(web.volume_ids[0]), data_bytes = h.read_volume(web.volume_ids[1]);
  std::string const other = kstest::paths::spare_volume(h);
  std::string const own_link = GetParam().own_link;
  boost::json::object other_rule{{"volumes", {other}}};
  if (!GetParam().other_link) other_rule["by_id"] = false;
  h.set_device_fault_rules({other_rule, {{"by_id", own_link.empty() ? boost::json::value(false)
                                                                     : boost::json::value(own_link)}}});
  kstest::paths::AttachmentMeanwhile neighbour(h, other);
  std::string const t = h.task_dir();
  auto run = h.start(backup_args(web.id, t, "copy1"));
  EXPECT_EQ(neighbour.run(), "");
  ProcessResult const r = run->wait(std::chrono::seconds(300));
  std::string const log = h.log_text();

  if (!GetParam().other_link) {
    EXPECT_EQ(r.status, 6) << describe(r, h);
    EXPECT_TRUE(h.ksfd_calls().empty());
    EXPECT_TRUE(has_line(log, "Error: virtual bool KsModuleRuStack::prepare_resource_before_backup(const bool&): ",
                         "2 new block devices appeared on server 'kestrova-vm' ("))
        << log;
    EXPECT_TRUE(has_line(log, "'/dev/vdb'", "and nothing tells which of them is volume '"))
        << log;
    EXPECT_NE(log.find("so its device cannot be told"), std::string::npos) << log;
  } else {
    ASSERT_EQ(r.status, 0) << describe(r, h);
    auto const items = listed_items(r);
    ASSERT_EQ(items.size(), 5u) << r.out;
    EXPECT_EQ(items[0], "/dev/vdc : vdc");
    EXPECT_EQ(items[1], "/dev/vdd : vdd");
    EXPECT_NE(log.find("The cloud reported device '/dev/vdb' for volume '"), std::string::npos) << log;
    EXPECT_NE(log.find(own_link.empty() ? "', the one new disk is '/dev/vdc'" : "', its serial names '/dev/vdc'"),
              std::string::npos)
        << log;
    std::string const rest = extract(h, "copy1", t + "/copy1.snap");
    EXPECT_EQ(kstest::read_file(rest + "/vdc"), root_bytes);
    EXPECT_EQ(kstest::read_file(rest + "/vdd"), data_bytes);
  }
  // The backup's own objects are gone; the other task's disk is still there.
  boost::json::object const inventory = h.inventory();
  EXPECT_TRUE(inventory.at("snapshots").as_array().empty()) << cloud_objects(h);
  auto const devices = h.block_devices();
  ASSERT_EQ(devices.size(), 1u) << cloud_objects(h);
  EXPECT_EQ(devices[0].volume_id, other);
  EXPECT_EQ(devices[0].device, "/dev/vdb");
  EXPECT_EQ(inventory.at("volumes").as_array().size(), 4u) << cloud_objects(h);
}

INSTANTIATE_TEST_SUITE_P(BackupPath, NeighbourAttachment,
                         ::testing::Values(Neighbour{"own_disk_without_a_link", "", true},
                                           Neighbour{"own_disk_on_a_scsi_bus", "scsi", true},
                                           Neighbour{"no_disk_with_a_link", "", false}),
                         [](auto const& info) { return std::string(info.param.what); });

std::set<std::string> ids_of(boost::json::object const& inventory, char const* kind) {
  std::set<std::string> ids;
  for (auto const& o : inventory.at(kind).as_array()) ids.insert(kstest::paths::text(o, "id"));
  return ids;
}

// The last line of the log that is not empty, its time stamp dropped.
std::string last_log_line(std::string const& log) {
  std::istringstream lines(log);
  std::string last;
  for (std::string line; std::getline(lines, line);) {
    while (!line.empty() && line.back() == ' ') line.pop_back();
    if (!line.empty()) last = line;
  }
  auto const end_of_time = last.find("] ");
  return end_of_time == std::string::npos ? last : last.substr(end_of_time + 2);
}

// The end of a release that leaves objects behind: no result lines for the
// client, no success, and a last line that names each object left.
void expect_release_failure(ProcessResult const& r, std::string const& log, std::string const& vm,
                            std::vector<std::pair<std::string, std::string>> const& left) {
  for (auto const& line : r.out_lines) EXPECT_NE(line.rfind("MAIN ", 0), 0u) << line;
  EXPECT_EQ(log.find("completed successfully"), std::string::npos) << log;
  std::string const last = last_log_line(log);
  std::string const start =
      "Info: The task to make 1 backup of VM '" + vm + "' failed; of its temporary objects these were left behind: ";
  EXPECT_EQ(last.rfind(start, 0), 0u) << last;
  std::size_t named = 0;
  for (auto const& [kind, id] : left) {
    EXPECT_NE(last.find(kind + " '" + id + "'"), std::string::npos) << kind << " " << id << "\n" << last;
    ++named;
  }
  // Nothing else is named.
  std::string const list = last.substr(std::min(start.size(), last.size()));
  EXPECT_EQ(static_cast<std::size_t>(std::count(list.begin(), list.end(), '\'')), 2 * named) << last;
}

// A clean-up that the cloud keeps refusing in part ends the backup after its
// tries as a failure (exit 6), and the log names every object it leaves
// behind.
TEST_F(BackupPath, ReleaseNamesWhatItLeavesBehind) {
  Harness h;
  quick(h);
  auto const web = h.standard_vm();
  auto const volumes_before = ids_of(h.inventory(), "volumes");
  h.cloud().add_fault({{"method", "DELETE"}, {"path", ".*/volumes/.*"}, {"times", 0}, {"status", 500}});
  h.cloud().add_fault({{"method", "DELETE"}, {"path", ".*/snapshots/.*"}, {"nth", 2}, {"times", 0}, {"status", 500}});
  ProcessResult const r = h.run(backup_args(web.id, h.task_dir(), "copy1"));
  EXPECT_EQ(r.status, 6) << describe(r, h);

  boost::json::object const inventory = h.inventory();
  std::set<std::string> left_volumes;
  for (auto const& id : ids_of(inventory, "volumes"))
    if (!volumes_before.count(id)) left_volumes.insert(id);
  auto const left_snapshots = ids_of(inventory, "snapshots");
  ASSERT_EQ(left_volumes.size(), 2u);
  ASSERT_EQ(left_snapshots.size(), 1u);

  std::string const log = h.log_text();
  std::string const sig = "virtual bool KsModuleRuStack::release_resource_after_backup(): ";
  std::string const project = std::string("' of project '") + sc::project + "' is left behind in the state available";
  for (std::string const& id : left_volumes)
    EXPECT_NE(log.find("Error: " + sig + "volume '" + id + project), std::string::npos) << log;
  EXPECT_NE(log.find("Error: " + sig + "snapshot '" + *left_snapshots.begin() + project), std::string::npos) << log;
  std::size_t named = 0;
  for (auto at = log.find("is left behind"); at != std::string::npos; at = log.find("is left behind", at + 1)) ++named;
  EXPECT_EQ(named, 3u) << log;
  std::vector<std::pair<std::string, std::string>> left{{"snapshot", *left_snapshots.begin()}};
  for (std::string const& id : left_volumes) left.emplace_back("volume", id);
  expect_release_failure(r, log, web.id, left);
  // Each delete was tried three times.
  std::size_t deletes = 0;
  for (auto const& e : h.request_log())
    if (e.at("method") == "DELETE" && std::string(e.at("path").as_string()).find("/snapshots/") != std::string::npos)
      ++deletes;
  EXPECT_EQ(deletes, 4u);
}

struct UnreachableCloud {
  char const* what;
  boost::json::object fault;  // from the release on
  std::string message;        // the release's Error line
  std::string why;            // the end of each leftover's line
};

class ReleaseWithoutCloud : public BackupPath, public ::testing::WithParamInterface<UnreachableCloud> {};

// A release that cannot reach the cloud at all still names, at Error, every
// snapshot and volume of the backup that stays there.
TEST_P(ReleaseWithoutCloud, NamesEverythingItLeaves) {
  Harness h;
  quick(h);
  auto const web = h.standard_vm();
  auto const volumes_before = ids_of(h.inventory(), "volumes");
  // ksfd takes its time at the end: the preparation is over by then.
  h.set_env("KSFD_STANDIN_DELAY_EXIT_MS", "2000");
  auto run = h.start(backup_args(web.id, h.task_dir(), "copy1"));
  auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (h.ksfd_calls().empty() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_FALSE(h.ksfd_calls().empty()) << h.log_text();
  h.cloud().add_fault(GetParam().fault);
  ProcessResult const r = run->wait(std::chrono::seconds(120));
  EXPECT_EQ(r.status, 6) << describe(r, h);

  boost::json::object const inventory = h.inventory();
  std::vector<std::pair<std::string, std::string>> left;
  for (auto const& id : ids_of(inventory, "volumes"))
    if (!volumes_before.count(id)) left.emplace_back("volume", id);
  for (auto const& id : ids_of(inventory, "snapshots")) left.emplace_back("snapshot", id);
  ASSERT_EQ(left.size(), 4u) << cloud_objects(h);

  std::string const log = h.log_text();
  std::string const sig = "Error: virtual bool KsModuleRuStack::release_resource_after_backup(): ";
  EXPECT_NE(log.find(sig + GetParam().message), std::string::npos) << log;
  for (auto const& [kind, id] : left)
    EXPECT_NE(log.find(sig + kind + " '" + id + "' of project '" + sc::project + "' is left behind" + GetParam().why),
              std::string::npos)
        << kind << " " << id << "\n" << log;
  expect_release_failure(r, log, web.id, left);
}

INSTANTIATE_TEST_SUITE_P(
    BackupPath, ReleaseWithoutCloud,
    ::testing::Values(UnreachableCloud{"no_api_version",
                                       {{"method", "GET"}, {"path", "/nova-api/"}, {"times", 0}, {"status", 500}},
                                       "unable to get API version ",
                                       " (no API version)"},
                      UnreachableCloud{"no_login",
                                       {{"method", "POST"}, {"path", ".*/auth/tokens"}, {"times", 0}, {"status", 401}},
                                       "unable login to url: ",
                                       " (no login)"}),
    [](auto const& info) { return std::string(info.param.what); });

// The project of the server is known from the moment its description is
// read: a backup stopped while its snapshots are still being made cleans up
// there, also the snapshots that could not be deleted yet.
TEST_F(BackupPath, SignalDuringTheSnapshotWaitLeavesNothing) {
  Harness h;
  auto const web = h.standard_vm();
  std::string const before = cloud_objects(h);
  h.cloud().set_polls({{"snapshot_create", 3}});
  // The signal must come within the polls of the wait: on the real clock.
  h.cap_clock_rate(1);
  auto run = h.start(backup_args(web.id, h.task_dir(), "copy1"));
  // The first poll of the snapshot wait.
  ASSERT_TRUE(kstest::paths::wait_for_requests(h, "GET", ".*/snapshots/[0-9a-f-]+", 1));
  run->send_signal(SIGTERM);
  ProcessResult const r = run->wait(std::chrono::seconds(120));
  EXPECT_EQ(r.status, 17) << describe(r, h);
  EXPECT_EQ(cloud_objects(h), before);
  EXPECT_EQ(h.log_text().find("left behind"), std::string::npos) << h.log_text();
}

// A backup stopped while ksfd reads, whose copies the cloud refuses to
// delete: the release says that the task was interrupted and which of its
// objects it leaves, never that it completed.
TEST_F(BackupPath, InterruptedReleaseNamesWhatItLeaves) {
  Harness h;
  quick(h);
  auto const web = h.standard_vm();
  auto const volumes_before = ids_of(h.inventory(), "volumes");
  h.cloud().add_fault({{"method", "DELETE"}, {"path", ".*/volumes/.*"}, {"times", 0}, {"status", 500}});
  h.set_env("KSFD_STANDIN_DELAY_ITEM_MS", "2000");
  auto run = h.start(backup_args(web.id, h.task_dir(), "copy1"));
  ASSERT_TRUE(run->wait_for_line_starting("KSFD PID: "));
  run->send_signal(SIGTERM);
  ProcessResult const r = run->wait(std::chrono::seconds(120));
  EXPECT_EQ(r.status, 17) << describe(r, h);
  std::vector<std::string> left;
  for (auto const& id : ids_of(h.inventory(), "volumes"))
    if (!volumes_before.count(id)) left.push_back(id);
  ASSERT_EQ(left.size(), 2u) << cloud_objects(h);
  std::string const log = h.log_text();
  EXPECT_TRUE(has_line(log, "Info: The task to make 1 backup of VM '" + web.id +
                                "' was interrupted; of its temporary objects these were left behind: volume '",
                       "volume '" + left[1] + "'"))
      << log;
  EXPECT_TRUE(has_line(log, "these were left behind: ", "volume '" + left[0] + "'")) << log;
  EXPECT_EQ(log.find("completed successfully"), std::string::npos) << log;
  EXPECT_TRUE(h.inventory().at("snapshots").as_array().empty()) << cloud_objects(h);
}

struct QuiescedGuest {
  char const* what;
  bool signal;  // stopped by SIGTERM during the snapshot wait, else a later step fails
};

class AfterScript : public BackupPath, public ::testing::WithParamInterface<QuiescedGuest> {};

// Once the "before" script has run, the guest gets its "after" script also
// when the backup does not get that far: never left quiesced.
TEST_P(AfterScript, RunsWhenTheBackupStopsAfterTheBeforeScript) {
  Harness h;
  auto const web = h.standard_vm();
  std::string const before = cloud_objects(h);
  h.set_virsh_fixture(
      {{"scripts", {{{"path", "/s/before"}, {"exitcode", 0}}, {{"path", "/s/after"}, {"exitcode", 0}}}}});
  auto const args = backup_args(web.id, h.task_dir(), "copy1",
                                "script_before_snapshot:/s/before,script_after_snapshot:/s/after");
  ProcessResult r;
  if (GetParam().signal) {
    h.cloud().set_polls({{"snapshot_create", 3}});
    // The signal must come within the polls of the wait: on the real clock.
    h.cap_clock_rate(1);
    auto run = h.start(args);
    ASSERT_TRUE(kstest::paths::wait_for_requests(h, "GET", ".*/snapshots/[0-9a-f-]+", 1));
    run->send_signal(SIGTERM);
    r = run->wait(std::chrono::seconds(120));
    EXPECT_EQ(r.status, 17) << describe(r, h);
  } else {
    quick(h);
    h.cloud().add_fault({{"method", "POST"}, {"path", ".*/os-volume_attachments"}, {"nth", 2}, {"status", 500}});
    r = h.run(args);
    EXPECT_EQ(r.status, 6) << describe(r, h);
  }

  std::vector<std::string> started;
  for (auto const& call : h.virsh_calls()) {
    boost::json::value const request = call.request();
    if (request.is_null() || request.at("execute").as_string() != "guest-exec") continue;
    std::string const path(request.at("arguments").at("path").as_string());
    std::string const arg(request.at("arguments").at("arg").at(0).as_string());
    started.push_back(path + " " + arg);
    EXPECT_EQ(call.argv.at(3), web.instance_name);
  }
  EXPECT_EQ(started, (std::vector<std::string>{"/s/before before", "/s/after after"})) << describe(r, h);
  EXPECT_EQ(cloud_objects(h), before);
}

INSTANTIATE_TEST_SUITE_P(BackupPath, AfterScript,
                         ::testing::Values(QuiescedGuest{"later_step_fails", false},
                                           QuiescedGuest{"stopped_by_a_signal", true}),
                         [](auto const& info) { return std::string(info.param.what); });

// A replica writes the descriptions but lists nothing for ksfd.
TEST_F(BackupPath, ReplicaListsNothing) {
  Harness h;
  quick(h);
  auto const web = h.standard_vm();
  std::string const before = cloud_objects(h);
  std::string const t = h.task_dir();
  ProcessResult const r = h.run({"-A", web.id, "-d", t, "-n", "rep1", "-m", "media", "-T", kstest::paths::kTask});
  EXPECT_EQ(r.status, 0) << describe(r, h);
  EXPECT_TRUE(r.has_line("File list to backup: ")) << r.out;
  EXPECT_TRUE(listed_items(r).empty()) << r.out;
  std::string const log = h.log_text();
  EXPECT_NE(log.find("Do not save VM configuration for the replica"), std::string::npos) << log;
  EXPECT_NE(log.find("Do not save volume configuration for the replica"), std::string::npos) << log;
  EXPECT_EQ(cloud_objects(h), before);
  EXPECT_TRUE(h.block_devices().empty());
}

}  // namespace

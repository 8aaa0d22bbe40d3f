// A server backed up and restored through the real program, as the backup
// client drives it: a full backup, an incremental one on top, and the
// restore of that chain into a new server.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "e2e/backup_client.h"
#include "e2e/cloud_objects.h"

namespace fs = boost::filesystem;
namespace sc = kstest::standard_cloud;
using namespace kstest::e2e;

namespace {

std::vector<boost::json::value> servers_named(Harness const& h, std::string const& name) {
  std::vector<boost::json::value> out;
  boost::json::object const inventory = h.inventory();
  for (auto const& s : inventory.at("servers").as_array())
    if (text(s, "name") == name) out.push_back(s);
  return out;
}

// The bytes of each volume of a server, in its attachment order.
std::vector<std::string> volume_bytes(Harness const& h, std::vector<std::string> const& ids) {
  std::vector<std::string> out;
  for (auto const& id : ids) out.push_back(h.read_volume(id));
  return out;
}

// Changes a few scattered blocks of each volume (what a running guest does
// between two backups).
void guest_writes(Harness const& h, std::vector<std::string> const& ids) {
  for (auto const& id : ids)
    for (std::uint64_t offset : {std::uint64_t(0), std::uint64_t(300000), std::uint64_t(1 << 20) - 4096})
      h.write_volume(id, random_bytes(4096), offset);
}

// Runs a backup and, while the module waits for its snapshots, lets the
// guest write to the server's volumes: returns the run and the bytes the
// volumes had when the snapshots were taken.
std::pair<ClientRun, std::vector<std::string>> backup_with_writes_after_snapshot(
    Harness& h, BackupClient const& client, Vm const& vm, std::string const& name, std::string const& reference) {
  // The snapshots stay "creating" for a few polls, so the writes surely land
  // while the module still waits for them.
  h.cloud().set_polls({{"snapshot_create", 2}});
  h.cloud().clear_log();
  std::vector<std::string> const at_snapshot = volume_bytes(h, vm.volume_ids);
  ClientRun run;
  run.args = client.backup_args(vm.id, name, reference);
  auto child = h.start(run.args);
  bool const snapped = wait_for_requests(h, "POST", ".*/snapshots", vm.volume_ids.size());
  if (snapped) guest_writes(h, vm.volume_ids);
  run.result = child->wait();
  EXPECT_TRUE(snapped) << "the module took no snapshots";
  EXPECT_EQ(directory_entries(h.task_dir()), std::vector<std::string>{name + ".snap"})
      << "the backup must leave only its snapshot tarball in the temporary directory";
  client.keep(name);
  return {run, at_snapshot};
}

void expect_backup_lines(ClientRun const& run, std::string const& task_dir, std::string const& name) {
  ProcessResult const& r = run.result;
  ASSERT_FALSE(r.out_lines.empty());
  EXPECT_EQ(r.out_lines.front().rfind("MODULE PID:", 0), 0u) << r.out_lines.front();
  EXPECT_NE(r.line_starting("KSFD PID: "), nullptr);
  EXPECT_NE(r.line_starting("Packed: 100%"), nullptr) << r.out;
  // The client reads the result lines last.
  std::vector<std::string> const result{"MAIN ARCHIVE FILENAME:" + task_dir + "/" + name + ".snap",
                                        "MAIN SNAPSHOT FILENAME:" + task_dir + "/" + name + ".snap",
                                        "MAIN ARCHIVE SIGN FILENAME:" + task_dir + "/" + name + ".signature"};
  for (auto const& l : result) EXPECT_TRUE(r.has_line(l)) << l << "\n" << r.out;
}

}  // namespace

TEST(RoundTrip, FullAndIncrementalBackupRestoredAsANewServer) {
  Harness h;
  Vm const vm = h.make_vm();  // db: db-root (2 units, bootable, image metadata), db-data (1 unit)
  kstest::TempDir store;
  BackupClient client(h, store.str());
  CloudObjects const before = cloud_objects(h.inventory());

  // ---- full backup --------------------------------------------------------------
  auto const [full, v0] = backup_with_writes_after_snapshot(h, client, vm, "db-full", "");
  ASSERT_EQ(full.result.status, 0) << full.command_line() << "\n" << full.result.out << h.log_text();
  expect_backup_lines(full, h.task_dir(), "db-full");
  // The items handed to ksfd: both devices, the server's and each volume's description.
  std::string const T = h.task_dir();
  std::vector<std::string> const items{"File list to backup: ",
                                       "/dev/vdb : vdb",
                                       "/dev/vdc : vdc",
                                       T + "/db-full.vm.config : vm.config",
                                       T + "/db-full_vdb.config : " + vm.volume_ids[0] + ".conf",
                                       T + "/db-full_vdc.config : " + vm.volume_ids[1] + ".conf"};
  auto const at = std::find(full.result.out_lines.begin(), full.result.out_lines.end(), items[0]);
  ASSERT_NE(at, full.result.out_lines.end()) << full.result.out;
  EXPECT_EQ(std::vector<std::string>(at, at + std::min<std::ptrdiff_t>(items.size(), full.result.out_lines.end() - at)),
            items);
  EXPECT_EQ(cloud_objects(h.inventory()), before) << difference(before, cloud_objects(h.inventory()));
  EXPECT_TRUE(h.block_devices().empty());
  std::vector<std::string> const v1 = volume_bytes(h, vm.volume_ids);
  ASSERT_TRUE(v1 != v0) << "the guest's writes did not land";

  // ---- incremental backup on top ------------------------------------------------
  h.clear_calls();
  auto const [incr, v1_at_snapshot] = backup_with_writes_after_snapshot(h, client, vm, "db-incr", "db-full");
  ASSERT_EQ(incr.result.status, 0) << incr.command_line() << "\n" << incr.result.out << h.log_text();
  ASSERT_TRUE(v1_at_snapshot == v1) << "the volumes changed between the two backups";
  expect_backup_lines(incr, h.task_dir(), "db-incr");
  std::vector<std::string> const ksfd = h.ksfd_calls();
  ASSERT_EQ(ksfd.size(), 1u);
  EXPECT_NE(ksfd[0].find(" -S " + T + "/db-full.snap_dir/db-full.meta"), std::string::npos) << ksfd[0];
  // Only the changed blocks went into the incremental archive.
  EXPECT_LT(fs::file_size(h.media_dir() + "/db-incr.ksfd") * 4, fs::file_size(h.media_dir() + "/db-full.ksfd"));
  EXPECT_EQ(cloud_objects(h.inventory()), before) << difference(before, cloud_objects(h.inventory()));
  std::vector<std::string> const v2 = volume_bytes(h, vm.volume_ids);
  ASSERT_TRUE(v2 != v1) << "the guest's writes did not land";

  // ---- restore of the chain: the full (not last), then the incremental (last) ----
  ClientRun const first = client.restore("db-full", RestoreRequest(false));
  ASSERT_EQ(first.result.status, 0) << first.command_line() << "\n" << first.result.out << h.log_text();
  EXPECT_NE(first.result.line_starting("Unpacked: 100%"), nullptr) << first.result.out;
  std::string const rest = client.restore_dir("db-full");
  EXPECT_EQ(directory_entries(T), std::vector<std::string>{"db-full.rest"});
  std::vector<std::string> extracted{vm.volume_ids[0] + ".conf", vm.volume_ids[1] + ".conf", "vdb", "vdc",
                                     "vm.config"};
  std::sort(extracted.begin(), extracted.end());
  EXPECT_EQ(directory_entries(rest), extracted);
  // The full archive holds the volumes as they were at its snapshots.
  EXPECT_TRUE(kstest::read_file(rest + "/vdb") == v0[0]) << "the full archive holds later writes to db-root";
  EXPECT_TRUE(kstest::read_file(rest + "/vdc") == v0[1]) << "the full archive holds later writes to db-data";
  EXPECT_EQ(cloud_objects(h.inventory()), before) << "a run that is not the last only extracts";

  ClientRun const last = client.restore("db-incr", RestoreRequest(true, "db-full"));
  ASSERT_EQ(last.result.status, 0) << last.command_line() << "\n" << last.result.out << h.log_text();
  EXPECT_TRUE(directory_entries(T).empty()) << "the last run removes the restore directory";

  // A new server under a free name: db is taken by the original.
  std::vector<boost::json::value> const restored = servers_named(h, "db_2");
  ASSERT_EQ(restored.size(), 1u) << h.log_text();
  boost::json::value const& server = restored[0];
  EXPECT_EQ(text(server, "status"), "ACTIVE");
  EXPECT_NE(text(server, "id"), vm.id);
  std::vector<std::string> new_ids;
  for (auto const& id : server.at("volumes").as_array()) new_ids.emplace_back(id.as_string());
  ASSERT_EQ(new_ids.size(), 2u);
  for (auto const& id : new_ids) {
    EXPECT_EQ(std::find(vm.volume_ids.begin(), vm.volume_ids.end(), id), vm.volume_ids.end());
  }
  // It boots from the restored boot volume; the data volume follows.
  boost::json::value const boot = h.object("volumes", new_ids[0]);
  EXPECT_TRUE(boot.at("bootable").as_bool());
  EXPECT_EQ(text(boot.at("volume_image_metadata"), "image_id"), sc::image);
  EXPECT_EQ(text(boot.at("attachment"), "device"), "/dev/vda");
  EXPECT_EQ(text(h.object("volumes", new_ids[1]).at("attachment"), "server_id"), text(server, "id"));
  EXPECT_TRUE(h.read_volume(new_ids[0]) == v1[0]) << "the boot volume holds the incremental backup's bytes";
  EXPECT_TRUE(h.read_volume(new_ids[1]) == v1[1]) << "the data volume holds the incremental backup's bytes";

  // Nothing is left on the Kestrova VM, no snapshot in the cloud, and the
  // original server is untouched.
  EXPECT_TRUE(h.block_devices().empty());
  CloudObjects const after = cloud_objects(h.inventory());
  EXPECT_TRUE(after.snapshots.empty());
  for (auto const& [volume, where] : after.attachments) {
    if (before.attachments.count(volume)) continue;
    EXPECT_NE(where.rfind(sc::kestrova_vm, 0), 0u) << volume << " " << where;
  }
  boost::json::value const original = h.object("servers", vm.id);
  EXPECT_EQ(text(original, "status"), "ACTIVE");
  EXPECT_EQ(text(original, "name"), "db");
  std::vector<std::string> original_volumes;
  for (auto const& id : original.at("volumes").as_array()) original_volumes.emplace_back(id.as_string());
  EXPECT_EQ(original_volumes, vm.volume_ids);
  EXPECT_TRUE(volume_bytes(h, vm.volume_ids) == v2);
  // Beyond the new server and its two volumes the cloud is as before.
  CloudObjects expected = before;
  expected.servers[text(server, "id")] = "ACTIVE";
  for (auto const& id : new_ids) {
    expected.volumes[id] = "in-use";
    expected.attachments[id] = after.attachments.at(id);
  }
  EXPECT_EQ(after, expected) << difference(expected, after);
}

namespace {

// The test's working directory for a scope (the module inherits it).
class WorkingDirectory {
 public:
  explicit WorkingDirectory(fs::path const& dir) : before_(fs::current_path()) { fs::current_path(dir); }
  ~WorkingDirectory() { fs::current_path(before_); }
  WorkingDirectory(WorkingDirectory const&) = delete;
  WorkingDirectory& operator=(WorkingDirectory const&) = delete;

 private:
  fs::path before_;
};

struct RelativeRow {
  char const* name;
  char const* directory;  // the value of -d
  bool from_parent;       // run in the parent of the temporary directory, else in it
};

void PrintTo(RelativeRow const& row, std::ostream* out) { *out << row.name; }

class RelativeDirectory : public ::testing::TestWithParam<RelativeRow> {};

// A relative -d names the same directory to ksfd (which runs after "cd /")
// and in the lines for the client as the absolute one would: the backup
// succeeds with absolute paths, and its restore builds the server again.
TEST_P(RelativeDirectory, BackupAndRestoreNameAbsolutePaths) {
  RelativeRow const& row = GetParam();
  Harness h;
  h.cloud().set_polls(quick_polls());
  Vm const vm = h.make_vm();
  kstest::TempDir store;
  BackupClient client(h, store.str());
  CloudObjects const before = cloud_objects(h.inventory());
  std::vector<std::string> const original = volume_bytes(h, vm.volume_ids);
  std::string const T = fs::canonical(h.task_dir()).string();
  WorkingDirectory const in(row.from_parent ? fs::path(T).parent_path() : fs::path(T));
  auto relative = [&](std::vector<std::string> args) {
    *(std::find(args.begin(), args.end(), "-d") + 1) = row.directory;
    return args;
  };

  ClientRun backup;
  backup.args = relative(client.backup_args(vm.id, "db-full"));
  backup.result = h.run(backup.args);
  ASSERT_EQ(backup.result.status, 0) << backup.command_line() << "\n" << backup.result.out << h.log_text();
  expect_backup_lines(backup, T, "db-full");
  for (std::string const& item : {T + "/db-full.vm.config : vm.config",
                                  T + "/db-full_vdb.config : " + vm.volume_ids[0] + ".conf"})
    EXPECT_TRUE(backup.result.has_line(item)) << item << "\n" << backup.result.out;
  std::vector<std::string> const ksfd = h.ksfd_calls();
  ASSERT_EQ(ksfd.size(), 1u);
  EXPECT_NE(ksfd[0].find(" -m " + T + "/db-full.snap_dir/db-full.meta"), std::string::npos) << ksfd[0];
  EXPECT_EQ(cloud_objects(h.inventory()), before) << difference(before, cloud_objects(h.inventory()));
  ASSERT_TRUE(client.keep("db-full"));

  ClientRun restore;
  restore.args = relative(client.restore_args("db-full", RestoreRequest(true)));
  restore.result = h.run(restore.args);
  ASSERT_EQ(restore.result.status, 0) << restore.command_line() << "\n" << restore.result.out << h.log_text();
  EXPECT_TRUE(directory_entries(T).empty()) << "the restore directory stays";
  std::vector<boost::json::value> const restored = servers_named(h, "db_2");
  ASSERT_EQ(restored.size(), 1u) << h.log_text();
  std::vector<std::string> new_ids;
  for (auto const& id : restored[0].at("volumes").as_array()) new_ids.emplace_back(id.as_string());
  EXPECT_TRUE(volume_bytes(h, new_ids) == original) << "the restored volumes differ from the backed-up ones";
  EXPECT_TRUE(h.block_devices().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Directories, RelativeDirectory,
    ::testing::Values(RelativeRow{"below_the_working_directory", "task", true},
                      RelativeRow{"the_working_directory_itself", ".", false},
                      RelativeRow{"with_dot_elements", "./task/", true}),
    [](::testing::TestParamInfo<RelativeRow> const& info) { return std::string(info.param.name); });

}  // namespace

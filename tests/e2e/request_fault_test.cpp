// Faults of the requests that make or attach the cloud objects of a backup
// and of a restore, through the real program: a signal while the request is
// out, a reply past the module's time-out, a reply without the new object's
// id, and one failed clean-up request. Whatever the cloud made on the
// module's behalf is gone afterwards (a failed restore keeps what it
// completed, each object named at Error). Also two modules at once on one Kestrova VM with the
// cloud's device hints crossed and no serial links, and two restores of one
// server at once whose first volume create loses its reply.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>

#include "e2e/backup_client.h"
#include "e2e/cloud_objects.h"

namespace fs = boost::filesystem;
namespace sc = kstest::standard_cloud;
using namespace kstest::e2e;

namespace {

enum class Path { backup, restore };

struct RequestRow {
  char const* name;
  Path path;
  // Fault rules as JSON text; with `signal`, SIGTERM goes once the first one
  // has fired (its request is then out, held by its "delay").
  std::vector<char const*> faults;
  int exit_code;
  bool signal = false;
  int timeout = 10;  // the module's request time-out, seconds
  // A failed restore keeps what it completed (its volumes, a server it
  // made), named at Error; every other row leaves nothing.
  bool keeps_named = false;
  char const* log_part = nullptr;  // a part of the log the run must write
};

void PrintTo(RequestRow const& row, std::ostream* out) { *out << row.name; }

// The attach requests go to the Kestrova VM, and in a restore at last to the
// new server.
#define SNAPSHOTS R"("method": "POST", "path": ".*/snapshots")"
#define VOLUMES R"("method": "POST", "path": ".*/volumes")"
#define ATTACHMENTS R"("method": "POST", "path": ".*/os-volume_attachments")"
#define SERVERS R"("method": "POST", "path": "/nova-api/v2/servers")"
// An id whose line end would start a result line of its own.
#define FORGED R"("x\nMAIN SNAPSHOT FILENAME:/forged")"

std::vector<RequestRow> const& rows() {
  static std::vector<RequestRow> const all = {
      // ---- the backup path ---------------------------------------------------------
      {"backup_snapshot_signal_in_flight", Path::backup, {"{" SNAPSHOTS R"(, "nth": 2, "delay": 3})"}, 17, true},
      {"backup_snapshot_times_out", Path::backup, {"{" SNAPSHOTS R"(, "nth": 2, "delay": 4})"}, 6, false, 3},
      {"backup_snapshot_reply_without_id", Path::backup,
       {"{" SNAPSHOTS R"(, "nth": 2, "patch": {"snapshot": {"id": null}}})"}, 6},
      {"backup_copy_signal_in_flight", Path::backup, {"{" VOLUMES R"(, "delay": 3})"}, 17, true},
      {"backup_copy_reply_too_late", Path::backup, {"{" VOLUMES R"(, "nth": 2, "delay_reply": 4})"}, 6, false, 3},
      {"backup_copy_reply_without_id", Path::backup, {"{" VOLUMES R"(, "patch": {"volume": {"id": null}}})"}, 6},
      {"backup_attach_signal_in_flight", Path::backup, {"{" ATTACHMENTS R"(, "delay": 3})"}, 17, true},
      {"backup_attach_times_out", Path::backup, {"{" ATTACHMENTS R"(, "nth": 2, "delay": 4})"}, 6, false, 3},
      {"backup_attach_reply_without_device", Path::backup,
       {"{" ATTACHMENTS R"(, "patch": {"volumeAttachment": {"device": null}}})"}, 6},
      // A create reply whose id is no plain token is a failed create: what it
      // made is looked up and removed.
      {"backup_snapshot_reply_with_a_forged_id", Path::backup,
       {"{" SNAPSHOTS R"(, "nth": 2, "patch": {"snapshot": {"id": )" FORGED "}}}"}, 6, false, 10, false,
       "the snapshot id in the reply is not a plain id: \"x\\nMAIN SNAPSHOT FILENAME:/forged\""},
      {"backup_copy_reply_with_a_forged_id", Path::backup,
       {"{" VOLUMES R"(, "nth": 2, "patch": {"volume": {"id": )" FORGED "}}}"}, 6, false, 10, false,
       "the volume id in the reply is not a plain id: \"x\\nMAIN SNAPSHOT FILENAME:/forged\""},
      // GET replies: the server's description, and then its first volume's.
      {"backup_server_description_with_a_forged_id", Path::backup,
       {R"({"method": "GET", "path": "/nova-api/v2/servers/[0-9a-f-]+", "patch": {"server": {"id": )" FORGED "}}}"},
       6, false, 10, false, "the server id in the reply is not a plain id: "},
      {"backup_volume_description_with_a_forged_id", Path::backup,
       {R"({"method": "GET", "path": ".*/volumes/[0-9a-f-]+", "patch": {"volume": {"id": )" FORGED "}}}"}, 6, false,
       10, false, "the volume id in the reply is not a plain id: "},
      {"backup_one_failed_detach", Path::backup,
       {R"({"method": "DELETE", "path": ".*/os-volume_attachments/.*", "status": 500})"}, 0},
      {"backup_one_failed_volume_delete", Path::backup,
       {R"({"method": "DELETE", "path": ".*/volumes/.*", "nth": 2, "status": 500})"}, 0},
      {"backup_one_failed_snapshot_delete", Path::backup,
       {R"({"method": "DELETE", "path": ".*/snapshots/.*", "status": 500})"}, 0},
      // The third version lookup is the release's (after the configuration's and the preparation's).
      {"backup_one_failed_version_lookup_in_release", Path::backup,
       {R"({"method": "GET", "path": "/cinder/", "nth": 3, "status": 500})"}, 0},

      // ---- the restore path --------------------------------------------------------
      {"restore_volume_signal_in_flight", Path::restore, {"{" VOLUMES R"(, "nth": 2, "delay": 3})"}, 17, true},
      {"restore_volume_times_out", Path::restore, {"{" VOLUMES R"(, "delay": 4})"}, 7, false, 3},
      {"restore_volume_reply_without_id", Path::restore,
       {"{" VOLUMES R"(, "nth": 2, "patch": {"volume": {"id": null}}})"}, 7},
      {"restore_volume_reply_with_a_forged_id", Path::restore,
       {"{" VOLUMES R"(, "nth": 2, "patch": {"volume": {"id": )" FORGED "}}}"}, 7, false, 10, false,
       "the volume id in the reply is not a plain id: "},
      {"restore_attach_signal_in_flight", Path::restore, {"{" ATTACHMENTS R"(, "delay": 3})"}, 17, true},
      {"restore_attach_times_out", Path::restore, {"{" ATTACHMENTS R"(, "nth": 2, "delay": 4})"}, 7, false, 3},
      // The second server list is the name search, once the volumes are complete.
      {"restore_signal_after_the_volumes_are_complete", Path::restore,
       {R"({"method": "GET", "path": "/nova-api/v2/servers/detail", "nth": 2, "delay": 3})"}, 17, true},
      {"restore_server_signal_in_flight", Path::restore, {"{" SERVERS R"(, "delay": 3})"}, 17, true},
      // The new server's first status poll.
      {"restore_signal_after_the_server_create", Path::restore,
       {R"({"method": "GET", "path": "/nova-api/v2/servers/[0-9a-f-]+", "delay": 3})"}, 17, true},
      {"restore_server_times_out", Path::restore, {"{" SERVERS R"(, "delay": 4})"}, 7, false, 3, true},
      {"restore_server_reply_without_id", Path::restore, {"{" SERVERS R"(, "patch": {"server": {"id": null}}})"}, 7,
       false, 10, true},
      {"restore_server_reply_with_a_forged_id", Path::restore,
       {"{" SERVERS R"(, "patch": {"server": {"id": )" FORGED "}}}"}, 7, false, 10, true,
       "the server id in the reply is not a plain id: "},
      {"restore_attach_to_the_new_server_signal_in_flight", Path::restore,
       {"{" ATTACHMENTS R"(, "nth": 3, "delay": 3})"}, 17, true},
      {"restore_one_failed_volume_delete_in_the_undo", Path::restore,
       {"{" VOLUMES R"(, "nth": 2, "status": 500})", R"({"method": "DELETE", "path": ".*/volumes/.*", "status": 500})"},
       7},
  };
  return all;
}

std::vector<std::string> lines_of(std::string const& text) {
  std::vector<std::string> out;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) out.push_back(line);
  return out;
}

std::string const* first_line_starting(std::vector<std::string> const& lines, std::string const& start) {
  for (auto const& line : lines)
    if (line.rfind(start, 0) == 0) return &line;
  return nullptr;
}

// The lines of the log at Error.
std::vector<std::string> error_lines(std::string const& log) {
  std::vector<std::string> out;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);)
    if (line.find("] Error: ") != std::string::npos) out.push_back(line);
  return out;
}

bool named_at_error(std::vector<std::string> const& errors, std::string const& id) {
  for (auto const& line : errors)
    if (line.find("'" + id + "'") != std::string::npos) return true;
  return false;
}

// Waits until fault rule `id` has fired.
bool fired(Harness& h, int id) {
  auto const end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (std::chrono::steady_clock::now() < end) {
    boost::json::value const faults = h.cloud().control("GET", "faults");
    for (auto const& r : faults.at("rules").as_array())
      if (r.at("id").to_number<int>() == id && r.at("fired").to_number<int>() > 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// Waits until the cloud has answered every request it got: one held by a
// "delay" is carried out after the module gave up on it, and what it makes
// must be counted too.
bool all_answered(Harness& h) {
  auto const end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < end) {
    bool pending = false;
    for (auto const& e : h.request_log())
      if (e.at("status").is_null()) pending = true;
    if (!pending) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

class RequestFault : public ::testing::TestWithParam<RequestRow> {};

TEST_P(RequestFault, LeavesNothingUnnamed) {
  RequestRow const& row = GetParam();
  Vm restored_from;
  if (row.path == Path::restore) restored_from = shared_backup().vm;
  fs::remove("/opt/kestrova/log/ks_module_rustack.log");

  Harness h;
  kstest::TempDir store;
  BackupClient client(h, store.str());
  Vm const vm = row.path == Path::backup ? h.make_vm() : restored_from;
  if (row.path == Path::restore) client.adopt("db-full", shared_backup().snapshot, shared_backup().archive);
  h.cloud().set_polls(quick_polls());
  // What the cloud carries out a second after the time-out must still be
  // found by the program's lookups, which pause two seconds between looks.
  if (row.timeout < ModuleConfig{}.timeout) h.cap_clock_rate(2);
  ModuleConfig config;
  config.timeout = row.timeout;
  h.write_config(config);
  CloudObjects const before = cloud_objects(h.inventory());
  std::vector<int> rules;
  for (char const* rule : row.faults) rules.push_back(h.cloud().add_fault(boost::json::parse(rule).as_object()));

  auto run = row.path == Path::backup ? client.start_backup(vm.id, "db-full")
                                      : client.start_restore("db-full", RestoreRequest(true));
  if (row.signal) {
    ASSERT_TRUE(fired(h, rules.front())) << h.log_text();
    run->send_signal(SIGTERM);
  }
  ProcessResult const r = run->wait(std::chrono::seconds(300));
  ASSERT_TRUE(all_answered(h));
  std::string const log = h.log_text();
  EXPECT_EQ(r.status, row.exit_code) << r.out << log;
  if (row.signal) {
    EXPECT_NE(log.find("Module was terminated. PID: "), std::string::npos) << log;
  }
  if (row.log_part) {
    EXPECT_NE(log.find(row.log_part), std::string::npos) << log;
  }
  // No value of the cloud writes a line of its own.
  EXPECT_EQ(first_line_starting(r.out_lines, "MAIN SNAPSHOT FILENAME:/forged"), nullptr) << r.out;
  EXPECT_EQ(first_line_starting(lines_of(log), "MAIN SNAPSHOT FILENAME:/forged"), nullptr) << log;

  // Nothing is attached to the Kestrova VM; every object the run made is
  // gone, or named at Error by a run that did not succeed; nothing that was
  // there before changed.
  EXPECT_TRUE(h.block_devices().empty());
  CloudObjects const after = cloud_objects(h.inventory());
  std::string const diff = difference(before, after);
  std::vector<std::string> const errors = error_lines(log);
  using Objects = std::map<std::string, std::string> CloudObjects::*;
  for (Objects kind : {&CloudObjects::servers, &CloudObjects::volumes, &CloudObjects::snapshots}) {
    for (auto const& [id, status] : after.*kind) {
      auto const old = (before.*kind).find(id);
      if (old != (before.*kind).end()) {
        EXPECT_EQ(status, old->second) << id << "\n" << diff;
        continue;
      }
      EXPECT_TRUE(row.keeps_named) << "left behind: " << id << "\n" << diff << log;
      EXPECT_TRUE(named_at_error(errors, id)) << "left behind and not named: " << id << "\n" << diff << log;
    }
  }
  for (auto const& [volume, where] : after.attachments) {
    if (before.attachments.count(volume)) continue;
    EXPECT_NE(where.rfind(sc::kestrova_vm, 0), 0u) << volume << " still attached to the Kestrova VM\n" << diff;
  }

  if (row.path == Path::backup) {
    // The release's last line tells how the task ended.
    std::string const end = "The task to make 1 backup of VM '" + vm.id + "' ";
    if (row.exit_code == 0) {
      EXPECT_NE(log.find(end + "completed successfully"), std::string::npos) << log;
    } else {
      EXPECT_EQ(log.find("completed successfully"), std::string::npos) << log;
    }
    if (row.exit_code == 17) {
      EXPECT_NE(log.find(end + "was interrupted; its temporary objects were removed"), std::string::npos) << log;
    }
    EXPECT_EQ(log.find("left behind"), std::string::npos) << log;
  }
}

INSTANTIATE_TEST_SUITE_P(Requests, RequestFault, ::testing::ValuesIn(rows()),
                         [](::testing::TestParamInfo<RequestRow> const& info) { return std::string(info.param.name); });

// A release whose clean-up requests the cloud keeps refusing (every try),
// or whose detach ends in an error state: the copies and snapshots stay.
struct ReleaseRow {
  char const* name;
  std::vector<char const*> faults;  // on requests only the release sends
  // What stays of the backup's objects.
  std::size_t volumes, snapshots, attached;
};

void PrintTo(ReleaseRow const& row, std::ostream* out) { *out << row.name; }

std::vector<ReleaseRow> const& release_rows() {
  static std::vector<ReleaseRow> const all = {
      {"every_detach_refused",
       {R"({"method": "DELETE", "path": ".*/os-volume_attachments/.*", "times": 0, "status": 500})"}, 2, 0, 2},
      {"every_volume_delete_refused", {R"({"method": "DELETE", "path": ".*/volumes/.*", "times": 0, "status": 500})"},
       2, 0, 0},
      {"every_snapshot_delete_refused",
       {R"({"method": "DELETE", "path": ".*/snapshots/.*", "times": 0, "status": 500})"}, 0, 2, 0},
      // The attachment stays in "detaching", the copy in "error".
      {"a_detach_ends_in_error", {R"({"method": "DELETE", "path": ".*/os-volume_attachments/.*", "state": "error"})"},
       1, 0, 1},
  };
  return all;
}

class ReleaseFault : public ::testing::TestWithParam<ReleaseRow> {};

// Such a release ends as one that cannot log in: each object left is named
// at Error, the last line says what is left, the run exits 6 and the client
// gets no result lines.
TEST_P(ReleaseFault, IsAFailureThatNamesWhatIsLeft) {
  ReleaseRow const& row = GetParam();
  fs::remove("/opt/kestrova/log/ks_module_rustack.log");
  Harness h;
  kstest::TempDir store;
  BackupClient client(h, store.str());
  Vm const vm = h.make_vm();
  h.cloud().set_polls(quick_polls());
  CloudObjects const before = cloud_objects(h.inventory());
  for (char const* rule : row.faults) h.cloud().add_fault(boost::json::parse(rule).as_object());

  ClientRun const run = client.backup(vm.id, "db-full");
  std::string const log = h.log_text();
  EXPECT_EQ(run.result.status, 6) << run.result.out << log;
  EXPECT_FALSE(h.ksfd_calls().empty()) << "the backup itself ran";
  for (auto const& line : run.result.out_lines) EXPECT_NE(line.rfind("MAIN ", 0), 0u) << line;
  EXPECT_EQ(log.find("completed successfully"), std::string::npos) << log;

  // What stays, by the cloud's own inventory.
  CloudObjects const after = cloud_objects(h.inventory());
  std::string const diff = difference(before, after);
  std::vector<std::pair<std::string, std::string>> left;  // kind, id
  for (auto const& [id, status] : after.volumes)
    if (!before.volumes.count(id)) left.emplace_back("volume", id);
  for (auto const& [id, status] : after.snapshots)
    if (!before.snapshots.count(id)) left.emplace_back("snapshot", id);
  std::size_t attached = 0;
  for (auto const& [volume, where] : after.attachments)
    if (!before.attachments.count(volume) && where.rfind(sc::kestrova_vm, 0) == 0) ++attached;
  EXPECT_EQ(after.volumes.size() - before.volumes.size(), row.volumes) << diff;
  EXPECT_EQ(after.snapshots.size() - before.snapshots.size(), row.snapshots) << diff;
  EXPECT_EQ(attached, row.attached) << diff;

  // Each one named at Error, with the server a copy is still attached to.
  std::string const sig = "Error: virtual bool KsModuleRuStack::release_resource_after_backup(): ";
  for (auto const& [kind, id] : left) {
    std::string const named = sig + kind + " '" + id + "' of project '" + sc::project + "' is left behind";
    std::vector<std::string> const lines = error_lines(log);
    auto const line = std::find_if(lines.begin(), lines.end(),
                                   [&](std::string const& l) { return l.find(named) != std::string::npos; });
    ASSERT_NE(line, lines.end()) << named << "\n" << log;
    bool const still_attached = after.attachments.count(id) != 0;
    EXPECT_EQ(line->find("attached to server '" + std::string(sc::kestrova_vm) + "'") != std::string::npos,
              still_attached)
        << *line;
  }

  // The last line names exactly what is left.
  std::string last;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);)
    if (line.find_first_not_of(' ') != std::string::npos) last = line;
  std::string const start =
      "] Info: The task to make 1 backup of VM '" + vm.id + "' failed; of its temporary objects these were left behind: ";
  auto const at = last.find(start);
  ASSERT_NE(at, std::string::npos) << last;
  std::string const named = last.substr(at + start.size());
  for (auto const& [kind, id] : left) EXPECT_NE(named.find(kind + " '" + id + "'"), std::string::npos) << last;
  EXPECT_EQ(static_cast<std::size_t>(std::count(named.begin(), named.end(), '\'')), 2 * left.size()) << last;
}

INSTANTIATE_TEST_SUITE_P(Releases, ReleaseFault, ::testing::ValuesIn(release_rows()),
                         [](::testing::TestParamInfo<ReleaseRow> const& info) { return std::string(info.param.name); });

// The items of a restore without deployment: the one image, read back.
std::string extracted_image(BackupClient const& client, std::string const& name) {
  std::string const dir = client.restore_dir(name);
  for (auto const& entry : directory_entries(dir)) {
    if (entry == "vm.config" || fs::path(entry).extension() == ".conf" || entry.find(".snap") != std::string::npos)
      continue;
    return kstest::read_file(dir + "/" + entry);
  }
  return std::string();
}

// Two backups at once on one Kestrova VM, of two servers with a volume each;
// no serial links, and the cloud names the other backup's device in each
// attach reply. Each archive holds its own server's bytes, or the run fails
// clearly: never an exit 0 with the other server's disk.
TEST(ConcurrentModules, CrossedHintsWithoutSerialLinksNeverMixTheDisks) {
  fs::remove("/opt/kestrova/log/ks_module_rustack.log");
  Harness h;
  h.cloud().set_polls(quick_polls());
  Vm const a = h.make_vm({"alpha", {VolumeSpec("alpha-root", 1, true, true)}});
  Vm const b = h.make_vm({"beta", {VolumeSpec("beta-root", 1, true, true)}});
  std::string const bytes_a = h.read_volume(a.volume_ids[0]), bytes_b = h.read_volume(b.volume_ids[0]);
  ASSERT_NE(bytes_a, bytes_b);
  h.set_device_faults({{"by_id", false}});
  // The first attachment is /dev/vdb and is reported as /dev/vdc, the
  // second the other way round.
  // The first one also takes a few polls, so that the other backup comes to
  // its attach request meanwhile.
  h.cloud().add_fault(boost::json::parse(R"({"method": "POST", "path": ".*/os-volume_attachments", "nth": 1,
                                             "polls": 3, "patch": {"volumeAttachment": {"device": "/dev/vdc"}}})")
                          .as_object());
  h.cloud().add_fault(boost::json::parse(R"({"method": "POST", "path": ".*/os-volume_attachments", "nth": 2,
                                             "patch": {"volumeAttachment": {"device": "/dev/vdb"}}})")
                          .as_object());
  kstest::TempDir store_a, store_b;
  BackupClient client_a(h, store_a.str()), client_b(h, store_b.str());
  auto run_a = client_a.start_backup(a.id, "alpha-full");
  auto run_b = client_b.start_backup(b.id, "beta-full");
  ProcessResult const ra = run_a->wait(std::chrono::seconds(300));
  ProcessResult const rb = run_b->wait(std::chrono::seconds(300));
  std::string const log = h.log_text();

  struct One {
    ProcessResult const& result;
    BackupClient const& client;
    std::string name, own, other;
  } const runs[] = {{ra, client_a, "alpha-full", bytes_a, bytes_b}, {rb, client_b, "beta-full", bytes_b, bytes_a}};
  for (One const& one : runs) {
    SCOPED_TRACE(one.name);
    // Both backups can tell their disks: the one that waited for the other
    // to finish attaching takes the one disk that appeared meanwhile.
    ASSERT_EQ(one.result.status, 0) << one.result.out << log;
    ASSERT_TRUE(one.client.keep(one.name));
    ClientRun const extract =
        one.client.restore(one.name, RestoreRequest(true, "", "without_deployment_restore:yes"));
    ASSERT_EQ(extract.result.status, 0) << extract.result.out << h.log_text();
    std::string const image = extracted_image(one.client, one.name);
    EXPECT_NE(image, one.other) << "the backup holds the other server's disk";
    EXPECT_EQ(image, one.own);
  }
  EXPECT_NE(log.find("Waiting while another module process attaches a volume to this VM"), std::string::npos) << log;
  EXPECT_TRUE(h.block_devices().empty());
}

// Two restores of one server's two backup records at once on one Kestrova
// VM, the second started a second after the first's first volume create
// reached the cloud; that request's connection is dropped a few seconds
// later, before or after the cloud made the volume. Both copies have the
// same name, description and size. The first restore finds its own volume
// or none and fails cleanly (7, nothing of its own left); the second waits
// for the first's lookup to end and succeeds (0), and nothing of it is
// deleted. The volume lists come two to a page.
struct ConcurrentRow {
  char const* name;
  char const* fault;  // the rule of the first volume create
};

void PrintTo(ConcurrentRow const& row, std::ostream* out) { *out << row.name; }

class ConcurrentRestores : public ::testing::TestWithParam<ConcurrentRow> {};

// Two backup records of one server, "db-one" and "db-two".
void back_up_twice(Harness& h, BackupClient& client, Vm const& vm) {
  for (char const* name : {"db-one", "db-two"}) {
    ClientRun const backup = client.backup(vm.id, name);
    ASSERT_EQ(backup.result.status, 0) << backup.result.out << h.log_text();
  }
}

TEST_P(ConcurrentRestores, NeitherTakesTheOthersVolume) {
  ConcurrentRow const& row = GetParam();
  fs::remove("/opt/kestrova/log/ks_module_rustack.log");
  Harness h;
  h.cloud().set_polls(quick_polls());
  kstest::TempDir store;
  BackupClient client(h, store.str());
  Vm const vm = h.make_vm();
  ASSERT_NO_FATAL_FAILURE(back_up_twice(h, client, vm));
  h.cloud().control("POST", "options", R"({"volume_page_limit": 2})");
  // A new volume stays "creating" for a few seconds, as in a real cloud, so
  // that the second restore's copy is in a state a create gives while the
  // first one looks; the first restore's looks pause two real seconds.
  boost::json::object polls = quick_polls();
  polls["volume_create"] = 3;
  h.cloud().set_polls(polls);
  h.cap_clock_rate(1);
  CloudObjects const before = cloud_objects(h.inventory());
  std::size_t const log_start = h.request_log().size();
  int const rule = h.cloud().add_fault(boost::json::parse(row.fault).as_object());

  auto first = client.start_restore("db-one", RestoreRequest(true));
  ASSERT_TRUE(fired(h, rule)) << h.log_text();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  auto second = client.start_restore("db-two", RestoreRequest(true));
  ProcessResult const r1 = first->wait(std::chrono::seconds(300));
  ProcessResult const r2 = second->wait(std::chrono::seconds(300));
  ASSERT_TRUE(all_answered(h));
  std::string const log = h.log_text();
  EXPECT_EQ(r1.status, 7) << r1.out << log;
  EXPECT_EQ(r2.status, 0) << r2.out << log;
  EXPECT_NE(log.find("Waiting while another module process creates an object in the cloud"), std::string::npos)
      << log;

  // What is new is the second restore's server and its two volumes, on it.
  CloudObjects const after = cloud_objects(h.inventory());
  std::string const diff = difference(before, after);
  std::vector<std::string> made_servers, made_volumes;
  for (auto const& [id, status] : after.servers)
    if (!before.servers.count(id)) made_servers.push_back(id);
  for (auto const& [id, status] : after.volumes)
    if (!before.volumes.count(id)) made_volumes.push_back(id);
  ASSERT_EQ(made_servers.size(), 1u) << diff << log;
  EXPECT_EQ(made_volumes.size(), vm.volume_ids.size()) << diff << log;
  for (std::string const& id : made_volumes) {
    auto const where = after.attachments.find(id);
    ASSERT_NE(where, after.attachments.end()) << id << " is on no server\n" << diff;
    EXPECT_EQ(where->second.rfind(made_servers[0], 0), 0u) << id << " is not on the new server\n" << diff;
  }
  for (auto const& [id, status] : after.snapshots) EXPECT_TRUE(before.snapshots.count(id)) << id << "\n" << diff;
  EXPECT_TRUE(h.block_devices().empty());
  // Nothing of the second restore was ever asked to go.
  std::vector<std::string> kept = made_volumes;
  kept.push_back(made_servers[0]);
  boost::json::array const requests = h.request_log();
  for (std::size_t i = log_start; i < requests.size(); ++i) {
    auto const& e = requests[i].as_object();
    if (e.at("method").as_string() != "DELETE") continue;
    std::string const path(e.at("path").as_string());
    for (std::string const& id : kept)
      EXPECT_FALSE(std::regex_search(path, std::regex("/(volumes|servers)/" + id + "$"))) << path << "\n" << log;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Requests, ConcurrentRestores,
    ::testing::Values(ConcurrentRow{"first_volume_create_dropped_before_it_is_made",
                                    "{" VOLUMES R"(, "delay": 3, "drop": true})"},
                      ConcurrentRow{"first_volume_create_dropped_after_it_is_made",
                                    "{" VOLUMES R"(, "delay_reply": 3, "drop_reply": true})"}),
    [](::testing::TestParamInfo<ConcurrentRow> const& info) { return std::string(info.param.name); });

// A restore that waits for another's create lock ends at once on SIGTERM
// (17, nothing made): the lock holds no signal back.
TEST(CreateLock, ATerminationWhileWaitingForItEndsTheRunAtOnce) {
  fs::remove("/opt/kestrova/log/ks_module_rustack.log");
  Harness h;
  h.cloud().set_polls(quick_polls());
  kstest::TempDir store;
  BackupClient client(h, store.str());
  Vm const vm = h.make_vm();
  ASSERT_NO_FATAL_FAILURE(back_up_twice(h, client, vm));
  h.cap_clock_rate(1);
  CloudObjects const before = cloud_objects(h.inventory());
  int const rule = h.cloud().add_fault(boost::json::parse("{" VOLUMES R"(, "delay": 8, "drop": true})").as_object());
  auto first = client.start_restore("db-one", RestoreRequest(true));
  ASSERT_TRUE(fired(h, rule)) << h.log_text();
  auto second = client.start_restore("db-two", RestoreRequest(true));
  auto const waiting = [&] {
    return h.log_text().find("Waiting while another module process creates an object in the cloud") !=
           std::string::npos;
  };
  auto const end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!waiting() && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(waiting()) << h.log_text();
  auto const signalled = std::chrono::steady_clock::now();
  second->send_signal(SIGTERM);
  ProcessResult const r2 = second->wait(std::chrono::seconds(60));
  auto const took = std::chrono::steady_clock::now() - signalled;
  ProcessResult const r1 = first->wait(std::chrono::seconds(300));
  ASSERT_TRUE(all_answered(h));
  std::string const log = h.log_text();
  EXPECT_EQ(r2.status, 17) << r2.out << log;
  // The first one holds the lock for several seconds more.
  EXPECT_LT(took, std::chrono::seconds(4)) << log;
  EXPECT_NE(log.find("Module was terminated. PID: "), std::string::npos) << log;
  EXPECT_EQ(r1.status, 7) << r1.out << log;
  EXPECT_EQ(cloud_objects(h.inventory()), before) << difference(before, cloud_objects(h.inventory()));
  EXPECT_TRUE(h.block_devices().empty());
}

}  // namespace

// Signals that the backup client (or an operator) sends to the running
// program: a termination (SIGTERM, SIGINT, SIGHUP, SIGQUIT, a sent SIGSEGV,
// or another signal whose default ends a process, such as SIGUSR1) in the
// middle of a step ends the run with 17 and leaves nothing in the cloud; a
// timer's signal changes nothing; a pause stops ksfd and a resume lets the
// backup finish.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <boost/filesystem.hpp>

#include "e2e/backup_client.h"
#include "e2e/cloud_objects.h"

namespace fs = boost::filesystem;
using namespace kstest::e2e;

namespace {

// The state letter of /proc/<pid>/stat ('R', 'S', 'T', ...); 0 when the
// process is gone.
char process_state(pid_t pid) {
  std::string stat;
  try {
    stat = kstest::read_file("/proc/" + std::to_string(pid) + "/stat");
  } catch (std::exception const&) {
    return 0;
  }
  auto const close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() ? 0 : stat[close + 2];
}

bool eventually(std::function<bool()> const& condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  auto const end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

pid_t ksfd_pid_of(ChildProcess& run) {
  if (!run.wait_for_line_starting("KSFD PID: ")) return -1;
  for (auto const& line : run.lines_so_far())
    if (line.rfind("KSFD PID: ", 0) == 0) return std::stoi(line.substr(10));
  return -1;
}

bool starts_with(std::string const& line, std::string const& prefix) { return line.rfind(prefix, 0) == 0; }

enum class Moment { backup_ksfd_reads, backup_snapshot_wait, restore_ksfd_extracts };

// Starts the backup `name` of `vm` and returns once it has reached the
// moment: ksfd reads (its pid in `ksfd`) or the first poll of a snapshot
// still being made. Null when it never gets there.
std::unique_ptr<ChildProcess> start_backup_at(Moment moment, Harness& h, BackupClient const& client, Vm const& vm,
                                              std::string const& name, pid_t& ksfd, int ms_per_item = 2000) {
  std::unique_ptr<ChildProcess> run;
  if (moment == Moment::backup_ksfd_reads) {
    h.set_env("KSFD_STANDIN_DELAY_ITEM_MS", std::to_string(ms_per_item));
    run = client.start_backup(vm.id, name);
    ksfd = ksfd_pid_of(*run);
    if (ksfd <= 0) return nullptr;
  } else {
    // The module's first poll of a snapshot still "creating" (its standard
    // output comes in blocks, the cloud's log at once).
    h.cloud().set_polls({{"snapshot_create", 3}});
    h.cloud().clear_log();
    // The signal must come within the polls of the wait: on the real clock.
    h.cap_clock_rate(1);
    run = client.start_backup(vm.id, name);
    if (!wait_for_requests(h, "GET", ".*/snapshots/[0-9a-f-]+", 1)) return nullptr;
  }
  return run;
}

struct SignalRow {
  char const* name;
  Moment moment;
  int signal = SIGTERM;
};

void PrintTo(SignalRow const& row, std::ostream* out) { *out << row.name; }

class Termination : public ::testing::TestWithParam<SignalRow> {};

TEST_P(Termination, EndsWith17AndLeavesNothing) {
  Moment const moment = GetParam().moment;
  fs::remove("/opt/kestrova/log/ks_module_rustack.log");
  Harness h;
  h.cloud().set_polls(quick_polls());
  Vm const vm = h.make_vm();
  kstest::TempDir store;
  BackupClient client(h, store.str());
  if (moment == Moment::restore_ksfd_extracts) {
    ASSERT_EQ(client.backup(vm.id, "db-full").result.status, 0);
  }
  CloudObjects const before = cloud_objects(h.inventory());

  std::unique_ptr<ChildProcess> run;
  pid_t ksfd = -1;
  if (moment == Moment::restore_ksfd_extracts) {
    h.set_env("KSFD_STANDIN_DELAY_ITEM_MS", "2000");
    run = client.start_restore("db-full", RestoreRequest(true));
    ksfd = ksfd_pid_of(*run);
    ASSERT_GT(ksfd, 0);
  } else {
    run = start_backup_at(moment, h, client, vm, "db-next", ksfd);
    ASSERT_NE(run, nullptr);
  }
  run->send_signal(GetParam().signal);
  ProcessResult const r = run->wait(std::chrono::seconds(120));
  std::string const log = h.log_text();
  EXPECT_EQ(r.status, 17) << r.out << log;
  EXPECT_NE(log.find("Module was terminated. PID: "), std::string::npos) << log;
  if (moment != Moment::restore_ksfd_extracts) {
    // The release says how the task ended.
    std::string const end = "The task to make 1 backup of VM '" + vm.id + "' was interrupted";
    EXPECT_NE(log.find(end + "; its temporary objects were removed"), std::string::npos) << log;
    EXPECT_EQ(log.find("completed successfully"), std::string::npos) << log;
  }
  if (ksfd > 0) {
    EXPECT_TRUE(eventually([&] { return process_state(ksfd) == 0 || process_state(ksfd) == 'Z'; }))
        << "ksfd " << ksfd << " outlived the module";
  }

  EXPECT_TRUE(h.block_devices().empty());
  CloudObjects const after = cloud_objects(h.inventory());
  EXPECT_EQ(after, before) << difference(before, after);
  // The task's description files and list file went with the release; a
  // stopped restore removes the directory it extracted into.
  for (auto const& name : directory_entries(h.task_dir())) {
    EXPECT_TRUE(starts_with(name, "db-next.snap_dir")) << name;
  }
  if (moment == Moment::restore_ksfd_extracts) {
    EXPECT_FALSE(fs::exists(client.restore_dir("db-full")));
  }
}

INSTANTIATE_TEST_SUITE_P(Signals, Termination,
                         ::testing::Values(SignalRow{"backup_while_ksfd_reads", Moment::backup_ksfd_reads},
                                           SignalRow{"backup_during_snapshot_wait", Moment::backup_snapshot_wait},
                                           SignalRow{"restore_while_ksfd_extracts", Moment::restore_ksfd_extracts},
                                           // Sent, not a fault: a request to end like SIGTERM.
                                           SignalRow{"segv_backup_while_ksfd_reads", Moment::backup_ksfd_reads, SIGSEGV},
                                           // What a closed ssh session of the client sends.
                                           SignalRow{"hup_backup_while_ksfd_reads", Moment::backup_ksfd_reads, SIGHUP},
                                           SignalRow{"quit_backup_while_ksfd_reads", Moment::backup_ksfd_reads, SIGQUIT},
                                           SignalRow{"hup_restore_while_ksfd_extracts", Moment::restore_ksfd_extracts,
                                                     SIGHUP},
                                           // Signals whose default would end the module at once.
                                           SignalRow{"usr1_backup_while_ksfd_reads", Moment::backup_ksfd_reads, SIGUSR1},
                                           SignalRow{"usr1_backup_during_snapshot_wait", Moment::backup_snapshot_wait,
                                                     SIGUSR1},
                                           SignalRow{"usr2_backup_while_ksfd_reads", Moment::backup_ksfd_reads, SIGUSR2},
                                           SignalRow{"usr2_restore_while_ksfd_extracts", Moment::restore_ksfd_extracts,
                                                     SIGUSR2}),
                         [](::testing::TestParamInfo<SignalRow> const& info) { return std::string(info.param.name); });

struct MomentRow {
  char const* name;
  Moment moment;
};

void PrintTo(MomentRow const& row, std::ostream* out) { *out << row.name; }

class TimerSignals : public ::testing::TestWithParam<MomentRow> {};

// A timer's signal asks for nothing: the backup goes on and succeeds, with
// its result lines, and leaves nothing in the cloud.
TEST_P(TimerSignals, AreIgnoredAndTheBackupSucceeds) {
  fs::remove("/opt/kestrova/log/ks_module_rustack.log");
  Harness h;
  h.cloud().set_polls(quick_polls());
  Vm const vm = h.make_vm();
  kstest::TempDir store;
  BackupClient client(h, store.str());
  CloudObjects const before = cloud_objects(h.inventory());
  pid_t ksfd = -1;
  auto run = start_backup_at(GetParam().moment, h, client, vm, "db-full", ksfd, 500);
  ASSERT_NE(run, nullptr);
  for (int signal : {SIGALRM, SIGVTALRM, SIGPROF}) run->send_signal(signal);
  ProcessResult const r = run->wait(std::chrono::seconds(120));
  std::string const log = h.log_text();
  EXPECT_EQ(r.status, 0) << r.out << log;
  EXPECT_NE(r.line_starting("Packed: 100%"), nullptr) << r.out;
  EXPECT_TRUE(r.has_line("MAIN SNAPSHOT FILENAME:" + h.task_dir() + "/db-full.snap")) << r.out;
  EXPECT_NE(log.find("The task to make a full backup of resource '" + vm.id + "' completed successfully"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("Module was terminated"), std::string::npos) << log;
  EXPECT_TRUE(h.block_devices().empty());
  EXPECT_EQ(cloud_objects(h.inventory()), before) << difference(before, cloud_objects(h.inventory()));
}

INSTANTIATE_TEST_SUITE_P(Signals, TimerSignals,
                         ::testing::Values(MomentRow{"while_ksfd_reads", Moment::backup_ksfd_reads},
                                           MomentRow{"during_snapshot_wait", Moment::backup_snapshot_wait}),
                         [](::testing::TestParamInfo<MomentRow> const& info) { return std::string(info.param.name); });

// SIGTERM that arrives while the module writes a log line (here: the lines
// that follow the file list, as it writes the ksfd list file) still ends the
// run with 17 and a clean cloud. Tried three times, since the moment is only
// nearly the same each time.
TEST(Signals, TerminationWhileTheModuleLogsEndsTheRun) {
  Harness h;
  h.cloud().set_polls(quick_polls());
  Vm const vm = h.make_vm();
  kstest::TempDir store;
  BackupClient client(h, store.str());
  std::string const last_item = "_vdc.config : " + vm.volume_ids[1] + ".conf";
  for (int attempt = 1; attempt <= 3; ++attempt) {
    SCOPED_TRACE("attempt " + std::to_string(attempt));
    CloudObjects const before = cloud_objects(h.inventory());
    auto run = client.start_backup(vm.id, "db-" + std::to_string(attempt));
    ASSERT_TRUE(run->wait_for_line([&](std::string const& l) { return l.find(last_item) != std::string::npos; },
                                   std::chrono::seconds(60)));
    run->send_signal(SIGTERM);
    // The release takes a few seconds; half a minute means the module hangs.
    ProcessResult const r = run->wait(std::chrono::seconds(30));
    ASSERT_FALSE(r.timed_out) << "the module hung after SIGTERM\n" << h.log_text();
    EXPECT_EQ(r.status, 17);
    EXPECT_TRUE(h.block_devices().empty());
    EXPECT_EQ(cloud_objects(h.inventory()), before);
  }
}

// A terminated backup holds no lock: the next backup of the same server runs.
TEST(Signals, TheNextBackupRunsAfterATerminatedOne) {
  Harness h;
  h.cloud().set_polls(quick_polls());
  Vm const vm = h.make_vm();
  kstest::TempDir store;
  BackupClient client(h, store.str());
  h.set_env("KSFD_STANDIN_DELAY_ITEM_MS", "2000");
  auto run = client.start_backup(vm.id, "db-first");
  ASSERT_GT(ksfd_pid_of(*run), 0);
  run->send_signal(SIGTERM);
  ASSERT_EQ(run->wait(std::chrono::seconds(120)).status, 17);

  h.unset_env("KSFD_STANDIN_DELAY_ITEM_MS");
  ClientRun const next = client.backup(vm.id, "db-second");
  EXPECT_EQ(next.result.status, 0) << next.result.out << h.log_text();
  EXPECT_FALSE(next.result.has_line("resource \"" + vm.id + "\" is busy by another process!"));
}

// SIGTSTP stops ksfd through the module; SIGCONT lets both go on, and the
// backup completes.
TEST(Signals, PauseStopsKsfdAndResumeFinishesTheBackup) {
  Harness h;
  h.cloud().set_polls(quick_polls());
  Vm const vm = h.make_vm();
  kstest::TempDir store;
  BackupClient client(h, store.str());
  CloudObjects const before = cloud_objects(h.inventory());
  h.set_env("KSFD_STANDIN_DELAY_ITEM_MS", "1000");
  auto run = client.start_backup(vm.id, "db-full");
  pid_t const ksfd = ksfd_pid_of(*run);
  ASSERT_GT(ksfd, 0);

  run->send_signal(SIGTSTP);
  EXPECT_TRUE(eventually([&] { return process_state(ksfd) == 'T'; })) << "state " << process_state(ksfd);
  // While paused nothing moves: ksfd stays stopped for a while.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(process_state(ksfd), 'T');
  std::size_t const packed_while_paused = [&] {
    std::size_t n = 0;
    for (auto const& l : run->lines_so_far()) n += starts_with(l, "Packed: ");
    return n;
  }();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  std::size_t packed_later = 0;
  for (auto const& l : run->lines_so_far()) packed_later += starts_with(l, "Packed: ");
  EXPECT_EQ(packed_later, packed_while_paused) << "ksfd went on while paused";

  run->send_signal(SIGCONT);
  EXPECT_TRUE(eventually([&] {
    char const s = process_state(ksfd);
    return s != 'T';
  }));
  ProcessResult const r = run->wait(std::chrono::seconds(120));
  EXPECT_EQ(r.status, 0) << r.out << h.log_text();
  EXPECT_NE(r.line_starting("Packed: 100%"), nullptr) << r.out;
  EXPECT_TRUE(r.has_line("MAIN SNAPSHOT FILENAME:" + h.task_dir() + "/db-full.snap")) << r.out;
  std::string const log = h.log_text();
  EXPECT_NE(log.find(" put on pause"), std::string::npos) << log;
  EXPECT_NE(log.find(" continue working"), std::string::npos) << log;
  EXPECT_EQ(cloud_objects(h.inventory()), before);
}

}  // namespace

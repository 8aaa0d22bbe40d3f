// Faults injected into every step of a backup and of a restore, run through
// the real program as the backup client runs it: the exit code the client
// sees, the line in the log that says why, and a cloud that holds no
// snapshot and no temporary volume of the task afterwards.
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "e2e/backup_client.h"
#include "e2e/cloud_objects.h"

namespace fs = boost::filesystem;
namespace sc = kstest::standard_cloud;
using namespace kstest::e2e;

namespace {

char const* const kPrepare = "virtual bool KsModuleRuStack::prepare_resource_before_backup(const bool&)";
char const* const kScript =
    "int KsModuleRuStack::run_script_inside_vm(const string&, const string&, const string&, std::__cxx11::string&, "
    "curlAPI*, unsigned int&)";
char const* const kBeforeRestore = "virtual bool KsModuleRuStack::before_restore()";
char const* const kRestoreVolumes =
    "int KsModuleRuStack::restore_volumes(const server_conf&, const string&, "
    "std::set<std::__cxx11::basic_string<char> >&, std::__cxx11::string&)";
char const* const kDeployVm = "int KsModuleRuStack::deploy_vm(const string&, const rustack_server_parameters&, server_conf&)";
char const* const kDeployment = "virtual bool KsModuleRuStack::deployment(const bool&)";
char const* const kCheckBlock = "int check_block_device(const string&, const string&)";
char const* const kId = "[0-9a-f-]+";
char const* const kFaketime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";

std::string literal(std::string const& text) {
  static std::regex const special(R"([.^$|()\[\]{}*+?\\])");
  return std::regex_replace(text, special, R"(\$&)");
}

// A log line at Error: the signature, ": " and a text matching `message`.
std::string error_line(char const* signature, std::string const& message) {
  return "Error: " + literal(signature) + ": " + message;
}

bool log_has(std::string const& log, std::string const& pattern) {
  std::regex const re(pattern);
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    // A coloured line keeps a blank before its (removed) reset code.
    while (!line.empty() && line.back() == ' ') line.pop_back();
    if (std::regex_search(line, re)) return true;
  }
  return false;
}

enum class Path { backup, restore };

// What a failed run leaves in the cloud besides what was there before.
enum class Leaves {
  nothing,
  restored_volumes,  // the restored volumes, complete and detached (the server could not be made)
  restored_server,   // the new server with its boot volume (an attachment to it failed)
  whole_restore,     // the new server with both volumes attached (the run still reports a fault)
};

// The server of a row: for a backup the one backed up now, for a restore the
// one the shared backup was made of.
struct Context {
  Harness& h;
  Vm vm;
  std::string module_params;  // -e of the run
  std::string volume(std::size_t i) const { return literal(vm.volume_ids.at(i)); }
};

struct Row {
  char const* name;
  Path path;
  std::function<void(Context&)> arrange;  // faults, polls, configuration, fixtures
  int exit_code;
  std::function<std::string(Context const&)> key_line;  // regex of one log line
  Leaves leaves = Leaves::nothing;
};

void fault(Context& c, boost::json::object rule) { c.h.cloud().add_fault(rule); }

void config(Context& c, std::function<void(ModuleConfig&)> const& change) {
  ModuleConfig m;
  change(m);
  c.h.write_config(m);
}

// The fixed waits of 300 one-second polls run fifty times faster under
// libfaketime; requests get a bound that stays long enough in real time.
void fast_clock(Context& c) {
  c.h.set_env("LD_PRELOAD", kFaketime);
  c.h.set_env("FAKETIME", "+0 x50");
  config(c, [](ModuleConfig& m) { m.timeout = 300; });
}

char const* const kRun = "unsigned int KsModuleUniversal::run()";
char const* const kConfigFile = "/opt/kestrova/etc/ks_module_rustack.conf";

// The number of the line `line` in the module configuration file; 0 when
// it holds none.
std::size_t config_line_number(std::string const& line) {
  std::istringstream lines(kstest::read_file(kConfigFile));
  std::size_t number = 1;
  for (std::string l; std::getline(lines, l); ++number)
    if (l == line) return number;
  return 0;
}

// The Error that ends a run whose configuration holds `key value` with a
// value that the conversion refuses.
std::string not_an_integer(std::string const& key, std::string const& value, char const* what) {
  return error_line(kRun, "Database error: " + key + ": '" + value + "' " + what + " \\(line " +
                              std::to_string(config_line_number(key + " " + value)) + " of " + literal(kConfigFile) +
                              "\\)$");
}

boost::json::object on(char const* method, char const* path) { return {{"method", method}, {"path", path}}; }

boost::json::object with(boost::json::object rule, boost::json::object const& more) {
  for (auto const& m : more) rule[m.key()] = m.value();
  return rule;
}

char const* const kSnapshots = ".*/snapshots";
char const* const kVolumes = ".*/volumes";
char const* const kVolume = ".*/volumes/[0-9a-f-]+";
char const* const kAttachments = ".*/os-volume_attachments";

boost::json::object guest(std::vector<boost::json::object> scripts) {
  boost::json::array a;
  for (auto& s : scripts) a.push_back(std::move(s));
  a.push_back({{"path", "/usr/bin/test"}, {"args", {"-f", "/opt/kestrova/scripts/rustack.sh"}}, {"exitcode", 1}});
  return {{"scripts", a}};
}

std::vector<Row> const& rows() {
  static std::vector<Row> const all = {
      // ---- the backup path ---------------------------------------------------------
      {"backup_server_description_refused", Path::backup,
       [](Context& c) { fault(c, with(on("GET", "/nova-api/v2/servers/[0-9a-f-]+"), {{"status", 500}})); }, 6,
       [](Context const& c) { return error_line(kPrepare, "unable to get VM configuration: '" + literal(c.vm.id) + "'"); }},
      {"backup_volume_description_refused", Path::backup,
       [](Context& c) { fault(c, with(on("GET", kVolume), {{"nth", 2}, {"status", 500}})); }, 6,
       [](Context const& c) { return error_line(kPrepare, "unable to get information for volume: '" + c.volume(1) + "'"); }},
      {"backup_second_snapshot_refused", Path::backup,
       [](Context& c) { fault(c, with(on("POST", kSnapshots), {{"nth", 2}, {"status", 500}})); }, 6,
       [](Context const& c) { return error_line(kPrepare, "unable to create snapshot for volume: '" + c.volume(1) + "'"); }},
      {"backup_hypervisor_query_refused", Path::backup,
       [](Context& c) { fault(c, with(on("GET", ".*/os-hypervisors/detail"), {{"status", 500}})); }, 6,
       [](Context const&) { return error_line(kPrepare, "unable to get info for hypervisor node2\\.cloud\\.test$"); }},
      {"backup_snapshot_in_error", Path::backup,
       [](Context& c) { fault(c, with(on("POST", kSnapshots), {{"nth", 2}, {"state", "error"}})); }, 6,
       [](Context const&) { return error_line(kPrepare, std::string("snapshot '") + kId + "' has unexpected status: error"); }},
      {"backup_snapshot_wait_times_out", Path::backup,
       [](Context& c) {
         config(c, [](ModuleConfig& m) { m.snapshot_creation_timeout = 2; });
         fault(c, with(on("POST", kSnapshots), {{"polls", 3}}));
       },
       6,
       [](Context const& c) {
         return error_line(kPrepare, std::string("can't create snapshot: '") + kId + "' of volume: '" + c.volume(0) +
                                         "'\\. Break by timeout 2$");
       }},
      {"backup_copy_volume_refused", Path::backup,
       [](Context& c) { fault(c, with(on("POST", kVolumes), {{"nth", 2}, {"status", 500}})); }, 6,
       [](Context const&) { return error_line(kPrepare, std::string("unable to create volume from snapshot : '") + kId + "'"); }},
      {"backup_copy_volume_in_error", Path::backup,
       [](Context& c) { fault(c, with(on("POST", kVolumes), {{"nth", 2}, {"state", "error"}})); }, 6,
       [](Context const&) { return error_line(kPrepare, std::string("volume '") + kId + "' has unexpected status: error"); }},
      {"backup_copy_volume_wait_times_out", Path::backup,
       [](Context& c) {
         config(c, [](ModuleConfig& m) { m.volume_creation_timeout = 2; });
         fault(c, with(on("POST", kVolumes), {{"polls", 3}}));
       },
       6,
       [](Context const&) {
         return error_line(kPrepare, std::string("can't create volume: '") + kId + "' from snapshot: '" + kId +
                                         "'\\. Break by timeout 2$");
       }},
      {"backup_attachment_refused", Path::backup,
       [](Context& c) { fault(c, with(on("POST", kAttachments), {{"nth", 2}, {"status", 500}})); }, 6,
       [](Context const&) { return error_line(kPrepare, std::string("unable to attach volume '") + kId + "' to server '"); }},
      {"backup_attachment_wait_times_out", Path::backup,
       [](Context& c) {
         config(c, [](ModuleConfig& m) { m.volume_attachment_timeout = 2; });
         fault(c, with(on("POST", kAttachments), {{"polls", 3}}));
       },
       6,
       [](Context const&) {
         return error_line(kPrepare, std::string("unable to attach volume: '") + kId + "' to server: '" +
                                         literal(sc::kestrova_vm) + "'\\. Break by timeout 2$");
       }},
      {"backup_device_is_a_regular_file", Path::backup,
       [](Context& c) { c.h.set_device_faults({{"device", "file"}, {"by_id", false}}); }, 6,
       [](Context const&) { return error_line(kPrepare, "volume was attached to server: '.*' as device '/dev/vdb' but it is not a block device"); }},
      {"backup_device_never_appears", Path::backup,
       [](Context& c) {
         fast_clock(c);
         c.h.set_device_faults({{"device", "none"}, {"by_id", false}});
       },
       6,
       [](Context const& c) {
         return error_line(kPrepare, "unable to find just attached volume: '" + c.volume(0) + "' to server: '" +
                                         literal(sc::kestrova_vm) + "'\\. Break by timeout 300$");
       }},
      {"backup_guest_script_before_fails", Path::backup,
       [](Context& c) {
         c.h.set_virsh_fixture(guest({{{"path", "/opt/app/freeze"}, {"args", {"before"}}, {"exitcode", 3}}}));
         c.module_params = "script_before_snapshot:/opt/app/freeze";
       },
       6, [](Context const&) { return error_line(kScript, "internal VM script returned: 3$"); }},
      {"backup_guest_script_after_fails", Path::backup,
       [](Context& c) {
         c.h.set_virsh_fixture(guest({{{"path", "/opt/app/thaw"}, {"args", {"after"}}, {"exitcode", 2}}}));
         c.module_params = "script_after_snapshot:/opt/app/thaw";
       },
       6, [](Context const&) { return error_line(kScript, "internal VM script returned: 2$"); }},
      {"backup_ksfd_error_flag", Path::backup, [](Context& c) { c.h.set_env("KSFD_STANDIN_EXIT", "1"); }, 6,
       [](Context const&) { return std::string("Warning: ksfd finished with an error flag"); }},
      {"backup_ksfd_defect_flag", Path::backup, [](Context& c) { c.h.set_env("KSFD_STANDIN_EXIT", "100"); }, 100,
       [](Context const&) { return std::string("Warning: ksfd finished with a defect flag"); }},
      // A counted value that is no number ends the run before anything is made.
      {"backup_config_count_not_an_integer", Path::backup,
       [](Context& c) { config(c, [](ModuleConfig& m) { m.extra_lines = {"volume_creation_timeout abc"}; }); }, 13,
       [](Context const&) { return not_an_integer("volume_creation_timeout", "abc", "is not an integer"); }},
      {"backup_config_count_beyond_int", Path::backup,
       [](Context& c) { config(c, [](ModuleConfig& m) { m.extra_lines = {"snapshot_creation_timeout 99999999999"}; }); },
       13,
       [](Context const&) {
         return not_an_integer("snapshot_creation_timeout", "99999999999", "is out of the range of an integer");
       }},
      {"backup_config_request_timeout_not_an_integer", Path::backup,
       [](Context& c) { config(c, [](ModuleConfig& m) { m.extra_lines = {"timeout -x"}; }); }, 13,
       [](Context const&) { return not_an_integer("timeout", "-x", "is not an integer"); }},
      {"backup_ksfd_killed", Path::backup, [](Context& c) { c.h.set_env("KSFD_STANDIN_RAISE", "9"); }, 6,
       // The shell that runs ksfd reports the signal and exits with 137.
       [](Context const&) { return std::string("Error: ksfd out: Killed$"); }},

      // ---- the restore path --------------------------------------------------------
      {"restore_config_count_not_an_integer", Path::restore,
       [](Context& c) { config(c, [](ModuleConfig& m) { m.extra_lines = {"volume_attachment_timeout ten"}; }); }, 13,
       [](Context const&) { return not_an_integer("volume_attachment_timeout", "ten", "is not an integer"); }},
      {"restore_networks_refused", Path::restore,
       [](Context& c) { fault(c, with(on("GET", ".*/os-networks"), {{"status", 500}})); }, 7,
       [](Context const&) { return error_line(kBeforeRestore, "unable to get list of available networks$"); }},
      {"restore_ksfd_error_flag", Path::restore, [](Context& c) { c.h.set_env("KSFD_STANDIN_EXIT", "1"); }, 7,
       [](Context const&) { return std::string("Warning: ksfd finished with an error flag"); }},
      // The images came back with a defect: the server is built, and the client is told.
      {"restore_ksfd_defect_flag", Path::restore, [](Context& c) { c.h.set_env("KSFD_STANDIN_EXIT", "100"); }, 100,
       [](Context const&) { return std::string("Warning: ksfd finished with a defect flag"); }, Leaves::whole_restore},
      {"restore_first_volume_refused", Path::restore,
       [](Context& c) { fault(c, with(on("POST", kVolumes), {{"status", 500}})); }, 7,
       [](Context const& c) {
         return error_line(kRestoreVolumes, "unable to create volume to restore original one: '" + c.volume(0) + "'");
       }},
      {"restore_second_volume_in_error", Path::restore,
       [](Context& c) { fault(c, with(on("POST", kVolumes), {{"nth", 2}, {"state", "error"}})); }, 7,
       [](Context const&) { return error_line(kRestoreVolumes, std::string("volume '") + kId + "' has unexpected status: error"); }},
      {"restore_volume_wait_times_out", Path::restore,
       [](Context& c) {
         config(c, [](ModuleConfig& m) { m.volume_creation_timeout = 2; });
         fault(c, with(on("POST", kVolumes), {{"nth", 2}, {"polls", 3}}));
       },
       7,
       [](Context const&) {
         return error_line(kRestoreVolumes, std::string("volume: '") + kId + "' is still not available\\. Break by timeout 2$");
       }},
      {"restore_second_attachment_refused", Path::restore,
       [](Context& c) { fault(c, with(on("POST", kAttachments), {{"nth", 2}, {"status", 500}})); }, 7,
       [](Context const&) { return error_line(kRestoreVolumes, std::string("unable to attach volume '") + kId + "' to server '"); }},
      {"restore_attachment_wait_times_out", Path::restore,
       [](Context& c) {
         config(c, [](ModuleConfig& m) { m.volume_attachment_timeout = 2; });
         fault(c, with(on("POST", kAttachments), {{"polls", 3}}));
       },
       7,
       [](Context const&) {
         return error_line(kRestoreVolumes, std::string("unable to attach volume: '") + kId + "' to server: '" +
                                                literal(sc::kestrova_vm) + "'\\. Break by timeout 2$");
       }},
      // Never one volume's copy written over the other's.
      {"restore_two_volumes_reported_at_one_device", Path::restore,
       [](Context& c) {
         fault(c, with(on("POST", kAttachments),
                       {{"times", 0}, {"patch", {{"volumeAttachment", {{"device", "/dev/vdb"}}}}}}));
       },
       7,
       [](Context const&) {
         return error_line(kRestoreVolumes, std::string("volumes '") + kId + "' and '" + kId +
                                                "' were both reported at device '/dev/vdb'$");
       }},
      {"restore_device_is_a_regular_file", Path::restore,
       [](Context& c) { c.h.set_device_faults({{"device", "file"}, {"by_id", false}}); }, 7,
       [](Context const&) { return error_line(kRestoreVolumes, "volume was attached to server: '.*' as device '/dev/vdb' but it is not a block device"); }},
      // The volumes are complete, but nova would not boot from an unmarked one.
      {"restore_bootable_mark_refused", Path::restore,
       [](Context& c) { fault(c, with(on("POST", ".*/volumes/[0-9a-f-]+/action"), {{"status", 500}})); }, 7,
       [](Context const& c) {
         return error_line(kRestoreVolumes, std::string("unable to mark the restored volume '") + kId +
                                                "' \\(a copy of '" + c.volume(0) +
                                                "'\\) bootable, no server can boot from it$");
       },
       Leaves::restored_volumes},
      // The first server list is the Kestrova VM's check, the second the name search.
      {"restore_server_list_refused", Path::restore,
       [](Context& c) { fault(c, with(on("GET", "/nova-api/v2/servers/detail"), {{"nth", 2}, {"status", 500}})); }, 7,
       [](Context const&) { return error_line(kDeployVm, "unable to get list of servers$"); }, Leaves::restored_volumes},
      {"restore_server_creation_refused", Path::restore,
       [](Context& c) { fault(c, with(on("POST", "/nova-api/v2/servers"), {{"status", 500}})); }, 7,
       [](Context const&) { return error_line(kDeployVm, "unable to create server$"); }, Leaves::restored_volumes},
      {"restore_server_never_active", Path::restore,
       [](Context& c) {
         fast_clock(c);
         fault(c, with(on("POST", "/nova-api/v2/servers"), {{"polls", 1000}}));
       },
       7, [](Context const&) { return error_line(kDeployVm, "unable to create server 'db'\\. Break by timeout 300$"); },
       Leaves::restored_server},
      {"restore_attachment_to_the_new_server_refused", Path::restore,
       [](Context& c) { fault(c, with(on("POST", kAttachments), {{"nth", 3}, {"status", 500}})); }, 7,
       [](Context const&) { return error_line(kDeployment, std::string("unable to attach volume '") + kId + "' to server 'db'$"); },
       Leaves::restored_server},
  };
  return all;
}

// gtest names a row by its name instead of dumping its bytes.
void PrintTo(Row const& row, std::ostream* out) { *out << row.name; }

class FailureInjection : public ::testing::TestWithParam<Row> {};

TEST_P(FailureInjection, ExitCodeLogLineAndNothingLeftInTheCloud) {
  Row const& row = GetParam();
  Vm restored_from;
  if (row.path == Path::restore) restored_from = shared_backup().vm;
  fs::remove("/opt/kestrova/log/ks_module_rustack.log");

  Harness h;
  kstest::TempDir store;
  BackupClient client(h, store.str());
  Context c{h, row.path == Path::backup ? h.make_vm() : restored_from, ""};
  if (row.path == Path::restore) client.adopt("db-full", shared_backup().snapshot, shared_backup().archive);
  // Every transition ends at its first poll unless a row says otherwise.
  h.cloud().set_polls(quick_polls());
  CloudObjects const before = cloud_objects(h.inventory());
  row.arrange(c);

  ClientRun const run = row.path == Path::backup ? client.backup(c.vm.id, "db-full", "", c.module_params)
                                                 : client.restore("db-full", RestoreRequest(true, "", c.module_params));
  std::string const log = h.log_text();
  EXPECT_EQ(run.result.status, row.exit_code) << run.command_line() << "\n" << run.result.out << log;
  std::string const key = row.key_line(c);
  EXPECT_TRUE(log_has(log, key)) << "no log line matches: " << key << "\n" << log;
  if (row.path == Path::backup && row.exit_code != 0 && row.exit_code != 100) {
    // A backup that did not succeed never says it did; one whose ksfd ran
    // and failed says so at the end of its release.
    EXPECT_EQ(log.find("completed successfully"), std::string::npos) << log;
    if (!h.ksfd_calls().empty()) {
      EXPECT_TRUE(log_has(log, "Info: The task to make 1 backup of VM '" + literal(c.vm.id) +
                                   "' failed; its temporary objects were removed$"))
          << log;
    }
  }

  // Nothing stays on the Kestrova VM, and no snapshot or temporary volume in
  // the cloud (a restore keeps what it completed when the server step fails).
  EXPECT_TRUE(h.block_devices().empty());
  CloudObjects const after = cloud_objects(h.inventory());
  std::string const diff = difference(before, after);
  EXPECT_TRUE(after.snapshots.empty()) << diff;
  std::size_t const new_attachments = row.leaves == Leaves::whole_restore     ? 2u
                                      : row.leaves == Leaves::restored_server ? 1u
                                                                              : 0u;
  EXPECT_EQ(after.attachments.size() - before.attachments.size(), new_attachments) << diff;
  for (auto const& [volume, where] : after.attachments) {
    if (before.attachments.count(volume)) continue;
    EXPECT_NE(where.rfind(sc::kestrova_vm, 0), 0u) << diff;
  }
  std::size_t const new_volumes = after.volumes.size() - before.volumes.size();
  std::size_t const new_servers = after.servers.size() - before.servers.size();
  switch (row.leaves) {
    case Leaves::nothing:
      EXPECT_EQ(after, before) << diff;
      break;
    case Leaves::restored_volumes:
      EXPECT_EQ(new_volumes, 2u) << diff;
      EXPECT_EQ(new_servers, 0u) << diff;
      for (auto const& [id, status] : after.volumes) {
        if (before.volumes.count(id)) continue;
        EXPECT_EQ(status, "available") << diff;
      }
      break;
    case Leaves::restored_server:
    case Leaves::whole_restore:
      EXPECT_EQ(new_volumes, 2u) << diff;
      EXPECT_EQ(new_servers, 1u) << diff;
      break;
  }
  if (row.path == Path::backup) {
    // Only the task's own files were there, and the descriptions are gone.
    for (auto const& name : directory_entries(h.task_dir()))
      EXPECT_TRUE(name == "db-full.snap" || name == "db-full.snap_dir") << name;
  }
}

INSTANTIATE_TEST_SUITE_P(Steps, FailureInjection, ::testing::ValuesIn(rows()),
                         [](::testing::TestParamInfo<Row> const& info) { return std::string(info.param.name); });

// A -b or -n from the command line whose line break would start a line of
// its own on standard output (a result line the client reads).
struct NameRow {
  char const* name;
  std::string resource_suffix;  // appended to the server's id for -b
  std::string copy_name;        // -n
  int exit_code;
  std::string line;             // the log line that names it, escaped
  std::string raw;              // the break that must never be written
  std::string log_level = "";   // of the logger configuration; empty: the default
};

void PrintTo(NameRow const& row, std::ostream* out) { *out << row.name; }

std::string const kForged = "MAIN SNAPSHOT FILENAME:/forged";

std::vector<NameRow> const& name_rows() {
  static std::vector<NameRow> const all = {
      {"resource_with_a_line_end", "\n" + kForged, "db-full", 2, "\\n" + kForged + "\". Resource doesn't exist.",
       "\n" + kForged},
      // The lock lines at Debug name it too.
      {"resource_with_a_line_end_at_debug", "\n" + kForged, "db-full", 2,
       "\\n" + kForged + "\". Resource doesn't exist.", "\n" + kForged, "Debug"},
      {"resource_with_a_nel", "\xc2\x85" + kForged, "db-full", 2,
       "\\xc2\\x85" + kForged + "\". Resource doesn't exist.", "\xc2\x85"},
      {"copy_name_with_a_nel", "", "db\xc2\x85" + kForged, 14,
       "The archive name must be one file name, without '/' or control characters: \"db\\xc2\\x85" + kForged + "\"",
       "\xc2\x85"},
      {"copy_name_with_a_line_separator", "", "db\xe2\x80\xa8" + kForged, 14,
       "The archive name must be one file name, without '/' or control characters: \"db\\xe2\\x80\\xa8" + kForged +
           "\"",
       "\xe2\x80\xa8"},
      {"copy_name_with_a_paragraph_separator", "", "db\xe2\x80\xa9" + kForged, 14,
       "The archive name must be one file name, without '/' or control characters: \"db\\xe2\\x80\\xa9" + kForged +
           "\"",
       "\xe2\x80\xa9"},
  };
  return all;
}

class HostileName : public ::testing::TestWithParam<NameRow> {};

TEST_P(HostileName, IsRefusedOnOneLineAndMakesNothing) {
  NameRow const& row = GetParam();
  fs::remove("/opt/kestrova/log/ks_module_rustack.log");
  HarnessOptions options;
  options.log_level = row.log_level;
  Harness h(options);
  kstest::TempDir store;
  BackupClient client(h, store.str());
  Vm const vm = h.make_vm();
  CloudObjects const before = cloud_objects(h.inventory());

  ClientRun const run = client.backup(vm.id + row.resource_suffix, row.copy_name);
  std::string const log = h.log_text();
  EXPECT_EQ(run.result.status, row.exit_code) << run.command_line() << "\n" << run.result.out << log;
  std::string const& out = run.result.out;
  EXPECT_NE((out + log).find(row.line), std::string::npos) << out << log;
  EXPECT_EQ(out.find(row.raw), std::string::npos) << out;
  EXPECT_EQ(log.find(row.raw), std::string::npos) << log;
  for (auto const& line : run.result.out_lines) EXPECT_NE(line.rfind("MAIN ", 0), 0u) << line;
  EXPECT_EQ(cloud_objects(h.inventory()), before);
}

INSTANTIATE_TEST_SUITE_P(CommandLine, HostileName, ::testing::ValuesIn(name_rows()),
                         [](::testing::TestParamInfo<NameRow> const& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// A file system of its own for -d, of `size` bytes (a tmpfs), unmounted
// again when the object goes.
class SmallDirectory {
 public:
  explicit SmallDirectory(std::string const& size) {
    if (::mount("ks-small-task", dir_.str().c_str(), "tmpfs", 0, ("size=" + size).c_str()) != 0)
      throw std::runtime_error("cannot mount a tmpfs on " + dir_.str() + ": " + std::strerror(errno));
  }
  ~SmallDirectory() { ::umount2(dir_.str().c_str(), MNT_DETACH); }
  SmallDirectory(SmallDirectory const&) = delete;
  SmallDirectory& operator=(SmallDirectory const&) = delete;

  std::string str() const { return dir_.str(); }
  // Writes the file `name` until the file system has no room left.
  void fill(std::string const& name) const {
    int const fd = ::open((dir_ / name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) throw std::runtime_error("cannot make the filler file");
    std::string const block(4096, 'f');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    ::close(fd);
  }

 private:
  kstest::TempDir dir_;
};

struct FullDirectoryRow {
  char const* name;
  char const* size;
  bool filled;    // no room left at all
  int exit_code;  // 2: the snapshot tarball cannot be unpacked; 7: the archive cannot be extracted
  char const* key_line;
};

void PrintTo(FullDirectoryRow const& row, std::ostream* out) { *out << row.name; }

class FullDirectory : public ::testing::TestWithParam<FullDirectoryRow> {};

// A restore whose -d has no room fails, and leaves no restore directory
// behind (nor anything else of its own), whichever step runs out of room.
TEST_P(FullDirectory, RestoreFailsAndLeavesNoRestoreDirectory) {
  FullDirectoryRow const& row = GetParam();
  Vm const vm = shared_backup().vm;
  Harness h;
  h.cloud().set_polls(quick_polls());
  kstest::TempDir store;
  BackupClient client(h, store.str());
  client.adopt("db-full", shared_backup().snapshot, shared_backup().archive);
  CloudObjects const before = cloud_objects(h.inventory());
  SmallDirectory const small(row.size);
  if (row.filled) small.fill("filler");

  std::vector<std::string> args = client.restore_args("db-full", RestoreRequest(true));
  *(std::find(args.begin(), args.end(), "-d") + 1) = small.str();
  ProcessResult const r = h.run(args);
  std::string const log = h.log_text();
  EXPECT_EQ(r.status, row.exit_code) << r.out << log;
  EXPECT_TRUE(log_has(log, row.key_line)) << "no log line matches: " << row.key_line << "\n" << log;
  EXPECT_EQ(directory_entries(small.str()),
            row.filled ? std::vector<std::string>{"filler"} : std::vector<std::string>{});
  EXPECT_EQ(cloud_objects(h.inventory()), before);
  EXPECT_TRUE(h.block_devices().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Restore, FullDirectory,
    ::testing::Values(FullDirectoryRow{"no_room_at_all", "64k", true, 2, "Error: Unable to unpack snapshot file: "},
                      FullDirectoryRow{"room_for_the_snapshot_tarball_only", "256k", false, 7,
                                       "Warning: ksfd finished with an error flag"}),
    [](::testing::TestParamInfo<FullDirectoryRow> const& info) { return std::string(info.param.name); });

// A record id with a line end (-r) never writes a line of its own: the
// restore fails and its lines give the id on one line.
TEST(HostileRecordId, IsWrittenOnOneLine) {
  shared_backup();  // made by a harness of its own, before this one
  Harness h;
  h.cloud().set_polls(quick_polls());
  kstest::TempDir store;
  BackupClient client(h, store.str());
  client.adopt("db-full", shared_backup().snapshot, shared_backup().archive);
  CloudObjects const before = cloud_objects(h.inventory());
  std::vector<std::string> args = client.restore_args("db-full", RestoreRequest(true));
  std::string& record = *(std::find(args.begin(), args.end(), "-r") + 1);
  record += "\nMAIN SNAPSHOT FILENAME:/forged";
  ProcessResult const r = h.run(args);
  std::string const log = h.log_text();
  EXPECT_NE(r.status, 0) << r.out << log;
  for (std::string const& text : {r.out, log}) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) EXPECT_NE(line.rfind("MAIN SNAPSHOT", 0), 0u) << line;
  }
  EXPECT_EQ(cloud_objects(h.inventory()), before);
}

struct MissingDirectoryRow {
  char const* name;
  char const* directory;  // moved aside for the run
  Path path;
};

void PrintTo(MissingDirectoryRow const& row, std::ostream* out) { *out << row.name; }

class MissingDirectory : public ::testing::TestWithParam<MissingDirectoryRow> {};

// Without the client's directories the task secret cannot be there: the run
// ends with 14, before anything is made, and the Error names the directory.
TEST_P(MissingDirectory, IsNamedAndNothingIsMade) {
  MissingDirectoryRow const& row = GetParam();
  Vm restored_from;
  if (row.path == Path::restore) restored_from = shared_backup().vm;
  fs::remove("/opt/kestrova/log/ks_module_rustack.log");
  Harness h;
  h.cloud().set_polls(quick_polls());
  kstest::TempDir store;
  BackupClient client(h, store.str());
  Vm const vm = row.path == Path::backup ? h.make_vm() : restored_from;
  if (row.path == Path::restore) client.adopt("db-full", shared_backup().snapshot, shared_backup().archive);
  CloudObjects const before = cloud_objects(h.inventory());

  std::string const aside = std::string(row.directory) + ".aside";
  fs::rename(row.directory, aside);
  ClientRun run;
  try {
    run = row.path == Path::backup ? client.backup(vm.id, "db-full") : client.restore("db-full");
  } catch (...) {
    fs::rename(aside, row.directory);
    throw;
  }
  fs::remove_all(row.directory);  // what the run may have made anew
  fs::rename(aside, row.directory);

  std::string const log = h.log_text();
  EXPECT_EQ(run.result.status, 14) << run.result.out << log;
  std::string const key = error_line("bool KsModuleUniversal::load_client_defined_storages()",
                                     "the directory " + literal(row.directory) +
                                         " does not exist; the backup client writes the secret of each task into "
                                         "/opt/kestrova/var/tasks$");
  EXPECT_TRUE(log_has(log, key)) << "no log line matches: " << key << "\n" << log;
  EXPECT_TRUE(log_has(log, "Error: int main\\(int, char\\*\\*\\)Wrong combination of options$")) << log;
  EXPECT_EQ(cloud_objects(h.inventory()), before);
  EXPECT_TRUE(directory_entries(h.task_dir()).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Installation, MissingDirectory,
    ::testing::Values(MissingDirectoryRow{"backup_without_var", "/opt/kestrova/var", Path::backup},
                      MissingDirectoryRow{"backup_without_tasks", "/opt/kestrova/var/tasks", Path::backup},
                      MissingDirectoryRow{"restore_without_var", "/opt/kestrova/var", Path::restore}),
    [](::testing::TestParamInfo<MissingDirectoryRow> const& info) { return std::string(info.param.name); });

}  // namespace

// The backup client's side of the end-to-end runs: the command lines it
// gives the module, the task secret it writes, and the snapshot tarballs it
// keeps between runs (the module deletes a tarball it unpacks, so the client
// hands over a copy each time).
//
//   BackupClient client(h);
//   ClientRun full = client.backup(vm.id, "db-full");            // -1
//   ClientRun incr = client.backup(vm.id, "db-incr", "db-full");  // -2 -s <copy of db-full.snap>
//   client.restore("db-full", RestoreRequest(false));          // not the last run
//   client.restore("db-incr", RestoreRequest(true, "db-full"));  // last, -i db-full
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "e2e/child_process.h"
#include "e2e/harness.h"

namespace kstest::e2e {

// One run of the module as the client made it.
struct ClientRun {
  std::vector<std::string> args;  // argv[1:]
  ProcessResult result;
  // The command line as a shell would read it (program path first).
  std::string command_line() const;
};

struct RestoreRequest {
  RestoreRequest(bool last_ = true, std::string patch_ = "", std::string module_params_ = "")
      : last(last_), patch(std::move(patch_)), module_params(std::move(module_params_)) {}
  bool last;                  // -e last:true, else last:false
  std::string patch;          // -i: the record whose restore directory this run continues
  std::string module_params;  // more -e items ("key:value,...")
};

class BackupClient {
 public:
  // `work` holds the client's store of snapshot tarballs.
  BackupClient(Harness const& harness, std::string work, std::string task_id = "7001",
               std::string media_server = "media.cloud.test");
  BackupClient(BackupClient const&) = delete;
  BackupClient& operator=(BackupClient const&) = delete;

  // Full backup (no reference) or incremental backup on top of the backup
  // named `reference`, archive name `name`, temporary directory task_dir().
  std::vector<std::string> backup_args(std::string const& vm_id, std::string const& name,
                                       std::string const& reference = "",
                                       std::string const& module_params = "") const;
  // Runs the backup; on exit 0 moves the snapshot tarball from the
  // temporary directory into the store.
  ClientRun backup(std::string const& vm_id, std::string const& name, std::string const& reference = "",
                   std::string const& module_params = "") const;
  // Starts a backup and returns at once (for signals).
  std::unique_ptr<ChildProcess> start_backup(std::string const& vm_id, std::string const& name,
                                             std::string const& reference = "",
                                             std::string const& module_params = "") const;

  // The restore of the record `name` (the archive name is the record id on
  // the media server), with a copy of its tarball as -M.
  std::vector<std::string> restore_args(std::string const& name, RestoreRequest const& request) const;
  ClientRun restore(std::string const& name, RestoreRequest const& request = {}) const;
  std::unique_ptr<ChildProcess> start_restore(std::string const& name, RestoreRequest const& request = {}) const;

  // The restore directory of a record (the module extends -d by it).
  std::string restore_dir(std::string const& record) const { return harness_.task_dir() + "/" + record + ".rest"; }
  // The stored tarball of a backup; empty when there is none.
  std::string stored_snapshot(std::string const& name) const;
  // Moves the tarball of a finished backup from the temporary directory into
  // the store (backup() does this itself after exit 0); false without one.
  bool keep(std::string const& name) const;
  // Puts a tarball (and its archive, from another media folder) into this
  // client's store, as if this client had made the backup.
  void adopt(std::string const& name, std::string const& snapshot_file, std::string const& archive_file) const;

  std::string const& task_id() const { return task_id_; }
  std::string const& media_server() const { return media_server_; }

 private:
  // A fresh copy of the stored tarball for one run.
  std::string hand_over(std::string const& name) const;

  Harness const& harness_;
  std::string store_;
  std::string task_id_;
  std::string media_server_;
};

// One backup of a server "db" (the default VmSpec) made once per test
// program, in a cloud of its own (the standard seed keeps the project, the
// image and the network a restore needs): restore tests adopt it into their
// own client and cloud.
struct SharedBackup {
  kstest::TempDir dir;
  Vm vm;
  std::string snapshot, archive;  // copies of its tarball and of its archive
};
SharedBackup const& shared_backup();

// The files left in a directory (names, sorted); empty when it is missing.
std::vector<std::string> directory_entries(std::string const& dir);

// Polls settings of the stand-in cloud under which every transition ends at
// its first read, so each wait of the module costs one one-second sleep.
boost::json::object quick_polls();

// Waits until the cloud's request log holds `count` requests of `method` on
// a path matching `path_regex` that were answered below 300; false when the
// time is up first.
bool wait_for_requests(Harness const& harness, std::string const& method, std::string const& path_regex,
                       std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace kstest::e2e

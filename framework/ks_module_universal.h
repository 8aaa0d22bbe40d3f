// The abstract module: one object per process runs one operation chosen by the
// command line. init() installs the signal handlers and parses the command
// line; run() takes the per-resource lock, dispatches the operation, drives
// backups and restores through the virtual hooks and the framework's own
// ksfd steps, and turns every result into the process exit code.
//
// Where the bodies live:
//   ks_module_universal.cpp  constructor, init, base hooks, restrictions,
//                            module properties, lock reassignment
//   command_line.cpp         parse_module_options, usage, compress_mode_str,
//                            get_task_secret
//   module_parameters.cpp    parce_param_string, special parameters
//   run.cpp                  run() and the backup and restore sequences
//   signal_handler.cpp       pause, resume, shutdown hook (with the handlers)
//   config_upgrade.cpp       upgrade_config, get_merged_config
//   ksfd_runner.cpp          ksfd runs, command lines, list file
//   snapshot_files.cpp       task file names, snapshot tarballs, restore
//                            directory and clean-up
//   client_storage.cpp       client-defined storages, e-sign verification
//   remote_backup.cpp        backup on a remote host over ssh
//   os_snapshot.cpp          block devices and operating-system snapshots
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "framework/ks_module_options.h"
#include "framework/resource_lock.h"
#include "framework/signal_handler.h"
#include "framework/snapshot.h"
#include "support/config/ks_config.h"

// One operating-system snapshot of the list form.
struct OsSnapshot {
  std::unique_ptr<Snapshot> snapshot;
  std::string mount_directory;
  std::string block_device;  // the device that was snapshotted
};

class KsModuleUniversal {
 public:
  // One client-defined storage.
  struct ClientDefinedStorageInfo {
    int type;            // 1 local directory, 2 S3, 3 module default storage
    int id;              // the client's identifier of the storage
    std::string params;  // directory, S3 JSON text, or empty
  };

  // A client-defined archive name ("<method><sep><id>...@<file>") taken apart.
  struct ClientDefinedArchiveInfo {
    int type;
    int id;
    std::string file;
  };

  // Properties of one block device as lsblk reports them.
  struct block_device_info {
    std::string name;
    std::uint64_t size = 0;  // bytes
    bool ro = false;
    std::string type;  // disk, part, lvm, ...
    std::vector<std::string> mountpoints;
    std::string fstype;
    std::string fsver;
    std::string label;
    std::string uuid;
    std::uint64_t fsavail = 0;  // bytes
  };

  // Copies the options and fills the ksfd flag names.
  explicit KsModuleUniversal(KsModuleOptions const& options);
  KsModuleUniversal(KsModuleUniversal const&) = delete;
  KsModuleUniversal& operator=(KsModuleUniversal const&) = delete;
  // Restores the default signal dispositions first, then releases the lock
  // (removing its file) and the other members.
  virtual ~KsModuleUniversal();

  // ---- hooks, in slot order ------------------------------------------------
  // 1-16 are the concrete module's; 17-30 have a base behaviour.

  // 1: false gives exit 6 (the release hook is then not called).
  virtual bool prepare_resource_before_backup(bool const& replica) = 0;
  // 2: called after the ksfd backup whatever its result; false gives exit 6.
  virtual bool release_resource_after_backup() = 0;
  // 3: false gives exit 2.
  virtual bool load_module_config() = 0;
  // 4: the module's own help lines.
  virtual void usage_custom() = 0;
  // 5: the result is the exit code of operation 1.
  virtual int check_client(bool const& print) = 0;
  // 6: printed after "Version: " in the help text.
  virtual std::string get_full_module_version() = 0;
  // 7, 8, 9: the exit codes of operations 5, 3 and 4.
  virtual int list_header_labels() = 0;
  virtual int list_all_resources() = 0;
  virtual int list_all_resources_with_header_labels() = 0;
  // 10: false gives exit 2.
  virtual bool resource_exists() = 0;
  // 11-14: false gives exit 7.
  virtual bool before_restore() = 0;
  virtual bool after_restore() = 0;
  virtual bool after_restore_last_file() = 0;
  virtual bool deployment(bool const& replica) = 0;
  // 15: prints the special backup options (operation 15).
  virtual void autonomous_options() = 0;
  // 16: deletes the backed-up resource (archiving mode).
  virtual void make_archiving() = 0;
  // 17: base: no storage type is supported.
  virtual bool check_supported_client_defined_storage(int storage_type);
  // 18: base: archive_filename() + ".signature".
  virtual std::string archive_sign_filename();
  // 19: 0 when the restore directory exists (then in tmp_operation_directory).
  virtual int define_restore_directory();
  // 20: base prints nothing.
  virtual void list_restore_parameters();
  // 21: base does nothing; called at the end of the module-parameter parse.
  virtual void load_custom_module_parameters();
  // 22: the clean-up of a shutdown signal; the process then exits with 17.
  virtual void handle_shutdown_signal();
  // 23: base: make_restore(true).
  virtual bool apply_replica();
  // 24: base: true only for operation 20.
  virtual bool need_esign_for_operation(KsModuleOperations operation);
  // 25, 26: false gives exit 12.
  virtual bool delete_from_client_defined_storage(std::vector<std::pair<int, std::string>> list);
  virtual bool verify_in_client_defined_storage();
  // 27
  virtual bool parse_esign_json(std::string const& json, std::string& archive_name, std::string& archive_sign,
                                std::string& snapshot_sign);
  // 28: base: 0 (mandatory) for every name.
  virtual int get_config_option_presence_type(std::string const& name);
  // 29: base: old_value.
  virtual std::string resolve_config_option_merge_conflict(std::string const& name, std::string const& old_value);
  // 30: removes the restore leftovers.
  virtual void close_restore();

  // ---- initialisation and dispatch -------------------------------------------

  // Installs the signal handlers, parses the command line and, for the
  // operations 9, 11, 19 and 20, loads the client-defined storages.
  bool init(int argc, char** argv);
  // Runs the operation; the result is the process exit code.
  unsigned int run();

  // ---- command line and module parameters ---------------------------------------

  bool parse_module_options(int argc, char** argv, KsModuleOptions& options);
  void usage(std::string const& program_path);
  void parce_param_string();
  std::string compress_mode_str(unsigned int code);
  std::string get_task_secret();

  // ---- restrictions, properties, special parameters, lock -------------------------

  // The lines of the restriction list; empty when the file does not exist
  // (or cannot be read, with an Error).
  std::vector<std::string> read_local_restrictions() const;
  // False when the resource is in the restriction list, and also when the
  // list exists but cannot be read (fails closed).
  bool check_local_restrictions() const;
  void module_properties();
  // True when the key is present with a non-empty value (stored in value);
  // value is untouched when the key is absent.
  bool find_special_param(std::string const& key, std::string& value) const noexcept;
  bool has_special_param_passed_from_client(std::string const& key) const;
  bool reassign_resource_locker(std::string const& resource);

  // ---- configuration upgrade -------------------------------------------------------

  bool upgrade_config();
  ks_config::ConfigFile get_merged_config(ks_config::ConfigFile const& old_config,
                                          ks_config::ConfigFile const& new_config,
                                          ks_config::ConfigFile const& update_config);

  // ---- signals ---------------------------------------------------------------------

  // False when no ksfd runs (ksfd_pid 0).
  bool send_signal_to_ksfd(int signal);
  // Marks the module paused, forwards SIGTSTP to ksfd and waits until
  // continue_working() clears the mark.
  void set_to_pause();
  bool is_paused();
  void continue_working();

  // ---- ksfd runs, command lines and list file -----------------------------------------

  bool run_ksfd_command(std::string const& command, std::string& output, pid_t& pid, std::string& progress);
  bool make_backup();
  bool make_backup_cmd_common(std::string& command);
  void add_ksfd_options_to_command(std::string& command) const;
  void init_ksfd_flags();
  bool make_backup_locally();
  bool make_restore(bool const& replica);
  bool add_to_ksfd_list_file(std::string const& path, std::map<std::string, std::string> const& entries,
                             bool append);
  bool append_some_special();
  int check_file_to_restore_for_sparse(std::string const& path) const;

  // ---- task files, snapshot tarballs, restore directory ---------------------------------

  std::string archive_filename() const;
  std::string snapshot_filename() const;
  std::string snapshot_directory_path() const;
  std::string meta_filename() const;
  std::string leveldb_directory_path() const;
  std::string reference_snapshot_directory_path() const;
  int pack_snapshot_file() const;
  int unpack_snapshot_file(std::string const& path);
  bool close_backup(bool const& replica);
  void remove_reference_snapshot_directory() noexcept;

  // ---- client-defined storages and electronic signatures ------------------------------

  bool load_client_defined_storages();
  static bool split_client_defined_storage_record(std::string const& record, ClientDefinedStorageInfo& info);
  bool client_defined_storage_prepare();
  static bool split_client_defined_archive_name(std::string const& name, ClientDefinedArchiveInfo& info);
  bool parse_json_of_client_defined_storage(std::string const& json, std::vector<std::pair<int, std::string>>& list);
  bool write_esign(std::string const& hex, std::string const& path);
  bool check_filename_by_esing(std::string const& key, std::string const& hash, std::string const& sigfile,
                               std::string const& file, bool use_openssl);

  // ---- remote backup -------------------------------------------------------------------

  bool make_backup_remotely();
  bool cleanup_remote_host(std::string const& ssh_prefix);

  // ---- block devices and operating-system snapshots -----------------------------------

  bool run_script(std::string const& script, std::string const& argument);
  std::string get_mountpoint(std::string const& path) const;
  std::string get_block_device(std::string const& mountpoint, bool resolve) const;
  bool get_block_device_info(std::string const& device, block_device_info& info) const;
  unsigned long calculate_OS_snapshot_size(unsigned long device_size) const;
  bool create_OS_snapshot(std::string& device, bool mount, std::string& mount_directory, std::string& mountpoint);
  bool mount_OS_snapshot(std::string const& device, std::string& mount_directory, std::string const& options) const;
  bool umount_OS_snapshot() const;
  bool remove_OS_snapshot();
  bool create_OS_snapshot_multiple(std::string const& path, std::string& device, bool mount,
                                   std::string& mount_directory, std::string& mountpoint);
  bool mount_OS_snapshot_multiple(std::string const& device, std::string& mount_directory,
                                  std::string const& options) const;
  bool umount_OS_snapshot_multiple(std::string const& mount_directory) const;
  bool remove_all_OS_snapshots();
  std::string const& get_OS_snapshot_type() const { return snapshot_type; }
  bool is_OS_snapshot_using() const { return use_snapshot; }
  std::string const& script_before_snapshot() const { return before_snapshot_script; }
  std::string const& script_after_snapshot() const { return after_snapshot_script; }
  std::string const& script_error_snapshot() const { return error_snapshot_script; }

 protected:
  KsModuleOptions options_;
  std::map<std::string, std::string> special_entries;
  bool incremental_without_reference = false;
  bool remove_tmp_directory = true;
  std::string hash_algorithm = "sha2";
  int hash_length = 256;
  int block_size = 16384;
  bool file_list = false;
  bool numeric_owner = false;
  bool ignore_errors_snapshot = true;
  std::vector<std::string> ksfd_flag_names;
  std::map<std::string, std::string> ksfd_flags;
  bool last = false;
  std::string tmp_catalog;
  bool without_deployment_restore = false;
  // Read by the signal handlers; written by the ksfd runner.
  pid_t ksfd_pid = 0;
  // Written and read by the pause and continue handlers.
  std::atomic<bool> paused{false};
  kestrova::module::resource_file_lock resource_lock;
  std::string reference_snapshot_directory;
  std::unique_ptr<KsModuleSignalHandler> signal_handler;
  std::map<std::string, std::string> special_params;
  bool shutdown_requested = false;
  bool backup_succeeded = false;
  bool defect = false;
  std::vector<ClientDefinedStorageInfo> client_defined_storages;
  int storage_type = 0;
  int storage_id = 0;
  std::unique_ptr<Snapshot> os_snapshot;
  // The device os_snapshot was made of; its removal names this device.
  std::string os_snapshot_device;
  std::vector<OsSnapshot> os_snapshots;
  bool use_snapshot = false;
  std::string snapshot_type;
  int snapshot_size = 10;  // percent
  std::string before_snapshot_script;
  std::string after_snapshot_script;
  std::string error_snapshot_script;

 private:
  friend class KsModuleSignalHandler;

  enum class ReleaseState : int { not_started, running, done };

  unsigned int run_operation();
  unsigned int backup_sequence(bool replica);
  unsigned int restore_sequence();
  unsigned int apply_replica_sequence();
  // Runs release_resource_after_backup at most once per run, from run() or
  // from the shutdown hook, whichever comes first.
  bool release_once();
  // Called by the shutdown handler before anything else: true when run() is
  // inside the release hook, which then finishes and run() ends with 17.
  bool defer_shutdown_during_release() noexcept;
  // The end of a run whose shutdown signal waited for the release: the
  // children go, the termination line, exit 17.
  unsigned int end_deferred_shutdown();
  // The restriction lines; false (with an Error) when the list exists but
  // cannot be read.
  bool read_restriction_lines(std::vector<std::string>& lines) const;
  // The lock step of the operations 9 to 13; false means exit 2.
  bool take_resource_lock(kestrova::module::resource_file_scoped_lock& scoped, std::string const& name);

  // The restore directory that this run chose (empty until it has one); the
  // only directory a shutdown during a restore may remove.
  std::string restore_directory_;
  // The private directory that holds the reference snapshot directory when a
  // tarball is unpacked without a task directory; removed with it.
  std::string private_snapshot_root_;
  volatile std::sig_atomic_t release_state_ = static_cast<int>(ReleaseState::not_started);
  volatile std::sig_atomic_t shutdown_deferred_ = 0;
};

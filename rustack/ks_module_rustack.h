// The RuStack module: the framework's hooks for virtual machines of a RuStack
// cloud. Every hook that talks to the cloud builds its own curlAPI over
// `settings`; no client or token outlives the hook that made it.
//
// Where the bodies live:
//   ks_module_rustack.cpp  constructor
//   module_config.cpp      configuration file, API versions, task
//                          parameters, backup options, restore parameters
//   info_hooks.cpp         client check, version, listings, resource checks,
//                          archiving; list_header_labels
//   backup_path.cpp        backup preparation (its steps) and release;
//                          check_block_device
//   restore_path.cpp       restore hooks, the steps of restore_volumes, the
//                          new server; the pieces of restore_path.h
//   restore_undo.cpp       removal of what a failed or interrupted restore made,
//                          the shutdown hook
//   guest_scripts.cpp      scripts inside the guest
//   openstack.cpp          namespace openstack: ssh probe, disk serials and
//                          block devices of this machine
//   main.cpp               the program (the library is everything else)
// What they build on, each declared in the header of its name:
//   curl_api*.cpp          the REST client (curl_api.h tells which file holds
//                          what)
//   url_parts.cpp          where a URL leads, for redirects and list pages
//   records.cpp            descriptions, settings, their archive texts
//   poll.cpp               the bounded wait of every poll loop
//   volume_wait.cpp        the wait for a volume status
//   host_lock.cpp          the host-wide locks between module processes
//   attach_lock.cpp        the host-wide lock around an attachment
//   attached_device.cpp    the block device of a just-attached volume
//   kestrova_attach.cpp    a made volume attached to the Kestrova VM, device
//                          found
//   create_lookup.cpp      what a failed create request made; the lock
//                          around a create and its lookup
//   leftovers.cpp          what a clean-up left; the wait before one
//   cleanup_retry.cpp      clean-up requests tried again
//   restore_bootable.cpp   restored volumes a server can boot from
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "framework/ks_module_universal.h"
#include "rustack/records.h"

class curlAPI;

class KsModuleRuStack : public KsModuleUniversal {
 public:
  // Runs no command and reads no file.
  explicit KsModuleRuStack(KsModuleOptions options);
  ~KsModuleRuStack() override = default;
  KsModuleRuStack(KsModuleRuStack const&) = delete;
  KsModuleRuStack& operator=(KsModuleRuStack const&) = delete;
  KsModuleRuStack(KsModuleRuStack&&) = delete;
  KsModuleRuStack& operator=(KsModuleRuStack&&) = delete;

  // ---- hooks of KsModuleUniversal, in slot order ---------------------------------

  bool prepare_resource_before_backup(bool const& replica) override;
  bool release_resource_after_backup() override;
  bool load_module_config() override;
  void usage_custom() override;
  int check_client(bool const& print) override;
  std::string get_full_module_version() override;
  int list_header_labels() override;
  int list_all_resources() override;
  int list_all_resources_with_header_labels() override;
  bool resource_exists() override;
  bool before_restore() override;
  bool after_restore() override;
  bool after_restore_last_file() override;
  bool deployment(bool const& replica) override;
  void autonomous_options() override;
  void make_archiving() override;
  void list_restore_parameters() override;
  // Lets go of the attach lock; removes what an interrupted restore made
  // (the new server and every volume); then the base clean-up.
  void handle_shutdown_signal() override;

  // ---- the module's own operations ----------------------------------------------

  // Discovers the compute, block-storage and identity versions and stores
  // their path segments in settings.api_version; logs them when `print`.
  bool load_api_version(bool print);
  // The module parameters of a task (an empty value counts as not given).
  // Numbers are read with std::stoi, which throws on a text without one.
  // Backup: the two script paths and execution_script_timeout (1 to 600,
  // else two Info lines and 5).
  rustack_module_conf read_backup_parameters() const;
  // Restore: network_uuid and fixed_ip, unchecked.
  rustack_server_parameters read_server_parameters() const;
  // Restore: dd_block_size into the member (1 to 100, else a Warning and 5;
  // unchanged when not given).
  void read_dd_block_size();
  // 0 when the Kestrova VM exists and, for a non-empty resource, the server
  // of that id exists (copied into resource_vm); 2 otherwise.
  int check_resource(std::string const& resource);
  // The server list, with the header line when `headers`; 0 or 2.
  int list_all_resources(bool headers);
  // The volumes of a restore, created, filled with dd and detached; 0 or 7.
  // Nothing is made when none of them can boot a server. A failed final
  // detachment keeps the complete volumes and names them at Error.
  int restore_volumes(server_conf const& server, std::string const& directory, std::set<std::string>& created,
                      std::string& boot_volume_id);
  // The new server from the boot volume under a free name, awaited until it
  // is ACTIVE (deployment attaches the other volumes); 0 or 7.
  int deploy_vm(std::string const& boot_volume_id, rustack_server_parameters const& parameters,
                server_conf& server);
  // Runs a script inside the guest through the QEMU guest agent; 0 when it
  // ran and exited with 0, else 1. `arguments` receives its quoted form.
  int run_script_inside_vm(std::string const& host, std::string const& domain, std::string const& script,
                           std::string& arguments, curlAPI* client, unsigned int& timeout);

 protected:
  std::vector<std::string> snapshot_ids;        // snapshots of the running backup, in creation order
  std::vector<std::string> volume_config_files; // volume description files of the running backup
  std::set<std::string> created_volume_ids;     // volumes made from those snapshots
  std::string backup_project_id;                // project of the backed-up server
  std::uint32_t dd_block_size = 5;              // megabytes per dd block of a restore
  std::string backup_server_name;               // for the messages of make_archiving
  conf settings;                                // the module configuration
  rustack_vm_info resource_vm;                  // the server check_resource found
  std::string vm_config_path;                   // the VM description of the running backup

  // The "after" guest script still owed to a guest whose "before" script has
  // run; a backup that fails or is interrupted before it runs it then.
  struct guest_script_call {
    std::string host;
    std::string domain;
    std::string script;
    unsigned int timeout = 5;
  };
  bool after_script_pending = false;
  guest_script_call pending_after_script;
  // Runs the owed "after" script, if any (best effort; a failure is logged).
  void run_owed_after_script(curlAPI& client, char const* signature);
  // Detaches and deletes the backup's volumes, deletes its snapshots, and
  // logs at Error whatever is left; the lists keep only what is left. True
  // when nothing is left.
  bool remove_backup_objects(curlAPI& client, char const* signature);
  // Removes the list file and the description files of the backup.
  void remove_backup_files(char const* signature);
  // At the end of the release of a backup that was interrupted, whose ksfd
  // run failed or whose release could not remove everything (`released`
  // false): the Info line that says so and names what is left; false
  // (nothing logged) for a backup that ran to its end and was released.
  bool log_unfinished_task_end(bool released);

  // Restore: the volumes this run made, by project, and the new server,
  // until the restore has reported success. A restore that fails removes the
  // volumes only while they are not complete; one stopped by a shutdown
  // signal removes everything. The shutdown handler reads these lists and
  // those of the backup above: they change only while the shutdown signals
  // are held (kestrova::signals_held).
  std::map<std::string, std::set<std::string>> restore_volumes_in_progress;
  bool restore_volumes_complete = false;
  std::string restore_server_id;
  std::string restore_server_name;
  // Detaches from the Kestrova VM and deletes the volumes of the restore
  // (tried again a few times), naming at Error what stays; the list is
  // emptied.
  void undo_restore_volumes(curlAPI& client, char const* signature);
  // The shutdown's clean-up of a restore: the new server is deleted (and
  // awaited until it is gone, which frees its boot volume), then the volumes.
  void remove_interrupted_restore(curlAPI& client, char const* signature);
  // The restore has ended (reported success, or failed and keeps what it
  // completed): nothing is removed on a later signal.
  void forget_restore_objects();
  // A restore that fails once its volumes are complete keeps them and the
  // new server: each is named at Error with its state.
  void log_kept_restore_objects(curlAPI& client, char const* signature);
  // Restore: the volumes other than the boot volume, as (id, project), in
  // the device order of the original server.
  std::vector<std::pair<std::string, std::string>> restored_attach_order;

 private:
  // ---- the steps of prepare_resource_before_backup (backup_path.cpp), in
  // its order. Each answers false after logging at Error why it stops; what
  // the steps made is removed by the hook.

  struct backup_run;  // the client, the attach lock, the server and its volumes, the ksfd list
  // The API version, the server (check_resource, then its description) and,
  // for a running server and an administrator login, its hypervisor. Makes
  // nothing: a failure needs no clean-up. Keeps the server's project and
  // name for the release.
  bool describe_backup_server(backup_run& run);
  // On a QEMU hypervisor: the configured "before" script, or the default
  // script when the guest has it; the "after" script is owed from then on.
  bool run_before_script(backup_run& run);
  // Saves the VM description file; lists it unless for a replica.
  bool save_vm_description(backup_run& run, bool replica);
  // The description of every volume of the server.
  bool describe_backup_volumes(backup_run& run);
  // A snapshot of every volume, one request after the other.
  bool take_snapshots(backup_run& run);
  // Waits until every snapshot is available.
  bool await_snapshots(backup_run& run);
  // For every snapshot a volume, attached to the Kestrova VM, and its
  // description file; lists both unless for a replica.
  bool attach_copies(backup_run& run, bool replica);
  // The volume of the snapshot of `record`, awaited until it is available.
  bool make_copy(backup_run& run, volume const& record, std::uint32_t creation_bound, std::string& copy_id);
  // Saves the description of `record` (attached at `device`); lists both
  // unless for a replica.
  bool save_copy_description(backup_run& run, volume const& record, std::string const& device, bool replica);
  // The "after" script, once (the clean-up does not run it again).
  bool run_after_script(backup_run& run);
  // Prints the file list and writes the ksfd list file.
  bool write_backup_list(backup_run& run);

  // ---- the steps of restore_volumes (restore_path.cpp), in its order. Each
  // answers false after logging at Error why it stops.

  struct restore_run;  // the client, the attach lock, the saved volumes and the new ones
  // Every saved description and image file, checked, and the boot volume.
  // Makes nothing.
  bool read_saved_volumes(restore_run& run, server_conf const& server, std::string const& directory);
  // For every saved volume a new one, attached to the Kestrova VM and filled
  // with its image; `created` and `boot_volume_id` get the new ids. A
  // failure is undone by the hook.
  bool fill_restored_volumes(restore_run& run, server_conf const& server, std::set<std::string>& created,
                             std::string& boot_volume_id);
  // The new volume of saved volume `k` (a copy of `original_id`), awaited
  // until it is available.
  bool make_restored_volume(restore_run& run, std::size_t k, std::string const& original_id,
                            std::uint32_t creation_bound, std::set<std::string>& created);
  // Detaches the new volumes, which are complete from then on, and marks the
  // bootable ones; a failure names them all at Error and rolls nothing back.
  bool complete_restored_volumes(restore_run& run, server_conf const& server);
};

// 0 when the path exists and is a block device (links not followed), else 2
// with a message naming the server.
int check_block_device(std::string const& device, std::string const& server_name);

// Writes "ID|Name|Status" and a line end; 0.
int list_header_labels();

namespace openstack {

// True when a non-interactive ssh login to host as user succeeds.
bool test_ssh_connection(std::string const& host, std::string const& user, unsigned int connect_timeout,
                         bool as_error, std::string const& key_file, bool verbose);
// The serial number of a block device; 0 or 1.
int get_disk_serial_number(std::string const& device, std::string& serial);
// The names of the block devices of this machine; 0, 6 or 2.
int get_block_devices_list(std::vector<std::string>& names);
// The block device of this machine that carries the disk serial; 0 or 1.
int get_attached_block_device_name(std::string const& serial, std::string const& vm, std::string& device);

}  // namespace openstack

// The backup hooks. The preparation snapshots every volume of the protected
// server, makes a volume of each snapshot, attaches it to the Kestrova VM,
// saves the server and volume descriptions and lists the block devices and
// the descriptions for ksfd; the release detaches and deletes those volumes,
// deletes the snapshots and removes the local files again.
#include <sys/stat.h>

#include <cstdint>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/system/system_error.hpp>

#include "rustack/attach_lock.h"
#include "rustack/cleanup_retry.h"
#include "rustack/create_lookup.h"
#include "rustack/curl_api.h"
#include "rustack/kestrova_attach.h"
#include "rustack/ks_module_rustack.h"
#include "rustack/leftovers.h"
#include "rustack/poll.h"
#include "rustack/volume_wait.h"
#include "support/log/ks_log.h"
#include "support/utils/quoting.h"
#include "support/utils/signals_held.h"

namespace fs = boost::filesystem;
using kestrova::as_one_line;

namespace {

char const* const kPrepareSig = "virtual bool KsModuleRuStack::prepare_resource_before_backup(const bool&)";
char const* const kReleaseSig = "virtual bool KsModuleRuStack::release_resource_after_backup()";
char const* const kCheckBlockSig = "int check_block_device(const string&, const string&)";

char const* const kDefaultScript = "/opt/kestrova/scripts/rustack.sh";
char const* const kTestProgram = "/usr/bin/test";

std::string backup_kind(std::uint32_t type) {
  switch (type) {
    case 1:
      return "full";
    case 2:
      return "incremental";
    case 3:
      return "differential";
    default:
      return std::to_string(type);
  }
}

bool snapshot_status_known(std::string const& status) {
  return status == "creating" || status == "available" || status == "downloading";
}

}  // namespace

int check_block_device(std::string const& device, std::string const& server_name) {
  try {
    if (!fs::exists(fs::symlink_status(device))) {
      KsLogStream(KsLogLvl::Error) << kCheckBlockSig << ": attached device '" << as_one_line(device)
                                   << "' does not exist in server '" << as_one_line(server_name) << "'" << std::endl;
      return 2;
    }
    struct stat st {};
    if (::lstat(device.c_str(), &st) != 0) {
      KsLogStream(KsLogLvl::Error) << kCheckBlockSig << ": lsstat failed" << std::endl;
      return 2;
    }
    if (S_ISBLK(st.st_mode)) return 0;
    KsLogStream(KsLogLvl::Error) << kCheckBlockSig << ": volume was attached to server: '" << as_one_line(server_name)
                                 << "' as device '" << as_one_line(device) << "' but it is not a block device"
                                 << std::endl;
    return 2;
  } catch (fs::filesystem_error const& e) {
    KsLogStream(KsLogLvl::Error) << kCheckBlockSig << ": boost::filesystem:" << kestrova::as_one_line(e.what())
                                 << std::endl;
  } catch (std::exception const& e) {
    KsLogStream(KsLogLvl::Error) << kCheckBlockSig << ": exception:" << kestrova::as_one_line(e.what()) << std::endl;
  }
  return 2;
}

void KsModuleRuStack::run_owed_after_script(curlAPI& client, char const* signature) {
  if (!after_script_pending) return;
  after_script_pending = false;
  guest_script_call call = pending_after_script;
  KsLogStream(KsLogLvl::Info) << "Running the script '" << call.script << "' with 'after' inside VM "
                              << as_one_line(call.domain) << ", whose 'before' script has run" << std::endl;
  std::string arguments = "after";
  if (run_script_inside_vm(call.host, call.domain, call.script, arguments, &client, call.timeout) != 0)
    KsLogStream(KsLogLvl::Error) << signature << ": the script '" << call.script << "' with 'after' failed inside VM "
                                 << as_one_line(call.domain) << std::endl;
}

bool KsModuleRuStack::remove_backup_objects(curlAPI& client, char const* signature) {
  if (snapshot_ids.empty() && created_volume_ids.empty()) return true;
  std::vector<std::string> snapshots_left = snapshot_ids;
  std::set<std::string> volumes_left = created_volume_ids;
  rustack_cleanup::remove_objects(client, backup_project_id, snapshots_left, volumes_left, settings.vm_id,
                                  rustack_cleanup::settle_bound(settings), signature);
  kestrova::signals_held held(kestrova::signals_held::which::shutdown);
  snapshot_ids.swap(snapshots_left);
  created_volume_ids.swap(volumes_left);
  // The lists keep what is still there.
  return snapshot_ids.empty() && created_volume_ids.empty();
}

void KsModuleRuStack::remove_backup_files(char const* signature) {
  std::vector<std::string> paths{options_.resource_list_file, vm_config_path};
  paths.insert(paths.end(), volume_config_files.begin(), volume_config_files.end());
  for (std::string const& path : paths) {
    boost::system::error_code ec;
    if (path.empty() || !fs::exists(fs::symlink_status(path, ec))) continue;
    if (fs::remove(path, ec) && !ec)
      KsLogStream(KsLogLvl::Debug) << "Remove obsolete file: " << path << std::endl;
    else
      KsLogStream(KsLogLvl::Error) << signature << ": Unable to remove obsolete file: " << path << std::endl;
  }
}

// What the steps of one backup preparation share.
struct KsModuleRuStack::backup_run {
  explicit backup_run(conf const& settings) : client(settings) {}

  curlAPI client;
  rustack_device::attach_lock attach_lock;
  rustack_module_conf parameters;
  server_conf server;
  bool running = false;         // the server is ACTIVE
  bool admin = false;           // an administrator login is configured
  bool qemu = false;            // running, admin, and its hypervisor is QEMU
  bool default_script = false;  // the default script exists in the guest
  std::vector<volume> records;  // the server's volumes, with their snapshots
  std::map<std::string, std::string> items;  // the ksfd list: path -> its name in the backup
};

bool KsModuleRuStack::prepare_resource_before_backup(bool const& replica) {
  backup_run run(settings);
  // Whatever this hook made goes again before it answers false; a guest whose
  // "before" script has run gets its "after" script first.
  auto fail = [&]() -> bool {
    run.attach_lock.release();
    try {
      run_owed_after_script(run.client, kPrepareSig);
      remove_backup_objects(run.client, kPrepareSig);
      remove_backup_files(kPrepareSig);
    } catch (std::exception const& e) {
      KsLogStream(KsLogLvl::Error) << kPrepareSig << ": clean-up: " << kestrova::as_one_line(e.what()) << std::endl;
      rustack_cleanup::log_left_behind(backup_project_id, snapshot_ids, created_volume_ids, kPrepareSig, "");
    }
    return false;
  };

  try {
    KsLogStream(KsLogLvl::Info) << "Got a task to make " << backup_kind(options_.backup_type) << " backup of VM '"
                                << as_one_line(options_.resource) << "'" << std::endl;
    KsLogStream(KsLogLvl::Info) << "Copy name: " << as_one_line(options_.archive_name) << std::endl;
    // Nothing is made before the server is known.
    if (!describe_backup_server(run)) return false;
    if (run_before_script(run) && save_vm_description(run, replica) && describe_backup_volumes(run) &&
        take_snapshots(run) && await_snapshots(run) && attach_copies(run, replica) && run_after_script(run) &&
        write_backup_list(run))
      return true;
    return fail();
  } catch (fs::filesystem_error const& e) {
    KsLogStream(KsLogLvl::Error) << kPrepareSig << ": boost::filesystem:" << kestrova::as_one_line(e.what())
                                 << std::endl;
  } catch (boost::system::system_error const& e) {
    KsLogStream(KsLogLvl::Error) << kPrepareSig << ": json: " << kestrova::as_one_line(e.what()) << std::endl;
  } catch (std::exception const& e) {
    KsLogStream(KsLogLvl::Error) << kPrepareSig << ": exception:" << kestrova::as_one_line(e.what()) << std::endl;
  }
  return fail();
}

bool KsModuleRuStack::describe_backup_server(backup_run& run) {
  std::string const& resource = options_.resource;
  if (!load_api_version(false)) {
    KsLogStream(KsLogLvl::Error) << kPrepareSig << ": unable to get API version " << std::endl;
    return false;
  }
  if (check_resource(resource) != 0) {
    KsLogStream(KsLogLvl::Error) << kPrepareSig << ": unable to get status of VM " << as_one_line(resource)
                                 << std::endl;
    return false;
  }
  run.running = resource_vm.status == "ACTIVE";
  run.admin = !settings.admin_name.empty();
  run.parameters = read_backup_parameters();
  server_conf& server = run.server;
  if (run.client.get_server_config(resource_vm.id, server, run.admin) != 0) {
    KsLogStream(KsLogLvl::Error) << kPrepareSig << ": unable to get VM configuration: '" << as_one_line(resource) << "'"
                                 << std::endl;
    return false;
  }
  // From here on a release, also one after an interruption, cleans up in
  // the server's project.
  {
    kestrova::signals_held held(kestrova::signals_held::which::shutdown);
    backup_project_id = server.tenant_id;
    backup_server_name = server.name;
  }
  // Guest scripts run only in a running guest on a QEMU hypervisor, which
  // only the administrator can tell.
  if (run.running && run.admin) {
    if (run.client.get_hypervisor_info(server) != 0) {
      KsLogStream(KsLogLvl::Error) << kPrepareSig << ": unable to get info for hypervisor "
                                   << as_one_line(server.hypervisor_hostname) << std::endl;
      return false;
    }
    run.qemu = server.hypervisor_type == "QEMU";
  }
  return true;
}

bool KsModuleRuStack::run_before_script(backup_run& run) {
  if (!run.qemu) return true;
  server_conf const& server = run.server;
  rustack_module_conf const& parameters = run.parameters;
  std::string const& after_script = parameters.script_after_snapshot;
  // The "after" script is owed from the moment the "before" one starts.
  auto run_before = [&](std::string const& script, std::string const& after) -> bool {
    if (!after.empty()) {
      kestrova::signals_held held(kestrova::signals_held::which::shutdown);
      pending_after_script =
          guest_script_call{server.hypervisor_ip, server.instance_name, after, parameters.execution_script_timeout};
      after_script_pending = true;
    }
    std::string arguments = "before";
    unsigned int timeout = parameters.execution_script_timeout;
    return run_script_inside_vm(server.hypervisor_ip, server.instance_name, script, arguments, &run.client,
                                timeout) == 0;
  };
  if (!parameters.script_before_snapshot.empty()) return run_before(parameters.script_before_snapshot, after_script);
  std::string arguments = std::string("-f ") + kDefaultScript;
  unsigned int one_second = 1;
  if (run_script_inside_vm(server.hypervisor_ip, server.instance_name, kTestProgram, arguments, &run.client,
                           one_second) != 0)
    return true;
  KsLogStream(KsLogLvl::Info) << "Default script exists in VM: " << kDefaultScript << std::endl;
  run.default_script = true;
  return run_before(kDefaultScript, after_script.empty() ? std::string(kDefaultScript) : after_script);
}

bool KsModuleRuStack::save_vm_description(backup_run& run, bool replica) {
  {
    kestrova::signals_held held(kestrova::signals_held::which::shutdown);
    vm_config_path = options_.tmp_operation_directory + "/" + options_.archive_name + ".vm.config";
  }
  if (!save_server_config(vm_config_path, run.server)) {
    KsLogStream(KsLogLvl::Error) << kPrepareSig << ": unable to create virtual machine config file " << vm_config_path
                                 << std::endl;
    return false;
  }
  if (replica) {
    KsLogStream(KsLogLvl::Info) << "Do not save VM configuration for the replica" << std::endl;
  } else {
    KsLogStream(KsLogLvl::Info) << "VM configuration was captured here: " << vm_config_path << std::endl;
    run.items[vm_config_path] = "vm.config";
  }
  return true;
}

bool KsModuleRuStack::describe_backup_volumes(backup_run& run) {
  for (std::string const& id : run.server.attached_volumes) {
    volume record;
    if (run.client.get_volume_info(run.server.tenant_id, id, record) != 0) {
      KsLogStream(KsLogLvl::Error) << kPrepareSig << ": unable to get information for volume: '" << as_one_line(id)
                                   << "'" << std::endl;
      return false;
    }
    run.records.push_back(record);
  }
  return true;
}

bool KsModuleRuStack::take_snapshots(backup_run& run) {
  std::string const& project = run.server.tenant_id;
  std::string const& copy_name = options_.archive_name;
  for (volume& record : run.records) {
    // No other module process lists or makes a snapshot until the one this
    // request makes is known.
    rustack_lookup::create_lock lock;
    if (!lock.acquire(rustack_lookup::create_lock_bound(settings.timeout), kPrepareSig,
                      "a snapshot of volume '" + as_one_line(record.id) + "'"))
      return false;
    rustack_lookup::made_object_search const search =
        rustack_lookup::snapshot_search(run.client, lock, project, record, copy_name);
    std::string snapshot_id;
    int created = 0;
    {
      // A signal while the request is out waits until what it made is
      // listed for the clean-up.
      kestrova::signals_held held(kestrova::signals_held::which::shutdown);
      created = run.client.create_snapshot(project, copy_name, record, snapshot_id);
      if (created == 0) {
        snapshot_ids.push_back(snapshot_id);
      } else {
        for (std::string const& id : search.find_made(run.client, kPrepareSig)) snapshot_ids.push_back(id);
      }
    }
    lock.release();
    if (created != 0) {
      KsLogStream(KsLogLvl::Error) << kPrepareSig << ": unable to create snapshot for volume: '"
                                   << as_one_line(record.id) << "'" << std::endl;
      return false;
    }
    record.snapshot_id = snapshot_id;
  }
  return true;
}

bool KsModuleRuStack::await_snapshots(backup_run& run) {
  KsLogStream(KsLogLvl::Info) << "Wait while all snapshots "
                              << " becomes available ..." << std::endl;
  std::uint32_t const snapshot_bound =
      curlAPI::valid_timeout(settings.snapshot_creation_timeout, "snapshot_creation_timeout");
  volume const* pending = nullptr;  // the first snapshot not yet available
  rustack_poll::ending const end = rustack_poll::poll(snapshot_bound, rustack_poll::order::sleep_then_ask, [&] {
    pending = nullptr;
    for (volume const& record : run.records) {
      std::string status;
      if (run.client.get_snapshot_status(run.server.tenant_id, record.snapshot_id, status) != 0) {
        KsLogStream(KsLogLvl::Error) << kPrepareSig << ": unable to get status of snapshot: '"
                                     << as_one_line(record.snapshot_id) << "'" << std::endl;
        return rustack_poll::answer::failed;
      }
      if (!snapshot_status_known(status)) {
        KsLogStream(KsLogLvl::Error) << kPrepareSig << ": snapshot '" << as_one_line(record.snapshot_id)
                                     << "' has unexpected status: " << as_one_line(status) << std::endl;
        return rustack_poll::answer::failed;
      }
      if (status != "available" && !pending) pending = &record;
    }
    return pending ? rustack_poll::answer::pending : rustack_poll::answer::awaited;
  });
  if (end == rustack_poll::ending::bound)
    KsLogStream(KsLogLvl::Error) << kPrepareSig << ": can't create snapshot: '" << as_one_line(pending->snapshot_id)
                                 << "' of volume: '" << as_one_line(pending->id) << "'. Break by timeout "
                                 << snapshot_bound << std::endl;
  if (end != rustack_poll::ending::awaited) return false;
  KsLogStream(KsLogLvl::Info) << "All snapshots "
                              << " are available now" << std::endl;
  return true;
}

bool KsModuleRuStack::attach_copies(backup_run& run, bool replica) {
  std::uint32_t const creation_bound =
      curlAPI::valid_timeout(settings.volume_creation_timeout, "volume_creation_timeout");
  rustack_device::attach_run attaching(
      run.attach_lock, settings,
      curlAPI::valid_timeout(settings.volume_attachment_timeout, "volume_attachment_timeout"));
  std::map<std::string, std::string> names;  // device file name -> volume
  for (volume& record : run.records) {
    std::string copy_id;
    if (!make_copy(run, record, creation_bound, copy_id)) return false;
    std::string device;
    if (!rustack_device::attach_to_kestrova_vm(run.client, attaching, run.server.tenant_id, copy_id, record.id,
                                               kPrepareSig, device))
      return false;
    KsLogStream(KsLogLvl::Info) << "Volume '" << as_one_line(copy_id) << "' was successfully attached to VM '"
                                << as_one_line(settings.vm_id) << "'" << std::endl;

    std::string const device_name = fs::path(device).filename().string();
    auto const same_name = names.find(device_name);
    if (same_name != names.end()) {
      KsLogStream(KsLogLvl::Error) << kPrepareSig << ": volumes '" << as_one_line(same_name->second) << "' and '"
                                   << as_one_line(copy_id) << "' appeared as the same device '"
                                   << as_one_line(device_name) << "'" << std::endl;
      return false;
    }
    names[device_name] = copy_id;
    record.attached_device_name = device_name;
    if (!save_copy_description(run, record, device, replica)) return false;
  }
  return true;
}

bool KsModuleRuStack::make_copy(backup_run& run, volume const& record, std::uint32_t creation_bound,
                                std::string& copy_id) {
  std::string const& snapshot_id = record.snapshot_id;
  KsLogStream(KsLogLvl::Info) << "Creating a volume from snapshot '" << as_one_line(snapshot_id) << "' ..."
                              << std::endl;
  rustack_lookup::create_lock lock;
  if (!lock.acquire(rustack_lookup::create_lock_bound(settings.timeout), kPrepareSig,
                    "a volume from snapshot '" + as_one_line(snapshot_id) + "'"))
    return false;
  rustack_lookup::made_object_search const search =
      rustack_lookup::volume_search(run.client, lock, record, snapshot_id);
  int created = 0;
  {
    kestrova::signals_held held(kestrova::signals_held::which::shutdown);
    created = run.client.create_volume(record, copy_id, snapshot_id);
    if (created == 0) {
      created_volume_ids.insert(copy_id);
    } else {
      for (std::string const& id : search.find_made(run.client, kPrepareSig)) created_volume_ids.insert(id);
    }
  }
  lock.release();
  if (created != 0) {
    KsLogStream(KsLogLvl::Error) << kPrepareSig << ": unable to create volume from snapshot : '"
                                 << as_one_line(snapshot_id) << "'" << std::endl;
    return false;
  }
  KsLogStream(KsLogLvl::Info) << "Wait while new volume '" << as_one_line(copy_id) << "' becomes available ..."
                              << std::endl;
  if (rustack_wait::wait_for_volume_status(
          run.client, run.server.tenant_id, copy_id, "creating", "available", true, creation_bound, kPrepareSig,
          ": can't create volume: '" + as_one_line(copy_id) + "' from snapshot: '" + as_one_line(snapshot_id) +
              "'. Break by timeout " + std::to_string(creation_bound)) != 0)
    return false;
  KsLogStream(KsLogLvl::Info) << "New volume '" << as_one_line(copy_id) << "' is available now" << std::endl;
  return true;
}

bool KsModuleRuStack::save_copy_description(backup_run& run, volume const& record, std::string const& device,
                                            bool replica) {
  std::string const& device_name = record.attached_device_name;
  std::string const config_path =
      options_.tmp_operation_directory + "/" + options_.archive_name + "_" + device_name + ".config";
  {
    kestrova::signals_held held(kestrova::signals_held::which::shutdown);
    volume_config_files.push_back(config_path);
  }
  if (!save_volume_config(config_path, record)) {
    KsLogStream(KsLogLvl::Error) << kPrepareSig << ": unable to create volume config file" << std::endl;
    return false;
  }
  if (replica) {
    KsLogStream(KsLogLvl::Info) << "Do not save volume configuration for the replica" << std::endl;
  } else {
    KsLogStream(KsLogLvl::Info) << "Configuration of volume '" << as_one_line(record.id)
                                << "' was captured here: " << as_one_line(config_path) << std::endl;
    run.items[config_path] = record.id + ".conf";
    run.items[device] = device_name;
  }
  return true;
}

bool KsModuleRuStack::run_after_script(backup_run& run) {
  if (!run.running || !run.qemu) return true;
  rustack_module_conf const& parameters = run.parameters;
  std::string const script = !parameters.script_after_snapshot.empty() ? parameters.script_after_snapshot
                             : run.default_script                      ? std::string(kDefaultScript)
                                                                       : std::string();
  if (script.empty()) return true;
  // Run once: a failure here is not retried by the clean-up.
  after_script_pending = false;
  std::string arguments = "after";
  unsigned int timeout = parameters.execution_script_timeout;
  return run_script_inside_vm(run.server.hypervisor_ip, run.server.instance_name, script, arguments, &run.client,
                              timeout) == 0;
}

bool KsModuleRuStack::write_backup_list(backup_run& run) {
  std::cout << "File list to backup: " << std::endl;
  for (auto const& item : run.items)
    std::cout << as_one_line(item.first) << " : " << as_one_line(item.second) << std::endl;
  {
    kestrova::signals_held held(kestrova::signals_held::which::shutdown);
    options_.resource_list_file =
        options_.tmp_operation_directory + "/" + options_.archive_name + "." + "ksfd.list";
  }
  return add_to_ksfd_list_file(options_.resource_list_file, run.items, false);
}

bool KsModuleRuStack::release_resource_after_backup() {
  rustack_cleanup::retry_policy const retries;
  try {
    curlAPI client(settings);
    // The guest first: a preparation cut short by a signal may have left it
    // quiesced.
    run_owed_after_script(client, kReleaseSig);
    if (!rustack_cleanup::with_retries(retries, [&] { return load_api_version(false); })) {
      KsLogStream(KsLogLvl::Error) << kReleaseSig << ": unable to get API version " << std::endl;
      rustack_cleanup::log_left_behind(backup_project_id, snapshot_ids, created_volume_ids, kReleaseSig,
                                       " (no API version)");
      remove_backup_files(kReleaseSig);
      log_unfinished_task_end(false);
      return false;
    }
    if (!rustack_cleanup::with_retries(retries, [&] { return client.login(false) == 0; })) {
      KsLogStream(KsLogLvl::Error) << kReleaseSig << ": unable login to url: " << as_one_line(settings.url)
                                   << std::endl;
      rustack_cleanup::log_left_behind(backup_project_id, snapshot_ids, created_volume_ids, kReleaseSig, " (no login)");
      remove_backup_files(kReleaseSig);
      log_unfinished_task_end(false);
      return false;
    }
    // A copy or snapshot that stays (each named at Error) fails the release
    // as a failed login does: the run is no success.
    bool const removed = remove_backup_objects(client, kReleaseSig);
    remove_backup_files(kReleaseSig);
    if (!log_unfinished_task_end(removed))
      KsLogStream(KsLogLvl::Info) << "The task to make " << options_.backup_type << " backup of VM '"
                                  << as_one_line(options_.resource) << "' completed successfully"
                                  << "\n"
                                  << std::endl;
    return removed;
  } catch (fs::filesystem_error const& e) {
    KsLogStream(KsLogLvl::Error) << kReleaseSig << ": fs:" << kestrova::as_one_line(e.what()) << std::endl;
  } catch (std::exception const& e) {
    KsLogStream(KsLogLvl::Error) << kReleaseSig << ": exception:" << kestrova::as_one_line(e.what()) << std::endl;
  }
  rustack_cleanup::log_left_behind(backup_project_id, snapshot_ids, created_volume_ids, kReleaseSig, "");
  log_unfinished_task_end(false);
  return false;
}

bool KsModuleRuStack::log_unfinished_task_end(bool released) {
  // The release of a backup that a shutdown signal stopped, whose ksfd run
  // failed or that leaves objects behind says so: never that the task
  // completed.
  char const* how = nullptr;
  if (shutdown_requested)
    how = "was interrupted";
  else if (!backup_succeeded || !released)
    how = "failed";
  if (!how) return false;
  std::string left;
  for (std::string const& id : snapshot_ids)
    left += (left.empty() ? "snapshot '" : ", snapshot '") + as_one_line(id) + "'";
  for (std::string const& id : created_volume_ids)
    left += (left.empty() ? "volume '" : ", volume '") + as_one_line(id) + "'";
  KsLogStream(KsLogLvl::Info) << "The task to make " << options_.backup_type << " backup of VM '"
                              << as_one_line(options_.resource) << "' " << how
                              << (left.empty() ? "; its temporary objects were removed"
                                               : "; of its temporary objects these were left behind: " + left)
                              << "\n"
                              << std::endl;
  return true;
}

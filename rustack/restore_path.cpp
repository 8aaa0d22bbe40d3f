// The restore hooks. Before the extraction the request is checked; in the
// run marked last a volume is made for every saved volume, filled with dd
// through the Kestrova VM and detached again, and a new server boots from the
// restored boot volume with the others attached to it.
#include "rustack/restore_path.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "rustack/attach_lock.h"
#include "rustack/create_lookup.h"
#include "rustack/curl_api.h"
#include "rustack/kestrova_attach.h"
#include "rustack/ks_module_rustack.h"
#include "rustack/leftovers.h"
#include "rustack/poll.h"
#include "rustack/restore_bootable.h"
#include "rustack/volume_wait.h"
#include "support/log/ks_log.h"
#include "support/utils/ks_utils_common.h"
#include "support/utils/quoting.h"
#include "support/utils/scope_guard.h"
#include "support/utils/signals_held.h"

namespace fs = boost::filesystem;
using kestrova::as_one_line;

namespace {

char const* const kBeforeRestoreSig = "virtual bool KsModuleRuStack::before_restore()";
char const* const kDeploymentSig = "virtual bool KsModuleRuStack::deployment(const bool&)";
char const* const kRestoreVolumesSig =
    "int KsModuleRuStack::restore_volumes(const server_conf&, const string&, "
    "std::set<std::__cxx11::basic_string<char> >&, std::__cxx11::string&)";
char const* const kDeployVmSig =
    "int KsModuleRuStack::deploy_vm(const string&, const rustack_server_parameters&, server_conf&)";

std::uint32_t const kServerPolls = 300;

// The next suffix for a taken server name; lives for the whole process.
std::int32_t server_name_counter = 2;

std::string joined(std::vector<std::string> const& texts, char const* separator) {
  std::string out;
  for (std::string const& text : texts) out += (out.empty() ? "" : separator) + text;
  return out;
}

// Names at Error every complete restored volume that stays in the cloud,
// with its state and where it is attached; `originals` maps each to the
// volume it is a copy of.
void log_remaining_volumes(curlAPI& client, std::map<std::string, std::set<std::string>> const& volumes,
                           std::map<std::string, std::string> const& originals, conf const& settings,
                           char const* signature) {
  for (auto const& entry : volumes) {
    for (std::string const& id : entry.second) {
      auto const original = originals.find(id);
      std::string const what = "the restored volume '" + id + "' (a copy of '" +
                               as_one_line(original != originals.end() ? original->second : std::string()) +
                               "') of project '" + as_one_line(entry.first) + "' remains";
      volume record;
      if (client.get_volume_info(entry.first, id, record) != 0) {
        KsLogStream(KsLogLvl::Error) << signature << ": " << what << " (its state cannot be read)" << std::endl;
        continue;
      }
      std::string where;
      for (volume_attachment const& a : record.attachments)
        where += ", attached to server '" + as_one_line(settings.vm_name) + "' as '" + as_one_line(a.device) + "'";
      KsLogStream(KsLogLvl::Error) << signature << ": " << what << " in the state " << as_one_line(record.status)
                                   << where << std::endl;
    }
  }
}

// Writes the image onto the device of the restored volume `id` with dd, once
// the device is known to be large enough. False after logging at Error.
bool write_image(std::string const& image, std::string const& device, std::string const& id,
                 std::uint32_t block_size_mb) {
  char const* const sig = kRestoreVolumesSig;
  std::int64_t const image_size = ks_utils_common::get_file_size(image);
  std::int64_t const device_size = ks_utils_common::get_file_size(device);
  if (device_size <= 0) {
    KsLogStream(KsLogLvl::Error) << sig << ": unable to get the size of block device '" << as_one_line(device) << "'"
                                 << std::endl;
    return false;
  }
  if (image_size > device_size) {
    KsLogStream(KsLogLvl::Error) << sig << ": the image '" << as_one_line(image) << "' of " << image_size
                                 << " bytes is larger than volume '" << as_one_line(id) << "' of " << device_size
                                 << " bytes" << std::endl;
    return false;
  }
  std::string output;
  if (ks_utils_common::execute_command(rustack_restore::dd_command(image, device, block_size_mb), output) != 0) {
    KsLogStream(KsLogLvl::Error) << sig << ": unable to copy archive to block device: " << as_one_line(output)
                                 << std::endl;
    return false;
  }
  return true;
}

}  // namespace

namespace rustack_restore {

bool check_network_choice(std::vector<network> const& networks, std::string const& network_uuid,
                          std::string& reason) {
  std::vector<std::string> labels;
  for (network const& n : networks) labels.push_back(as_one_line(n.label + "(" + n.id + ")"));
  if (network_uuid.empty()) {
    if (networks.size() < 2) return true;
    reason = ": a network wasn't specified in restore parameters but there are " + std::to_string(networks.size()) +
             " networks aiavalable: " + joined(labels, ", ");
    return false;
  }
  if (networks.empty()) {
    reason = ": no networks are available on current RUSTACK cloud";
    return false;
  }
  if (!ks_utils_common::is_valid_uuid(network_uuid)) {
    reason = ": invalid value of network_uuid parameter provided: " + kestrova_common::single_quoted(network_uuid);
    return false;
  }
  for (network const& n : networks)
    if (n.id == network_uuid) return true;
  reason = ": unable to find the specified network " + network_uuid + " among available networks: " +
           joined(labels, ", ");
  return false;
}

std::string free_server_name(std::vector<rustack_vm_info> const& servers, std::string const& name,
                             std::int32_t& counter) {
  std::string candidate = name;
  while (curlAPI::server_name_exists(servers, candidate)) {
    KsLogStream(KsLogLvl::Info) << "Server with the name: " << as_one_line(candidate) << " exists in Rustack "
                                << std::endl;
    candidate = name + "_" + std::to_string(counter);
    KsLogStream(KsLogLvl::Info) << "Check new server name: '" << as_one_line(candidate) << "'" << std::endl;
    ++counter;
  }
  return candidate;
}

bool is_plain_file_name(std::string const& name) { return ks_utils_common::is_plain_name(name); }

std::string dd_command(std::string const& image, std::string const& device, std::uint32_t block_size_mb) {
  return "/bin/dd if=" + kestrova::shell_quoted(image) + " of=" + kestrova::shell_quoted(device) +
         " bs=" + std::to_string(block_size_mb) + "M conv=fsync";
}

bool device_order_less(std::string const& a, std::string const& b) {
  if (a.empty() != b.empty()) return b.empty();
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

std::string original_device(volume const& record) {
  std::string lowest;
  for (volume_attachment const& a : record.attachments)
    if (!a.device.empty() && (lowest.empty() || device_order_less(a.device, lowest))) lowest = a.device;
  return lowest;
}

std::size_t boot_volume_index(std::vector<volume> const& records) {
  std::size_t boot = records.size();
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (records[i].bootable != "true") continue;
    if (boot == records.size() || device_order_less(original_device(records[i]), original_device(records[boot])))
      boot = i;
  }
  return boot;
}

std::vector<std::size_t> attachment_order(std::vector<volume> const& records, std::size_t boot) {
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < records.size(); ++i)
    if (i != boot) order.push_back(i);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return device_order_less(original_device(records[a]), original_device(records[b]));
  });
  return order;
}

}  // namespace rustack_restore

bool KsModuleRuStack::before_restore() {
  try {
    KsLogStream(KsLogLvl::Info) << "Got a task to restore an archive " << as_one_line(options_.record_id) << std::endl;
    std::string const& directory = options_.tmp_operation_directory;
    if (!fs::is_directory(directory)) {
      KsLogStream(KsLogLvl::Error) << kBeforeRestoreSig << ": directory " << directory << " doesn't exist"
                                   << std::endl;
      return false;
    }
    if (!load_api_version(false)) {
      KsLogStream(KsLogLvl::Error) << kBeforeRestoreSig << ": unable to get API version " << std::endl;
      return false;
    }
    curlAPI client(settings);
    if (client.login(false) != 0) {
      KsLogStream(KsLogLvl::Error) << kBeforeRestoreSig << ": unable to login " << std::endl;
      return false;
    }
    std::vector<network> networks;
    if (client.get_network_list(networks) != 0) {
      KsLogStream(KsLogLvl::Error) << kBeforeRestoreSig << ": unable to get list of available networks "
                                   << std::endl;
      return false;
    }
    std::string reason;
    if (!rustack_restore::check_network_choice(networks, read_server_parameters().network_uuid, reason)) {
      KsLogStream(KsLogLvl::Error) << kBeforeRestoreSig << reason << std::endl;
      return false;
    }
    return true;
  } catch (fs::filesystem_error const& e) {
    KsLogStream(KsLogLvl::Error) << kBeforeRestoreSig << ": boost::filesystem:" << kestrova::as_one_line(e.what())
                                 << std::endl;
  } catch (std::exception const& e) {
    KsLogStream(KsLogLvl::Error) << kBeforeRestoreSig << ": exception:" << kestrova::as_one_line(e.what()) << std::endl;
  }
  return false;
}

bool KsModuleRuStack::after_restore() { return true; }

bool KsModuleRuStack::after_restore_last_file() { return true; }

bool KsModuleRuStack::deployment(bool const&) {
  // However the deployment ends, a later signal removes nothing: a restore
  // that failed keeps what it completed.
  auto forget = kestrova::on_scope_exit([this] { forget_restore_objects(); });
  try {
    rustack_server_parameters const parameters = read_server_parameters();
    read_dd_block_size();
    if (!load_api_version(true)) {
      KsLogStream(KsLogLvl::Error) << kDeploymentSig << ": unable to get API version " << std::endl;
      return false;
    }
    if (check_resource("") != 0) {
      KsLogStream(KsLogLvl::Error) << kDeploymentSig << ": unable to get status of VM " << std::endl;
      return false;
    }
    curlAPI client(settings);
    if (client.login(false) != 0) {
      KsLogStream(KsLogLvl::Error) << kDeploymentSig << ": unable to login to url: " << as_one_line(settings.url)
                                   << std::endl;
      return false;
    }
    std::string const& directory = options_.tmp_operation_directory;
    server_conf server;
    if (fill_server_config(directory, server) != 0) {
      KsLogStream(KsLogLvl::Error) << kDeploymentSig << ": unable to get server info from 'vm.config' file"
                                   << std::endl;
      return false;
    }
    std::set<std::string> created;
    std::string boot_volume_id;
    if (restore_volumes(server, directory, created, boot_volume_id) != 0) {
      KsLogStream(KsLogLvl::Error) << kDeploymentSig << ": failed to restore volumes" << std::endl;
      return false;
    }
    if (deploy_vm(boot_volume_id, parameters, server) != 0) {
      KsLogStream(KsLogLvl::Error) << kDeploymentSig << ": failed to deploy VM: '" << as_one_line(server.name) << "'"
                                   << std::endl;
      log_kept_restore_objects(client, kDeploymentSig);
      return false;
    }
    std::uint32_t const attachment_bound =
        curlAPI::valid_timeout(settings.volume_attachment_timeout, "volume_attachment_timeout");
    for (auto const& entry : restored_attach_order) {
      std::string const& id = entry.first;
      std::string device;
      if (client.attach_volume(server.id, id, device) != 0) {
        KsLogStream(KsLogLvl::Error) << kDeploymentSig << ": unable to attach volume '" << as_one_line(id)
                                     << "' to server '" << as_one_line(server.name) << "'" << std::endl;
        log_kept_restore_objects(client, kDeploymentSig);
        return false;
      }
      if (rustack_wait::wait_for_volume_status(client, entry.second, id, "available", "in-use", false,
                                               attachment_bound, kDeploymentSig,
                                               ": unable to attach volume: '" + id + "' to server: '" + server.id +
                                                   "'. Break by timeout " + std::to_string(attachment_bound)) != 0) {
        log_kept_restore_objects(client, kDeploymentSig);
        return false;
      }
      KsLogStream(KsLogLvl::Info) << "Volume '" << as_one_line(id) << "' was successfully attached to VM '"
                                  << as_one_line(server.id) << "'" << std::endl;
    }
    return true;
  } catch (fs::filesystem_error const& e) {
    KsLogStream(KsLogLvl::Error) << kDeploymentSig << ": boost::filesystem:" << kestrova::as_one_line(e.what())
                                 << std::endl;
  } catch (std::exception const& e) {
    KsLogStream(KsLogLvl::Error) << kDeploymentSig << ": exception:" << kestrova::as_one_line(e.what()) << std::endl;
  }
  return false;
}

// What the steps of one restore of the volumes share.
struct KsModuleRuStack::restore_run {
  explicit restore_run(conf const& settings) : client(settings) {}

  curlAPI client;
  rustack_device::attach_lock attach_lock;
  std::vector<volume> records;       // the saved descriptions, in the order of the server's volumes
  std::vector<std::string> images;   // the image file of each
  std::size_t boot = 0;              // the one the new server boots from
  std::vector<std::string> new_ids;  // the volume made for each
};

int KsModuleRuStack::restore_volumes(server_conf const& server, std::string const& directory,
                                     std::set<std::string>& created, std::string& boot_volume_id) {
  char const* const sig = kRestoreVolumesSig;
  restore_run run(settings);
  auto undo = [&]() -> int {
    run.attach_lock.release();
    // Complete volumes stay (only a shutdown signal removes them).
    if (restore_volumes_complete) return 7;
    try {
      undo_restore_volumes(run.client, sig);
    } catch (std::exception const& e) {
      KsLogStream(KsLogLvl::Error) << sig << ": clean-up: " << kestrova::as_one_line(e.what()) << std::endl;
    }
    return 7;
  };

  try {
    if (run.client.login(false) != 0) {
      KsLogStream(KsLogLvl::Error) << sig << ": unable to login to url: " << as_one_line(settings.url) << std::endl;
      return 7;
    }
    // Every description and image is checked before anything is made.
    if (!read_saved_volumes(run, server, directory)) return 7;
    if (!fill_restored_volumes(run, server, created, boot_volume_id)) return undo();
    // From here on nothing is rolled back.
    if (!complete_restored_volumes(run, server)) return 7;
    restored_attach_order.clear();
    for (std::size_t k : rustack_restore::attachment_order(run.records, run.boot))
      restored_attach_order.emplace_back(run.new_ids[k], run.records[k].tenant_id);

    KsLogStream(KsLogLvl::Info) << "The following volume(s) are now available after the restore:" << std::endl;
    for (std::string const& id : created) KsLogStream(KsLogLvl::Info) << "volume ID: " << as_one_line(id) << std::endl;
    return 0;
  } catch (fs::filesystem_error const& e) {
    KsLogStream(KsLogLvl::Error) << sig << ": boost::filesystem:" << kestrova::as_one_line(e.what()) << std::endl;
  } catch (std::exception const& e) {
    KsLogStream(KsLogLvl::Error) << sig << ": exception:" << kestrova::as_one_line(e.what()) << std::endl;
  }
  return undo();
}

bool KsModuleRuStack::read_saved_volumes(restore_run& run, server_conf const& server, std::string const& directory) {
  char const* const sig = kRestoreVolumesSig;
  std::map<std::string, std::string> image_owner;
  for (std::string const& id : server.attached_volumes) {
    volume record;
    if (fill_volume_config(directory, id, record) != 0) {
      KsLogStream(KsLogLvl::Error) << sig << ": unable to get volume info from" << as_one_line(id) << ".conf file"
                                   << std::endl;
      return false;
    }
    std::string const& name = record.attached_device_name;
    if (!rustack_restore::is_plain_file_name(name)) {
      KsLogStream(KsLogLvl::Error) << sig << ": the image name " << kestrova::as_one_line_quoted(name) << " of volume '"
                                   << as_one_line(id) << "' is not a plain file name" << std::endl;
      return false;
    }
    auto const same = image_owner.find(name);
    if (same != image_owner.end()) {
      KsLogStream(KsLogLvl::Error) << sig << ": volumes '" << as_one_line(same->second) << "' and '"
                                   << as_one_line(id) << "' were both saved as the device '" << as_one_line(name)
                                   << "'" << std::endl;
      return false;
    }
    image_owner[name] = id;
    std::string const image = directory + "/" + name;
    fs::file_status const status = fs::symlink_status(image);
    if (!fs::exists(status)) {
      KsLogStream(KsLogLvl::Error) << sig << ": restored device '" << as_one_line(image) << "' doesn't exist"
                                   << std::endl;
      return false;
    }
    if (!fs::is_regular_file(status)) {
      KsLogStream(KsLogLvl::Error) << sig << ": restored device '" << as_one_line(image) << "' is not a regular file"
                                   << std::endl;
      return false;
    }
    run.records.push_back(record);
    run.images.push_back(image);
  }
  run.boot = rustack_restore::boot_volume_index(run.records);
  if (run.boot == run.records.size()) {
    KsLogStream(KsLogLvl::Error) << sig << ": none of the saved volumes is bootable, no server can boot from them"
                                 << std::endl;
    return false;
  }
  return true;
}

bool KsModuleRuStack::fill_restored_volumes(restore_run& run, server_conf const& server,
                                            std::set<std::string>& created, std::string& boot_volume_id) {
  char const* const sig = kRestoreVolumesSig;
  std::uint32_t const creation_bound =
      curlAPI::valid_timeout(settings.volume_creation_timeout, "volume_creation_timeout");
  rustack_device::attach_run attaching(
      run.attach_lock, settings,
      curlAPI::valid_timeout(settings.volume_attachment_timeout, "volume_attachment_timeout"));
  run.new_ids.assign(run.records.size(), std::string());
  std::map<std::string, std::string> devices;  // device used -> volume
  for (std::size_t k = 0; k < run.records.size(); ++k) {
    volume const& record = run.records[k];
    if (!make_restored_volume(run, k, server.attached_volumes[k], creation_bound, created)) return false;
    std::string const& id = run.new_ids[k];
    if (k == run.boot) boot_volume_id = id;

    std::string device;
    if (!rustack_device::attach_to_kestrova_vm(run.client, attaching, record.tenant_id, id, as_one_line(record.id),
                                               sig, device))
      return false;
    auto const same_device = devices.find(device);
    if (same_device != devices.end()) {
      KsLogStream(KsLogLvl::Error) << sig << ": volumes '" << as_one_line(same_device->second) << "' and '"
                                   << as_one_line(id) << "' appeared as the same device '" << as_one_line(device) << "'"
                                   << std::endl;
      return false;
    }
    devices[device] = id;
    KsLogStream(KsLogLvl::Info) << "Volume '" << as_one_line(id) << "' was successfully attached to VM '"
                                << as_one_line(settings.vm_id) << "'" << std::endl;
    if (!write_image(run.images[k], device, id, dd_block_size)) return false;
  }
  return true;
}

bool KsModuleRuStack::make_restored_volume(restore_run& run, std::size_t k, std::string const& original_id,
                                           std::uint32_t creation_bound, std::set<std::string>& created) {
  char const* const sig = kRestoreVolumesSig;
  volume const& record = run.records[k];
  std::string const& project = record.tenant_id;
  KsLogStream(KsLogLvl::Info) << "Creating a copy of backed up volume '" << as_one_line(record.id) << "' ..."
                              << std::endl;
  // The original volume, and the copies another restore of the same
  // server makes, have the same name and description: only a new one is
  // ever taken for it, and no other module process makes one meanwhile.
  rustack_lookup::create_lock lock;
  if (!lock.acquire(rustack_lookup::create_lock_bound(settings.timeout), sig,
                    "a copy of volume '" + as_one_line(record.id) + "'"))
    return false;
  rustack_lookup::made_object_search const search = rustack_lookup::volume_search(run.client, lock, record, "");
  std::string id;
  int made = 0;
  {
    // A signal while the request is out waits until what it made is listed
    // for the clean-up.
    kestrova::signals_held held(kestrova::signals_held::which::shutdown);
    made = rustack_restore::create_restored_volume(run.client, record, id, sig);
    if (made == 0) {
      restore_volumes_in_progress[project].insert(id);
    } else {
      for (std::string const& found : search.find_made(run.client, sig))
        restore_volumes_in_progress[project].insert(found);
    }
  }
  lock.release();
  if (made != 0) {
    KsLogStream(KsLogLvl::Error) << sig << ": unable to create volume to restore original one: '"
                                 << as_one_line(original_id) << "'" << std::endl;
    return false;
  }
  created.insert(id);
  run.new_ids[k] = id;

  KsLogStream(KsLogLvl::Info) << "Wait while new volume '" << as_one_line(id) << "' becomes available..." << std::endl;
  if (rustack_wait::wait_for_volume_status(run.client, project, id, "creating", "available", true, creation_bound, sig,
                                           ": volume: '" + id + "' is still not available. Break by timeout " +
                                               std::to_string(creation_bound)) != 0)
    return false;
  KsLogStream(KsLogLvl::Info) << "New volume '" << as_one_line(id) << "' is available now" << std::endl;
  return true;
}

bool KsModuleRuStack::complete_restored_volumes(restore_run& run, server_conf const& server) {
  char const* const sig = kRestoreVolumesSig;
  bool detached = true;
  for (auto const& entry : restore_volumes_in_progress)
    if (run.client.detach_volumes(entry.first, entry.second, settings.vm_id) != 0) detached = false;

  // The volumes are complete: from here on a failure rolls nothing back,
  // also when one of them is still attached to the Kestrova VM (only a
  // shutdown signal removes them).
  std::map<std::string, std::set<std::string>> complete = restore_volumes_in_progress;
  {
    kestrova::signals_held held(kestrova::signals_held::which::shutdown);
    restore_volumes_complete = true;
  }
  // Nova boots only from a volume marked bootable, which a volume made
  // without an image is not.
  if (detached && rustack_restore::mark_bootable(run.client, run.records, run.new_ids, sig)) return true;
  std::map<std::string, std::string> originals;
  for (std::size_t k = 0; k < run.records.size(); ++k) originals[run.new_ids[k]] = server.attached_volumes[k];
  log_remaining_volumes(run.client, complete, originals, settings, sig);
  return false;
}

int KsModuleRuStack::deploy_vm(std::string const& boot_volume_id, rustack_server_parameters const& parameters,
                               server_conf& server) {
  curlAPI client(settings);
  if (client.login(false) != 0) {
    KsLogStream(KsLogLvl::Error) << kDeployVmSig << ": unable to login to url: " << as_one_line(settings.url)
                                 << std::endl;
    return 7;
  }
  // From the list the name is chosen from to the end of the lookup: another
  // restore of the same server would choose the same name.
  rustack_lookup::create_lock lock;
  if (!lock.acquire(rustack_lookup::create_lock_bound(settings.timeout), kDeployVmSig,
                    "server '" + as_one_line(server.name) + "'"))
    return 7;
  std::vector<rustack_vm_info> servers;
  if (client.get_server_list(servers) != 0) {
    KsLogStream(KsLogLvl::Error) << kDeployVmSig << ": unable to get list of servers" << std::endl;
    return 7;
  }
  server.name = rustack_restore::free_server_name(servers, server.name, server_name_counter);
  KsLogStream(KsLogLvl::Info) << "Server will be restored with the name: " << as_one_line(server.name) << std::endl;
  // No server had the name when it was chosen: one that has it after a
  // failed request is the one it made.
  rustack_lookup::made_object_search const search = rustack_lookup::server_search(lock, server.name, servers);
  int made = 0;
  {
    kestrova::signals_held held(kestrova::signals_held::which::shutdown);
    restore_server_name = server.name;
    made = client.create_server(boot_volume_id, parameters, server);
    if (made == 0) {
      restore_server_id = server.id;
    } else {
      std::vector<std::string> const found = search.find_made(client, kDeployVmSig);
      if (!found.empty()) restore_server_id = found.front();
    }
  }
  lock.release();
  if (made != 0) {
    KsLogStream(KsLogLvl::Error) << kDeployVmSig << ": unable to create server" << std::endl;
    return 7;
  }
  KsLogStream(KsLogLvl::Info) << "Wait while new server '" << as_one_line(server.name) << "' with ID '"
                              << as_one_line(server.id) << "' becomes ACTIVE..." << std::endl;
  rustack_poll::ending const end = rustack_poll::poll(kServerPolls, rustack_poll::order::sleep_then_ask, [&] {
    std::string status;
    if (client.get_server_status(server.id, status) != 0) {
      KsLogStream(KsLogLvl::Error) << kDeployVmSig << ": unable to get status of server: '" << as_one_line(server.name)
                                   << "'" << std::endl;
      return rustack_poll::answer::failed;
    }
    return status == "ACTIVE" ? rustack_poll::answer::awaited : rustack_poll::answer::pending;
  });
  if (end == rustack_poll::ending::bound)
    KsLogStream(KsLogLvl::Error) << kDeployVmSig << ": unable to create server '" << as_one_line(server.name)
                                 << "'. Break by timeout " << kServerPolls << std::endl;
  if (end != rustack_poll::ending::awaited) return 7;
  KsLogStream(KsLogLvl::Info) << "Server '" << as_one_line(server.name) << " is now ACTIVE" << std::endl;
  return 0;
}

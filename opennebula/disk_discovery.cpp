#include "opennebula/disk_discovery.h"

#include <cerrno>

#include <boost/filesystem.hpp>

#include "opennebula/command.h"
#include "opennebula/disk_files.h"
#include "opennebula/vm_queries.h"
#include "opennebula/xml_util.h"
#include "support/log/ks_log.h"
#include "support/utils/ks_utils_common.h"
#include "support/utils/quoting.h"

namespace ks_opennebula_common {

namespace {

constexpr char kLoadSig[] =
    "int ks_opennebula_common::load_VM_devices(const string&, std::vector<opennebula_device_info>&, bool, bool, bool)";
constexpr char kTemporarySig[] =
    "int ks_opennebula_common::get_temporary_disk_info(xmlDoc* const&, xmlNode* const&, opennebula_device_info&)";
constexpr char kRealPathSig[] = "int ks_opennebula_common::get_real_vm_path(const string&, std::__cxx11::string&)";

// The module that uses this library, named when it refuses a driver: the
// running program's file name, as modules are named everywhere else.
std::string module_name() { return program_invocation_short_name; }

void info(const std::string& text) { KsLogStream(KsLogLvl::Info) << text << std::endl; }

// Signals a failure already logged; caught once at the end of the walk.
struct discovery_failed {};

// The texts carry values read from the VM's description: each stays on its
// line.
[[noreturn]] void fail(const std::string& text) {
  log_error(kLoadSig, kestrova::as_one_line(text));
  throw discovery_failed{};
}

// The per-VM facts every disk of the walk needs.
struct vm_context {
  std::string vm_id;
  std::string host;
  std::string deploy_id;
  bool force_share;
  bool live;
};

TM_MAD_TYPE driver_of(xmlDoc* doc, xmlNode* disk, bool ceph_ok) {
  TM_MAD_TYPE tm_mad = TM_MAD_NONE;
  for (xmlNode* node : child_elements(disk, "TM_MAD")) {
    const std::string text = node_text(doc, node);
    if (text == "qcow2") {
      tm_mad = TM_MAD_QCOW2;
    } else if (text == "ceph") {
      if (!ceph_ok)
        fail(std::string(": module doesn't support Ceph RADOS block devices: ") + "required qemu version at least 2.11");
      tm_mad = TM_MAD_CEPH;
    } else if (text == "fs_lvm" || text == "shared" || text == "lvm_lvm") {
      tm_mad = tm_mad_from_name(text);
    } else if (text == "lvm_thin" || text == "ssh" || text == "dev" || text == "iscsi") {
      fail(": " + module_name() + " does not yet support TM_MAD: " + text);
    } else {
      fail(": unsupported TM_MAD value: " + text);
    }
  }
  return tm_mad;
}

int kind_of(xmlDoc* doc, xmlNode* disk) {
  int kind = DEVICE_KIND_DISK;
  for (xmlNode* node : child_elements(disk, "TYPE")) {
    const std::string text = node_text(doc, node);
    if (text == "FILE" || text == "BLOCK" || text == "RBD")
      kind = DEVICE_KIND_DISK;
    else if (text == "CDROM" || text == "RBD_CDROM")
      kind = DEVICE_KIND_CDROM;
    else if (text == "fs")
      kind = DEVICE_KIND_VOLATILE;
    else
      fail(": unsupported type: " + text);
  }
  return kind;
}

std::string disk_path(const vm_context& vm, const std::string& disk_id, const char* found_text) {
  std::string directory;
  if (get_real_vm_path(vm.vm_id, directory) != 0) fail(": can't get real VM disk path: " + vm.vm_id);
  info("VM disk path: " + kestrova::as_one_line(directory));
  const std::string path = directory + "/disk." + disk_id;
  info(found_text + kestrova::as_one_line(path));
  return path;
}

std::string link_target(const std::string& path, const std::string& host, bool follow_all) {
  std::string resolved;
  if (read_file_link(path, resolved, host, follow_all) != 0) throw discovery_failed{};
  return resolved;
}

void target_device(const vm_context& vm, opennebula_device_info& device) {
  if (get_target_device_path(vm.host, vm.deploy_id, device) != 0) throw discovery_failed{};
}

void on_disk_id(const vm_context& vm, opennebula_device_info& device) {
  if (!is_numeric_id(device.disk_id)) fail(": wrong DISK_ID: " + device.disk_id);
  if (device.tm_mad == TM_MAD_NONE) fail(": unsupported TM_MAD type: -1");
  if (vm.live) return;
  switch (device.tm_mad) {
    case TM_MAD_QCOW2:
    case TM_MAD_SHARED: {
      const std::string path = disk_path(vm, device.disk_id, "Disk found: ");
      if (fill_backing_image_chain(path, device.files, vm.force_share, "") != 0) throw discovery_failed{};
      break;
    }
    case TM_MAD_FS_LVM:
    case TM_MAD_LVM_LVM: {
      const std::string path = disk_path(vm, device.disk_id, "LVM disk found: ");
      device.files.push_back(link_target(path, vm.host, false));
      break;
    }
    default:
      break;
  }
}

void on_source(const vm_context& vm, opennebula_device_info& device) {
  switch (device.tm_mad) {
    case TM_MAD_QCOW2:
    case TM_MAD_LVM_LVM:
    case TM_MAD_SHARED:
      device.source = link_target(device.source, "", true);
      if (device.persistent) info("The disk is persistent, source: : " + kestrova::as_one_line(device.source));
      break;
    case TM_MAD_FS_LVM:
      if (!vm.live) {
        device.device_file = device.source;
        device.files.push_back(device.source);
      }
      break;
    case TM_MAD_NONE:
      fail(": unsupported TM_MAD type: -1");
    default:
      break;
  }
}

void on_target(const vm_context& vm, opennebula_device_info& device) {
  if (!vm.live) return;
  switch (device.tm_mad) {
    case TM_MAD_QCOW2:
    case TM_MAD_SHARED:
      target_device(vm, device);
      if (fill_backing_image_chain(device.device_file, device.files, vm.force_share, vm.host) != 0)
        throw discovery_failed{};
      break;
    case TM_MAD_CEPH:
      target_device(vm, device);
      device.files.push_back(device.device_file);
      break;
    case TM_MAD_LVM_LVM:
      target_device(vm, device);
      device.files.push_back(link_target(device.device_file, vm.host, false));
      break;
    case TM_MAD_NONE:
      fail(": unsupported TM_MAD type: " + tm_mad_name(TM_MAD_NONE));
    default:
      break;
  }
}

void on_disk_type(const std::string& text, opennebula_device_info& device) {
  if (text == "FILE" || text == "CDROM")
    device.storage_kind = STORAGE_KIND_FILE;
  else if (text == "BLOCK")
    device.storage_kind = STORAGE_KIND_BLOCK;
  else if (text == "RBD")
    device.storage_kind = STORAGE_KIND_RBD;
  else
    fail(": unsupported disk type: " + text);
}

void discover_disk(xmlDoc* doc, xmlNode* disk, const vm_context& vm, bool ceph_ok,
                   std::vector<opennebula_device_info>& devices) {
  opennebula_device_info device;
  device.tm_mad = driver_of(doc, disk, ceph_ok);
  device.device_kind = kind_of(doc, disk);

  if (device.device_kind == DEVICE_KIND_VOLATILE) {
    const std::string skipped = std::string("The found disk is temporary (type: fs) - ") + "it won't be added to the backup";
    if (!vm.live) {
      info(skipped);
      return;
    }
    if (get_temporary_disk_info(doc, disk, device) != 0) fail(": can't get the temporary disk info");
    target_device(vm, device);
    devices.push_back(device);
    info(skipped);
    return;
  }

  for (xmlNode* node : child_elements(disk, "PERSISTENT"))
    if (node_text(doc, node) == "YES") device.persistent = true;

  for (xmlNode* child : child_elements(disk)) {
    if (is_element(child, "DISK_ID")) {
      device.disk_id = node_text(doc, child);
      on_disk_id(vm, device);
    } else if (is_element(child, "SIZE")) {
      device.size = megabytes_to_bytes(node_text(doc, child));
    } else if (is_element(child, "SOURCE")) {
      device.source = node_text(doc, child);
      on_source(vm, device);
    } else if (is_element(child, "TARGET")) {
      device.target = node_text(doc, child);
      on_target(vm, device);
    } else if (is_element(child, "DISK_TYPE")) {
      on_disk_type(node_text(doc, child), device);
    } else if (is_element(child, "IMAGE_ID")) {
      device.image_id = node_text(doc, child);
    }
  }
  if (device.tm_mad == TM_MAD_CEPH && !vm.live)
    device.files.push_back(device.persistent ? device.source
                                             : device.source + "-" + vm.vm_id + "-" + device.disk_id);
  devices.push_back(device);
}

}  // namespace

int load_VM_devices(const std::string& vm_id, std::vector<opennebula_device_info>& devices, bool force_share,
                    bool live, bool ceph_ok) {
  return guarded(kLoadSig, 1, [&]() -> int {
    if (!check_numeric_id(kLoadSig, vm_id)) return 1;
    vm_context vm{vm_id, "", "", force_share, live};
    if (get_VM_host(vm_id, vm.host) != 0) {
      log_error(kLoadSig, ": can't get the hostname where VM resides");
      return 1;
    }
    std::string output;
    if (!run_tool(kLoadSig, "/usr/bin/onevm show " + shell_arg(vm_id) + " -x", failure_form::vm_info, output, vm_id))
      return 1;
    xml_document doc = parse_checked(kLoadSig, output, "VM",
                                     {": document not parsed successfully", ": empty document: ",
                                      ": document of the wrong type, root node != VM: ", false});
    if (!doc) return 1;
    xmlNode* root = xmlDocGetRootElement(doc.get());
    if (xmlNode* node = first_child(root, "DEPLOY_ID")) vm.deploy_id = node_text(doc.get(), node);

    try {
      for (xmlNode* tmpl : child_elements(root, "TEMPLATE"))
        for (xmlNode* disk : child_elements(tmpl, "DISK")) discover_disk(doc.get(), disk, vm, ceph_ok, devices);
    } catch (const discovery_failed&) {
      return 1;
    }
    return 0;
  });
}

int get_temporary_disk_info(xmlDoc* const& doc, xmlNode* const& disk, opennebula_device_info& device) {
  return guarded(kTemporarySig, 1, [&]() -> int {
    if (!is_element(disk, "DISK")) {
      log_error(kTemporarySig, ": wrong XML node, expected 'DISK' info");
      return 1;
    }
    for (xmlNode* child : child_elements(disk)) {
      if (is_element(child, "DISK_ID"))
        device.disk_id = node_text(doc, child);
      else if (is_element(child, "SIZE"))
        device.size = megabytes_to_bytes(node_text(doc, child));
      else if (is_element(child, "TARGET"))
        device.target = node_text(doc, child);
    }
    if (device.disk_id.empty()) {
      log_error(kTemporarySig, ": got empty disk_id string");
      return 1;
    }
    return 0;
  });
}

int get_real_vm_path(const std::string& vm_id, std::string& directory) {
  return guarded(kRealPathSig, 1, [&]() -> int {
    if (!check_numeric_id(kRealPathSig, vm_id)) return 1;
    std::vector<std::string> candidates;
    {
      xml_document doc = query_xml(kRealPathSig, "/usr/bin/onedatastore list -x", failure_form::command_then_output,
                                   "DATASTORE_POOL", parse_texts::standard("DATASTORE_POOL"));
      if (!doc) return 1;
      for (xmlNode* ds : child_elements(xmlDocGetRootElement(doc.get()), "DATASTORE")) {
        int type = -1;
        std::string base_path;
        for (xmlNode* child : child_elements(ds)) {
          if (is_element(child, "TYPE"))
            type = std::stoi(node_text(doc.get(), child));
          else if (is_element(child, "BASE_PATH"))
            base_path = node_text(doc.get(), child);
        }
        if (type == 1) candidates.push_back(base_path);
      }
    }

    std::string host, deploy_id;
    if (get_VM_workplace(vm_id, host, deploy_id) != 0) {
      log_error(kRealPathSig, ": can't get workplace for VM: " + kestrova::as_one_line(vm_id));
      return 1;
    }
    const bool local = host == ks_utils_common::get_nodename();
    for (std::string candidate : candidates) {
      for (std::size_t at; (at = candidate.find("//")) != std::string::npos;) candidate.erase(at, 1);
      const std::string path = candidate + "/" + vm_id;
      info("Trying to find path for VM '" + vm_id + "' here: " + kestrova::as_one_line(path) + " ... ");
      bool found = false;
      if (!local) {
        std::string output;
        found = run_tool(kRealPathSig, ssh_command(host, "test -d " + remote_arg(path)), failure_form::none, output);
      } else {
        try {
          found = boost::filesystem::is_directory(path);
        } catch (const boost::filesystem::filesystem_error& e) {
          log_error(kRealPathSig, std::string(": boost::filesystem: ") + kestrova::as_one_line(e.what()));
          return 1;
        }
      }
      if (found) {
        directory = path;
        info("Success");
        return 0;
      }
      info("not found");
    }
    log_error(kRealPathSig, ": couldn't find real path to VM: " + vm_id +
                            ". Please check VM configuration and VM's files placement");
    return 1;
  });
}

}  // namespace ks_opennebula_common

#include "opennebula/vm_queries.h"

#include <cstdint>
#include <limits>
#include <stdexcept>

#include "opennebula/command.h"
#include "opennebula/images.h"
#include "support/log/ks_log.h"
#include "support/utils/ks_utils_common.h"
#include "support/utils/quoting.h"

namespace ks_opennebula_common {

namespace {

constexpr char kStateSig[] = "int ks_opennebula_common::get_VM_state(const string&, opennebula_vm_state&)";
constexpr char kWorkplaceSig[] =
    "int ks_opennebula_common::get_VM_workplace(const string&, std::__cxx11::string&, std::__cxx11::string&)";
constexpr char kIdByNameSig[] = "int ks_opennebula_common::get_vm_id_by_name(const string&, std::__cxx11::string&)";
constexpr char kNameListSig[] =
    "int ks_opennebula_common::get_vm_name_list(std::vector<std::__cxx11::basic_string<char> >&)";
constexpr char kNameExistSig[] = "bool ks_opennebula_common::does_VM_name_exist(const string&)";
constexpr char kDiskIdSig[] = "int ks_opennebula_common::get_VM_diskID(const string&, const string&, int&)";
constexpr char kDiskSourceSig[] =
    "int ks_opennebula_common::get_disk_id_and_source(const string&, const string&, int&, std::__cxx11::string&)";
constexpr char kHostSig[] = "int ks_opennebula_common::get_VM_host(const string&, std::__cxx11::string&)";
constexpr char kMacSig[] = "int ks_opennebula_common::get_eth0_mac_addr(const string&, std::__cxx11::string&)";
constexpr char kNodeIdSig[] = "int ks_opennebula_common::get_node_id_for_current_host(std::__cxx11::string&)";
constexpr char kImageIdsSig[] =
    "int ks_opennebula_common::get_VM_image_ID_list_from_xml(const string&, "
    "std::vector<std::__cxx11::basic_string<char> >&)";
constexpr char kImagesSig[] =
    "int ks_opennebula_common::get_VM_image_list_from_xml(const string&, std::vector<oneimage>&)";
constexpr char kTotalSig[] = "int ks_opennebula_common::get_total_vm_disks_size_mb(const string&, unsigned int&)";
constexpr char kTmMadSig[] = "TM_MAD_TYPE ks_opennebula_common::get_vm_tm_mad_type(const string&)";

std::string show_command(const std::string& vm) { return "/usr/bin/onevm show " + shell_arg(vm) + " -x"; }

xml_document vm_show(const char* sig, const std::string& vm, failure_form form) {
  return query_xml(sig, show_command(vm), form, "VM", parse_texts::standard("VM"), vm);
}

// The first DISK (of any TEMPLATE) with a TARGET child exactly `target`.
xmlNode* disk_with_target(xmlDoc* doc, const std::string& target) {
  for (xmlNode* tmpl : child_elements(xmlDocGetRootElement(doc), "TEMPLATE"))
    for (xmlNode* disk : child_elements(tmpl, "DISK"))
      for (xmlNode* node : child_elements(disk, "TARGET"))
        if (node_text(doc, node) == target) return disk;
  return nullptr;
}

xml_document host_pool(const char* sig, const std::string& after_parse_failure) {
  return query_xml(sig, "/usr/bin/onehost list -x", failure_form::host_pool, "HOST_POOL",
                   parse_texts::via_parse_xml_document(": document of the wrong type, root node != HOST_POOL: ",
                                                       after_parse_failure));
}

parse_texts template_file_texts(const std::string& path) {
  return {": document not parsed successfully: " + path, ": empty document: " + path,
          ": document of the wrong type, root node != TEMPLATE: " + path, false};
}

}  // namespace

int get_VM_state(const std::string& vm, opennebula_vm_state& state) {
  return guarded(kStateSig, 1, [&]() -> int {
    if (!check_numeric_id(kStateSig, vm)) return 1;
    xml_document doc = vm_show(kStateSig, vm, failure_form::command_then_output);
    if (!doc) return 1;
    for (xmlNode* child : child_elements(xmlDocGetRootElement(doc.get()))) {
      if (is_element(child, "STATE"))
        state.state = std::stoi(node_text(doc.get(), child));
      else if (is_element(child, "LCM_STATE"))
        state.lcm_state = std::stoi(node_text(doc.get(), child));
    }
    if (state.state == -1) {
      log_error(kStateSig, ": VM state wasn't found in XML");
      return 1;
    }
    if (state.lcm_state == -1) log_error(kStateSig, ": VM lcm_state wasn't found in XML");
    return 0;
  });
}

int get_VM_workplace(const std::string& vm, std::string& host, std::string& deploy_id) {
  return guarded(kWorkplaceSig, 1, [&]() -> int {
    if (!check_numeric_id(kWorkplaceSig, vm)) return 1;
    xml_document doc = vm_show(kWorkplaceSig, vm, failure_form::command_then_output);
    if (!doc) return 1;
    for (xmlNode* node : child_elements(xmlDocGetRootElement(doc.get()), "DEPLOY_ID"))
      deploy_id = node_text(doc.get(), node);
    doc.reset();
    std::string found;
    if (get_VM_host(vm, found) != 0) {
      log_error(kWorkplaceSig, ": can't get VM hostname");
      return 1;
    }
    host = found;
    return 0;
  });
}

int get_vm_id_by_name(const std::string& name, std::string& id) {
  return guarded(kIdByNameSig, 1, [&]() -> int {
    xml_document doc = vm_show(kIdByNameSig, name, failure_form::following_failed);
    if (!doc) return 1;
    xmlNode* node = first_child(xmlDocGetRootElement(doc.get()), "ID");
    if (!node) {
      log_error(kIdByNameSig, ": can't get ID for VM: " + kestrova::as_one_line(name));
      return 1;
    }
    id = node_text(doc.get(), node);
    return 0;
  });
}

int get_VM_diskID(const std::string& vm, const std::string& target, int& disk_id) {
  return guarded(kDiskIdSig, 1, [&]() -> int {
    if (!check_numeric_id(kDiskIdSig, vm)) return 1;
    xml_document doc = vm_show(kDiskIdSig, vm, failure_form::command_output);
    if (!doc) return 1;
    xmlNode* disk = disk_with_target(doc.get(), target);
    xmlNode* node = disk ? first_child(disk, "DISK_ID") : nullptr;
    if (!node) return 1;
    disk_id = std::stoi(node_text(doc.get(), node));
    return 0;
  });
}

int get_disk_id_and_source(const std::string& vm, const std::string& target, int& disk_id, std::string& source) {
  return guarded(kDiskSourceSig, 1, [&]() -> int {
    if (!check_numeric_id(kDiskSourceSig, vm)) return 1;
    xml_document doc = query_xml(kDiskSourceSig, show_command(vm), failure_form::vm_info, "VM",
                                 parse_texts::via_parse_xml_document(": document of the wrong type, root node != VM",
                                                                     ": can't parse xml data"),
                                 vm);
    if (!doc) return 1;
    xmlNode* disk = disk_with_target(doc.get(), target);
    if (!disk) return 1;
    for (xmlNode* child : child_elements(disk)) {
      if (is_element(child, "DISK_ID")) {
        const std::string text = node_text(doc.get(), child);
        if (text.empty()) {
          log_error(kDiskSourceSig, ": got empty disk ID");
          return 1;
        }
        disk_id = std::stoi(text);
      } else if (is_element(child, "SOURCE")) {
        source = node_text(doc.get(), child);
        if (source.empty()) {
          log_error(kDiskSourceSig, ": got empty disk source");
          return 1;
        }
      }
    }
    return 0;
  });
}

int get_VM_host(const std::string& vm, std::string& host) {
  return guarded(kHostSig, 1, [&]() -> int {
    xml_document doc = host_pool(kHostSig, "");
    if (!doc) return 1;
    for (xmlNode* item : child_elements(xmlDocGetRootElement(doc.get()), "HOST")) {
      std::string current;
      for (xmlNode* child : child_elements(item)) {
        if (is_element(child, "NAME")) {
          current = node_text(doc.get(), child);
        } else if (is_element(child, "VMS")) {
          for (xmlNode* id : child_elements(child, "ID")) {
            if (node_text(doc.get(), id) == vm) {
              host = current;
              return 0;
            }
          }
        }
      }
    }
    return 1;
  });
}

int get_eth0_mac_addr(const std::string& vm, std::string& mac) {
  return guarded(kMacSig, 1, [&]() -> int {
    if (!check_numeric_id(kMacSig, vm)) return 1;
    xml_document doc = query_xml(kMacSig, show_command(vm), failure_form::vm_info, "VM",
                                 parse_texts::via_parse_xml_document(": document of the wrong type, root node != VM: "),
                                 vm);
    if (!doc) return 1;
    for (xmlNode* tmpl : child_elements(xmlDocGetRootElement(doc.get()), "TEMPLATE"))
      for (xmlNode* context : child_elements(tmpl, "CONTEXT"))
        if (xmlNode* node = first_child(context, "ETH0_MAC")) {
          mac = node_text(doc.get(), node);
          return 0;
        }
    return 1;
  });
}

int get_node_id_for_current_host(std::string& node_id) {
  return guarded(kNodeIdSig, 1, [&]() -> int {
    xml_document doc = host_pool(kNodeIdSig, ": can't parse xml data");
    if (!doc) return 1;
    const std::string node_name = ks_utils_common::get_nodename();
    KsLogStream(KsLogLvl::Info) << kNodeIdSig << ": current host name: " << node_name << std::endl;
    for (xmlNode* item : child_elements(xmlDocGetRootElement(doc.get()), "HOST")) {
      xmlNode* id = first_child(item, "ID");
      node_id = id ? node_text(doc.get(), id) : std::string();
      for (xmlNode* tmpl : child_elements(item, "TEMPLATE"))
        for (xmlNode* name : child_elements(tmpl, "HOSTNAME"))
          if (node_text(doc.get(), name) == node_name) return 0;
    }
    node_id.clear();
    return 1;
  });
}

int get_vm_name_list(std::vector<std::string>& names) {
  return guarded(kNameListSig, 1, [&]() -> int {
    xml_document doc = query_xml(kNameListSig, "/usr/bin/onevm list -x", failure_form::produced_error, "VM_POOL",
                                 parse_texts::via_parse_xml_document(": document of the wrong type, root node != VM_POOL",
                                                                     ": can't parse xml data"));
    if (!doc) return 1;
    for (xmlNode* vm : child_elements(xmlDocGetRootElement(doc.get()), "VM"))
      for (xmlNode* name : child_elements(vm, "NAME")) names.push_back(node_text(doc.get(), name));
    return 0;
  });
}

bool does_VM_name_exist(const std::string& name) {
  std::vector<std::string> names;
  if (get_vm_name_list(names) != 0) {
    log_error(kNameExistSig, ": can't get list of VMs names");
    return false;
  }
  for (const std::string& entry : names)
    if (entry == name) return true;
  return false;
}

bool does_VM_id_exist(const std::string& id) {
  if (!is_numeric_id(id)) return false;
  std::string output;
  return run_tool("", "/usr/bin/onevm show " + shell_arg(id), failure_form::none, output);
}

int get_VM_image_ID_list_from_xml(const std::string& path, std::vector<std::string>& ids) {
  return guarded(kImageIdsSig, 1, [&]() -> int {
    ids.clear();
    xml_document doc = parse_file_checked(kImageIdsSig, path, "TEMPLATE", template_file_texts(path));
    if (!doc) return 1;
    for (xmlNode* disk : child_elements(xmlDocGetRootElement(doc.get()), "DISK"))
      for (xmlNode* id : child_elements(disk, "IMAGE_ID")) ids.push_back(node_text(doc.get(), id));
    return 0;
  });
}

int get_VM_image_list_from_xml(const std::string& path, std::vector<oneimage>& images) {
  return guarded(kImagesSig, 1, [&]() -> int {
    images.clear();
    xml_document doc = parse_file_checked(kImagesSig, path, "TEMPLATE", template_file_texts(path));
    if (!doc) return 1;
    for (xmlNode* disk : child_elements(xmlDocGetRootElement(doc.get()), "DISK")) {
      for (xmlNode* id : child_elements(disk, "IMAGE_ID")) {
        oneimage image;
        if (get_image_attributes(node_text(doc.get(), id), image, false) != 0) return 1;
        images.push_back(image);
      }
    }
    return 0;
  });
}

int get_total_vm_disks_size_mb(const std::string& path, unsigned int& total_mb) {
  return guarded(kTotalSig, 1, [&]() -> int {
    parse_texts texts = template_file_texts(path);
    texts.wrong_root = ": document of the wrong type, root node != TEMPLATE ";
    xml_document doc = parse_file_checked(kTotalSig, path, "TEMPLATE", texts);
    if (!doc) return 1;
    std::uint64_t total = 0;
    for (xmlNode* disk : child_elements(xmlDocGetRootElement(doc.get()), "DISK")) {
      if (xmlNode* type = first_child(disk, "TYPE")) {
        const std::string text = node_text(doc.get(), type);
        if (text == "fs" || text == "CDROM") continue;
      }
      for (xmlNode* size : child_elements(disk, "SIZE")) {
        const int mb = std::stoi(node_text(doc.get(), size));
        if (mb < 0) throw std::out_of_range("negative disk SIZE");
        total += static_cast<std::uint64_t>(mb);
      }
    }
    if (total > std::numeric_limits<unsigned int>::max()) throw std::out_of_range("total disk size too large");
    total_mb = static_cast<unsigned int>(total);
    return 0;
  });
}

TM_MAD_TYPE get_vm_tm_mad_type(const std::string& path) {
  return guarded(kTmMadSig, TM_MAD_NONE, [&]() -> TM_MAD_TYPE {
    parse_texts texts = template_file_texts(path);
    texts.wrong_root = ": document of the wrong type, root node != TEMPLATE ";
    xml_document doc = parse_file_checked(kTmMadSig, path, "TEMPLATE", texts);
    if (!doc) return TM_MAD_NONE;
    for (xmlNode* node : child_elements(xmlDocGetRootElement(doc.get()), "TM_MAD_SYSTEM")) {
      const std::string text = node_text(doc.get(), node);
      if (is_tm_mad_name(text)) return tm_mad_from_name(text);
    }
    return TM_MAD_NONE;
  });
}

}  // namespace ks_opennebula_common

#include "opennebula/disk_files.h"

#include <algorithm>
#include <sstream>

#include <boost/filesystem.hpp>
#include <boost/json.hpp>

#include "opennebula/command.h"
#include "support/log/ks_log.h"
#include "support/utils/ks_utils_common.h"
#include "support/utils/quoting.h"

namespace ks_opennebula_common {

namespace {

constexpr char kReadLinkSig[] =
    "int ks_opennebula_common::read_file_link(const string&, std::__cxx11::string&, const string&, bool)";
constexpr char kTargetSig[] =
    "int ks_opennebula_common::get_target_device_path(const string&, const string&, opennebula_device_info&)";
constexpr char kVirtualSizeSig[] =
    "int ks_opennebula_common::get_image_virtual_size(const string&, bool, const string&, long long unsigned int&)";
constexpr char kChainSig[] =
    "int ks_opennebula_common::fill_backing_image_chain(const string&, "
    "std::vector<std::__cxx11::basic_string<char> >&, bool, const string&)";
constexpr char kRbdDisksSig[] =
    "int ks_opennebula_common::get_vm_rbd_disks(const string&, std::vector<RBD_disk>&)";
constexpr char kRbdStructSig[] =
    "RBD_disk ks_opennebula_common::fill_rbd_disk_struct_from_target(const string&, const string&)";

bool is_local_host(const std::string& host) { return host.empty() || host == ks_utils_common::get_nodename(); }

// The options come before "--", so a file name that begins with "-" is no
// option.
std::string qemu_img_info(const std::string& file, bool force_share, bool local, const std::string& host) {
  std::string command = "/usr/bin/qemu-img info ";
  if (force_share) command += "--force-share ";
  command += "--output=json -- ";
  if (local) return command + shell_arg(file);
  return ssh_command(host, command + remote_arg(file, true));
}

// The one path a remote readlink printed: a single absolute one. ssh's own
// warnings would add lines, or stand alone; a relative target of a link
// read one level means nothing to the caller either.
bool readlink_result(const std::string& output, std::string& result) {
  std::string line = output;
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (line.empty() || line[0] != '/' || line.find('\n') != std::string::npos) return false;
  result = line;
  return true;
}

// The JSON object qemu-img printed; anything the shell or ssh wrote around
// it (warnings, banners) is skipped.
bool parse_qemu_img_json(const std::string& output, boost::json::object& object) {
  std::size_t first = output.find('{');
  std::size_t last = output.rfind('}');
  if (first == std::string::npos || last == std::string::npos || last < first) return false;
  boost::system::error_code ec;
  boost::json::value value = boost::json::parse(output.substr(first, last - first + 1), ec);
  if (ec || !value.is_object()) return false;
  object = value.as_object();
  return true;
}

}  // namespace

int read_file_link(const std::string& path, std::string& resolved, const std::string& host, bool follow_all) {
  namespace fs = boost::filesystem;
  resolved.clear();
  if (is_local_host(host)) {
    try {
      if (fs::is_symlink(fs::symlink_status(path))) {
        // Follow the chain by hand, so a dangling link names its missing target.
        fs::path current = fs::absolute(path);
        for (int hops = 0; hops < 40 && fs::is_symlink(fs::symlink_status(current)); ++hops) {
          fs::path next = fs::read_symlink(current);
          current = next.is_absolute() ? next : current.parent_path() / next;
        }
        std::string target = fs::weakly_canonical(current).string();
        if (!fs::exists(target)) {
          log_error(kReadLinkSig, ": can't find file: " + kestrova::as_one_line(target));
          return 1;
        }
        resolved = target;
      }
    } catch (const fs::filesystem_error& e) {
      log_error(kReadLinkSig, std::string(": boost::filesystem error") + kestrova::as_one_line(e.what()));
      return 1;
    }
  } else {
    std::string command =
        ssh_command(host, std::string("/bin/readlink ") + (follow_all ? "-f " : "") + "-- " + remote_arg(path));
    std::string output;
    if (!run_tool(kReadLinkSig, command, failure_form::none, output)) {
      log_error(kReadLinkSig, ": can't run readlink for " + kestrova::as_one_line(path));
      return 1;
    }
    if (!readlink_result(output, resolved)) {
      log_error(kReadLinkSig, ": got wrong output of readlink for " + kestrova::as_one_line(path));
      log_error_line("Command was: " + kestrova::as_one_line(command));
      log_error_line("Command output: " + kestrova::as_one_line(output));
      return 1;
    }
  }
  if (resolved.empty()) resolved = path;
  if (resolved != path)
    KsLogStream(KsLogLvl::Info) << "The path: '" << kestrova::as_one_line(path) << "' is a link to "
                                << kestrova::as_one_line(resolved) << std::endl;
  return 0;
}

int get_target_device_path(const std::string& host, const std::string& deploy_id, opennebula_device_info& device) {
  return guarded(kTargetSig, 1, [&]() -> int {
    std::string connection;
    if (!is_local_host(host)) {
      if (!ks_utils_common::is_uri_host(host)) {
        log_error(kTargetSig, ": not a host name: " + kestrova::as_one_line_quoted(host));
        return 1;
      }
      connection = " -q -c " + shell_arg_if_needed("qemu+ssh://root@" + host + "/system") + " -q";
    }
    const std::string command = "LANG=C /usr/bin/virsh" + connection + " domblklist " + shell_arg_if_needed(deploy_id);
    std::string output;
    if (!run_tool(kTargetSig, command, failure_form::none, output)) {
      log_error(kTargetSig, ": can't get domblklist for " + kestrova::as_one_line(device.target));
      log_error_line("Command was: " + kestrova::as_one_line(command));
      log_error_line("Command output: " + kestrova::as_one_line(output));
      return 1;
    }
    // Lines are "<target> <source>" below a header that ends with a line of
    // dashes; only the line whose first column is exactly the target counts
    // ("-" is a drive without a medium).
    std::string source;
    std::size_t rule = output.find("\n-");
    if (output.compare(0, 1, "-") == 0) rule = 0;
    std::istringstream lines(rule == std::string::npos ? output : output.substr(output.find('\n', rule + 1) + 1));
    for (std::string line; std::getline(lines, line);) {
      std::istringstream columns(line);
      std::string first;
      if (!(columns >> first) || first != device.target) continue;
      std::string rest;
      std::getline(columns, rest);
      rest.erase(0, rest.find_first_not_of(" \t"));
      rest.erase(rest.find_last_not_of(" \t\r") + 1);
      source = rest == "-" ? std::string() : rest;
      break;
    }
    if (source.empty()) {
      log_error(kTargetSig, ": unable to get source path for device: " + kestrova::as_one_line(device.target));
      log_error_line("Probably the following command failed: " + kestrova::as_one_line(command));
      log_error_line(std::string("Please make sure that all configurations settings ") +
                 "from Kestrova module instruction have been performed");
      return 1;
    }
    device.device_file = source;
    KsLogStream(KsLogLvl::Info) << "A VM device found, TM_MAD: " << tm_mad_name(device.tm_mad)
                                << ", target: " << kestrova::as_one_line(device.target)
                                << ", device file: " << kestrova::as_one_line(device.device_file) << std::endl;
    return 0;
  });
}

int fill_backing_image_chain(const std::string& file, std::vector<std::string>& files, bool force_share,
                             const std::string& host) {
  return guarded(kChainSig, 1, [&]() -> int {
    std::vector<std::string> chain;
    std::string current = file;
    for (;;) {
      std::string resolved;
      if (read_file_link(current, resolved, host, true) != 0) {
        log_error(kChainSig, ": can't read link for file" + kestrova::as_one_line(current));
        return 1;
      }
      current = resolved;
      if (std::find(chain.begin(), chain.end(), current) != chain.end()) {
        log_error(kChainSig, ": backing image chain loops back to " + kestrova::as_one_line(current));
        return 1;
      }
      KsLogStream(KsLogLvl::Info) << "Adding to backing image chain: " << kestrova::as_one_line(current) << std::endl;
      chain.push_back(current);
      files.push_back(current);

      const std::string command = qemu_img_info(current, force_share, host.empty(), host);
      std::string output;
      if (!run_tool(kChainSig, command, failure_form::following_error, output)) return 1;
      boost::json::object info;
      if (!parse_qemu_img_json(output, info)) {
        log_error(kChainSig, ": can't read the image information of " + kestrova::as_one_line(current));
        log_error_line("Command was: " + kestrova::as_one_line(command));
        log_error_line("Command output: " + kestrova::as_one_line(output));
        return 1;
      }
      const boost::json::value* backing = info.if_contains("full-backing-filename");
      if (!backing) return 0;  // the base image
      if (!backing->is_string() || backing->as_string().empty()) {
        log_error(kChainSig, ": can't find backing filename");
        log_error_line("Command was: " + kestrova::as_one_line(command));
        log_error_line("Command output: " + kestrova::as_one_line(output));
        return 1;
      }
      current = std::string(backing->as_string().c_str(), backing->as_string().size());
    }
  });
}

int get_image_virtual_size(const std::string& file, bool force_share, const std::string& host,
                           unsigned long long& size) {
  return guarded(kVirtualSizeSig, 1, [&]() -> int {
    const std::string command = qemu_img_info(file, force_share, is_local_host(host), host);
    std::string output;
    if (!run_tool(kVirtualSizeSig, command, failure_form::following_error, output)) return 1;
    boost::json::object info;
    const boost::json::value* value = nullptr;
    if (parse_qemu_img_json(output, info)) value = info.if_contains("virtual-size");
    if (!value || !(value->is_uint64() || (value->is_int64() && value->as_int64() >= 0))) {
      log_error(kVirtualSizeSig, ": got empty virtual size for image: " + kestrova::as_one_line(file));
      return 1;
    }
    size = value->is_uint64() ? value->as_uint64() : static_cast<unsigned long long>(value->as_int64());
    return 0;
  });
}

int get_vm_rbd_disks(const std::string& vm_id, std::vector<RBD_disk>& disks) {
  return guarded(kRbdDisksSig, 1, [&]() -> int {
    if (!check_numeric_id(kRbdDisksSig, vm_id)) return 1;
    const std::string command = "/usr/bin/onevm show " + shell_arg_if_needed(vm_id) + " -x";
    KsLogStream(KsLogLvl::Info) << "Run command: '" << kestrova::as_one_line(command) << "'" << std::endl;
    xml_document doc = query_xml(kRbdDisksSig, command, failure_form::following_error, "VM",
                                 parse_texts::via_parse_xml_document(": document of the wrong type, root node != VM: "));
    if (!doc) return 1;
    const std::string ceph = TM_MAD_TYPE_STR.at(TM_MAD_CEPH);
    for (xmlNode* tmpl : child_elements(xmlDocGetRootElement(doc.get()), "TEMPLATE")) {
      for (xmlNode* disk : child_elements(tmpl, "DISK")) {
        std::string disk_id, source, target;
        bool is_ceph = false, is_cdrom = false;
        for (xmlNode* child : child_elements(disk)) {
          if (is_element(child, "DISK_ID")) disk_id = node_text(doc.get(), child);
          else if (is_element(child, "SOURCE")) source = node_text(doc.get(), child);
          else if (is_element(child, "TARGET")) target = node_text(doc.get(), child);
          else if (is_element(child, "TM_MAD")) is_ceph = node_text(doc.get(), child) == ceph;
          else if (is_element(child, "TYPE")) is_cdrom = node_text(doc.get(), child) == "RBD_CDROM";
        }
        if (!is_ceph || is_cdrom) continue;
        // SOURCE is "<pool>/one-<image>"; the image id follows its first 8 characters.
        if (source.size() <= 8) {
          log_error(kRbdDisksSig, ": got wrong source of a Ceph disk: " + kestrova::as_one_line(source));
          return 1;
        }
        RBD_disk rbd;
        rbd.image_id = source.substr(8);
        rbd.vm_id = vm_id;
        rbd.disk_id = disk_id;
        rbd.target = target;
        disks.push_back(rbd);
      }
    }
    return 0;
  });
}

RBD_disk fill_rbd_disk_struct_from_target(const std::string& name, const std::string& target) {
  RBD_disk disk;
  disk.target = target;
  if (name.size() < 4) {
    log_error(kRbdStructSig, ": got wrong name of an RBD image: " + kestrova::as_one_line(name));
    return disk;
  }
  std::string* pieces[] = {&disk.image_id, &disk.vm_id, &disk.disk_id};
  std::size_t start = 4;
  for (std::string* piece : pieces) {
    std::size_t dash = name.find('-', start);
    *piece = name.substr(start, dash == std::string::npos ? std::string::npos : dash - start);
    if (dash == std::string::npos) break;
    start = dash + 1;
  }
  return disk;
}

bool parse_rbd_disk_name(const std::string& path, std::string& name) {
  std::size_t slash = path.rfind('/');
  name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::size_t dot = name.find('.');
  if (dot == std::string::npos) return false;
  name = name.substr(dot + 1);
  return true;
}

}  // namespace ks_opennebula_common

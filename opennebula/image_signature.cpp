#include "opennebula/image_signature.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iomanip>
#include <sstream>
#include <vector>

#include "opennebula/command.h"
#include "opennebula/datastores.h"
#include "opennebula/disk_files.h"
#include "opennebula/images.h"
#include "support/cppcrypto/md5.h"
#include "support/log/ks_log.h"
#include "support/utils/ks_utils_common.h"
#include "support/utils/quoting.h"
#include "support/utils/unique_fd.h"

namespace ks_opennebula_common {

namespace {

constexpr char kCalculateSig[] =
    "bool ks_opennebula_common::calculate_unique_signature(oneimage&, TM_MAD_TYPE, bool)";
constexpr char kExistSig[] = "bool ks_opennebula_common::does_image_exist(const oneimage&, bool)";
constexpr char kFindSig[] = "int ks_opennebula_common::find_image_by_unique_signature(const string&, oneimage&)";
constexpr char kMd5Sig[] = "int ks_opennebula_common::calc_md5sum(const string&, std::__cxx11::string&)";
constexpr char kBlockMd5Sig[] =
    "int ks_opennebula_common::calc_md5sum_for_block_device(const string&, std::__cxx11::string&)";
constexpr char kUuidSig[] = "int ks_opennebula_common::get_image_uuid(const string&, std::__cxx11::string&)";
constexpr char kCephSig[] = "int ks_opennebula_common::get_ceph_image_id(const string&, std::__cxx11::string&)";

bool is_md5_text(const std::string& text) {
  return text.size() == 32 &&
         std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool is_lvm_signed_image_type(opennebula_image_type type) {
  return type == IMAGE_TYPE_OS || type == IMAGE_TYPE_CDROM || type == IMAGE_TYPE_DATABLOCK;
}

// Reads exactly `count` bytes unless the file ends or fails first.
bool read_exactly(int fd, unsigned char* buffer, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    ssize_t n = ::read(fd, buffer + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

int disk_type_from_datastore(const char* signature, const std::string& datastore_id, TM_MAD_TYPE tm_mad,
                             opennebula_disk_type& disk_type) {
  int type = -1;
  if (get_datastore_type(datastore_id, type) != 0) {
    KsLogStream(KsLogLvl::Error) << signature << ": unable to determine type of datastore with ID: "
                                 << kestrova::as_one_line_quoted(datastore_id) << std::endl;
    return 1;
  }
  if (type == DATASTORE_TYPE_FILE) {
    disk_type = DISK_TYPE_FILE;
    return 0;
  }
  if (type == DATASTORE_TYPE_IMAGE) {
    switch (tm_mad) {
      case TM_MAD_QCOW2:
      case TM_MAD_SHARED: disk_type = DISK_TYPE_FILE; return 0;
      case TM_MAD_CEPH: disk_type = DISK_TYPE_RBD; return 0;
      case TM_MAD_LVM_LVM: disk_type = DISK_TYPE_BLOCK; return 0;
      default: log_error(signature, ": unsupported TM_MAD type: " + tm_mad_name(tm_mad)); return 1;
    }
  }
  KsLogStream(KsLogLvl::Error) << signature << ": unsupported datastore type: " << std::quoted(std::to_string(type))
                               << std::endl;
  return 1;
}

bool calculate_unique_signature(oneimage& image, TM_MAD_TYPE tm_mad, bool force_md5) {
  return guarded(kCalculateSig, false, [&]() -> bool {
    const std::string unresolved = image.source;
    KsLogStream(KsLogLvl::Info) << kCalculateSig << ": determining unique signature for the image source: "
                                << kestrova::as_one_line(image.source) << std::endl;
    int rc = 1;
    switch (image.disk_type) {
      case DISK_TYPE_FILE:
      case DISK_TYPE_BLOCK: {
        std::string resolved;
        if (read_file_link(image.source, resolved, "", true) != 0) return false;
        if (resolved != image.source) image.source = resolved;
        if (image.disk_type == DISK_TYPE_FILE) {
          rc = calc_md5sum(image.source, image.unique_signature);
        } else if (is_lvm_signed_image_type(image.type)) {
          rc = tm_mad == TM_MAD_LVM_LVM && !force_md5 ? get_image_uuid(unresolved, image.unique_signature)
                                                      : calc_md5sum_for_block_device(image.source, image.unique_signature);
        }
        break;
      }
      case DISK_TYPE_RBD:
        rc = get_ceph_image_id(unresolved, image.unique_signature);
        break;
      default:
        log_error(kCalculateSig, ": unsupported disk type: " + disk_type_to_str(image.disk_type));
        return false;
    }
    if (rc == 0) return true;
    log_error(kCalculateSig,
              ": can't determine unique signature for the image source: " + kestrova::as_one_line(image.source));
    return false;
  });
}

bool does_image_exist(const oneimage& stored, bool uuid_allowed) {
  return guarded(kExistSig, false, [&]() -> bool {
    if (!check_numeric_id(kExistSig, stored.id)) return false;
    std::string output;
    if (!run_tool(kExistSig, "/usr/bin/oneimage show " + shell_arg(stored.id) + " -x", failure_form::command_then_output,
                  output))
      return false;
    xml_document doc = parse_checked(kExistSig, output, "IMAGE",
                                     parse_texts::via_parse_xml_document(": document of the wrong type, root node != IMAGE",
                                                                         ": failed to parse xml doc"));
    if (!doc) return false;
    std::string source;
    bool has_source = false;
    opennebula_disk_type disk_type = DISK_TYPE_NOT_READ;
    opennebula_image_type image_type = IMAGE_TYPE_OS;
    for (xmlNode* child : child_elements(xmlDocGetRootElement(doc.get()))) {
      if (is_element(child, "SOURCE")) {
        source = node_text(doc.get(), child);
        has_source = true;
      } else if (is_element(child, "DISK_TYPE")) {
        disk_type = static_cast<opennebula_disk_type>(std::stoi(node_text(doc.get(), child)));
      } else if (is_element(child, "TYPE")) {
        image_type = static_cast<opennebula_image_type>(std::stoi(node_text(doc.get(), child)));
      }
    }
    doc.reset();
    if (!has_source) {
      log_error(kExistSig, ": can't get source of image ID: " + kestrova::as_one_line(stored.id));
      return false;
    }
    const TM_MAD_TYPE tm_mad = get_datastore_tm_mad(stored.datastore_id);
    if (tm_mad == TM_MAD_NONE) {
      log_error(kExistSig, ": wrong datastore TM_MAD");
      return false;
    }
    if (disk_type == DISK_TYPE_NOT_READ && disk_type_from_datastore(kExistSig, stored.datastore_id, tm_mad, disk_type) != 0)
      return false;

    KsLogStream(KsLogLvl::Info) << kExistSig
                                << ": determining unique signature for image source: " << kestrova::as_one_line(source)
                                << std::endl;
    std::string current;
    int rc = 1;
    switch (disk_type) {
      case DISK_TYPE_FILE:
      case DISK_TYPE_BLOCK: {
        const std::string printed = source;
        std::string resolved;
        if (read_file_link(source, resolved, "", true) != 0) return false;
        source = resolved;
        if (disk_type == DISK_TYPE_FILE) {
          rc = calc_md5sum(source, current);
        } else if (is_lvm_signed_image_type(image_type)) {
          if (uuid_allowed && stored.unique_signature.size() != 32)
            rc = get_image_uuid(printed, current);
          else
            rc = calc_md5sum_for_block_device(source, current);
        }
        break;
      }
      case DISK_TYPE_RBD:
        if (stored.unique_signature.empty())
          rc = does_image_exist_by_id(stored.id) ? 0 : 1;
        else
          rc = get_ceph_image_id(source, current);
        break;
      default:
        log_error(kExistSig, ": unsupported disk type: " + disk_type_to_str(disk_type));
        return false;
    }
    if (rc != 0) {
      log_error(kExistSig, ": can't determine unique signature for the image source: " + kestrova::as_one_line(source));
      return false;
    }
    if (current == stored.unique_signature) return true;
    log_error(kExistSig, ": unique signature is wrong, Image ID: " + kestrova::as_one_line(stored.id));
    return false;
  });
}

int find_image_by_unique_signature(const std::string& signature, oneimage& image) {
  return guarded(kFindSig, 1, [&]() -> int {
    std::vector<std::string> ids;
    if (get_image_list(ids) != 0) {
      log_error(kFindSig, ": can't get list of image IDs");
      return 1;
    }
    const bool force_md5 = signature.size() == 32;
    for (const std::string& id : ids) {
      oneimage candidate;
      if (get_image_attributes(id, candidate, force_md5) != 0) {
        log_error(kFindSig, ": can't get attributes for image: " + kestrova::as_one_line(id));
        return 1;
      }
      if (candidate.unique_signature != signature) {
        KsLogStream(KsLogLvl::Info) << " skip" << std::endl;
        continue;
      }
      KsLogStream(KsLogLvl::Info) << " correct image was found" << std::endl;
      image = candidate;
      return 0;
    }
    return 1;
  });
}

int calc_md5sum(const std::string& path, std::string& md5) {
  return guarded(kMd5Sig, 1, [&]() -> int {
    kestrova::unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
      log_error(kMd5Sig, ": can't open file: " + kestrova::as_one_line(path));
      return 1;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || info.st_size <= 0) {
      log_error(kMd5Sig, ": got empty md5sum for the file: " + kestrova::as_one_line(path));
      return 1;
    }
    const std::uint64_t size = static_cast<std::uint64_t>(info.st_size);
    constexpr std::size_t kBlock = 4096;
    std::vector<unsigned char> buffer(kBlock);
    cppcrypto::md5 hash;
    hash.init();
    for (std::uint64_t left = size; left > 0;) {
      const std::size_t count = left >= kBlock ? kBlock : static_cast<std::size_t>(left);
      if (!read_exactly(fd.get(), buffer.data(), count)) {
        log_error(kMd5Sig, ": read error. File: " + kestrova::as_one_line(path));
        return 1;
      }
      hash.update(buffer.data(), count);
      left -= count;
    }
    unsigned char digest[16];
    hash.final(digest);
    std::ostringstream text;
    for (unsigned char byte : digest) text << std::hex << std::setw(2) << std::setfill('0') << static_cast<int>(byte);
    md5 = text.str();
    return 0;
  });
}

int calc_md5sum_for_block_device(const std::string& device, std::string& md5) {
  return guarded(kBlockMd5Sig, 1, [&]() -> int {
    std::string output;
    // After "--" md5sum still reads "-" as its input; "./" names the file.
    const std::string operand = device.empty() || device[0] == '/' ? device : "./" + device;
    if (!run_tool(kBlockMd5Sig, "/usr/bin/md5sum -- " + shell_arg_if_needed(operand) + " | /usr/bin/awk '{print $1}'",
                  failure_form::following_error, output))
      return 1;
    std::string digest = without_line_breaks(output);
    if (digest.empty()) {
      log_error(kBlockMd5Sig, ": got empty md5sum for: " + kestrova::as_one_line(device));
      return 1;
    }
    // md5sum marks a line whose file name it had to escape with a leading "\".
    if (digest[0] == '\\') digest.erase(0, 1);
    if (!is_md5_text(digest)) {
      log_error(kBlockMd5Sig,
                ": got wrong md5sum for: " + kestrova::as_one_line(device) + ": " + kestrova::as_one_line(output));
      return 1;
    }
    md5 = digest;
    return 0;
  });
}

int get_image_uuid(const std::string& source, std::string& uuid) {
  return guarded(kUuidSig, 1, [&]() -> int {
    const std::size_t slash = source.rfind('/');
    if (slash == std::string::npos) {
      log_error(kUuidSig, ": got wrong source: " + kestrova::as_one_line(source));
      return 1;
    }
    const std::string name = source.substr(slash + 1);
    const std::size_t parent = slash == 0 ? std::string::npos : source.rfind('/', slash - 1);
    const std::string group = source.substr(parent == std::string::npos ? 0 : parent + 1,
                                            parent == std::string::npos ? slash : slash - parent - 1);

    std::string output;
    if (!run_tool(kUuidSig, "/usr/sbin/lvs --noheadings --separator '|' -o vg_name,lv_name,lv_uuid",
                  failure_form::following_error, output))
      return 1;
    // Only the volume of that name in that group: a volume of the same name
    // in another group is another image's.
    std::string found;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
      std::vector<std::string> fields;
      std::istringstream columns(line);
      for (std::string field; std::getline(columns, field, '|');) fields.push_back(ks_utils_common::trimmed(field));
      if (fields.size() == 3 && fields[0] == group && fields[1] == name) {
        found = fields[2];
        break;
      }
    }
    if (found.empty()) {
      log_error(kUuidSig, ": got empty uuid for: " + kestrova::as_one_line(source));
      return 1;
    }
    uuid = found;
    return 0;
  });
}

int get_ceph_image_id(const std::string& source, std::string& id) {
  return guarded(kCephSig, 1, [&]() -> int {
    const std::size_t slash = source.find('/');
    const std::string name = slash == std::string::npos ? source : source.substr(slash + 1);
    std::string output;
    if (!run_tool(kCephSig, "rbd info " + shell_arg_if_needed("one/" + name) + " --id libvirt --format xml",
                  failure_form::following_error, output))
      return 1;
    xml_document doc = parse_checked(kCephSig, output, "image",
                                     parse_texts::via_parse_xml_document(": document of the wrong type, root node != image: "));
    if (!doc) return 1;
    xmlNode* node = first_child(xmlDocGetRootElement(doc.get()), "id");
    if (!node) {
      std::ostringstream message;
      message << ": unable to get id of CEPH image " << kestrova::as_one_line_quoted(name)
              << " in 'rbd info' command output: " << kestrova::as_one_line(output);
      log_error(kCephSig, message.str());
      return 1;
    }
    id = node_text(doc.get(), node);
    return 0;
  });
}

}  // namespace ks_opennebula_common

#include "rustack/attached_device.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <tuple>
#include <vector>

#include <boost/filesystem.hpp>

#include "rustack/poll.h"
#include "support/log/ks_log.h"
#include "support/utils/ks_utils_common.h"
#include "support/utils/quoting.h"

namespace fs = boost::filesystem;
using kestrova::as_one_line;

namespace rustack_device {

namespace {

// The virtio block driver keeps 20 bytes of the serial. QEMU's SCSI disks
// show 20 of them in their device identification and up to 36 as their
// unit serial number.
std::size_t const kSerialLength = 20;
std::size_t const kLongSerialLength = 36;

struct link_form {
  char const* prefix;
  bool scsi;
};
// In the order of preference when several name the volume.
link_form const kLinkForms[] = {
    {"virtio-", false}, {"scsi-0QEMU_QEMU_HARDDISK_", true}, {"scsi-SQEMU_QEMU_HARDDISK_", true}};

std::string normal(std::string const& path) { return fs::path(path).lexically_normal().string(); }

std::string by_id_directory(std::string const& root) { return root + "/disk/by-id"; }

// The links udev would make for the volume's own serial, preferred first.
std::vector<std::string> own_link_paths(std::string const& root, std::string const& volume_id) {
  std::vector<std::string> paths;
  for (link_form const& form : kLinkForms) {
    std::vector<std::size_t> lengths{kSerialLength};
    if (form.scsi && volume_id.size() > kSerialLength) lengths.push_back(kLongSerialLength);
    for (std::size_t length : lengths)
      paths.push_back(by_id_directory(root) + "/" + form.prefix + volume_id.substr(0, length));
  }
  return paths;
}

// The serial that sysfs shows for a virtio disk; "" for other disks.
std::string sysfs_serial(std::string const& sys, dev_t number) {
  std::ifstream in(sys + "/dev/block/" + std::to_string(major(number)) + ":" + std::to_string(minor(number)) +
                   "/serial");
  if (!in) return std::string();
  // The blanks of isspace, and NUL bytes.
  return ks_utils_common::trimmed(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()),
                                  std::string(" \t\n\v\f\r\0", 7));
}

// What the system says about whose disk the block device `number` is.
struct serial_evidence {
  bool own = false;
  std::string other;  // the text naming another disk's serial; "" when none
};

serial_evidence evidence_for(device_roots const& roots, dev_t number, std::string const& volume_id) {
  serial_evidence evidence;
  std::string const serial = sysfs_serial(roots.sys, number);
  if (!serial.empty()) {
    if (serial == volume_id.substr(0, kSerialLength))
      evidence.own = true;
    else
      evidence.other = "its serial is '" + as_one_line(serial) + "'";
  }
  boost::system::error_code ec;
  fs::directory_iterator it(by_id_directory(roots.dev), ec);
  for (fs::directory_iterator end; !ec && it != end && evidence.other.empty(); it.increment(ec)) {
    bool own = false;
    std::string const name = it->path().filename().string();
    std::string const link_serial = serial_of_link_name(name, volume_id, own);
    if (link_serial.empty()) continue;
    boost::system::error_code target_ec;
    fs::path const target = fs::canonical(it->path(), target_ec);
    struct stat st {};
    if (target_ec || ::lstat(target.c_str(), &st) != 0 || !S_ISBLK(st.st_mode) || st.st_rdev != number) continue;
    if (own)
      evidence.own = true;
    else
      evidence.other =
          "'" + as_one_line(it->path().string()) + "' names it with the serial '" + as_one_line(link_serial) + "'";
  }
  return evidence;
}

// True for a partition or a device-mapper device: what a new disk may bring
// with it (its partitions, volume groups activated on it), never a disk the
// cloud attached.
bool part_of_another_disk(std::string const& sys, dev_t number) {
  std::string const dir = sys + "/dev/block/" + std::to_string(major(number)) + ":" + std::to_string(minor(number));
  boost::system::error_code ec;
  return fs::exists(dir + "/partition", ec) || fs::exists(dir + "/dm", ec);
}

// The name to give a disk known by several nodes: the hint when it is one of
// them, else one directly in /dev, one that is no loop device's node, the
// shortest, the first.
std::string preferred_node(std::vector<std::string> const& nodes, std::string const& dev, std::string const& hint) {
  auto rank = [&](std::string const& path) {
    fs::path const p(path);
    return std::make_tuple(normal(path) != normal(hint), normal(p.parent_path().string()) != normal(dev),
                           p.filename().string().rfind("loop", 0) == 0, path.size(), path);
  };
  return *std::min_element(nodes.begin(), nodes.end(),
                           [&](std::string const& a, std::string const& b) { return rank(a) < rank(b); });
}

// Whether the node at `path` is the one the census `before` found there.
bool was_there(device_census const& before, std::string const& path, device_node const& node) {
  auto const it = before.find(path);
  return it != before.end() && it->second == node;
}

// The disks whose nodes appeared since `before` (grouped by device number:
// one disk may have several new nodes; an old node of the same number, such
// as that of a loop device bound only now, says nothing), without partitions
// and mapped devices, and without those a serial shows to be another
// volume's. Each with the name to use.
std::map<dev_t, std::string> new_disks(device_roots const& roots, std::string const& volume_id,
                                       device_census const& before, std::string const& hint) {
  std::map<dev_t, std::vector<std::string>> nodes;
  for (auto const& entry : block_devices_under(roots.dev)) {
    if (was_there(before, entry.first, entry.second)) continue;
    nodes[entry.second.number].push_back(entry.first);
  }
  std::map<dev_t, std::string> disks;
  for (auto const& entry : nodes) {
    if (part_of_another_disk(roots.sys, entry.first)) continue;
    if (!evidence_for(roots, entry.first, volume_id).other.empty()) continue;
    disks[entry.first] = preferred_node(entry.second, roots.dev, hint);
  }
  return disks;
}

std::string joined_names(std::map<dev_t, std::string> const& disks) {
  std::string out;
  for (auto const& entry : disks) out += (out.empty() ? "'" : ", '") + as_one_line(entry.second) + "'";
  return out;
}

}  // namespace

device_census block_devices_under(std::string const& root) {
  device_census devices;
  boost::system::error_code ec;
  fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec);
  for (fs::recursive_directory_iterator end; !ec && it != end; it.increment(ec)) {
    struct stat st {};
    if (::lstat(it->path().c_str(), &st) == 0 && S_ISBLK(st.st_mode))
      devices[normal(it->path().string())] = device_node{st.st_rdev, st.st_ino};
  }
  return devices;
}

std::string serial_link_path(std::string const& root, std::string const& volume_id) {
  return by_id_directory(root) + "/virtio-" + volume_id.substr(0, kSerialLength);
}

std::string serial_of_link_name(std::string const& name, std::string const& volume_id, bool& own) {
  own = false;
  for (link_form const& form : kLinkForms) {
    std::string const prefix = form.prefix;
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    std::string const serial = name.substr(prefix.size());
    own = !serial.empty() && (serial == volume_id.substr(0, kSerialLength) ||
                              (form.scsi && serial == volume_id.substr(0, kLongSerialLength)));
    return serial;
  }
  return std::string();
}

probe_result probe_attached_device(device_roots const& roots, std::string const& hint, std::string const& volume_id,
                                   device_census const& before, std::string const& server_name) {
  probe_result result;
  boost::system::error_code ec;

  // The serial is the volume's own: when one of its links is there it decides.
  for (std::string const& link : own_link_paths(roots.dev, volume_id)) {
    fs::file_status const link_status = fs::symlink_status(link, ec);
    if (ec || !fs::exists(link_status)) continue;
    fs::path const target = fs::canonical(link, ec);
    if (ec) return result;  // dangling for now: the node is still being made
    struct stat device {};
    if (::lstat(target.c_str(), &device) == 0 && S_ISBLK(device.st_mode)) {
      // The hint names the same device: keep the cloud's name for it.
      struct stat named {};
      bool const same = !hint.empty() && ::lstat(hint.c_str(), &named) == 0 && S_ISBLK(named.st_mode) &&
                        named.st_rdev == device.st_rdev;
      result.state = probe_result::found;
      result.device = same ? hint : target.string();
      result.by_serial = true;
      return result;
    }
    result.state = probe_result::refused;
    result.reason = ": the serial link '" + as_one_line(link) + "' of volume '" + volume_id + "' leads to '" +
                    as_one_line(target.string()) + "', which is not a block device";
    return result;
  }

  // No serial link: what appeared since the attach request was sent decides.
  // Other module processes attach nothing to this machine meanwhile (the
  // caller holds the attach lock), so the one new disk is the volume's.
  std::map<dev_t, std::string> const disks = new_disks(roots, volume_id, before, hint);
  auto const take_the_new_disk = [&](probe_result& r) {
    if (disks.size() != 1) return false;
    r = probe_result();
    r.state = probe_result::found;
    r.device = disks.begin()->second;
    return true;
  };
  auto const several = [&](probe_result& r) {
    r.state = probe_result::unusable;
    r.reason = ": " + std::to_string(disks.size()) + " new block devices appeared on server '" +
               as_one_line(server_name) + "' (" + joined_names(disks) +
               ") and nothing tells which of them is volume '" + volume_id + "'";
  };

  struct stat st {};
  if (hint.empty() || ::lstat(hint.c_str(), &st) != 0) {
    // Nothing at the hint (yet): the one new disk, wherever it appeared.
    if (!take_the_new_disk(result) && disks.size() > 1) several(result);
    return result;
  }
  if (!fs::path(hint).is_absolute()) {
    result.state = probe_result::unusable;
    result.reason =
        ": the device '" + as_one_line(hint) + "' reported for volume '" + volume_id + "' is not an absolute path";
  } else if (!S_ISBLK(st.st_mode)) {
    result.state = probe_result::unusable;
    result.reason = ": volume was attached to server: '" + as_one_line(server_name) + "' as device '" +
                    as_one_line(hint) + "' but it is not a block device";
  } else if (was_there(before, normal(hint), device_node{st.st_rdev, st.st_ino})) {
    result.state = probe_result::unusable;
    result.reason = ": the device '" + as_one_line(hint) + "' reported for volume '" + volume_id +
                    "' was already present on server '" + as_one_line(server_name) + "' before the attach";
  } else {
    // New, but perhaps another volume's that was attached at the same time.
    serial_evidence const evidence = evidence_for(roots, st.st_rdev, volume_id);
    bool const the_new_disk = disks.size() == 1 && disks.begin()->first == st.st_rdev;
    if (!evidence.other.empty()) {
      result.state = probe_result::unusable;
      result.reason = ": the device '" + as_one_line(hint) + "' reported for volume '" + volume_id + "' on server '" +
                      as_one_line(server_name) + "' belongs to another disk: " + evidence.other;
    } else if (evidence.own || the_new_disk) {
      result.state = probe_result::found;
      result.device = hint;
      result.by_serial = evidence.own;
      return result;
    } else if (disks.size() > 1) {
      several(result);
      return result;
    } else {
      result.state = probe_result::unusable;
      result.reason = ": the device '" + as_one_line(hint) + "' reported for volume '" + volume_id + "' on server '" +
                      as_one_line(server_name) + "' is no disk of its own";
    }
  }
  // The hint cannot be the volume's; the one new disk still can.
  take_the_new_disk(result);
  return result;
}

int wait_for_attached_device(device_roots const& roots, std::string const& hint, std::string const& volume_id,
                             device_census const& before, std::string const& server_name,
                             char const* signature, std::string const& timeout_message, std::string& device,
                             wait_bounds bounds) {
  std::size_t looks = 0;
  std::size_t unusable_looks = 0;
  bool seen_unproven = false;  // the last look found the hint with no serial to show
  probe_result last;
  rustack_poll::ending const end = rustack_poll::poll(bounds.checks, rustack_poll::order::ask_then_sleep, [&] {
    last = probe_attached_device(roots, hint, volume_id, before, server_name);
    ++looks;
    if (last.state == probe_result::found) {
      // A device that only its being new speaks for gets one more look, by
      // which udev has named a disk that is another volume's.
      bool const last_check = looks == bounds.checks;
      if (last.by_serial || seen_unproven || last_check) return rustack_poll::answer::awaited;
    }
    seen_unproven = last.state == probe_result::found;
    if (last.state == probe_result::refused) return rustack_poll::answer::failed;
    if (last.state == probe_result::unusable && ++unusable_looks > bounds.grace_checks)
      return rustack_poll::answer::failed;
    return rustack_poll::answer::pending;
  });
  if (end == rustack_poll::ending::awaited) {
    if (!hint.empty() && normal(hint) != normal(last.device))
      KsLogStream(KsLogLvl::Info) << "The cloud reported device '" << as_one_line(hint) << "' for volume '"
                                  << as_one_line(volume_id)
                                  << (last.by_serial ? "', its serial names '" : "', the one new disk is '")
                                  << as_one_line(last.device) << "'" << std::endl;
    device = last.device;
    return 0;
  }
  if (last.state == probe_result::refused) {
    KsLogStream(KsLogLvl::Error) << signature << last.reason << std::endl;
    return 2;
  }
  if (last.state == probe_result::unusable) {
    KsLogStream(KsLogLvl::Error) << signature << last.reason << std::endl;
    KsLogStream(KsLogLvl::Error) << signature << ": no device with the serial of volume '" << as_one_line(volume_id)
                                 << "' (" << as_one_line(serial_link_path(roots.dev, volume_id))
                                 << ") appeared on server '" << as_one_line(server_name)
                                 << "', so its device cannot be told" << std::endl;
    return 2;
  }
  KsLogStream(KsLogLvl::Error) << signature << timeout_message << std::endl;
  return 2;
}

}  // namespace rustack_device

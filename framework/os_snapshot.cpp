// Block devices and operating-system snapshots: the device that holds a path,
// its properties as lsblk reports them, and a point-in-time snapshot of it
// (LVM or dattobd, through the snapshot makers) with an optional read-only
// mount and the before, after and error scripts.
#include <cmath>
#include <fstream>
#include <string>

#include <boost/filesystem.hpp>
#include <boost/json.hpp>

#include "framework/json_reply.h"
#include "framework/ks_module_universal.h"
#include "support/log/ks_log.h"
#include "support/utils/ks_utils_common.h"
#include "support/utils/quoting.h"

namespace fs = boost::filesystem;

namespace {

using kestrova::shell_quoted;
using kestrova::shell_quoted_if_needed;

char const scripts_directory[] = "/opt/kestrova/scripts";

char const get_mountpoint_signature[] = "std::__cxx11::string KsModuleUniversal::get_mountpoint(const string&) const";
char const get_block_device_signature[] =
    "std::__cxx11::string KsModuleUniversal::get_block_device(const string&, bool) const";
char const block_device_info_signature[] =
    "bool KsModuleUniversal::get_block_device_info(const string&, KsModuleUniversal::block_device_info&) const";
char const create_signature[] =
    "bool KsModuleUniversal::create_OS_snapshot(std::__cxx11::string&, bool, std::__cxx11::string&, "
    "std::__cxx11::string&)";
char const create_multiple_signature[] =
    "bool KsModuleUniversal::create_OS_snapshot_multiple(const string&, std::__cxx11::string&, bool, "
    "std::__cxx11::string&, std::__cxx11::string&)";
char const mount_signature[] =
    "bool KsModuleUniversal::mount_OS_snapshot(const string&, std::__cxx11::string&, const string&) const";
char const mount_multiple_signature[] =
    "bool KsModuleUniversal::mount_OS_snapshot_multiple(const string&, std::__cxx11::string&, const string&) const";
char const umount_signature[] = "bool KsModuleUniversal::umount_OS_snapshot() const";
char const umount_multiple_signature[] = "bool KsModuleUniversal::umount_OS_snapshot_multiple(const string&) const";

std::string without_line_feeds(std::string text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text)
    if (c != '\n') out += c;
  return out;
}

// Error signature + ": command: " + command, then the output on its own.
void log_command_failure(char const* signature, std::string const& command, std::string const& output) {
  KsLogStream(KsLogLvl::Error) << signature << ": command: " << kestrova::as_one_line(command) << std::endl;
  KsLogStream(KsLogLvl::Error) << kestrova::as_one_line(output) << std::endl;
}

// A mount point as /proc/mounts writes it: the kernel escapes blank, tab,
// line feed and backslash as three octal digits.
std::string mounts_escaped(std::string const& path) {
  std::string out;
  for (char c : path) {
    switch (c) {
      case ' ': out += "\\040"; break;
      case '\t': out += "\\011"; break;
      case '\n': out += "\\012"; break;
      case '\\': out += "\\134"; break;
      default: out += c;
    }
  }
  return out;
}

bool is_octal(char c) { return c >= '0' && c <= '7'; }

std::string mounts_unescaped(std::string const& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && is_octal(field[i + 1]) && is_octal(field[i + 2]) &&
        is_octal(field[i + 3])) {
      out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
      i += 3;
      continue;
    }
    out += field[i];
  }
  return out;
}

enum class MountTable { unreadable, absent, found };

// The device /proc/mounts lists as mounted on the mount point. A later
// mount on the same directory hides the earlier ones: the last line is the
// file system that is seen there.
MountTable mounted_device(std::string const& mountpoint, std::string& device) {
  std::ifstream mounts("/proc/mounts");
  if (!mounts) return MountTable::unreadable;
  std::string const key = mounts_escaped(mountpoint);
  MountTable result = MountTable::absent;
  for (std::string line; std::getline(mounts, line);) {
    size_t const first_blank = line.find(' ');
    if (first_blank == std::string::npos) continue;
    size_t const second_blank = line.find(' ', first_blank + 1);
    std::string const listed = line.substr(first_blank + 1, second_blank == std::string::npos
                                                                ? std::string::npos
                                                                : second_blank - first_blank - 1);
    if (listed != key) continue;
    device = mounts_unescaped(line.substr(0, first_blank));
    result = MountTable::found;
  }
  return result;
}

// Reads the reply of one lsblk run down to the first entry of
// "blockdevices". `first` stays null when the reply has no such member.
bool read_lsblk(std::string const& command, boost::json::value& reply, boost::json::object const*& first) {
  first = nullptr;
  std::string output;
  if (ks_utils_common::execute_command(command, output) != 0) {
    log_command_failure(block_device_info_signature, command, output);
    return false;
  }
  if (!kestrova::json_reply::parse(output, block_device_info_signature, reply)) return false;
  if (!kestrova::json_reply::is_filled_object(reply, block_device_info_signature)) return false;
  auto const& top = reply.get_object();
  auto it = top.find("blockdevices");
  if (it == top.end()) return true;
  if (!it->value().is_array()) {
    KsLogStream(KsLogLvl::Error) << block_device_info_signature << ": json value is not an array" << std::endl;
    return false;
  }
  auto const& devices = it->value().get_array();
  if (devices.empty()) {
    KsLogStream(KsLogLvl::Error) << block_device_info_signature << ": array is empty" << std::endl;
    return false;
  }
  if (!kestrova::json_reply::is_filled_object(devices.front(), block_device_info_signature)) return false;
  first = &devices.front().get_object();
  return true;
}

// A string member; a JSON null (lsblk's "no such property") leaves it empty.
std::string property(boost::json::value const& value) {
  return value.is_null() ? std::string() : kestrova::json_reply::text_of(value);
}

// The mount directory of the single form, and the default one of the list
// form. Empty when either part is missing: the directory would otherwise be
// the temporary operation directory itself, which the unmount removes.
std::string task_mount_directory(KsModuleOptions const& options) {
  if (options.tmp_operation_directory.empty() || options.task_id.empty()) return std::string();
  return options.tmp_operation_directory + "/" + options.task_id;
}

std::string snapshot_mount_options(KsModuleUniversal::block_device_info const& info) {
  std::string options = "-o ro,norecovery";
  if (info.fstype == "xfs") options += ",nouuid";  // the snapshot has the origin's uuid
  return options;
}

// What a snapshot of one device is made from.
struct SnapshotTarget {
  std::string mountpoint;
  std::string device;
  KsModuleUniversal::block_device_info info;
  unsigned long size = 0;
};

// The device given, or else the one that holds `path`, with its properties
// and the snapshot size. False (logged) when any of them is missing.
bool find_snapshot_target(KsModuleUniversal const& module, std::string const& path, std::string const& device,
                          std::string const& mountpoint, char const* signature, SnapshotTarget& target) {
  target.mountpoint = device.empty() ? module.get_mountpoint(path) : mountpoint;
  target.device = device.empty() ? module.get_block_device(target.mountpoint, true) : device;
  KsLogStream(KsLogLvl::Info) << "Resource mountpoint: " << kestrova::as_one_line(target.mountpoint) << std::endl;
  KsLogStream(KsLogLvl::Info) << "Resource is located at the block device: " << kestrova::as_one_line(target.device)
                              << std::endl;

  if (target.device.empty() || !module.get_block_device_info(target.device, target.info)) {
    KsLogStream(KsLogLvl::Error) << "Can't get block device info: " << kestrova::as_one_line(target.device)
                                 << std::endl;
    return false;
  }
  target.size = module.calculate_OS_snapshot_size(target.info.size);
  KsLogStream(KsLogLvl::Info) << "Block device " << kestrova::as_one_line(target.device)
                              << ", name: " << kestrova::as_one_line(target.info.name) << ", size: " << target.info.size
                              << " bytes" << std::endl;
  KsLogStream(KsLogLvl::Info) << "Expected OS snapshot size: " << target.size << " bytes" << std::endl;
  KsLogStream(KsLogLvl::Info) << "Try to use snapshot to make a backup: " << module.get_OS_snapshot_type()
                              << std::endl;
  if (target.size == 0) {
    KsLogStream(KsLogLvl::Error) << signature << ": unable to create a snapshot with a size of zero" << std::endl;
    return false;
  }
  return true;
}

// Runs a configured snapshot script; none configured is a success.
bool run_snapshot_script(KsModuleUniversal& module, std::string const& script, char const* argument,
                         char const* when) {
  if (script.empty()) return true;
  KsLogStream(KsLogLvl::Info) << "Run script '" << script << "' " << when << std::endl;
  return module.run_script(script, argument);
}

}  // namespace

// ---- scripts ---------------------------------------------------------------------

bool KsModuleUniversal::run_script(std::string const& script, std::string const& argument) {
  fs::path path(script);
  if (path.parent_path().string() != scripts_directory) {
    KsLogStream(KsLogLvl::Warning) << "Change script path to: " << scripts_directory << std::endl;
    path = fs::path(scripts_directory) / path.filename();
  }
  if (!fs::exists(path)) {
    KsLogStream(KsLogLvl::Error) << "Script doesn't exist: " << path << std::endl;
    return false;
  }
  if (!fs::is_regular_file(path)) {
    KsLogStream(KsLogLvl::Error) << path << " is not a regular file" << std::endl;
    return false;
  }
  KsLogStream(KsLogLvl::Info) << "Run script. Script name: " << path.string() << " " << argument << std::endl;
  std::string output;
  int const status = ks_utils_common::execute_command(
      shell_quoted_if_needed(path.string()) + " " + shell_quoted_if_needed(argument), output);
  KsLogStream(KsLogLvl::Info) << kestrova::as_one_line(output) << std::endl;
  KsLogStream(KsLogLvl::Info) << "Script returned code: " << status << std::endl;
  if (status != 0) {
    KsLogStream(KsLogLvl::Warning) << "Script returns code is not NULL" << std::endl;
    return false;
  }
  return true;
}

// ---- block devices -----------------------------------------------------------------

std::string KsModuleUniversal::get_mountpoint(std::string const& path) const {
  std::string const command = "stat -c %m -- " + shell_quoted(path);
  std::string output;
  if (ks_utils_common::execute_command(command, output) != 0) {
    log_command_failure(get_mountpoint_signature, command, output);
    return std::string();
  }
  return without_line_feeds(output);
}

std::string KsModuleUniversal::get_block_device(std::string const& mountpoint, bool resolve) const {
  std::string device;
  switch (mounted_device(mountpoint, device)) {
    case MountTable::unreadable:
      KsLogStream(KsLogLvl::Error) << get_block_device_signature << ": can't open /proc/mounts" << std::endl;
      return std::string();
    case MountTable::absent:
      KsLogStream(KsLogLvl::Error) << "Mount point " << mountpoint << " not found in '/proc/mounts'" << std::endl;
      return std::string();
    case MountTable::found:
      break;
  }
  if (!resolve) return device;
  std::string const command = "realpath " + shell_quoted(device);
  std::string output;
  if (ks_utils_common::execute_command(command, output) != 0) {
    log_command_failure(get_block_device_signature, command, output);
    return std::string();
  }
  return without_line_feeds(output);
}

bool KsModuleUniversal::get_block_device_info(std::string const& device, block_device_info& info) const {
  char const* const sig = block_device_info_signature;
  boost::json::value reply;
  boost::json::object const* first = nullptr;

  if (!read_lsblk("lsblk -bJ " + shell_quoted(device), reply, first)) return false;
  if (first) {
    for (auto const& member : *first) {
      std::string const text = kestrova::json_reply::text_of(member.value());
      if (member.key() == "name") {
        info.name = property(member.value());
      } else if (member.key() == "type") {
        info.type = property(member.value());
      } else if (member.key() == "size") {
        std::uint64_t size = 0;
        if (!kestrova::json_reply::to_uint64(text, size)) {
          KsLogStream(KsLogLvl::Error) << sig << ": can't convert " << kestrova::as_one_line(text) << " to uintmax_t"
                                       << std::endl;
          return false;
        }
        info.size = size;
      } else if (member.key() == "ro") {
        info.ro = text == "true" || text == "1";  // older lsblk writes "0" and "1"
      }
    }
  }

  if (!read_lsblk("lsblk -bfJ " + shell_quoted(device), reply, first)) return false;
  if (first) {
    for (auto const& member : *first) {
      if (member.key() == "fstype") {
        info.fstype = property(member.value());
      } else if (member.key() == "fsver") {
        info.fsver = property(member.value());
      } else if (member.key() == "label") {
        info.label = property(member.value());
      } else if (member.key() == "uuid") {
        info.uuid = property(member.value());
      } else if (member.key() == "fsavail") {
        std::string const text = kestrova::json_reply::text_of(member.value());
        std::uint64_t avail = 0;
        if (kestrova::json_reply::to_uint64(text, avail))
          info.fsavail = avail;
        else
          KsLogStream(KsLogLvl::Error) << sig << ": can't convert " << kestrova::as_one_line(text) << " to uintmax_t"
                                       << std::endl;
      } else if (member.key() == "mountpoints" && member.value().is_array()) {
        // null stands for "not mounted", not for a directory.
        for (auto const& m : member.value().get_array())
          if (!m.is_null()) info.mountpoints.push_back(kestrova::json_reply::text_of(m));
      }
    }
  }
  return true;
}

unsigned long KsModuleUniversal::calculate_OS_snapshot_size(unsigned long device_size) const {
  double const bytes = std::round(static_cast<double>(snapshot_size) * static_cast<double>(device_size) / 100.0);
  return 512ul * static_cast<unsigned long>(std::round(bytes / 512.0));
}

// ---- the single form ---------------------------------------------------------------------

bool KsModuleUniversal::create_OS_snapshot(std::string& device, bool mount, std::string& mount_directory,
                                           std::string& mountpoint) {
  if (!use_snapshot) {
    KsLogStream(KsLogLvl::Info) << "Snapshots are not used " << std::endl;
    return false;
  }
  // Set for the attempt; a success gives back the earlier value, so a
  // defect of an earlier step or snapshot is never hidden.
  bool const earlier_defect = defect;
  defect = true;

  SnapshotTarget target;
  if (!find_snapshot_target(*this, options_.resource, device, mountpoint, create_signature, target)) return false;

  os_snapshot = SnapshotFactory().createSnapshot(target.info.type, snapshot_type);
  os_snapshot_device.clear();
  if (!os_snapshot || !os_snapshot->check(target.device)) {
    os_snapshot.reset();
    return false;
  }
  if (!run_snapshot_script(*this, before_snapshot_script, "before", "before snapshot creation")) {
    // Nothing was made, so nothing is left for remove_OS_snapshot().
    os_snapshot.reset();
    return false;
  }
  if (!os_snapshot->create(target.device, target.info.name, target.mountpoint, options_.task_id, target.size,
                           device)) {
    os_snapshot.reset();
    run_snapshot_script(*this, error_snapshot_script, "error", "after snapshot creation failed");
    return false;
  }
  // From here on the snapshot exists: remove_OS_snapshot() takes it away,
  // whatever fails next.
  os_snapshot_device = target.device;
  if (mount && !mount_OS_snapshot(device, mount_directory, snapshot_mount_options(target.info))) return false;
  if (!run_snapshot_script(*this, after_snapshot_script, "after", "after snapshot creation")) return false;
  mountpoint = target.mountpoint;
  defect = earlier_defect;
  return true;
}

bool KsModuleUniversal::mount_OS_snapshot(std::string const& device, std::string& mount_directory,
                                          std::string const& options) const {
  std::string const directory = task_mount_directory(options_);
  if (directory.empty()) {
    KsLogStream(KsLogLvl::Error) << mount_signature
                                 << ": no mount directory: the temporary operation directory or the task id is empty"
                                 << std::endl;
    return false;
  }
  mount_directory = directory;
  fs::create_directories(directory);
  std::string const command =
      "mount " + options + " " + shell_quoted_if_needed(device) + " " + shell_quoted_if_needed(directory);
  std::string output;
  if (ks_utils_common::execute_command(command, output) != 0) {
    log_command_failure(mount_signature, command, output);
    return false;
  }
  KsLogStream(KsLogLvl::Info) << "Mount: " << directory << ", block device: " << kestrova::as_one_line(device)
                              << std::endl;
  return true;
}

namespace {

// Unmounts what is mounted on the directory and removes the directory. The
// directory is unmounted, not the device: a device mounted elsewhere too
// loses its latest mount to "umount <device>", which need not be this one.
// Only an empty directory that is no mount point any more is removed, so
// nothing of a mounted file system is ever deleted.
bool umount_directory(KsModuleUniversal const& module, std::string const& directory, char const* signature) {
  try {
    if (directory.empty() || !fs::exists(directory)) return true;
    // /proc/mounts lists the directory as the kernel resolved it.
    std::string const listed = fs::canonical(directory).string();
    std::string const device = module.get_block_device(listed, false);
    if (device.empty()) return true;
    std::string const command = "umount -lf " + shell_quoted_if_needed(listed);
    std::string output;
    if (ks_utils_common::execute_command(command, output) != 0) {
      KsLogStream(KsLogLvl::Error) << signature << ": command: " << kestrova::as_one_line(command)
                                   << "; result: " << kestrova::as_one_line(output) << std::endl;
      return false;
    }
    std::string uncovered;
    switch (mounted_device(listed, uncovered)) {
      case MountTable::unreadable:
        KsLogStream(KsLogLvl::Error) << signature << ": can't open /proc/mounts; left in place: " << directory
                                     << std::endl;
        return false;
      case MountTable::found:
        KsLogStream(KsLogLvl::Error) << signature << ": " << kestrova::as_one_line(uncovered) << " is still mounted on "
                                     << directory << " after the unmount; left in place" << std::endl;
        return false;
      case MountTable::absent:
        break;
    }
    if (!fs::is_empty(directory)) {
      KsLogStream(KsLogLvl::Error) << signature << ": " << directory
                                   << " is not empty after the unmount; left in place" << std::endl;
      return false;
    }
    fs::remove(directory);  // rmdir: it refuses a mount point that appeared meanwhile
    KsLogStream(KsLogLvl::Info) << "Unmount successful: " << directory
                                << ", block device: " << kestrova::as_one_line(device)
                                << "; remove obsoleted: " << directory << std::endl;
    return true;
  } catch (fs::filesystem_error const& e) {
    KsLogStream(KsLogLvl::Error) << signature << ": " << kestrova::as_one_line(e.what()) << std::endl;
    return false;
  }
}

}  // namespace

bool KsModuleUniversal::umount_OS_snapshot() const {
  return umount_directory(*this, task_mount_directory(options_), umount_signature);
}

bool KsModuleUniversal::remove_OS_snapshot() {
  if (!use_snapshot) return true;
  // The snapshot goes even when its mount stays, but a mount left behind
  // is a failure of the removal.
  bool const unmounted = umount_OS_snapshot();
  if (!os_snapshot) return unmounted;
  // The device that was snapshotted, not the one that holds the resource
  // now: the snapshot may have been made of a device given by the caller,
  // and the resource's mount may have changed since.
  if (!os_snapshot->remove(os_snapshot_device)) return false;
  os_snapshot.reset();
  os_snapshot_device.clear();
  return unmounted;
}

// ---- the list form -------------------------------------------------------------------------

bool KsModuleUniversal::create_OS_snapshot_multiple(std::string const& path, std::string& device, bool mount,
                                                    std::string& mount_directory, std::string& mountpoint) {
  if (!use_snapshot) {
    KsLogStream(KsLogLvl::Info) << "Snapshots are not used " << std::endl;
    return false;
  }
  bool const earlier_defect = defect;
  defect = true;

  SnapshotTarget target;
  if (!find_snapshot_target(*this, path, device, mountpoint, create_multiple_signature, target)) return false;

  std::unique_ptr<Snapshot> maker = SnapshotFactory().createSnapshot(target.info.type, snapshot_type);
  if (!maker || !maker->check(target.device)) return false;
  if (!run_snapshot_script(*this, before_snapshot_script, "before", "before snapshot creation")) return false;
  if (!maker->create(target.device, target.info.name, target.mountpoint, options_.task_id, target.size, device)) {
    run_snapshot_script(*this, error_snapshot_script, "error", "after snapshot creation failed");
    return false;
  }
  // Listed as soon as it exists, before anything that can fail or throw:
  // remove_all_OS_snapshots() is the only way back. Its mount directory
  // only once this call has mounted it there.
  os_snapshots.push_back(OsSnapshot{std::move(maker), std::string(), target.device});
  if (mount) {
    if (!mount_OS_snapshot_multiple(device, mount_directory, snapshot_mount_options(target.info))) return false;
    os_snapshots.back().mount_directory = mount_directory;
  }
  if (!run_snapshot_script(*this, after_snapshot_script, "after", "after snapshot creation")) return false;
  mountpoint = target.mountpoint;
  defect = earlier_defect;
  return true;
}

bool KsModuleUniversal::mount_OS_snapshot_multiple(std::string const& device, std::string& mount_directory,
                                                   std::string const& options) const {
  if (mount_directory.empty()) mount_directory = task_mount_directory(options_);
  if (mount_directory.empty()) {
    KsLogStream(KsLogLvl::Error) << mount_multiple_signature
                                 << ": no mount directory: the temporary operation directory or the task id is empty"
                                 << std::endl;
    return false;
  }
  // A directory that exists already may be in use by someone else, whose
  // mount the unmount would then take away.
  if (!fs::create_directories(mount_directory)) {
    KsLogStream(KsLogLvl::Error) << mount_multiple_signature << ": Create directory failed: " << mount_directory
                                 << std::endl;
    return false;
  }
  std::string const command =
      "mount " + options + " " + shell_quoted_if_needed(device) + " " + shell_quoted_if_needed(mount_directory);
  std::string output;
  if (ks_utils_common::execute_command(command, output) != 0) {
    KsLogStream(KsLogLvl::Error) << mount_multiple_signature << ": command: " << kestrova::as_one_line(command)
                                 << "; result: " << kestrova::as_one_line(output) << std::endl;
    return false;
  }
  KsLogStream(KsLogLvl::Info) << "Mount: " << mount_directory << ", block device: " << kestrova::as_one_line(device)
                              << std::endl;
  return true;
}

bool KsModuleUniversal::umount_OS_snapshot_multiple(std::string const& mount_directory) const {
  return umount_directory(*this, mount_directory, umount_multiple_signature);
}

bool KsModuleUniversal::remove_all_OS_snapshots() {
  bool result = !os_snapshot || remove_OS_snapshot();
  if (!use_snapshot) return result;
  for (auto it = os_snapshots.begin(); it != os_snapshots.end();) {
    bool const unmounted = umount_OS_snapshot_multiple(it->mount_directory);
    bool const removed = it->snapshot->remove(it->block_device);
    if (unmounted && removed) {
      // Gone from the system, so gone from the list: a second call must not
      // try it again.
      it = os_snapshots.erase(it);
    } else {
      result = false;
      ++it;
    }
  }
  return result;
}

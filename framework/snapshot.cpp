#include "framework/snapshot.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <boost/json.hpp>

#include "framework/json_reply.h"
#include "support/log/ks_log.h"
#include "support/utils/ks_utils_common.h"
#include "support/utils/quoting.h"
#include "support/utils/unique_fd.h"

namespace {

using kestrova::shell_quoted;
using kestrova::shell_quoted_if_needed;

char const lvm_create_signature[] =
    "virtual bool SnapshotLVM::create(const string&, const string&, const string&, const string&, uintmax_t, "
    "std::__cxx11::string&)";
char const dattobd_create_signature[] =
    "virtual bool SnapshotDattobd::create(const string&, const string&, const string&, const string&, uintmax_t, "
    "std::__cxx11::string&)";
char const dattobd_remove_signature[] = "virtual bool SnapshotDattobd::remove(const string&)";
char const dattobd_exists_signature[] =
    "bool SnapshotDattobd::is_dattobd_snapshot_exists(const string&, bool&, std::__cxx11::string&) const";
char const dattobd_free_minor_signature[] = "bool SnapshotDattobd::get_dattobd_free_minor(std::__cxx11::string&)";

char const datto_info_command[] = "cat /proc/datto-info";

// Error signature + ": command: " + command, then the output on its own.
void log_command_failure(char const* signature, std::string const& command, std::string const& output) {
  KsLogStream(KsLogLvl::Error) << signature << ": command: " << kestrova::as_one_line(command) << std::endl;
  KsLogStream(KsLogLvl::Error) << kestrova::as_one_line(output) << std::endl;
}

// Reads /proc/datto-info and hands back its "devices" array, checked to hold
// only non-empty objects. `found` is false when the state has no "devices"
// member (which is not an error by itself).
bool read_datto_devices(char const* signature, boost::json::value& state, boost::json::array const*& devices,
                        bool& found) {
  devices = nullptr;
  found = false;
  std::string output;
  if (ks_utils_common::execute_command(datto_info_command, output) != 0) {
    log_command_failure(signature, datto_info_command, output);
    return false;
  }
  if (!kestrova::json_reply::parse(output, signature, state)) return false;
  if (!kestrova::json_reply::is_filled_object(state, signature)) return false;
  for (auto const& member : state.get_object()) {
    if (member.key() != "devices") continue;
    if (!member.value().is_array()) {
      KsLogStream(KsLogLvl::Error) << signature << ": json value is not an array" << std::endl;
      return false;
    }
    devices = &member.value().get_array();
    found = true;
    break;
  }
  if (!devices) return true;
  for (auto const& element : *devices)
    if (!kestrova::json_reply::is_filled_object(element, signature)) return false;
  return true;
}

std::string member_text(boost::json::object const& object, char const* key) {
  auto it = object.find(key);
  return it == object.end() ? std::string() : kestrova::json_reply::text_of(it->value());
}

}  // namespace

// ---- LVM -------------------------------------------------------------------------

bool SnapshotLVM::check(std::string const&) { return true; }

bool SnapshotLVM::create(std::string const& device, std::string const& name, std::string const&,
                         std::string const& task_id, uintmax_t size, std::string& snapshot_path_out) {
  std::string const source = "/dev/mapper/" + name;
  // Set before lvcreate runs, so that remove() can clean up after a
  // half-made snapshot too.
  snapshot_path = source + "--ks--snap--" + task_id;
  std::string const command = "/sbin/lvcreate --size=" + std::to_string(size) + "B --snapshot --name " +
                              shell_quoted(snapshot_path) + " " + shell_quoted_if_needed(source);
  std::string output;
  if (ks_utils_common::execute_command(command, output) != 0) {
    KsLogStream(KsLogLvl::Error) << lvm_create_signature << ": Unable create LVM snapshot for " << source
                                 << std::endl;
    KsLogStream(KsLogLvl::Error) << "Command: " << kestrova::as_one_line(command) << std::endl;
    KsLogStream(KsLogLvl::Error) << kestrova::as_one_line(output) << std::endl;
    KsLogStream(KsLogLvl::Warning) << "LVM snapshot wasn't created" << std::endl;
    return false;
  }
  KsLogStream(KsLogLvl::Info) << "The snapshot was created: " << snapshot_path << std::endl;
  snapshot_path_out = snapshot_path;

  // An LVM snapshot that overflowed or could not be activated cannot be
  // read; better to find out now than halfway through the backup. The
  // descriptor is closed before lvremove may need the device.
  int read_error = 0;
  {
    kestrova::unique_fd fd(::open(snapshot_path.c_str(), O_RDONLY | O_CLOEXEC));
    char block[512];
    if (!fd.valid())
      read_error = errno;
    else if (::read(fd.get(), block, sizeof block) < 0)
      read_error = errno;
  }
  if (read_error != 0) {
    KsLogStream(KsLogLvl::Error) << lvm_create_signature << ": Unable to read LVM snapshot: " << snapshot_path
                                 << ". Error: " << std::strerror(read_error) << std::endl;
    if (remove(device)) KsLogStream(KsLogLvl::Warning) << "LVM snapshot has been deleted" << std::endl;
    return false;
  }
  return true;
}

bool SnapshotLVM::remove(std::string const&) {
  if (snapshot_path.empty()) {
    KsLogStream(KsLogLvl::Error) << "SnapshotLVM: LVM snapshot path is empty, unable to remove LVM snapshot"
                                 << std::endl;
    return false;
  }
  std::string const command = "/sbin/lvremove -y " + shell_quoted_if_needed(snapshot_path);
  std::string output;
  if (ks_utils_common::execute_command(command, output) != 0) {
    KsLogStream(KsLogLvl::Error) << "SnapshotLVM: command: " << kestrova::as_one_line(command) << std::endl;
    KsLogStream(KsLogLvl::Error) << kestrova::as_one_line(output) << std::endl;
    return false;
  }
  KsLogStream(KsLogLvl::Info) << "LVM snapshot was removed: " << snapshot_path << std::endl;
  return true;
}

// ---- dattobd ---------------------------------------------------------------------

bool SnapshotDattobd::is_dattobd_ready() const {
  std::string output;
  return ks_utils_common::execute_command("/sbin/lsmod | grep ^dattobd", output) == 0;
}

bool SnapshotDattobd::check(std::string const& device) {
  if (!is_dattobd_ready()) {
    KsLogStream(KsLogLvl::Warning) << "Dattobd is not ready or not installed" << std::endl;
    return false;
  }
  bool exists = false;
  std::string existing_minor;
  if (!is_dattobd_snapshot_exists(device, exists, existing_minor)) {
    KsLogStream(KsLogLvl::Error)
        << "SnapshotDattobd::check: can't check weather dattobd snapshot exists for the device: " << device
        << std::endl;
    return false;
  }
  if (exists) {
    KsLogStream(KsLogLvl::Warning) << "Can't create dattobd snapshot of the device " << device
                                   << ". The snapshot exists: /dev/datto" << existing_minor << std::endl;
    KsLogStream(KsLogLvl::Warning)
        << "You can remove it by hand if you are sure it is obsoleted. Command to destroy the snapshot: "
        << "dbdctl destroy " << existing_minor << std::endl;
    return false;
  }
  if (get_dattobd_free_minor(minor)) {
    KsLogStream(KsLogLvl::Info) << "Free dattobd minor to create a snapshot: " << minor << std::endl;
    return true;
  }
  KsLogStream(KsLogLvl::Error) << "Can't get free minor of dattobd to create snapshot" << std::endl;
  return false;
}

bool SnapshotDattobd::create(std::string const& device, std::string const&, std::string const& mountpoint,
                             std::string const& task_id, uintmax_t size, std::string& snapshot_path) {
  if (minor.empty()) {
    // Without a minor from check() the command would take the next word
    // for one; refuse instead of guessing.
    KsLogStream(KsLogLvl::Error) << dattobd_create_signature << ": no free minor chosen for " << device
                                 << std::endl;
    return false;
  }
  uintmax_t const mebibytes = size / (1_MB);
  // The copy-on-write file lies in the root of the file system being
  // snapshotted, as the driver requires.
  std::string const command = "dbdctl setup-snapshot -f " + std::to_string(mebibytes) + " " +
                              shell_quoted_if_needed(device) + " " +
                              shell_quoted_if_needed(mountpoint + "/.kestrova_dattobd_" + task_id) + " " +
                              shell_quoted_if_needed(minor);
  std::string output;
  if (ks_utils_common::execute_command(command, output) != 0) {
    log_command_failure(dattobd_create_signature, command, output);
    return false;
  }
  snapshot_path = "/dev/datto" + minor;
  KsLogStream(KsLogLvl::Info) << "Dattobd snapshot was created: " << snapshot_path << std::endl;
  return true;
}

bool SnapshotDattobd::remove(std::string const& device) {
  bool exists = false;
  std::string found_minor;
  // Without the driver's state it is unknown whether a snapshot is left
  // behind; that must not pass for a clean removal.
  if (!is_dattobd_snapshot_exists(device, exists, found_minor)) return false;
  if (!exists) return true;
  std::string const command = "dbdctl destroy " + shell_quoted_if_needed(found_minor);
  std::string output;
  if (ks_utils_common::execute_command(command, output) != 0) {
    log_command_failure(dattobd_remove_signature, command, output);
    return false;
  }
  KsLogStream(KsLogLvl::Info) << "Dattobd snapshot was destroyed: /dev/datto" << found_minor << std::endl;
  return true;
}

bool SnapshotDattobd::is_dattobd_snapshot_exists(std::string const& device, bool& exists,
                                                 std::string& found_minor) const {
  exists = false;
  boost::json::value state;
  boost::json::array const* devices = nullptr;
  bool listed = false;
  if (!read_datto_devices(dattobd_exists_signature, state, devices, listed)) return false;
  if (!listed) return true;
  for (auto const& element : *devices) {
    auto const& entry = element.get_object();
    if (member_text(entry, "block_device") != device) continue;
    found_minor = member_text(entry, "minor");
    exists = true;
    return true;
  }
  return true;
}

bool SnapshotDattobd::get_dattobd_free_minor(std::string& free_minor) {
  boost::json::value state;
  boost::json::array const* devices = nullptr;
  bool listed = false;
  if (!read_datto_devices(dattobd_free_minor_signature, state, devices, listed)) return false;
  if (!listed) return false;
  bool any = false;
  std::uint64_t largest = 0;
  for (auto const& element : *devices) {
    auto const& entry = element.get_object();
    auto it = entry.find("minor");
    if (it == entry.end()) continue;
    std::string const text = kestrova::json_reply::text_of(it->value());
    std::uint64_t value = 0;
    if (!kestrova::json_reply::to_uint64(text, value)) {
      KsLogStream(KsLogLvl::Error) << dattobd_free_minor_signature << ": can't convert " << kestrova::as_one_line(text)
                                   << " to a dattobd minor" << std::endl;
      return false;
    }
    if (!any || value > largest) largest = value;
    any = true;
  }
  // Minors below the largest one in use are never reused.
  free_minor = any ? std::to_string(largest + 1) : "0";
  return true;
}

// ---- factory ---------------------------------------------------------------------

std::unique_ptr<Snapshot> SnapshotFactory::createSnapshot(std::string const& block_device_type,
                                                          std::string const& snapshot_type) {
  if (snapshot_type == "lvm") {
    if (block_device_type == "lvm") return std::make_unique<SnapshotLVM>();
    KsLogStream(KsLogLvl::Warning) << "Unable to use LVM snapshot for non-LVM volume: " << block_device_type
                                   << ", skip" << std::endl;
    KsLogStream(KsLogLvl::Warning) << "SnapshotFactory:: it is impossible to determine the snapshot type. "
                                   << "Block device type: " << block_device_type
                                   << ", snapshot type: " << snapshot_type << std::endl;
    return nullptr;
  }
  if (snapshot_type == "dattobd") return std::make_unique<SnapshotDattobd>();
  KsLogStream(KsLogLvl::Error) << "SnapshotFactory:: wrong value of OS snapshot type: " << snapshot_type
                               << std::endl;
  return nullptr;
}

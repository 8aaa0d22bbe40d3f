// The ssh probe of a hypervisor host, and finding which block device of this
// machine carries a disk serial number (lsblk, udevadm). No operation calls
// the disk functions.
#include <exception>
#include <new>
#include <string>
#include <vector>

#include <boost/json.hpp>
#include <boost/system/system_error.hpp>

#include "rustack/ks_module_rustack.h"
#include "rustack/marker_text.h"
#include "rustack/poll.h"
#include "support/log/ks_log.h"
#include "support/utils/ks_utils_common.h"
#include "support/utils/quoting.h"

namespace {

char const* const kSshSig =
    "bool openstack::test_ssh_connection(const string&, const string&, unsigned int, bool, const string&, bool)";
char const* const kSerialSig = "int openstack::get_disk_serial_number(const string&, std::__cxx11::string&)";
char const* const kDevicesSig =
    "int openstack::get_block_devices_list(std::vector<std::__cxx11::basic_string<char> >&)";
char const* const kAttachedSig =
    "int openstack::get_attached_block_device_name(const string&, const string&, std::__cxx11::string&)";
char const* const kSsh = "/usr/bin/ssh";
char const* const kUdevadm = "/usr/bin/udevadm";
char const* const kLsblk = "/usr/bin/lsblk --json";
unsigned const kAttachedAttempts = 300;

}  // namespace

namespace openstack {

bool test_ssh_connection(std::string const& host, std::string const& user, unsigned int connect_timeout,
                         bool as_error, std::string const& key_file, bool verbose) {
  std::string output;
  // A host that would read as an option of ssh is never passed to it.
  bool const usable = !host.empty() && host[0] != '-';
  if (usable) {
    std::string const command =
        std::string(kSsh) + " " + (key_file.empty() ? "" : "-i " + kestrova::shell_quoted_if_needed(key_file) + " ") +
        (verbose ? "" : "-q ") + "-l " + kestrova::shell_quoted_if_needed(user) + " " +
        kestrova::shell_quoted_if_needed(host) + " -o ConnectTimeout=" + std::to_string(connect_timeout) +
        " -o PasswordAuthentication=no -o PubkeyAuthentication=yes -o BatchMode=yes"
        " -o StrictHostKeyChecking=accept-new 'exit 0'";
    if (ks_utils_common::execute_command(command, output) == 0) return true;
  }

  std::string message = "unable to connect via ssh to host: " + kestrova::as_one_line(kestrova::as_quoted_single(host));
  if (!output.empty()) message += ", command output: " + kestrova::as_quoted_output(output);
  if (as_error)
    KsLogStream(KsLogLvl::Error) << kSshSig << ": " << message << std::endl;
  else
    KsLogStream(KsLogLvl::Warning) << message << std::endl;
  return false;
}

int get_disk_serial_number(std::string const& device, std::string& serial) {
  std::string const command =
      std::string(kUdevadm) + " info --name=" + kestrova::shell_quoted_if_needed(device) + " | grep ID_SERIAL";
  std::string output;
  if (ks_utils_common::execute_command(command, output) != 0) {
    KsLogStream(KsLogLvl::Error) << kSerialSig << ": This command produced an error: " << kestrova::as_one_line(command)
                                 << "\n: command output: " << kestrova::as_one_line(output) << std::endl;
    return 1;
  }
  // The value ends with its line: grep also passes ID_SERIAL_SHORT and the
  // like, which must not become part of the serial.
  std::string value;
  if (rustack_text::text_after_marker(output, "ID_SERIAL=", value)) serial = value.substr(0, value.find('\n'));
  return 0;
}

int get_block_devices_list(std::vector<std::string>& names) {
  std::string output;
  if (ks_utils_common::execute_command(kLsblk, output) != 0) {
    KsLogStream(KsLogLvl::Error) << kDevicesSig << ": This command produced an error: " << kLsblk
                                 << "\n: command output: " << kestrova::as_one_line(output) << std::endl;
    return 6;
  }
  try {
    boost::json::value const root = boost::json::parse(output);
    if (!root.is_object()) {
      KsLogStream(KsLogLvl::Error) << kDevicesSig << ": json value is not block devices object" << std::endl;
      return 6;
    }
    if (root.as_object().empty()) {
      KsLogStream(KsLogLvl::Error) << kDevicesSig << ": block devices object is empty" << std::endl;
      return 6;
    }
    for (auto const& member : root.as_object()) {
      if (member.key() != "blockdevices") continue;
      if (!member.value().is_array()) {
        KsLogStream(KsLogLvl::Error) << kDevicesSig << ": json is not an array of block devices" << std::endl;
        return 6;
      }
      for (auto const& device : member.value().as_array()) {
        if (!device.is_object()) {
          KsLogStream(KsLogLvl::Error) << kDevicesSig << ": json value is not block device object" << std::endl;
          return 6;
        }
        if (device.as_object().empty()) {
          KsLogStream(KsLogLvl::Error) << kDevicesSig << ": json object is empty. "
                                       << "Expected block device info" << std::endl;
          return 6;
        }
        std::string const name(device.at("name").as_string());
        std::string const type(device.at("type").as_string());
        if (type == "disk") names.push_back(name);
      }
    }
    return 0;
  } catch (std::bad_alloc const& e) {
    KsLogStream(KsLogLvl::Error) << kDevicesSig << ": json parsing failed: " << kestrova::as_one_line(e.what())
                                 << std::endl;
    return 6;
  } catch (boost::system::system_error const& e) {
    KsLogStream(KsLogLvl::Error) << kDevicesSig << ": boost::json: " << kestrova::as_one_line(e.what()) << std::endl;
    return 2;
  } catch (std::exception const& e) {
    KsLogStream(KsLogLvl::Error) << kDevicesSig << ": exception:" << kestrova::as_one_line(e.what()) << std::endl;
    return 2;
  }
}

int get_attached_block_device_name(std::string const& serial, std::string const& vm, std::string& device) {
  // A failed look is looked again after the next pause; the bound comes
  // after a last pause.
  rustack_poll::ending const end = rustack_poll::poll(kAttachedAttempts, rustack_poll::order::ask_between_sleeps, [&] {
    std::vector<std::string> names;
    if (get_block_devices_list(names) != 0) {
      KsLogStream(KsLogLvl::Error) << kAttachedSig << ": unable to get list of block devices on VM '"
                                   << kestrova::as_one_line(vm) << "'" << std::endl;
      return rustack_poll::answer::pending;
    }
    for (auto const& name : names) {
      std::string found;
      if (get_disk_serial_number(name, found) != 0) {
        KsLogStream(KsLogLvl::Error) << kAttachedSig << ": unable to get serial number of block device '"
                                     << kestrova::as_one_line(name) << "' inside the VM '" << kestrova::as_one_line(vm)
                                     << "'" << std::endl;
        return rustack_poll::answer::pending;
      }
      if (found == serial) {
        device = name;
        return rustack_poll::answer::awaited;
      }
    }
    return rustack_poll::answer::pending;
  });
  if (end == rustack_poll::ending::awaited) return 0;
  KsLogStream(KsLogLvl::Error) << kAttachedSig << ": can't get device name of the disk attached to VM '"
                               << kestrova::as_one_line(vm) << "', break by timeout " << kAttachedAttempts
                               << std::endl;
  return 1;
}

}  // namespace openstack

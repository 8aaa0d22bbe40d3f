#include "rustack/attached_device.h"

#include <sys/stat.h>

#include <chrono>
#include <thread>

#include <boost/filesystem.hpp>

#include "support/log/ks_log.h"

namespace fs = boost::filesystem;

namespace rustack_device {

namespace {

// The virtio block driver keeps 20 bytes of the serial.
std::size_t const kSerialLength = 20;

bool is_block_device(std::string const& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
}

std::string normal(std::string const& path) { return fs::path(path).lexically_normal().string(); }

}  // namespace

std::set<std::string> block_devices_under(std::string const& root) {
  std::set<std::string> devices;
  boost::system::error_code ec;
  fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec);
  for (fs::recursive_directory_iterator end; !ec && it != end; it.increment(ec)) {
    std::string const path = it->path().string();
    if (is_block_device(path)) devices.insert(normal(path));
  }
  return devices;
}

std::string serial_link_path(std::string const& root, std::string const& volume_id) {
  return root + "/disk/by-id/virtio-" + volume_id.substr(0, kSerialLength);
}

probe_result probe_attached_device(std::string const& root, std::string const& hint, std::string const& volume_id,
                                   std::set<std::string> const& before, std::string const& server_name) {
  probe_result result;
  boost::system::error_code ec;

  // The serial is the volume's own: when its link is there it decides.
  std::string const link = serial_link_path(root, volume_id);
  fs::file_status const link_status = fs::symlink_status(link, ec);
  if (!ec && fs::exists(link_status)) {
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
      return result;
    }
    result.state = probe_result::refused;
    result.reason = ": the serial link '" + link + "' of volume '" + volume_id + "' leads to '" + target.string() +
                    "', which is not a block device";
    return result;
  }

  if (hint.empty()) return result;
  struct stat st {};
  if (::lstat(hint.c_str(), &st) != 0) return result;
  if (!fs::path(hint).is_absolute()) {
    result.state = probe_result::unusable;
    result.reason = ": the device '" + hint + "' reported for volume '" + volume_id + "' is not an absolute path";
  } else if (!S_ISBLK(st.st_mode)) {
    result.state = probe_result::unusable;
    result.reason = ": volume was attached to server: '" + server_name + "' as device '" + hint +
                    "' but it is not a block device";
  } else if (before.count(normal(hint)) != 0) {
    result.state = probe_result::unusable;
    result.reason = ": the device '" + hint + "' reported for volume '" + volume_id +
                    "' was already present on server '" + server_name + "' before the attach";
  } else {
    result.state = probe_result::found;
    result.device = hint;
  }
  return result;
}

int wait_for_attached_device(std::string const& root, std::string const& hint, std::string const& volume_id,
                             std::set<std::string> const& before, std::string const& server_name,
                             char const* signature, std::string const& timeout_message, std::string& device,
                             wait_bounds bounds) {
  std::size_t unusable_looks = 0;
  probe_result last;
  for (std::size_t check = 0; check < bounds.checks; ++check) {
    last = probe_attached_device(root, hint, volume_id, before, server_name);
    if (last.state == probe_result::found) {
      if (!hint.empty() && normal(hint) != normal(last.device))
        KsLogStream(KsLogLvl::Info) << "The cloud reported device '" << hint << "' for volume '" << volume_id
                                    << "', its serial names '" << last.device << "'" << std::endl;
      device = last.device;
      return 0;
    }
    if (last.state == probe_result::refused) {
      KsLogStream(KsLogLvl::Error) << signature << last.reason << std::endl;
      return 2;
    }
    if (last.state == probe_result::unusable && ++unusable_looks > bounds.grace_checks) break;
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  if (last.state == probe_result::unusable) {
    KsLogStream(KsLogLvl::Error) << signature << last.reason << std::endl;
    KsLogStream(KsLogLvl::Error) << signature << ": no device with the serial of volume '" << volume_id << "' ("
                                 << serial_link_path(root, volume_id) << ") appeared on server '" << server_name
                                 << "', so its device cannot be told" << std::endl;
    return 2;
  }
  KsLogStream(KsLogLvl::Error) << signature << timeout_message << std::endl;
  return 2;
}

}  // namespace rustack_device

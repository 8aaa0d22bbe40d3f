// Finding the block device of a volume just attached to the Kestrova VM.
//
// The device path in the cloud's attachment reply is only a hint: the
// hypervisor picks the real name, and a wrong hint would make a backup read,
// or a restore overwrite, another disk of this machine. The device is taken
// from the volume's serial link (/dev/disk/by-id/virtio- followed by the
// first 20 characters of the volume id) when there is one (under the hint's
// name when the hint is that same device), else from the hint only when the
// hint is a block device that was not there before the attach.
#pragma once

#include <cstddef>
#include <set>
#include <string>

namespace rustack_device {

// The paths of the block-device nodes under `root` (sub-directories
// included, links neither followed nor counted). Unreadable entries are
// skipped.
std::set<std::string> block_devices_under(std::string const& root);

// root + "/disk/by-id/virtio-" + the first 20 characters of the volume id.
std::string serial_link_path(std::string const& root, std::string const& volume_id);

// One look for the device of a just-attached volume.
struct probe_result {
  enum state_type {
    found,     // `device` is the volume's block device
    waiting,   // nothing decisive yet
    unusable,  // the hint exists but cannot be taken; `reason` says why
    refused,   // the serial link leads to something that is not a block device
  };
  state_type state = waiting;
  std::string device;
  std::string reason;  // a message text beginning with ": "
};

// `before` holds block_devices_under(root) taken before the attach request;
// `server_name` names the Kestrova VM in the reason.
probe_result probe_attached_device(std::string const& root, std::string const& hint, std::string const& volume_id,
                                   std::set<std::string> const& before, std::string const& server_name);

// Bounds of the device wait: at most `checks` looks one second apart; once
// the hint is known to be unusable, the serial link gets `grace_checks`
// more looks to appear (udev makes it a moment after the node).
struct wait_bounds {
  std::size_t checks = 300;
  std::size_t grace_checks = 10;
};

// The device wait. 0 with `device` set, or 2 after logging at Error, after
// `signature`: the reason, or `timeout_message` when nothing appeared.
// `server_name` names the Kestrova VM in the messages.
int wait_for_attached_device(std::string const& root, std::string const& hint, std::string const& volume_id,
                             std::set<std::string> const& before, std::string const& server_name,
                             char const* signature, std::string const& timeout_message, std::string& device,
                             wait_bounds bounds = wait_bounds());

}  // namespace rustack_device

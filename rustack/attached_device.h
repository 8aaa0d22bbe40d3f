// Finding the block device of a volume just attached to the Kestrova VM.
//
// The device path in the cloud's attachment reply is only a hint: the
// hypervisor picks the real name, and a wrong hint would make a backup read,
// or a restore overwrite, another disk of this machine (also one that another
// backup or restore attached a moment ago). The device is taken from a link
// udev makes for the volume's serial (/dev/disk/by-id/virtio- followed by the
// first 20 characters of the volume id, or the scsi- forms of QEMU's SCSI
// disks) when there is one (under the hint's name when the hint is that same
// device). Otherwise only the one disk that appeared since the attach request
// is taken (the caller holds the attach lock, attach_lock.h, so no other
// module attaches meanwhile): the hint when it names that disk, else that
// disk under its own name. A node made anew at a path that had one (another
// module's disk went meanwhile and the new one took its name) is new. Disks
// a serial (sysfs for virtio, or a by-id link) shows to be another volume's
// do not count, nor partitions and mapped devices, nor a second node of the
// same disk; with two such new disks, nothing is taken.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <map>
#include <string>

namespace rustack_device {

// Where the system shows its devices; tests point both elsewhere.
struct device_roots {
  std::string dev = "/dev";
  std::string sys = "/sys";
};

// A block-device node as found: the device number and the node's own inode
// (a node removed and made again has another, even for the same number).
struct device_node {
  dev_t number = 0;
  ino_t inode = 0;
  bool operator==(device_node const& other) const { return number == other.number && inode == other.inode; }
  bool operator!=(device_node const& other) const { return !(*this == other); }
};

// Path -> node of the block-device nodes under `root` (sub-directories
// included, links neither followed nor counted). Unreadable entries are
// skipped.
using device_census = std::map<std::string, device_node>;
device_census block_devices_under(std::string const& root);

// root + "/disk/by-id/virtio-" + the first 20 characters of the volume id.
std::string serial_link_path(std::string const& root, std::string const& volume_id);

// The serial that a /dev/disk/by-id name shows for a QEMU disk
// ("virtio-<serial>", "scsi-0QEMU_QEMU_HARDDISK_<serial>",
// "scsi-SQEMU_QEMU_HARDDISK_<serial>"); "" for any other name. `own` tells
// whether it is the serial the cloud gives the volume `volume_id`.
std::string serial_of_link_name(std::string const& name, std::string const& volume_id, bool& own);

// One look for the device of a just-attached volume.
struct probe_result {
  enum state_type {
    found,     // `device` is the volume's block device
    waiting,   // nothing decisive yet
    unusable,  // the hint exists but cannot be taken; `reason` says why
    refused,   // the volume's serial link leads to something that is not a block device
  };
  state_type state = waiting;
  std::string device;
  std::string reason;  // a message text beginning with ": "
  // For found: false when only its being the one new disk speaks for it (no
  // serial of the device could be read).
  bool by_serial = false;
};

// `before` holds block_devices_under(roots.dev) taken before the attach
// request, under the attach lock; `server_name` names the Kestrova VM in the
// reason.
probe_result probe_attached_device(device_roots const& roots, std::string const& hint, std::string const& volume_id,
                                   device_census const& before, std::string const& server_name);

// Bounds of the device wait: at most `checks` looks one second apart; once
// the hint is known to be unusable, the serial link gets `grace_checks`
// more looks to appear (udev makes it a moment after the node).
struct wait_bounds {
  std::size_t checks = 300;
  std::size_t grace_checks = 10;
};

// The device wait. 0 with `device` set, or 2 after logging at Error, after
// `signature`: the reason, or `timeout_message` when nothing appeared.
// `server_name` names the Kestrova VM in the messages. A disk that only its
// being the one new disk speaks for is taken at the next look (so that udev
// has made the links that could show it to be another disk), or at the last
// one.
int wait_for_attached_device(device_roots const& roots, std::string const& hint, std::string const& volume_id,
                             device_census const& before, std::string const& server_name,
                             char const* signature, std::string const& timeout_message, std::string& device,
                             wait_bounds bounds = wait_bounds());

}  // namespace rustack_device

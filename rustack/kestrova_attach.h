// Attaching a volume the module made to the Kestrova VM and finding its block
// device: the step the backup (its copies of the snapshots) and the restore
// (its new volumes) share. Under the attach lock (attach_lock.h): the block
// devices are counted, the attach request sent, the device the cloud reports
// must not be one an earlier volume of the same run was reported at, the
// volume is awaited "in-use", its device found (attached_device.h) and
// checked to be a block device; then the lock goes.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

#include "rustack/attach_lock.h"
#include "rustack/attached_device.h"
#include "rustack/records.h"

class curlAPI;

namespace rustack_device {

// What the attachments of one backup or restore share.
struct attach_run {
  attach_run(attach_lock& lock, conf const& settings, std::uint32_t attachment_bound);

  attach_lock& lock;
  conf const& settings;             // the Kestrova VM (vm_id, vm_name) and the request time-out
  std::uint32_t attachment_bound;   // polls of the wait for "in-use"
  std::chrono::seconds lock_bound;  // the longest wait for the lock
  device_roots roots;
  std::map<std::string, std::string> reported;  // device named by the cloud -> volume
};

// Attaches `volume_id` of `project` to the Kestrova VM and finds its device.
// True with `device`, the lock let go. False after logging at Error, after
// `signature`, with the lock still held when it was taken (the caller's
// clean-up lets it go). `volume_text` names the volume in the message of the
// device wait's time-out.
bool attach_to_kestrova_vm(curlAPI& client, attach_run& run, std::string const& project,
                           std::string const& volume_id, std::string const& volume_text, char const* signature,
                           std::string& device);

}  // namespace rustack_device

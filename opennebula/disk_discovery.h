// Disk discovery: every disk of an OpenNebula VM with the files or devices
// that hold its data, for a stopped VM (from its directory on the system
// datastore) or a running one (from libvirt on its host).
#pragma once

#include <string>
#include <vector>

#include <libxml/tree.h>

#include "opennebula/records.h"

namespace ks_opennebula_common {

// Appends one record per disk of the VM (volatile disks only when `live`).
// `force_share` is passed to qemu-img; `ceph_ok` allows ceph disks. Any
// failure stops the discovery (records appended before stay). 0, or 1.
int load_VM_devices(const std::string& vm_id, std::vector<opennebula_device_info>& devices, bool force_share,
                    bool live, bool ceph_ok);

// DISK_ID, SIZE and TARGET of a volatile DISK element of `doc`. 0, or 1.
int get_temporary_disk_info(xmlDoc* const& doc, xmlNode* const& disk, opennebula_device_info& device);

// The VM's directory "<BASE_PATH of a system datastore>/<vm id>", looked for
// on the VM's host. 0, or 1.
int get_real_vm_path(const std::string& vm_id, std::string& directory);

}  // namespace ks_opennebula_common

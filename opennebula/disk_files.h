// Names of disk files on KVM hosts: symbolic links (locally or over ssh),
// the source a running libvirt domain uses for a disk, qcow2 backing chains,
// virtual sizes, and the Ceph RBD disks of a VM.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "opennebula/records.h"

namespace ks_opennebula_common {

// The target of a symbolic link, or `path` itself when it is none. Locally
// (host empty or the local node name) every link is followed; remotely
// "readlink" runs as root over ssh, with "-f" when `follow_all`, and must
// print exactly one absolute path. `resolved` is replaced. 0, or 1 after
// logging.
int read_file_link(const std::string& path, std::string& resolved, const std::string& host, bool follow_all);

// The source the libvirt domain `deploy_id` uses for the disk whose target
// is exactly `device.target`, from "virsh domblklist" (through qemu+ssh when
// `host` is not this machine); stored in `device.device_file`. 0, or 1.
int get_target_device_path(const std::string& host, const std::string& deploy_id, opennebula_device_info& device);

// Appends `file` and each qcow2 backing file below it, every name resolved,
// from the image down to its base. qemu-img runs locally when `host` is
// empty, otherwise over ssh. A failing qemu-img or a chain that comes back
// to one of its own files is a failure. 0, or 1.
int fill_backing_image_chain(const std::string& file, std::vector<std::string>& files, bool force_share,
                             const std::string& host);

// The virtual size of a disk image in bytes, from qemu-img (locally when
// `host` is empty or this machine). 0, or 1.
int get_image_virtual_size(const std::string& file, bool force_share, const std::string& host,
                           unsigned long long& size);

// Appends the VM's Ceph disks that are not CD-ROMs. 0, or 1.
int get_vm_rbd_disks(const std::string& vm_id, std::vector<RBD_disk>& disks);

// Splits "<4 characters><image>-<vm>-<disk>..." into the ids (missing pieces
// stay empty); `target` is copied. A name shorter than 4 characters is
// logged and gives a record whose ids are all empty.
RBD_disk fill_rbd_disk_struct_from_target(const std::string& name, const std::string& target);

// `name` = the path's last element after its first "." (true), or the whole
// last element when it has no "." (false).
bool parse_rbd_disk_name(const std::string& path, std::string& name);

}  // namespace ks_opennebula_common

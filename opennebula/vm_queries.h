// Read-only queries about OpenNebula VMs and hosts, and about saved VM
// template files.
#pragma once

#include <string>
#include <vector>

#include "opennebula/records.h"

namespace ks_opennebula_common {

// STATE and LCM_STATE. No STATE is a failure; no LCM_STATE only a logged
// error (lcm_state stays as it was, -1 by default).
int get_VM_state(const std::string& vm, opennebula_vm_state& state);
// The host the VM runs on and its DEPLOY_ID (the libvirt domain name).
int get_VM_workplace(const std::string& vm, std::string& host, std::string& deploy_id);
int get_vm_id_by_name(const std::string& name, std::string& id);
// Appends the names of all VMs.
int get_vm_name_list(std::vector<std::string>& names);
bool does_VM_id_exist(const std::string& id);
bool does_VM_name_exist(const std::string& name);
// DISK_ID (and SOURCE) of the VM disk whose TARGET is exactly `target`; 1
// without a message when no disk has it.
int get_VM_diskID(const std::string& vm, const std::string& target, int& disk_id);
int get_disk_id_and_source(const std::string& vm, const std::string& target, int& disk_id, std::string& source);
// The NAME of the host whose VM list holds `vm`.
int get_VM_host(const std::string& vm, std::string& host);
int get_eth0_mac_addr(const std::string& vm, std::string& mac);
// The ID of the host whose TEMPLATE/HOSTNAME is this machine's node name
// (`node_id` is cleared when none is).
int get_node_id_for_current_host(std::string& node_id);

// Saved VM template files (root TEMPLATE). The lists are cleared first.
int get_VM_image_ID_list_from_xml(const std::string& path, std::vector<std::string>& ids);
int get_VM_image_list_from_xml(const std::string& path, std::vector<oneimage>& images);
// Sum of the SIZE of the disks that are neither volatile ("fs") nor CD-ROMs.
int get_total_vm_disks_size_mb(const std::string& path, unsigned int& total_mb);
// The file's TM_MAD_SYSTEM; -1 on any failure.
TM_MAD_TYPE get_vm_tm_mad_type(const std::string& path);

}  // namespace ks_opennebula_common

// The parts of a restore that need no cloud: the network decision, the free
// server name, the image names and the dd command, the boot volume and the
// order of the other volumes. The hooks themselves are members of
// KsModuleRuStack (restore_path.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "rustack/records.h"

namespace rustack_restore {

// Whether a new server can be made with the network_uuid given (empty: not
// given) among the cloud's networks: without one the cloud must have at most
// one network; a given one must be a valid UUID of one of them. False with
// the reason, a message text beginning with ": ".
bool check_network_choice(std::vector<network> const& networks, std::string const& network_uuid,
                          std::string& reason);

// `name` when no server of the list has it, else the first of name_N,
// name_N+1, ... (N = counter, which goes up by one for each suffix tried)
// that is free; the list is not asked again. Logs each step at Info.
std::string free_server_name(std::vector<rustack_vm_info> const& servers, std::string const& name,
                             std::int32_t& counter);

// The image name of a volume from the archive: one plain path component
// (ks_utils_common::is_plain_name).
bool is_plain_file_name(std::string const& name);

// The copy of an image onto its volume, every path shell-quoted; the data
// reaches the device before dd ends (conv=fsync), so a detach right after it
// loses nothing.
std::string dd_command(std::string const& image, std::string const& device, std::uint32_t block_size_mb);

// The order in which disks are named: shorter names first, then by bytes
// (vdz before vdaa); an empty name after every other.
bool device_order_less(std::string const& a, std::string const& b);

// The lowest device name among the volume's saved attachments; "" when none.
std::string original_device(volume const& record);

// The boot volume of the restored server: among the bootable ("true")
// volumes the one that was the original server's boot disk, the one with the
// lowest original device; records.size() when none is bootable.
std::size_t boot_volume_index(std::vector<volume> const& records);

// The indices of the other volumes, in original device order (those
// without a saved attachment last, in their given order).
std::vector<std::size_t> attachment_order(std::vector<volume> const& records, std::size_t boot);

}  // namespace rustack_restore

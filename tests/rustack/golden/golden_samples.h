// Field values of the golden description files. Every field holds a text of
// its own, so a field read into the wrong place shows; a few hold blanks, line
// breaks, quotes, backslashes, non-ASCII bytes or nothing at all.
#pragma once

#include <array>
#include <string>
#include <utility>
#include <vector>

namespace golden {

using pairs = std::vector<std::pair<std::string, std::string>>;

namespace server {
inline const std::string id = "5f0c1e2a-3b4d-4e5f-8a9b-0c1d2e3f4a5b";
inline const std::string name = "web server \"main\"";
inline const std::string status = "ACTIVE";
inline const std::string tenant_id = "tenant-0001";
inline const std::string user_id = "user-0002";
inline pairs metadata() { return {{"role", "\"db\""}, {"weight", "10"}}; }
inline const std::string hostId = "host-hash-0003";
inline const std::string image = "";
inline const std::string flavor_id = "flavor-0004";
inline const std::string network_name = "net two";
inline std::vector<std::array<std::string, 4>> addresses() {
  return {{"4", "10.0.0.5", "fixed", "fa:16:3e:00:00:01"}, {"6", "fd00::5", "floating", "fa:16:3e:00:00:02"}};
}
inline const std::string accessIPv4 = "192.0.2.1";
inline const std::string accessIPv6 = "2001:db8::1";
inline const std::string disk_config = "MANUAL";
inline const std::string availability_zone = "nova";
inline const std::string config_drive = "True";
inline const std::string key_name = "key\\with\\backslashes";
inline std::vector<std::string> security_groups() { return {"default", "web\nline two"}; }
inline const std::string host = "compute-01";
inline const std::string instance_name = "instance-0000000a";
inline const std::string hypervisor_hostname = "compute-01.example";
inline const std::string hypervisor_type = "QEMU";
inline const std::string hypervisor_ip = "192.0.2.10";
inline std::vector<std::string> attached_volumes() { return {"vol-b", "vol-a"}; }
}  // namespace server

namespace volume {
inline const std::string id = "vol-a";
inline const std::string status = "in-use";
inline const std::string size = "10";
inline const std::string availability_zone = "zone one";
inline const std::string name = "\xd0\xb4\xd0\xb8\xd1\x81\xd0\xba";  // UTF-8 Cyrillic word
inline const std::string description = "first line\nsecond line\r\n  indented";
inline const std::string volume_type = "ssd";
inline const std::string snapshot_id = "snap-0005";
inline const std::string source_volid = "";
inline pairs metadata() { return {{"attached_mode", "rw"}, {"", "empty key"}}; }
inline const std::string user_id = "user-0006";
inline const std::string bootable = "true";
inline const std::string encrypted = "false";
inline const std::string replication_status = "disabled";
inline const std::string consistencygroup_id = "cg-0007";
inline const std::string multiattach = "false";
inline std::vector<std::array<std::string, 3>> attachments() {
  return {{"att-0008", "compute-01", "/dev/vda"}, {"att-0009", "", "/dev/vdb"}};
}
inline const std::string tenant_id = "tenant-0010";
inline std::array<std::string, 14> image_metadata() {
  return {"image", "ubuntu", "virtio", "yes", "scsi", "virtio-scsi", "img-0011", "Ubuntu 22.04",
          "0123456789abcdef", "bare", "qcow2", "5", "512", "2361393152"};
}
inline const std::string attached_device_name = "vdb";
}  // namespace volume

}  // namespace golden

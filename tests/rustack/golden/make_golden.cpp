// Writes the golden text archives of tests/rustack/golden/.
//
// The records here are declared afresh from the documented layout of the VM
// and volume descriptions (field order, class version 0, default
// implementation level and tracking, std::pair/std::string/std::vector of the
// library), independently of rustack/records.h, and saved with the library's
// own boost::archive::text_oarchive (Boost 1.81). The output was then checked
// by hand: header "22 serialization::archive 19", then for each class the
// first time it appears its tracking flag and version ("0 0"), every string
// as its length, a blank and its bytes, every vector as its count and item
// version. Rebuild and rerun only when the file format itself changes:
//
//   cmake --build <build> --target rustack_make_golden
//   <build>/tests/rustack/rustack_make_golden tests/rustack/golden
//
// The sample values are shared with records_test.cpp through golden_samples.h.
#include <fstream>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include <boost/archive/text_oarchive.hpp>
#include <boost/serialization/string.hpp>
#include <boost/serialization/utility.hpp>
#include <boost/serialization/vector.hpp>

#include "golden_samples.h"

namespace layout {

using pairs = std::vector<std::pair<std::string, std::string>>;

struct address {
  std::string version, addr, addr_type, mac_addr;
  template <class A> void serialize(A& a, unsigned) { a & version & addr & addr_type & mac_addr; }
};

struct attachment {
  std::string attachment_id, host_name, device;
  template <class A> void serialize(A& a, unsigned) { a & attachment_id & host_name & device; }
};

struct image_metadata {
  std::string f[14];  // image_type ... size, in the documented order
  template <class A> void serialize(A& a, unsigned) {
    for (auto& s : f) a & s;
  }
};

struct vol {
  std::string id, status, size, availability_zone, name, description, volume_type, snapshot_id,
      source_volid;
  pairs metadata;
  std::string user_id, bootable, encrypted, replication_status, consistencygroup_id, multiattach;
  std::vector<attachment> attachments;
  std::string tenant_id;
  image_metadata image;
  std::string attached_device_name;
  template <class A> void serialize(A& a, unsigned) {
    a & id & status & size & availability_zone & name & description & volume_type & snapshot_id
      & source_volid & metadata & user_id & bootable & encrypted & replication_status
      & consistencygroup_id & multiattach & attachments & tenant_id & image & attached_device_name;
  }
};

struct server {
  std::string id, name, status, tenant_id, user_id;
  pairs metadata;
  std::string hostId, image, flavor_id, network_name;
  std::vector<address> addresses;
  std::string accessIPv4, accessIPv6, disk_config, availability_zone, config_drive, key_name;
  std::vector<std::string> security_groups;
  std::string host, instance_name, hypervisor_hostname, hypervisor_type, hypervisor_ip;
  std::vector<std::string> attached_volumes;
  template <class A> void serialize(A& a, unsigned) {
    a & id & name & status & tenant_id & user_id & metadata & hostId & image & flavor_id
      & network_name & addresses & accessIPv4 & accessIPv6 & disk_config & availability_zone
      & config_drive & key_name & security_groups & host & instance_name & hypervisor_hostname
      & hypervisor_type & hypervisor_ip & attached_volumes;
  }
};

}  // namespace layout

namespace {

layout::server sample_server() {
  namespace g = golden::server;
  layout::server s;
  s.id = g::id; s.name = g::name; s.status = g::status; s.tenant_id = g::tenant_id;
  s.user_id = g::user_id; s.metadata = g::metadata(); s.hostId = g::hostId; s.image = g::image;
  s.flavor_id = g::flavor_id; s.network_name = g::network_name;
  for (auto const& a : g::addresses()) s.addresses.push_back({a[0], a[1], a[2], a[3]});
  s.accessIPv4 = g::accessIPv4; s.accessIPv6 = g::accessIPv6; s.disk_config = g::disk_config;
  s.availability_zone = g::availability_zone; s.config_drive = g::config_drive;
  s.key_name = g::key_name; s.security_groups = g::security_groups(); s.host = g::host;
  s.instance_name = g::instance_name; s.hypervisor_hostname = g::hypervisor_hostname;
  s.hypervisor_type = g::hypervisor_type; s.hypervisor_ip = g::hypervisor_ip;
  s.attached_volumes = g::attached_volumes();
  return s;
}

layout::vol sample_volume() {
  namespace g = golden::volume;
  layout::vol v;
  v.id = g::id; v.status = g::status; v.size = g::size; v.availability_zone = g::availability_zone;
  v.name = g::name; v.description = g::description; v.volume_type = g::volume_type;
  v.snapshot_id = g::snapshot_id; v.source_volid = g::source_volid; v.metadata = g::metadata();
  v.user_id = g::user_id; v.bootable = g::bootable; v.encrypted = g::encrypted;
  v.replication_status = g::replication_status; v.consistencygroup_id = g::consistencygroup_id;
  v.multiattach = g::multiattach;
  for (auto const& a : g::attachments()) v.attachments.push_back({a[0], a[1], a[2]});
  v.tenant_id = g::tenant_id;
  auto const im = g::image_metadata();
  for (int i = 0; i < 14; ++i) v.image.f[i] = im[i];
  v.attached_device_name = g::attached_device_name;
  return v;
}

template <class T>
bool write(std::string const& path, T const& record) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  {
    boost::archive::text_oarchive archive(out);
    archive << record;
  }
  out.close();
  if (!out) std::cerr << "cannot write " << path << "\n";
  return bool(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: rustack_make_golden DIRECTORY\n";
    return 2;
  }
  std::string const dir = argv[1];
  bool ok = write(dir + "/server_full.vm.config", sample_server());
  ok = write(dir + "/server_empty.vm.config", layout::server()) && ok;
  ok = write(dir + "/volume_full.conf", sample_volume()) && ok;
  ok = write(dir + "/volume_empty.conf", layout::vol()) && ok;
  return ok ? 0 : 1;
}

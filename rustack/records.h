// Plain records of what the module finds in the cloud, the module settings,
// and the text archives of the VM and volume descriptions that travel inside
// every backup.
//
// The serialize operations pass every field in declaration order; that order
// is the file format of "vm.config" and "<volume id>.conf", so never reorder,
// insert or remove a field of server_conf, volume, vm_address,
// volume_attachment or volume_image_metadata without a new class version.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <boost/serialization/string.hpp>
#include <boost/serialization/utility.hpp>
#include <boost/serialization/vector.hpp>
#include <boost/serialization/version.hpp>

// One entry of the server list.
struct rustack_vm_info {
  std::string id;
  std::string name;
  std::string status;  // "ACTIVE" marks a running server
};

// One entry of the hypervisor list.
struct rustack_hypervisor_info {
  std::string hypervisor_hostname;
  std::string hypervisor_type;  // "QEMU" enables guest scripts
  std::string host_ip;
};

// One entry of the network list.
struct network {
  std::string id;  // a UUID
  std::string label;
};

// One address of a server.
struct vm_address {
  std::string version;
  std::string addr;
  std::string addr_type;  // "OS-EXT-IPS:type"
  std::string mac_addr;   // "OS-EXT-IPS-MAC:mac_addr"

  // Class version the archive passed at the last save or load; not saved.
  std::uint32_t archive_version = 0;

  template <class Archive>
  void serialize(Archive& ar, const unsigned int v) {
    archive_version = v;
    ar & version & addr & addr_type & mac_addr;
  }
};

// One attachment of a volume.
struct volume_attachment {
  std::string attachment_id;
  std::string host_name;
  std::string device;  // device path inside the server

  std::uint32_t archive_version = 0;

  template <class Archive>
  void serialize(Archive& ar, const unsigned int v) {
    archive_version = v;
    ar & attachment_id & host_name & device;
  }
};

// Image properties of a volume made from an image.
struct volume_image_metadata {
  std::string image_type;
  std::string distro;
  std::string hw_vif_model;
  std::string hw_qemu_guest_agent;
  std::string hw_disk_bus;
  std::string hw_scsi_model;
  std::string image_id;  // a restore makes the bootable volume from it
  std::string image_name;
  std::string checksum;
  std::string container_format;
  std::string disk_format;
  std::string min_disk;
  std::string min_ram;
  std::string size;

  std::uint32_t archive_version = 0;

  template <class Archive>
  void serialize(Archive& ar, const unsigned int v) {
    archive_version = v;
    ar & image_type & distro & hw_vif_model & hw_qemu_guest_agent & hw_disk_bus & hw_scsi_model
       & image_id & image_name & checksum & container_format & disk_format & min_disk & min_ram
       & size;
  }
};

// One block-storage volume.
struct volume {
  std::string id;
  std::string status;  // "creating", "available", "in-use", ...
  std::string size;    // as the service gives it, as text
  std::string availability_zone;
  std::string name;
  std::string description;
  std::string volume_type;
  // The snapshot the volume was made from; a backup also keeps here the id of
  // the snapshot it takes of this volume.
  std::string snapshot_id;
  std::string source_volid;
  std::vector<std::pair<std::string, std::string>> metadata;
  std::string user_id;
  std::string bootable;  // "true" for the volume the server boots from
  std::string encrypted;
  std::string replication_status;
  std::string consistencygroup_id;
  std::string multiattach;
  std::vector<::volume_attachment> attachments;
  std::string tenant_id;  // "os-vol-tenant-attr:tenant_id"; new volumes go there
  ::volume_image_metadata volume_image_metadata;
  // Set by the backup: file name of the block device (e.g. "vdb") under which
  // the copy of this volume appeared on the Kestrova VM, and the name of its
  // raw image inside the backup.
  std::string attached_device_name;

  std::uint32_t archive_version = 0;

  template <class Archive>
  void serialize(Archive& ar, const unsigned int v) {
    archive_version = v;
    ar & id & status & size & availability_zone & name & description & volume_type & snapshot_id
       & source_volid & metadata & user_id & bootable & encrypted & replication_status
       & consistencygroup_id & multiattach & attachments & tenant_id & volume_image_metadata
       & attached_device_name;
  }
};

// One server.
struct server_conf {
  std::string id;
  std::string name;
  std::string status;
  std::string tenant_id;  // the backup makes its snapshots and volumes there
  std::string user_id;
  std::vector<std::pair<std::string, std::string>> metadata;  // values are JSON text
  std::string hostId;
  std::string image;
  std::string flavor_id;     // "flavor"
  std::string network_name;  // name of the last member of "addresses"
  std::vector<vm_address> addresses;
  std::string accessIPv4;
  std::string accessIPv6;
  std::string disk_config;        // "OS-DCF:diskConfig"
  std::string availability_zone;  // "OS-EXT-AZ:availability_zone"
  std::string config_drive;
  std::string key_name;
  std::vector<std::string> security_groups;
  std::string host;                 // "OS-EXT-SRV-ATTR:host"
  std::string instance_name;        // hypervisor's domain name of the server
  std::string hypervisor_hostname;  // matched against the hypervisor list
  std::string hypervisor_type;      // filled from the matching hypervisor
  std::string hypervisor_ip;        // the matching hypervisor's host_ip
  std::vector<std::string> attached_volumes;  // in the order of the reply

  std::uint32_t archive_version = 0;

  template <class Archive>
  void serialize(Archive& ar, const unsigned int v) {
    archive_version = v;
    ar & id & name & status & tenant_id & user_id & metadata & hostId & image & flavor_id
       & network_name & addresses & accessIPv4 & accessIPv6 & disk_config & availability_zone
       & config_drive & key_name & security_groups & host & instance_name & hypervisor_hostname
       & hypervisor_type & hypervisor_ip & attached_volumes;
  }
};

BOOST_CLASS_VERSION(vm_address, 0)
BOOST_CLASS_VERSION(volume_attachment, 0)
BOOST_CLASS_VERSION(volume_image_metadata, 0)
BOOST_CLASS_VERSION(volume, 0)
BOOST_CLASS_VERSION(server_conf, 0)

// Path segments of the three services; empty until the version discovery
// succeeds.
struct rustack_api_version {
  std::string nova;      // compute
  std::string cinder;    // block storage
  std::string keystone;  // identity
};

// Module settings, filled from /opt/kestrova/etc/ks_module_rustack.conf.
struct conf {
  std::string url;  // base URL of the REST services, no trailing "/"
  std::string username;
  std::string password;
  std::string admin_name;  // non-empty switches on the administrator functions
  std::string admin_password;
  std::string protocol = "ssh";  // virsh transport: "ssh" or "tcp"
  std::string domain;            // identity domain id of both users
  std::string project_id;
  std::string vm_name;  // name of the Kestrova VM, for messages
  std::string vm_id;    // id of the Kestrova VM
  std::string ca_info;  // CA certificate file for TLS
  bool enable_ssl = false;
  bool curl_verbose = false;
  std::uint32_t timeout = 1;  // seconds, per request
  std::uint32_t volume_creation_timeout = 300;    // one-second polls
  std::uint32_t snapshot_creation_timeout = 300;  // one-second passes
  std::uint32_t volume_attachment_timeout = 300;  // one-second polls
  rustack_api_version api_version;
};

// Backup module parameters.
struct rustack_module_conf {
  std::string script_before_snapshot;
  std::string script_after_snapshot;
  std::uint32_t execution_script_timeout = 5;  // seconds
};

// Restore parameters of the new server.
struct rustack_server_parameters {
  std::string network_uuid;
  std::string fixed_ip;
};

// The text archive of a record: "22 serialization::archive 19" and the fields.
std::string to_archive_text(server_conf const& record);
std::string to_archive_text(volume const& record);

// Loads a record from archive text; throws boost::archive::archive_exception
// (or another std::exception) when the text is not such an archive. On a
// throw the record is left unchanged.
void from_archive_text(std::string const& text, server_conf& record);
void from_archive_text(std::string const& text, volume& record);

// Writes the archive of a record to path, truncating it. False when the file
// cannot be created or written; nothing is logged (the caller names the file).
bool save_server_config(std::string const& path, server_conf const& record);
bool save_volume_config(std::string const& path, volume const& record);

// Reads directory + "/vm.config". 0, or 7 with an Error line; on failure the
// record is left as it was.
int fill_server_config(std::string const& directory, server_conf& record);

// Reads directory + "/" + volume_id + ".conf". 0, or 7 with an Error line; on
// failure the record is left as it was.
int fill_volume_config(std::string const& directory, std::string const& volume_id, volume& record);

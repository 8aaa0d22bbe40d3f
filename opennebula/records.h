// Records, enumerations and name tables of the OpenNebula and KVM library.
// All records are plain values: they own their strings and vectors, and copy
// and move member by member.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// OpenNebula transfer drivers, as printed in TM_MAD and TM_MAD_SYSTEM.
enum TM_MAD_TYPE : int {
  TM_MAD_NONE = -1,  // no driver, or one outside this table
  TM_MAD_QCOW2 = 0,
  TM_MAD_CEPH = 1,
  TM_MAD_FS_LVM = 2,
  TM_MAD_LVM_LVM = 3,
  TM_MAD_LVM_THIN = 4,
  TM_MAD_SHARED = 5,
  TM_MAD_SSH = 6,
  TM_MAD_DEV = 7,
  TM_MAD_ISCSI = 8,
};

// The numbers OpenNebula prints in IMAGE/DISK_TYPE.
enum opennebula_disk_type : int {
  DISK_TYPE_FILE = 0,
  DISK_TYPE_CDROM = 1,
  DISK_TYPE_BLOCK = 2,
  DISK_TYPE_RBD = 3,
  DISK_TYPE_RBD_CDROM = 4,
  DISK_TYPE_GLUSTER = 5,
  DISK_TYPE_GLUSTER_CDROM = 6,
  DISK_TYPE_SHEEPDOG = 7,
  DISK_TYPE_SHEEPDOG_CDROM = 8,
  DISK_TYPE_ISCSI = 9,
  DISK_TYPE_NOT_READ = 255,  // no disk type read yet; has no name
};

// The numbers OpenNebula prints in IMAGE/TYPE.
enum opennebula_image_type : int {
  IMAGE_TYPE_OS = 0,
  IMAGE_TYPE_CDROM = 1,
  IMAGE_TYPE_DATABLOCK = 2,
  IMAGE_TYPE_KERNEL = 3,
  IMAGE_TYPE_RAMDISK = 4,
  IMAGE_TYPE_CONTEXT = 5,
};

// One OpenNebula image as read from "oneimage show".
struct oneimage {
  std::string id;
  std::string name;
  std::string new_name;  // name in a restored template; set by the caller only
  std::string datastore_id;
  std::string dev_prefix;
  std::string driver;
  opennebula_image_type type = IMAGE_TYPE_OS;
  opennebula_disk_type disk_type = DISK_TYPE_NOT_READ;
  std::string persistent;        // IMAGE/PERSISTENT as printed
  std::string unique_signature;  // MD5 hex, LV uuid or Ceph image id
  std::uint64_t size = 0;        // bytes; meaningful once SIZE was read
  std::string source;            // resolved path once a FILE/BLOCK signature is computed
};

// Storage kinds of kvm_device_info::storage_kind.
enum : int { STORAGE_KIND_FILE = 1, STORAGE_KIND_BLOCK = 2, STORAGE_KIND_RBD = 4 };
// Device kinds of kvm_device_info::device_kind.
enum : int { DEVICE_KIND_DISK = 2, DEVICE_KIND_CDROM = 3, DEVICE_KIND_VOLATILE = 5 };

// One disk of a libvirt domain.
struct kvm_device_info {
  int storage_kind = STORAGE_KIND_FILE;
  int device_kind = DEVICE_KIND_DISK;
  std::string target;
  std::string source;
  std::vector<std::string> files;  // the paths to back up for this disk
  int reserved = 1;                // carried with the record, never read here
};

// One disk of an OpenNebula VM, as disk discovery builds it.
struct opennebula_device_info : public kvm_device_info {
  bool persistent = false;
  TM_MAD_TYPE tm_mad = TM_MAD_NONE;
  std::uint64_t size = 0;  // bytes
  std::string image_id;
  std::string device_file;  // what the running domain uses, or an fs_lvm source
  std::string disk_id;
};

// One Ceph RBD disk of a VM.
struct RBD_disk {
  std::string image_id;
  std::string vm_id;
  std::string disk_id;
  std::string target;
};

// VM/STATE and VM/LCM_STATE; -1 means not found.
struct opennebula_vm_state {
  int state = -1;
  int lcm_state = -1;
};

namespace ks_opennebula_common {

// Value to name of every transfer driver, -1 (the empty name) first.
extern const std::map<TM_MAD_TYPE, std::string> TM_MAD_TYPE_STR;

// The first driver, in value order, whose name equals `name` exactly;
// -1 for the empty name and for a name that is not in the table.
TM_MAD_TYPE tm_mad_from_name(const std::string& name);
// True when `name` is one of the ten names (the empty one included).
bool is_tm_mad_name(const std::string& name);
// The name of a driver; the empty text for a value outside the table.
std::string tm_mad_name(TM_MAD_TYPE tm_mad);

// Names of the enumerations; the empty text for any other value.
std::string disk_type_to_str(opennebula_disk_type& type);
std::string type_to_str(opennebula_image_type& type);

}  // namespace ks_opennebula_common

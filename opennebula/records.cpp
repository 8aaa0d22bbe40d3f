#include "opennebula/records.h"

namespace ks_opennebula_common {

const std::map<TM_MAD_TYPE, std::string> TM_MAD_TYPE_STR = {
    {TM_MAD_NONE, ""},          {TM_MAD_QCOW2, "qcow2"},     {TM_MAD_CEPH, "ceph"}, {TM_MAD_FS_LVM, "fs_lvm"},
    {TM_MAD_LVM_LVM, "lvm_lvm"}, {TM_MAD_LVM_THIN, "lvm_thin"}, {TM_MAD_SHARED, "shared"}, {TM_MAD_SSH, "ssh"},
    {TM_MAD_DEV, "dev"},        {TM_MAD_ISCSI, "iscsi"},
};

TM_MAD_TYPE tm_mad_from_name(const std::string& name) {
  for (const auto& entry : TM_MAD_TYPE_STR)
    if (entry.second == name) return entry.first;
  return TM_MAD_NONE;
}

bool is_tm_mad_name(const std::string& name) {
  for (const auto& entry : TM_MAD_TYPE_STR)
    if (entry.second == name) return true;
  return false;
}

std::string tm_mad_name(TM_MAD_TYPE tm_mad) {
  auto found = TM_MAD_TYPE_STR.find(tm_mad);
  return found == TM_MAD_TYPE_STR.end() ? std::string() : found->second;
}

std::string disk_type_to_str(opennebula_disk_type& type) {
  switch (type) {
    case DISK_TYPE_FILE: return "FILE";
    case DISK_TYPE_CDROM: return "CDROM";
    case DISK_TYPE_BLOCK: return "BLOCK";
    case DISK_TYPE_RBD: return "RBD";
    case DISK_TYPE_RBD_CDROM: return "RBD_CDROM";
    case DISK_TYPE_GLUSTER: return "GLUSTER";
    case DISK_TYPE_GLUSTER_CDROM: return "GLUSTER_CDROM";
    case DISK_TYPE_SHEEPDOG: return "SHEEPDOG";
    case DISK_TYPE_SHEEPDOG_CDROM: return "SHEEPDOG_CDROM";
    case DISK_TYPE_ISCSI: return "ISCSI";
    default: return "";
  }
}

std::string type_to_str(opennebula_image_type& type) {
  switch (type) {
    case IMAGE_TYPE_OS: return "OS";
    case IMAGE_TYPE_CDROM: return "CDROM";
    case IMAGE_TYPE_DATABLOCK: return "DATABLOCK";
    case IMAGE_TYPE_KERNEL: return "KERNEL";
    case IMAGE_TYPE_RAMDISK: return "RAMDISK";
    case IMAGE_TYPE_CONTEXT: return "CONTEXT";
    default: return "";
  }
}

}  // namespace ks_opennebula_common

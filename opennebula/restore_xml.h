// The XML files of an OpenNebula restore: the VM template file and the
// template file written from OpenNebula's descriptions, edits of saved
// files, names read back from them, and the images a template uses.
//
// Edited and written files are replaced as a whole (written beside the
// file and renamed over it): a failure leaves the previous file intact.
// Texts set into a file are stored literally ("&", "<", quotes survive).
#pragma once

#include <string>
#include <vector>

#include "opennebula/records.h"

namespace ks_opennebula_common {

// Writes the TEMPLATE of the VM's description as its own document, without
// volatile disks, graphics ports, boot entries other than "disk0" and the
// NIC addresses, with a NAME (new_name, or the VM's name when empty).
int create_vm_xml(const std::string& vm_id, const std::string& path, const std::string& new_name);
// Writes the TEMPLATE of the template's description, each disk's IMAGE_ID
// replaced by IMAGE (the image's name) and IMAGE_UNAME (the template's
// owner), with a NAME appended.
int create_template_xml(const std::string& template_id, const std::string& path, const std::string& new_name);

int change_name_in_VM_xml(const std::string& path, const std::string& name);
int change_name_in_template_xml(const std::string& path, const std::string& name);
int get_VM_name_from_file(const std::string& path, std::string& name);
int get_template_name_from_file(const std::string& path, std::string& name);
// Removes every DISK of type CDROM or RBD_CDROM.
int remove_cdrom_from_VM_xml(const std::string& path);
// In every DISK: IMAGE old_name -> new_name, IMAGE_ID old_id -> new_id.
// Nothing to change is a failure.
int change_image_in_VM_xml(const std::string& path, const std::string& old_name, const std::string& new_name,
                           const std::string& old_id, const std::string& new_id);
// Each disk's IMAGE becomes the new_name of the record with that name (the
// last such record wins); an IMAGE without a record is a failure and the
// file stays unchanged.
int change_image_name_in_template_xml(const std::string& path, const std::vector<oneimage>& images);
// Removes the VMS element of a saved IMAGE description.
int convert_image_xml(const std::string& path);

int get_template_name(const std::string& template_id, std::string& name);
bool does_template_name_exist(const std::string& name);
// Appends the IMAGE_IDs of the template's disks; when the template names
// its images only by IMAGE and `ids` came in empty, their ids are looked
// up by name (into a filled `ids` names add nothing).
int get_simple_template_image_list(const std::string& template_id, std::vector<std::string>& ids);
// Appends a full record (with signature) for each of those images.
int get_template_image_list(const std::string& template_id, std::vector<oneimage>& images);
// "onetemplate delete <id> --recursive".
int delete_template(const std::string& template_id);

}  // namespace ks_opennebula_common

// Unique signatures of OpenNebula images: the MD5 digest of a file image or
// a block device, the uuid of an LVM logical volume, or the id of a Ceph
// RBD image. Signatures of exactly 32 characters are MD5 digests.
#pragma once

#include <string>

#include "opennebula/records.h"

namespace ks_opennebula_common {

// Sets image.unique_signature by the image's disk type (and, for BLOCK, its
// image type, `tm_mad` and `force_md5`); a FILE or BLOCK image's source is
// replaced by its resolved path. True on success.
bool calculate_unique_signature(oneimage& image, TM_MAD_TYPE tm_mad, bool force_md5);

// True when the image `stored.id` exists and still carries
// `stored.unique_signature`.
bool does_image_exist(const oneimage& stored, bool uuid_allowed);

// The first image, in "oneimage list" order, whose signature equals
// `signature`, copied into `image` (untouched otherwise). 0, or 1.
int find_image_by_unique_signature(const std::string& signature, oneimage& image);

// The disk type an image without DISK_TYPE has on its datastore (by the
// datastore's TYPE and the driver `tm_mad`); failures are logged with
// `signature` in front. 0, or 1.
int disk_type_from_datastore(const char* signature, const std::string& datastore_id, TM_MAD_TYPE tm_mad,
                             opennebula_disk_type& disk_type);

// The primitives; each replaces its output only on success. 0, or 1.
int calc_md5sum(const std::string& path, std::string& md5);
int calc_md5sum_for_block_device(const std::string& device, std::string& md5);
// The uuid of exactly the logical volume named by the text after the
// source's last "/" (the directory before it names the volume group when
// several groups hold a volume of that name).
int get_image_uuid(const std::string& source, std::string& uuid);
int get_ceph_image_id(const std::string& source, std::string& id);

}  // namespace ks_opennebula_common

// OpenNebula datastores: existence, type, transfer driver, free space, and
// the choice of a datastore with room for a restore.
#pragma once

#include <string>

#include "opennebula/records.h"

namespace ks_opennebula_common {

// Datastore types as OpenNebula prints them in DATASTORE/TYPE.
enum : int { DATASTORE_TYPE_IMAGE = 0, DATASTORE_TYPE_SYSTEM = 1, DATASTORE_TYPE_FILE = 2 };

// True when "onedatastore show <id>" succeeds.
bool does_datastore_exist(const std::string& id);

// The first datastore, in pool order, of `type` with more than `need_mb`
// megabytes free and, for a system datastore (type 1), the transfer driver
// `tm_mad`. 0 with its ID in `id` (left as it was on failure), or 1.
int get_any_datastore_by_type(int type, TM_MAD_TYPE tm_mad, const unsigned int& need_mb, std::string& id);
// get_any_datastore_by_type(0, -1, need_mb, id).
int get_any_image_datastore(const unsigned int& need_mb, std::string& id);
// get_any_datastore_by_type(1, tm_mad, need_mb, id).
int get_any_system_datastore_by_tm_mad(TM_MAD_TYPE tm_mad, const unsigned int& need_mb, std::string& id);

// 0 with the datastore's FREE_MB, or 1 (also when it prints none).
int get_datastore_capacity_mb(const std::string& id, int& free_mb);
// The datastore's transfer driver; -1 on any failure or an unknown driver.
TM_MAD_TYPE get_datastore_tm_mad(const std::string& id);
// 0 with the datastore's TYPE, or 1 (`type` is -1 then).
int get_datastore_type(const std::string& id, int& type);

}  // namespace ks_opennebula_common

// OpenNebula images: attributes, lists, single queries and deletion.
#pragma once

#include <string>
#include <vector>

#include "opennebula/records.h"

namespace ks_opennebula_common {

// Fills `image` from "oneimage show <id>" (fields whose element is absent
// keep their value) and computes its unique signature. 0, or 1.
int get_image_attributes(const std::string& id, oneimage& image, bool force_md5);

// Appends the ids, or the names, of all images.
int get_image_list(std::vector<std::string>& ids);
int get_available_image_names(std::vector<std::string>& names);

int get_image_name(const std::string& id, std::string& name);
// The ID of the image with that name or id; an empty ID is a failure.
int get_image_id(const std::string& name_or_id, std::string& id);
int get_image_state(const std::string& id, int& state);
int get_image_source(const std::string& id, std::string& source);
// The SAFE_DIRS of a datastore's template; empty is a failure.
int get_safe_dirs_from_datastore(const std::string& datastore_id, std::string& dirs);

bool does_image_exist_by_id(const std::string& id);
bool does_image_name_exist(const std::string& name);

void delete_image(const std::string& id);

}  // namespace ks_opennebula_common

// The restored volumes a server can boot from: their creation, which copes
// with an image that is gone from the cloud, and the bootable mark that
// nova asks for before it boots from a volume.
#pragma once

#include <string>
#include <vector>

#include "rustack/records.h"

class curlAPI;

namespace rustack_restore {

// Creates the empty volume of a saved description (create_volume with no
// snapshot): from its image when the description is bootable. When the
// cloud refuses that image (it was deleted since the backup: an error reply
// with HTTP code 400 or 404), makes the volume once more without it, after a
// Warning after `signature`. 0 with the new id, or the failure of
// create_volume (logged).
int create_restored_volume(curlAPI& client, volume const& record, std::string& id, char const* signature);

// Marks bootable, one after another, the new volume ids[k] of every
// description records[k] that says bootable "true" (a volume made without
// an image is not, and nova refuses to boot from it). False at the first
// that fails, after an Error after `signature` naming it and its original.
bool mark_bootable(curlAPI& client, std::vector<volume> const& records, std::vector<std::string> const& ids,
                   char const* signature);

}  // namespace rustack_restore

#include "rustack/restore_bootable.h"

#include <cstddef>

#include "rustack/curl_api.h"
#include "support/log/ks_log.h"
#include "support/utils/quoting.h"

namespace rustack_restore {

int create_restored_volume(curlAPI& client, volume const& record, std::string& id, char const* signature) {
  int const rc = client.create_volume(record, id, "");
  bool const image_sent = record.bootable == "true" && !record.volume_image_metadata.image_id.empty();
  long const code = client.last_http_code();
  if (rc == 0 || !image_sent || (code != 400 && code != 404))
    return rc;
  KsLogStream(KsLogLvl::Warning) << signature << ": the cloud refused the image '"
                                 << kestrova::as_one_line(record.volume_image_metadata.image_id) << "' of volume '"
                                 << kestrova::as_one_line(record.id)
                                 << "': its copy is made without the image and then marked bootable" << std::endl;
  // create_volume names an image only for a bootable description.
  volume without_image = record;
  without_image.bootable = "false";
  return client.create_volume(without_image, id, "");
}

bool mark_bootable(curlAPI& client, std::vector<volume> const& records, std::vector<std::string> const& ids,
                   char const* signature) {
  for (std::size_t k = 0; k < records.size() && k < ids.size(); ++k) {
    if (records[k].bootable != "true")
      continue;
    if (client.set_volume_bootable(records[k].tenant_id, ids[k], true) != 0) {
      KsLogStream(KsLogLvl::Error) << signature << ": unable to mark the restored volume '"
                                   << kestrova::as_one_line(ids[k]) << "' (a copy of '"
                                   << kestrova::as_one_line(records[k].id) << "') bootable, no server can boot from it"
                                   << std::endl;
      return false;
    }
    KsLogStream(KsLogLvl::Info) << "Volume '" << kestrova::as_one_line(ids[k]) << "' is marked bootable" << std::endl;
  }
  return true;
}

}  // namespace rustack_restore

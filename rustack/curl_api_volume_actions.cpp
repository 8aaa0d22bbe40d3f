// Block-storage volume actions of curlAPI: the bootable flag of a volume.
#include <string>

#include "rustack/curl_api.h"
#include "rustack/curl_api_ops.h"

using curl_api_ops::has_id;
using curl_api_ops::path_segment;

namespace {

char const* const kSetBootableSig = "int curlAPI::set_volume_bootable(const string&, const string&, bool)";

}  // namespace

int curlAPI::set_volume_bootable(std::string const& project, std::string const& volume_id, bool bootable) {
  char const* const sig = kSetBootableSig;
  return curl_api_ops::guarded(sig, 6, [&]() {
    if (!has_id(sig, "project id", project) || !has_id(sig, "volume id", volume_id))
      return 6;
    std::string const body =
        std::string("{\"os-set_bootable\": {\"bootable\": ") + (bootable ? "true" : "false") + "}}";
    std::string reply;
    if (process_curl_api_request(storage_base(path_segment(project)) + "/volumes/" + path_segment(volume_id) +
                                     "/action",
                                 POST, reply, body, false, true) != 0)
      return 2;
    return curl_api_ops::empty_reply_result(*this, sig, reply);
  });
}

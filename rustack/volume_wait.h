// The bounded wait for a volume to reach a status, shared by the backup and
// the restore: one poll a second (rustack_poll, each poll after a pause).
#pragma once

#include <cstdint>
#include <string>

class curlAPI;

namespace rustack_wait {

// Polls the volume's status until it is `awaited`, starting from `status`
// (no poll when it already is). With `availability`, a status other than
// "creating", "available" or "downloading" fails at once. 0 when reached; 1
// after logging at Error, after `signature`, the failed request, the
// unexpected status, or `timeout_message` once `bound` polls did not reach
// it (callers give a bound of at least 1, curlAPI::valid_timeout).
int wait_for_volume_status(curlAPI& client, std::string const& project, std::string const& volume_id,
                           std::string status, std::string const& awaited, bool availability, std::uint32_t bound,
                           char const* signature, std::string const& timeout_message);

}  // namespace rustack_wait

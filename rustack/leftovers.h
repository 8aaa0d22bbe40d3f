// What a clean-up left in the cloud. The clean-up composites of curlAPI
// report nothing, so after one the module asks for every object it meant to
// remove and names, at Error, each one that is still there.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "rustack/records.h"

class curlAPI;

namespace rustack_cleanup {

enum class presence { gone, present, unknown };

// Looks an object up at `url` (its member `kind`, "snapshot", "volume" or
// "server", gives its "status") with a plain request, so that one already
// gone (404) is no error; "deleting" counts as gone. With `attached_to`, the
// server ids of a volume's attachments go there.
presence look_up(curlAPI& client, std::string const& url, char const* kind, std::string& status,
                 std::vector<std::string>* attached_to = nullptr);

// Waits, a look and then one after each second of at most `bound`, while a
// snapshot is still being made or a volume is being made, attached or detached: the
// cloud refuses to remove either then. Used before a clean-up that may
// follow an interruption.
void settle(curlAPI& client, std::string const& project, std::vector<std::string> const& snapshots,
            std::set<std::string> const& volumes, std::uint32_t bound);

// The bound of settle: the longest of the configured waits (at least 1).
std::uint32_t settle_bound(conf const& settings);

// Asks for the state of every snapshot and volume of `project`. One that is
// gone or being deleted is done; every other one, also one whose state cannot
// be read, is logged at Error after `signature` and stays in its list, the
// others are taken out. True when nothing is left.
bool report_leftovers(curlAPI& client, std::string const& project, std::vector<std::string>& snapshots,
                      std::set<std::string>& volumes, char const* signature);

// The same without a word: the lists keep what is still there (or cannot
// be read). True when nothing is left.
bool drop_gone(curlAPI& client, std::string const& project, std::vector<std::string>& snapshots,
               std::set<std::string>& volumes);

// Logs at Error, after `signature`, every snapshot and volume as left
// behind, for a clean-up that could not be tried; `why` ends the lines.
void log_left_behind(std::string const& project, std::vector<std::string> const& snapshots,
                     std::set<std::string> const& volumes, char const* signature, std::string const& why);

}  // namespace rustack_cleanup

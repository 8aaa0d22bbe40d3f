// Whole-file reading with POSIX calls, so that every read error is seen
// (iostreams hide some of them). A save replaces the file with
// kestrova::replace_file (support/utils/file_replacement.h).
#pragma once

#include <string>

namespace ks_config {
namespace detail {

enum class ReadResult { ok, cannot_open, read_failed };

// Reads the whole file into content. A message in error when it cannot be
// opened ("Can't open file '<path>'") or a read fails ("Can't read file
// '<path>': <reason>"); content is then unchanged.
ReadResult read_whole_file(std::string const& path, std::string& content, std::string& error);

}  // namespace detail
}  // namespace ks_config

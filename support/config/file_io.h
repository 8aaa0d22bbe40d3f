// Whole-file reading and crash-safe replacement of a file, with POSIX calls
// so that every read and write error is seen (iostreams hide some of them).
#pragma once

#include <string>

namespace ks_config {
namespace detail {

enum class ReadResult { ok, cannot_open, read_failed };

// Reads the whole file into content. A message in error when it cannot be
// opened ("Can't open file '<path>'") or a read fails ("Can't read file
// '<path>': <reason>"); content is then unchanged.
ReadResult read_whole_file(std::string const& path, std::string& content, std::string& error);

// Replaces the file at path by content: writes a new file next to it, syncs
// it and renames it over the old one, so a failure at any step leaves the
// old file as it was. Symbolic links are followed, also to a target that does
// not exist yet, so a link stays a link; an existing file's owner and
// permission bits are kept. False on any failure, and when the path names
// something other than a regular file (left untouched).
bool replace_file(std::string const& path, std::string const& content);

}  // namespace detail
}  // namespace ks_config

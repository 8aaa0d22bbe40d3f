// Commit-or-discard replacement of a file: the new content is written to a
// file of its own beside the old one and put in its place only by commit(),
// in one rename, so that a reader sees the whole old file or the whole new
// one, and a failure at any step (or an owner that never commits) leaves the
// old file as it was.
//
// Part of ks_utils_base, which depends on no other library of the project
// (support/config uses it).
#pragma once

#include <cstddef>
#include <string>

#include "support/utils/unique_fd.h"

namespace kestrova {

class file_replacement {
 public:
  // Makes the new file, empty, beside the file `path` names: the end of the
  // chain of symbolic links that starts at `path`, whether that file exists
  // yet or not (so a link stays a link). The new file takes an existing
  // file's permission bits, and its owner and group as far as this process
  // may set them (the group alone, or neither, for another user); a file
  // made anew gets 0666 less the umask. ready() is false when the links form
  // a loop or a chain longer than the kernel follows, when `path` names
  // something other than a regular file (a device, pipe or directory is
  // never replaced), or when the new file cannot be made.
  explicit file_replacement(std::string const& path);
  // Discards what was not committed.
  ~file_replacement();
  file_replacement(file_replacement const&) = delete;
  file_replacement& operator=(file_replacement const&) = delete;

  bool ready() const { return fd_.valid(); }
  // The new file, open for writing (-1 when not ready). Whoever writes to it
  // directly and fails simply never commits.
  int fd() const { return fd_.get(); }

  // Appends all of `size` bytes, resuming after signals. False when not
  // ready or the write failed; the replacement is discarded then.
  bool write(char const* data, std::size_t size);
  bool write(std::string const& data) { return write(data.data(), data.size()); }

  // Syncs and closes the new file and renames it over the old one, then
  // syncs the directory so that the rename lasts too (a failure of that last
  // sync does not undo the replacement). False when any step but the last
  // failed: the old file is untouched then and the new one is gone.
  bool commit();
  // Removes the new file; the old one stays. Nothing after a commit.
  void discard() noexcept;

 private:
  std::string target_;
  std::string temporary_;  // empty once committed or discarded
  unique_fd fd_;
};

// The whole replacement in one call: true when `content` has replaced the
// file `path` names.
bool replace_file(std::string const& path, std::string const& content);

}  // namespace kestrova

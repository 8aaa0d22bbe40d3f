// The meta file of one backup: which archive it describes, and for every
// item its attributes, its size, its content digest and the digest of each
// block, so that the next incremental backup stores only changed blocks.
// A text file that ends with a SHA-256 of everything before it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ksfd {

struct ItemInfo {
  std::string name;      // name inside the archive
  std::string type;      // "file" or "blockdev"
  uint32_t mode = 0;     // permission bits
  uint64_t uid = 0, gid = 0;
  int64_t mtime = 0;
  uint64_t size = 0;
  std::string digest;               // hex digest of the whole content
  std::vector<std::string> blocks;  // hex digest of each block, in order
};

struct Meta {
  std::string archive_id;  // hex
  std::string location;    // absolute archive path, or "media:" + name
  std::string reference;   // archive id of the reference, empty for a full backup
  std::string hash;        // "sha256" or "sha512"
  uint64_t block_size = 0;
  std::string crypto;      // empty when not enciphered
  std::vector<ItemInfo> items;

  ItemInfo const* find(std::string const& name) const;
};

std::string encode_meta(Meta const& m);
// Throws Failure naming the file when it is not a whole, unchanged meta file.
Meta read_meta(std::string const& path);

}  // namespace ksfd

// What the records of an archive mean: the header, the items with their
// blocks, the writer that turns files and block devices into items, and the
// scan that checks a whole archive before anything is restored from it.
//
//   H  header: format, id, hash, block_size, reference, reference_location,
//      crypto, key_check, compress, media_server, task, name, created
//   then per item:  I (name type mode uid gid mtime base)  B* (blocks)
//                   E (size digest stored)
//   Z  end: items
//
// A block payload is its 64-bit index, then, in an enciphered archive, a
// 16-byte counter-mode IV, then the data. An item of base "full" holds every
// block; one of base "delta" only the blocks that differ from the same item
// of the reference archive, and ends at its size.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "meta.h"
#include "records.h"

namespace ksfd {

struct ArchiveHeader {
  std::string id;  // 32 hex digits
  std::string hash;
  uint64_t block_size = 0;
  std::string reference;           // id of the reference archive, empty for a full
  std::string reference_location;  // where that archive was
  std::string crypto;              // empty when not enciphered
  std::string key_check;           // proves the key without revealing it
  std::string compress;
  std::string media_server, task, name;

  std::string encode() const;
  static ArchiveHeader decode(std::string const& payload, std::string const& what);
};

// The 32-byte data key from a key file, and its check value.
std::string key_from_file(std::string const& path);
std::string key_check_of(std::string const& key);
// Throws unless crypto and key open the archive (both empty for a plain one).
void check_key(ArchiveHeader const& h, std::string const& crypto, std::string const& key, std::string const& what);

bool safe_item_name(std::string const& name);
uint64_t block_count(uint64_t size, uint64_t block_size);

struct ItemSummary {
  ItemInfo info;  // without block digests
  std::string base;  // "full" or "delta"
};

struct ArchiveScan {
  std::string path;
  ArchiveHeader header;
  std::vector<ItemSummary> items;
  uint64_t bytes = 0;
};
// Reads the whole archive and checks every record, block and item.
ArchiveScan scan_archive(std::string const& path);

// Appends items to an archive being written.
class ItemWriter {
 public:
  using Progress = std::function<void(uint64_t item_bytes)>;
  ItemWriter(RecordWriter& out, ArchiveHeader const& header, std::string key);

  // Reads the source to its end (a block device has no useful stat size).
  // With a reference, only blocks whose digests differ are stored.
  ItemInfo add(std::string const& source, std::string const& name, ItemInfo const* reference, Progress const& progress);

 private:
  RecordWriter& out_;
  ArchiveHeader const& header_;
  std::string key_;
};

}  // namespace ksfd

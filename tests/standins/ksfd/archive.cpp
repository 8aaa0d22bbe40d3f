#include "archive.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <set>

#include "crypto.h"

namespace ksfd {

namespace {
char const kFormat[] = "ksfd-standin-archive-1";
}

std::string ArchiveHeader::encode() const {
  return encode_fields({{"format", kFormat},
                        {"id", id},
                        {"hash", hash},
                        {"block_size", std::to_string(block_size)},
                        {"reference", reference.empty() ? "-" : reference},
                        {"reference_location", reference_location.empty() ? "-" : reference_location},
                        {"crypto", crypto.empty() ? "-" : crypto},
                        {"key_check", key_check.empty() ? "-" : key_check},
                        {"compress", compress.empty() ? "-" : compress},
                        {"media_server", media_server.empty() ? "-" : media_server},
                        {"task", task.empty() ? "-" : task},
                        {"name", name.empty() ? "-" : name}});
}

ArchiveHeader ArchiveHeader::decode(std::string const& payload, std::string const& what) {
  auto f = decode_fields(payload, what);
  if (field(f, "format", what) != kFormat) throw Failure(what + ": unknown archive format");
  auto opt = [&](char const* key) {
    std::string const& v = field(f, key, what);
    return v == "-" ? std::string() : v;
  };
  ArchiveHeader h;
  h.id = field(f, "id", what);
  h.hash = field(f, "hash", what);
  if (h.hash != "sha256" && h.hash != "sha512") throw Failure(what + ": unknown hash " + h.hash);
  h.block_size = uint_field(f, "block_size", what);
  if (h.block_size == 0 || h.block_size > (64u << 20)) throw Failure(what + ": bad block size");
  h.reference = opt("reference");
  h.reference_location = opt("reference_location");
  h.crypto = opt("crypto");
  h.key_check = opt("key_check");
  h.compress = opt("compress");
  h.media_server = opt("media_server");
  h.task = opt("task");
  h.name = opt("name");
  return h;
}

std::string key_from_file(std::string const& path) {
  std::string content = read_whole_file(path);
  if (content.empty()) throw Failure("key file is empty: " + path);
  return sha256_raw(content);
}

std::string key_check_of(std::string const& key) {
  return to_hex(sha256_raw(std::string("ksfd-standin-key-check", 22) + key));
}

void check_key(ArchiveHeader const& h, std::string const& crypto, std::string const& key, std::string const& what) {
  if (h.crypto.empty()) return;  // a plain archive opens with or without a key
  if (crypto.empty()) throw Failure(what + " is enciphered (" + h.crypto + "): give -C and -k");
  if (crypto != h.crypto) throw Failure(what + " is enciphered with " + h.crypto + ", not " + crypto);
  if (key_check_of(key) != h.key_check) throw Failure("wrong key for " + what);
}

bool safe_item_name(std::string const& name) {
  if (name.empty() || name[0] == '/' || name.find('\0') != std::string::npos || name.find('\n') != std::string::npos)
    return false;
  size_t start = 0;
  for (;;) {
    size_t end = name.find('/', start);
    std::string part = name.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

uint64_t block_count(uint64_t size, uint64_t block_size) { return (size + block_size - 1) / block_size; }

ArchiveScan scan_archive(std::string const& path) {
  ArchiveScan scan;
  scan.path = path;
  RecordReader in(path);
  Record r;
  std::string what = "archive " + path;
  auto corrupt = [&](std::string const& why) { return Failure("corrupt archive " + path + ": " + why); };

  if (!in.next(r) || r.type != record::kHeader) throw corrupt("no header");
  scan.header = ArchiveHeader::decode(r.payload, what);
  uint64_t const bs = scan.header.block_size;
  size_t const prefix = 8 + (scan.header.crypto.empty() ? 0 : 16);

  std::set<std::string> names;
  bool in_item = false, ended = false;
  ItemSummary item;
  uint64_t next_index = 0, stored = 0;
  std::vector<std::pair<uint64_t, uint64_t>> blocks;  // index, data length

  while (in.next(r)) {
    if (ended) throw corrupt("records after the end record");
    switch (r.type) {
      case record::kItem: {
        if (in_item) throw corrupt("item without end");
        auto f = decode_fields(r.payload, what);
        item = ItemSummary();
        item.info.name = field(f, "name", what);
        item.info.type = field(f, "type", what);
        item.info.mode = static_cast<uint32_t>(uint_field(f, "mode", what));
        item.info.uid = uint_field(f, "uid", what);
        item.info.gid = uint_field(f, "gid", what);
        item.info.mtime = std::stoll(field(f, "mtime", what));
        item.base = field(f, "base", what);
        if (!safe_item_name(item.info.name)) throw corrupt("unsafe item name: " + item.info.name);
        if (item.base != "full" && item.base != "delta") throw corrupt("bad item base " + item.base);
        if (!names.insert(item.info.name).second) throw corrupt("item twice: " + item.info.name);
        in_item = true;
        next_index = stored = 0;
        blocks.clear();
        break;
      }
      case record::kBlock: {
        if (!in_item) throw corrupt("block outside an item");
        if (r.payload.size() < prefix) throw corrupt("short block record");
        uint64_t index = read_u64_le(r.payload.data());
        uint64_t len = r.payload.size() - prefix;
        if (len == 0 || len > bs) throw corrupt("bad block length");
        if (item.base == "full" ? index != next_index : index < next_index) throw corrupt("blocks out of order");
        next_index = index + 1;
        blocks.emplace_back(index, len);
        ++stored;
        break;
      }
      case record::kItemEnd: {
        if (!in_item) throw corrupt("item end outside an item");
        auto f = decode_fields(r.payload, what);
        item.info.size = uint_field(f, "size", what);
        item.info.digest = field(f, "digest", what);
        if (uint_field(f, "stored", what) != stored) throw corrupt("block count mismatch in " + item.info.name);
        uint64_t n = block_count(item.info.size, bs);
        if (item.base == "full" && stored != n) throw corrupt("missing blocks in " + item.info.name);
        for (auto const& b : blocks) {
          if (b.first >= n) throw corrupt("block beyond the end of " + item.info.name);
          uint64_t want = std::min(bs, item.info.size - b.first * bs);
          if (b.second != want) throw corrupt("block of wrong length in " + item.info.name);
        }
        scan.items.push_back(item);
        in_item = false;
        break;
      }
      case record::kEnd: {
        if (in_item) throw corrupt("end inside an item");
        auto f = decode_fields(r.payload, what);
        if (uint_field(f, "items", what) != scan.items.size()) throw corrupt("item count mismatch");
        ended = true;
        break;
      }
      default: throw corrupt("unknown record type");
    }
  }
  if (!ended) throw corrupt("no end record (cut off?)");
  scan.bytes = in.bytes();
  return scan;
}

ItemWriter::ItemWriter(RecordWriter& out, ArchiveHeader const& header, std::string key)
    : out_(out), header_(header), key_(std::move(key)) {}

ItemInfo ItemWriter::add(std::string const& source, std::string const& name, ItemInfo const* reference,
                         Progress const& progress) {
  Fd fd = open_or_fail(source, O_RDONLY);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) throw Failure("cannot stat " + source);
  ItemInfo info;
  info.name = name;
  if (S_ISREG(st.st_mode)) info.type = "file";
  else if (S_ISBLK(st.st_mode)) info.type = "blockdev";
  else throw Failure("not a regular file or block device: " + source);
  info.mode = st.st_mode & 07777;
  info.uid = st.st_uid;
  info.gid = st.st_gid;
  info.mtime = st.st_mtime;

  out_.write(record::kItem, encode_fields({{"name", name},
                                           {"type", info.type},
                                           {"mode", std::to_string(info.mode)},
                                           {"uid", std::to_string(info.uid)},
                                           {"gid", std::to_string(info.gid)},
                                           {"mtime", std::to_string(info.mtime)},
                                           {"base", reference ? "delta" : "full"}}));

  Digest whole(header_.hash);
  std::string buf(header_.block_size, '\0');
  uint64_t index = 0, stored = 0;
  for (;;) {
    size_t n = read_some(fd.get(), &buf[0], buf.size(), source);
    if (n == 0) break;
    std::string data = buf.substr(0, n);
    whole.update(data);
    Digest block(header_.hash);
    block.update(data);
    info.blocks.push_back(block.final_hex());
    bool same = reference && index < reference->blocks.size() && reference->blocks[index] == info.blocks.back();
    if (!same) {
      std::string payload = u64_le(index);
      if (key_.empty()) {
        payload += data;
      } else {
        std::string iv = random_bytes(16);
        payload += iv + aes256_ctr(key_, iv, data);
      }
      out_.write(record::kBlock, payload);
      ++stored;
    }
    info.size += n;
    ++index;
    if (progress) progress(info.size);
    if (n < buf.size()) break;
  }
  info.digest = whole.final_hex();
  out_.write(record::kItemEnd, encode_fields({{"size", std::to_string(info.size)},
                                              {"digest", info.digest},
                                              {"stored", std::to_string(stored)}}));
  return info;
}

}  // namespace ksfd

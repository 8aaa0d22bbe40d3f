#include "meta.h"

#include <sstream>

#include "crypto.h"
#include "support.h"

namespace ksfd {

namespace {
char const kFirstLine[] = "ksfd-standin-meta 1";

std::vector<std::string> words_of(std::string const& line) {
  std::vector<std::string> w;
  std::istringstream in(line);
  std::string s;
  while (in >> s) w.push_back(s);
  return w;
}

bool is_hex(std::string const& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}
}  // namespace

ItemInfo const* Meta::find(std::string const& name) const {
  for (auto const& i : items)
    if (i.name == name) return &i;
  return nullptr;
}

std::string encode_meta(Meta const& m) {
  std::ostringstream out;
  out << kFirstLine << "\n"
      << "archive " << m.archive_id << "\n"
      << "location " << escape(m.location) << "\n"
      << "reference " << (m.reference.empty() ? "-" : m.reference) << "\n"
      << "hash " << m.hash << "\n"
      << "block_size " << m.block_size << "\n"
      << "crypto " << (m.crypto.empty() ? "-" : escape(m.crypto)) << "\n"
      << "items " << m.items.size() << "\n";
  for (auto const& i : m.items) {
    out << "item " << escape(i.name) << " " << i.type << " " << std::oct << i.mode << std::dec << " " << i.uid << " "
        << i.gid << " " << i.mtime << " " << i.size << " " << i.digest << " " << i.blocks.size() << "\n";
    for (auto const& b : i.blocks) out << b << "\n";
  }
  std::string body = out.str();
  return body + "checksum " + to_hex(sha256_raw(body)) + "\n";
}

Meta read_meta(std::string const& path) {
  std::string text = read_whole_file(path);
  auto bad = [&](std::string const& why) { return Failure("bad meta file " + path + ": " + why); };

  size_t last = text.rfind("checksum ");
  if (last == std::string::npos || (last != 0 && text[last - 1] != '\n') || text.empty() || text.back() != '\n')
    throw bad("no checksum line (cut off?)");
  std::string body = text.substr(0, last);
  std::string sum = text.substr(last + 9, text.size() - last - 10);
  if (sum != to_hex(sha256_raw(body))) throw bad("checksum mismatch");

  std::istringstream in(body);
  std::string line;
  auto next_words = [&](std::string const& key, size_t count) {
    if (!std::getline(in, line)) throw bad("missing " + key);
    auto w = words_of(line);
    if (w.size() != count + 1 || w[0] != key) throw bad("bad line: " + line);
    return w;
  };
  auto number = [&](std::string const& s) {
    uint64_t v = 0;
    if (!parse_uint(s, v)) throw bad("bad number: " + s);
    return v;
  };

  if (!std::getline(in, line) || line != kFirstLine) throw bad("not a meta file of this tool");
  Meta m;
  m.archive_id = next_words("archive", 1)[1];
  m.location = unescape(next_words("location", 1)[1]);
  m.reference = next_words("reference", 1)[1];
  if (m.reference == "-") m.reference.clear();
  m.hash = next_words("hash", 1)[1];
  m.block_size = number(next_words("block_size", 1)[1]);
  m.crypto = next_words("crypto", 1)[1];
  m.crypto = m.crypto == "-" ? "" : unescape(m.crypto);
  uint64_t count = number(next_words("items", 1)[1]);
  for (uint64_t n = 0; n < count; ++n) {
    auto w = next_words("item", 9);
    ItemInfo i;
    i.name = unescape(w[1]);
    i.type = w[2];
    i.mode = static_cast<uint32_t>(std::stoul(w[3], nullptr, 8));
    i.uid = number(w[4]);
    i.gid = number(w[5]);
    i.mtime = std::stoll(w[6]);
    i.size = number(w[7]);
    i.digest = w[8];
    uint64_t blocks = number(w[9]);
    for (uint64_t b = 0; b < blocks; ++b) {
      if (!std::getline(in, line) || !is_hex(line)) throw bad("bad block digest of " + i.name);
      i.blocks.push_back(line);
    }
    m.items.push_back(std::move(i));
  }
  if (std::getline(in, line)) throw bad("unexpected line: " + line);
  return m;
}

}  // namespace ksfd

#include "records.h"

#include <fcntl.h>

#include <cstring>

#include "crypto.h"

namespace ksfd {

char const kArchiveMagic[8] = {'K', 'S', 'F', 'D', 'S', 'A', '0', '1'};

namespace {
// The largest payload: a block of the largest block size with its index and
// cipher prefix, or a text record.
constexpr uint64_t kMaxPayload = (64u << 20) + 64;
constexpr size_t kDigestSize = 32;

std::string chain_digest(std::string const& prev, char type, std::string const& len, std::string const& payload) {
  Digest d("sha256");
  d.update(prev);
  d.update(&type, 1);
  d.update(len);
  d.update(payload);
  return d.final_raw();
}
}  // namespace

std::string u64_le(uint64_t v) {
  std::string s(8, '\0');
  for (int i = 0; i < 8; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xff);
  return s;
}

uint64_t read_u64_le(char const* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}

RecordWriter::RecordWriter(int fd, std::string what)
    : fd_(fd), what_(std::move(what)), chain_(sha256_raw(std::string(kArchiveMagic, 8))) {
  write_all(fd_, kArchiveMagic, 8, what_);
  bytes_ = 8;
}

void RecordWriter::write(char type, std::string const& payload) {
  std::string len = u64_le(payload.size());
  chain_ = chain_digest(chain_, type, len, payload);
  std::string out;
  out.reserve(1 + 8 + payload.size() + kDigestSize);
  out += type;
  out += len;
  out += payload;
  out += chain_;
  write_all(fd_, out.data(), out.size(), what_);
  bytes_ += out.size();
}

RecordReader::RecordReader(std::string path)
    : path_(std::move(path)), fd_(open_or_fail(path_, O_RDONLY)), chain_(sha256_raw(std::string(kArchiveMagic, 8))) {
  char magic[8];
  if (fill(magic, 8) != 8 || std::memcmp(magic, kArchiveMagic, 8) != 0) corrupt("not an archive of this tool");
}

size_t RecordReader::fill(char* out, size_t n) {
  size_t done = 0;
  while (done < n) {
    if (pos_ == buf_.size()) {
      buf_.resize(1 << 20);
      buf_.resize(read_some(fd_.get(), &buf_[0], buf_.size(), path_));
      pos_ = 0;
      if (buf_.empty()) break;
    }
    size_t take = std::min(n - done, buf_.size() - pos_);
    std::memcpy(out + done, buf_.data() + pos_, take);
    pos_ += take;
    done += take;
  }
  bytes_ += done;
  return done;
}

void RecordReader::corrupt(std::string const& why) const {
  throw Failure("corrupt archive " + path_ + " at byte " + std::to_string(bytes_) + ": " + why);
}

bool RecordReader::next(Record& r) {
  char head[9];
  size_t got = fill(head, 9);
  if (got == 0) return false;
  if (got != 9) corrupt("cut off inside a record head");
  uint64_t len = read_u64_le(head + 1);
  if (len > kMaxPayload) corrupt("impossible record length " + std::to_string(len));
  r.type = head[0];
  r.payload.assign(len, '\0');
  if (fill(&r.payload[0], len) != len) corrupt("cut off inside a record");
  char digest[kDigestSize];
  if (fill(digest, kDigestSize) != kDigestSize) corrupt("cut off inside a record digest");
  chain_ = chain_digest(chain_, r.type, std::string(head + 1, 8), r.payload);
  if (std::memcmp(digest, chain_.data(), kDigestSize) != 0) corrupt("record digest mismatch");
  return true;
}

std::string encode_fields(Fields const& fields) {
  std::string out;
  for (auto const& f : fields) out += f.first + " " + escape(f.second) + "\n";
  return out;
}

std::map<std::string, std::string> decode_fields(std::string const& payload, std::string const& what) {
  std::map<std::string, std::string> out;
  size_t start = 0;
  while (start < payload.size()) {
    size_t end = payload.find('\n', start);
    if (end == std::string::npos) throw Failure(what + ": unterminated field");
    std::string line = payload.substr(start, end - start);
    size_t blank = line.find(' ');
    if (blank == std::string::npos || blank == 0) throw Failure(what + ": bad field line");
    if (!out.emplace(line.substr(0, blank), unescape(line.substr(blank + 1))).second)
      throw Failure(what + ": field given twice: " + line.substr(0, blank));
    start = end + 1;
  }
  return out;
}

std::string const& field(std::map<std::string, std::string> const& f, std::string const& key, std::string const& what) {
  auto it = f.find(key);
  if (it == f.end()) throw Failure(what + ": missing field " + key);
  return it->second;
}

uint64_t uint_field(std::map<std::string, std::string> const& f, std::string const& key, std::string const& what) {
  uint64_t v = 0;
  if (!parse_uint(field(f, key, what), v)) throw Failure(what + ": bad number in field " + key);
  return v;
}

}  // namespace ksfd

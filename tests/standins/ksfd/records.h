// The archive container: a magic, then records of a type byte, a 64-bit
// little-endian payload length, the payload and a SHA-256 that chains over
// the previous record's digest. A flipped byte, a lost or reordered record
// and a cut-off end are all caught by the reader.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "support.h"

namespace ksfd {

extern char const kArchiveMagic[8];  // "KSFDSA01"

namespace record {
constexpr char kHeader = 'H';
constexpr char kItem = 'I';
constexpr char kBlock = 'B';
constexpr char kItemEnd = 'E';
constexpr char kEnd = 'Z';
}  // namespace record

// Writes records to a file descriptor it does not own.
class RecordWriter {
 public:
  RecordWriter(int fd, std::string what);
  RecordWriter(RecordWriter const&) = delete;
  RecordWriter& operator=(RecordWriter const&) = delete;

  void write(char type, std::string const& payload);
  uint64_t bytes() const { return bytes_; }

 private:
  int fd_;
  std::string what_;
  std::string chain_;
  uint64_t bytes_ = 0;
};

struct Record {
  char type = 0;
  std::string payload;
};

// Reads and checks the records of one archive file.
class RecordReader {
 public:
  explicit RecordReader(std::string path);
  RecordReader(RecordReader const&) = delete;
  RecordReader& operator=(RecordReader const&) = delete;

  // False only at the end of the file right after a record; a Failure for
  // anything that is not a well-formed record chain.
  bool next(Record& r);
  uint64_t bytes() const { return bytes_; }
  std::string const& path() const { return path_; }

 private:
  size_t fill(char* out, size_t n);
  [[noreturn]] void corrupt(std::string const& why) const;

  std::string path_;
  Fd fd_;
  std::string buf_;
  size_t pos_ = 0;
  std::string chain_;
  uint64_t bytes_ = 0;
};

// Text payloads: "key value" lines, values escaped (support.h).
using Fields = std::vector<std::pair<std::string, std::string>>;
std::string encode_fields(Fields const& fields);
std::map<std::string, std::string> decode_fields(std::string const& payload, std::string const& what);
std::string const& field(std::map<std::string, std::string> const& f, std::string const& key, std::string const& what);
uint64_t uint_field(std::map<std::string, std::string> const& f, std::string const& key, std::string const& what);

std::string u64_le(uint64_t v);
uint64_t read_u64_le(char const* p);

}  // namespace ksfd

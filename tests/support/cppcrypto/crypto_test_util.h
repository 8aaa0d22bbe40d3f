// Helpers of the cryptographic tests: hex texts, reproducible random bytes
// and the outside programs used as oracles (python3, openssl).
#pragma once

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/test_util.h"

namespace crypto_test {

using bytes = std::vector<unsigned char>;

inline std::string to_hex(const unsigned char* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

inline std::string to_hex(const bytes& b) { return to_hex(b.data(), b.size()); }

inline bytes from_hex(const std::string& hex) {
  if (hex.size() % 2 != 0) throw std::invalid_argument("odd hex length: " + hex);
  bytes out;
  for (size_t i = 0; i < hex.size(); i += 2) out.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

inline bytes of_text(const std::string& s) { return bytes(s.begin(), s.end()); }

inline bytes random_bytes(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  bytes b(n);
  for (auto& x : b) x = static_cast<unsigned char>(rng() >> 24);
  return b;
}

inline void write_bytes(const boost::filesystem::path& p, const bytes& b) {
  kstest::write_file(p, std::string(b.begin(), b.end()));
}

inline bytes read_bytes(const boost::filesystem::path& p) {
  std::string const s = kstest::read_file(p);
  return bytes(s.begin(), s.end());
}

// Runs a command that must succeed and returns its output split in lines.
inline std::vector<std::string> run_lines(const std::string& command) {
  kstest::RunResult const r = kstest::run(command);
  EXPECT_EQ(r.status, 0) << command << "\n" << r.output;
  std::vector<std::string> lines;
  std::istringstream in(r.output);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// openssl enc with the GOST provider (Debian's libengine-gost-openssl).
inline std::string openssl_gost_enc(const std::string& args) {
  return "openssl enc -provider gostprov -provider default " + args;
}

// Bytes that end exactly where an inaccessible page begins, so that reading
// one byte past them faults instead of passing unnoticed.
class guarded_bytes {
 public:
  explicit guarded_bytes(const bytes& content) : page_(sysconf(_SC_PAGESIZE)) {
    size_t const pages = (content.size() + page_ - 1) / page_ + 1;
    map_size_ = (pages + 1) * page_;
    void* m = mmap(nullptr, map_size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) throw std::runtime_error("mmap failed");
    base_ = static_cast<unsigned char*>(m);
    unsigned char* guard = base_ + pages * page_;
    if (mprotect(guard, page_, PROT_NONE) != 0) throw std::runtime_error("mprotect failed");
    data_ = guard - content.size();
    if (!content.empty()) std::memcpy(data_, content.data(), content.size());
  }
  ~guarded_bytes() { munmap(base_, map_size_); }
  guarded_bytes(const guarded_bytes&) = delete;
  guarded_bytes& operator=(const guarded_bytes&) = delete;

  unsigned char* data() { return data_; }

 private:
  size_t page_;
  size_t map_size_ = 0;
  unsigned char* base_ = nullptr;
  unsigned char* data_ = nullptr;
};

}  // namespace crypto_test

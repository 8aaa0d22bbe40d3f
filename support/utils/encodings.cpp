#include "support/utils/ks_utils_common.h"

#include <cmath>
#include <cstdio>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <vector>

#include <boost/archive/iterators/base64_from_binary.hpp>
#include <boost/archive/iterators/binary_from_base64.hpp>
#include <boost/archive/iterators/transform_width.hpp>

namespace ks_utils_common {

namespace {

namespace bai = boost::archive::iterators;

bool in_alphabet(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

}  // namespace

std::string base64_encode(std::string const& data) {
  try {
    using encoder = bai::base64_from_binary<bai::transform_width<std::string::const_iterator, 6, 8>>;
    std::string out(encoder(data.begin()), encoder(data.end()));
    out.append((3 - data.size() % 3) % 3, '=');
    return out;
  } catch (...) {
    return std::string();
  }
}

std::string base64_decode(std::string const& text) {
  try {
    // Padding only tells how many bytes the last group holds; it decodes to
    // nothing (not to zero bytes).
    std::size_t end = text.size();
    std::size_t padding = 0;
    while (end > 0 && text[end - 1] == '=' && padding < 2) {
      --end;
      ++padding;
    }
    for (std::size_t i = 0; i < end; ++i)
      if (!in_alphabet(text[i])) return std::string();
    if (padding > 0 && text.size() % 4 != 0) return std::string();
    // A lone character after the last full group holds fewer than 8 bits.
    if (end % 4 == 1) return std::string();
    using decoder = bai::transform_width<bai::binary_from_base64<std::string::const_iterator>, 8, 6>;
    std::string out(decoder(text.begin()), decoder(text.begin() + static_cast<std::ptrdiff_t>(end)));
    out.resize(end * 6 / 8);
    return out;
  } catch (...) {
    return std::string();
  }
}

std::string trimmed(std::string const& text, std::string const& blanks) {
  std::size_t const first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::string size_to_human(float size, unsigned int precision) {
  static std::vector<std::string> const units = {"B", "kB", "MB", "GB", "TB", "PB", "EB", "ZB", "YB"};
  std::size_t steps = 0;
  if (std::isinf(size)) {
    steps = units.size();  // dividing infinity never ends
  } else {
    while (size >= 1024) {
      size /= 1024;
      ++steps;
    }
  }
  std::ostringstream out;
  out << std::fixed << std::setprecision(static_cast<int>(precision)) << size;
  std::string text = out.str();
  std::string const zeros = "." + std::string(precision, '0');
  for (std::size_t at; (at = text.find(zeros)) != std::string::npos;) text.erase(at, zeros.size());
  return text + " " + (steps < units.size() ? units[steps] : std::string("Unknown"));
}

std::string digest_as_string(unsigned char const* bytes, unsigned int count) {
  static char const digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(static_cast<std::size_t>(count) * 2);
  for (unsigned int i = 0; i < count; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 0x0f];
  }
  return out;
}

void print_digest(unsigned char* bytes, unsigned int bits) {
  std::ostringstream out;
  out << std::hex << std::setfill('0');
  for (unsigned int i = 0; i < bits / 8; ++i) out << std::setw(2) << static_cast<unsigned>(bytes[i]) << ' ';
  std::cout << out.str() << std::endl;
}

}  // namespace ks_utils_common

// Salted HMAC-SHA-256 of a string (the key is a built-in constant), and the
// hexadecimal rendering used for resource-lock names.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <utility>

namespace kestrova {
namespace hash {

using digest256 = std::array<unsigned char, 32>;

namespace sha {

template <typename Result>
struct Hasher;

// Stateless: HMAC-SHA-256 keyed with the built-in salt, in digest order.
template <>
struct Hasher<digest256> {
  digest256 operator()(std::string text) const;
};

template <typename Result = digest256, typename Arg = std::string>
Result make_hash(Arg arg) {
  return Hasher<Result>{}(std::string(std::move(arg)));
}

}  // namespace sha

// Lowercase hex, two digits per byte, LAST byte first. Lock file names are
// made from this order, so it must not change.
template <typename Digest>
std::string to_string(Digest const& digest) {
  static char const digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(digest.size() * 2);
  for (std::size_t i = digest.size(); i-- > 0;) {
    unsigned char b = static_cast<unsigned char>(digest[i]);
    out += digits[b >> 4];
    out += digits[b & 0x0f];
  }
  return out;
}

}  // namespace hash
}  // namespace kestrova

#include "support/utils/ks_utils_common.h"

#include <cctype>
#include <ctime>
#include <iomanip>
#include <limits>
#include <regex>
#include <sstream>

#include <boost/asio/ip/address.hpp>
#include <boost/uuid/string_generator.hpp>
#include <boost/uuid/uuid.hpp>

namespace ks_utils_common {

namespace {

bool matches(std::string const& text, char const* pattern) {
  try {
    std::regex const re(pattern, std::regex::ECMAScript);
    return std::regex_match(text, re);
  } catch (...) {
    return false;
  }
}

bool to_canonical_ulong(std::string const& text, unsigned long& value) {
  if (text.empty()) return false;
  try {
    std::size_t used = 0;
    value = std::stoul(text, &used, 10);
    return std::to_string(value) == text;
  } catch (...) {
    return false;
  }
}

}  // namespace

bool is_uint(std::string const& text) {
  unsigned long value = 0;
  return to_canonical_ulong(text, value);
}

bool is_digits(std::string const& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

bool string_to_uint(std::string const& text, unsigned int& out) {
  unsigned long value = 0;
  if (!to_canonical_ulong(text, value)) return false;
  // Cutting a larger value to 32 bits would hand back a different number.
  if (value > std::numeric_limits<unsigned int>::max()) return false;
  out = static_cast<unsigned int>(value);
  return true;
}

bool is_plain_name(std::string const& text) {
  if (text.empty() || text == "." || text == "..") return false;
  std::size_t const n = text.size();
  auto const byte = [&](std::size_t i) { return i < n ? static_cast<unsigned char>(text[i]) : 0u; };
  for (std::size_t i = 0; i < n; ++i) {
    unsigned const c = byte(i);
    if (c == '/' || c < 0x20 || c == 0x7f) return false;
    // The C1 controls (U+0080..U+009F) and U+2028, U+2029 in their UTF-8
    // form: Unicode readers take NEL and the separators for line breaks.
    if (c == 0xc2 && byte(i + 1) >= 0x80 && byte(i + 1) <= 0x9f) return false;
    if (c == 0xe2 && byte(i + 1) == 0x80 && (byte(i + 2) == 0xa8 || byte(i + 2) == 0xa9)) return false;
  }
  return true;
}

bool is_time(std::string const& text) {
  try {
    std::tm tm{};
    // The end mark: libstdc++ stops without an error when the text ends
    // before the format does ("12:30" would pass); a mark that no field
    // accepts turns that into a failure and is never read after a full time.
    std::istringstream in(text + '\x01');
    in >> std::get_time(&tm, "%H:%M:%S");
    return !in.fail();
  } catch (...) {
    return false;
  }
}

bool is_hostname(std::string const& text) {
  return matches(text,
                 R"re(^([a-zA-Z0-9]|[a-zA-Z0-9][a-zA-Z0-9\-]{0,61}[a-zA-Z0-9])(\.([a-zA-Z0-9]|[a-zA-Z0-9][a-zA-Z0-9\-]{0,61}[a-zA-Z0-9]))*$)re");
}

bool is_email(std::string const& text) {
  return matches(text, R"re(^[A-Za-z0-9._%+-]+@[A-Za-z0-9.-]+\.[A-Za-z]{2,6}$)re");
}

bool is_https_url_strict(std::string const& text) {
  return matches(text, R"re((https://)?[a-zA-Z0-9@:%._\-\+~#?&//=]{2,256}\.[a-z]{2,6}\b([-a-zA-Z0-9@%._\-\//=]*))re");
}

bool is_https_ip_strict(std::string const& text) {
  return matches(text,
                 R"re(https://(([0-9]|[1-9][0-9]|1[0-9][0-9]|2[0-4][0-9]|25[0-5])\.){3}([0-9]|[1-9][0-9]|1[0-9][0-9]|2[0-4][0-9]|25[0-5]))re") ||
         matches(text, R"re(https://((([0-9a-fA-F]){1,4})\:){7}([0-9a-fA-F]){1,4})re");
}

bool is_ip_address(std::string const& text) {
  try {
    boost::system::error_code ec;
    boost::asio::ip::make_address(text, ec);
    return !ec;
  } catch (...) {
    return false;
  }
}

bool is_uri_host(std::string const& text) {
  if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
    std::string const inner = text.substr(1, text.size() - 2);
    // Hex digits, colons and dots only: no zone index ("%eth0"), whose "%"
    // a URI reads as the start of an escape.
    return inner.find_first_not_of("0123456789abcdefABCDEF:.") == std::string::npos &&
           inner.find(':') != std::string::npos && is_ip_address(inner);
  }
  return is_hostname(text);
}

bool is_valid_uuid(std::string const& text) {
  try {
    boost::uuids::uuid const id = boost::uuids::string_generator()(text);
    unsigned const version = id.data[6] >> 4;
    return version >= 1 && version <= 5;
  } catch (...) {
    return false;
  }
}

bool check_password_complexity(std::string const& password, std::string& message, bool force_fail) {
  std::size_t const min_length = 12;
  std::ostringstream requirement;
  requirement << "Password minimum length must be no shorter than " << min_length
              << " symbols and must contain at least " << 1 << " upper case letter, " << 1
              << " special character, " << 1 << " digit";
  if (force_fail || password.size() < min_length) {
    message = requirement.str();
    return false;
  }
  auto count = [&password](int (*is_class)(int)) {
    std::size_t n = 0;
    for (unsigned char c : password)
      if (is_class(c)) ++n;
    return n;
  };
  if (count(::isupper) == 0 || count(::ispunct) == 0 || count(::isdigit) == 0) {
    message = requirement.str();
    return false;
  }
  return true;
}

}  // namespace ks_utils_common

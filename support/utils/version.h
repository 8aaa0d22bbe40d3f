// The version of the module framework.
#pragma once

#include <cstdint>
#include <ostream>
#include <sstream>
#include <string>

namespace kestrova {

struct Version {
  std::uint32_t major;
  std::uint32_t minor;
  std::uint32_t patch;

  // Braces, not parentheses: <sys/sysmacros.h> defines major() and minor()
  // as function-like macros, which would swallow "major(mj)".
  constexpr Version() : major{0}, minor{0}, patch{0} {}
  constexpr Version(std::uint32_t mj, std::uint32_t mn, std::uint32_t pt) : major{mj}, minor{mn}, patch{pt} {}

  std::string to_string() const;
  std::wstring to_wstring() const;

  // True when this version equals `other` or is its immediate successor
  // (next patch; next minor with patch 0; next major with minor and patch 0).
  bool is_accessible_from(Version const& other) const;

  friend constexpr bool operator==(Version const& a, Version const& b) {
    return a.major == b.major && a.minor == b.minor && a.patch == b.patch;
  }
  friend constexpr bool operator!=(Version const& a, Version const& b) { return !(a == b); }
};

constexpr Version version_current{2, 1, 0};
constexpr Version version_unknown{0, 0, 0};

// The text of version_current, filled before main runs.
extern std::string const version_current_string;
extern std::wstring const version_current_wstring;

// major.minor.patch in decimal.
std::ostream& operator<<(std::ostream& out, Version const& v);
std::wostream& operator<<(std::wostream& out, Version const& v);
std::ostringstream& operator<<(std::ostringstream& out, Version const& v);
std::wostringstream& operator<<(std::wostringstream& out, Version const& v);

template <typename CharT>
std::basic_string<CharT> std_string_from(Version const& v) {
  std::basic_ostringstream<CharT> out;
  out << v;
  return out.str();
}

}  // namespace kestrova

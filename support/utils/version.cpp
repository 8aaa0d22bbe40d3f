#include "support/utils/version.h"

namespace kestrova {

std::string const version_current_string = std_string_from<char>(version_current);
std::wstring const version_current_wstring = std_string_from<wchar_t>(version_current);

std::string Version::to_string() const { return std_string_from<char>(*this); }

std::wstring Version::to_wstring() const { return std_string_from<wchar_t>(*this); }

bool Version::is_accessible_from(Version const& other) const {
  // Unsigned 32-bit arithmetic throughout: other.x + 1 wraps like the fields.
  std::uint32_t const one = 1;
  if (major == other.major && minor == other.minor) return patch == other.patch || patch == other.patch + one;
  if (major == other.major && minor == other.minor + one) return patch == 0;
  if (major == other.major + one) return minor == 0 && patch == 0;
  return false;
}

std::ostream& operator<<(std::ostream& out, Version const& v) {
  return out << v.major << '.' << v.minor << '.' << v.patch;
}

std::wostream& operator<<(std::wostream& out, Version const& v) {
  return out << v.major << L'.' << v.minor << L'.' << v.patch;
}

std::ostringstream& operator<<(std::ostringstream& out, Version const& v) {
  static_cast<std::ostream&>(out) << v;
  return out;
}

std::wostringstream& operator<<(std::wostringstream& out, Version const& v) {
  static_cast<std::wostream&>(out) << v;
  return out;
}

}  // namespace kestrova

#include "support/utils/quoting.h"

namespace kestrova {

namespace {

// The length of the text without the line ends at its end.
std::size_t without_final_line_ends(std::string const& text) {
  std::size_t end = text.size();
  while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r')) --end;
  return end;
}

}  // namespace

std::string as_one_line(std::string const& text) {
  static char const hex[] = "0123456789abcdef";
  std::size_t const end = without_final_line_ends(text);
  std::string out;
  out.reserve(end);
  auto escape = [&](unsigned char c) {
    out += "\\x";
    out += hex[c >> 4];
    out += hex[c & 0xf];
  };
  auto byte = [&](std::size_t i) -> unsigned char {
    return i < end ? static_cast<unsigned char>(text[i]) : 0;
  };
  for (std::size_t i = 0; i < end; ++i) {
    unsigned char const c = byte(i);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      escape(c);
    } else if (c == 0xc2 && byte(i + 1) >= 0x80 && byte(i + 1) <= 0x9f) {  // U+0080 to U+009F
      escape(c);
      escape(byte(++i));
    } else if (c == 0xe2 && byte(i + 1) == 0x80 && (byte(i + 2) == 0xa8 || byte(i + 2) == 0xa9)) {  // U+2028, U+2029
      escape(c);
      escape(byte(++i));
      escape(byte(++i));
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string as_quoted_output(std::string const& output) {
  return as_one_line(as_quoted_single(output.substr(0, without_final_line_ends(output))));
}

}  // namespace kestrova

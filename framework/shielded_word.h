// The restore and unpack command lines write some paths with a backslash
// before each character the shell would interpret ("/tmp/w/rec\.rest"). That
// form is kept for every value it keeps one word. It leaves a tab or a line
// break bare (and a backslash before a line break only joins two lines), and
// an empty value would vanish: such values are single-quoted instead.
#pragma once

#include <cstring>
#include <string>

#include "support/utils/quoting.h"

namespace kestrova {

inline std::string shielded_word(std::string const& text) {
  static char const kShielded[] = " \\'\"^*?[]{}><|;&$!()`~#:@.%";
  if (text.empty()) return shell_quoted(text);
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7f) return shell_quoted(text);
  std::string out;
  out.reserve(text.size() * 2);
  for (char c : text) {
    if (std::strchr(kShielded, c)) out += '\\';
    out += c;
  }
  return out;
}

}  // namespace kestrova

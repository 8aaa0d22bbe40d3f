// Quoting of texts for messages and for the shell.
//
// as_quoted and friends follow the rule of std::quoted: the text between two
// delimiters, each delimiter or escape character inside preceded by the
// escape character. They are meant for log messages and configuration lines;
// they are NOT safe for /bin/sh (inside double quotes "$", backticks and
// newlines stay live, and a backslash is no escape inside single quotes).
// Anything that goes into a shell command uses shell_quoted instead.
//
// as_one_line is for values that come from outside (names, the cloud's
// messages, tool output) on their way into a log or output line.
#pragma once

#include <iomanip>
#include <sstream>
#include <string>

namespace kestrova {

inline std::string make_quoted_std(std::string const& text, char delimiter, char escape) {
  std::ostringstream out;
  out << std::quoted(text, delimiter, escape);
  return out.str();
}

inline std::string as_quoted(std::string const& text, char delimiter, char escape) {
  return make_quoted_std(text, delimiter, escape);
}

inline std::string as_quoted_single(std::string const& text) { return as_quoted(text, '\'', '\\'); }

// The text with its control characters written as escapes, so that it can
// never end a line, start one or rewrite one on a terminal: "\n", "\r",
// "\t", and "\xNN" (lower-case hex) for the other bytes below 0x20 and for
// 0x7f. The C1 controls U+0080 to U+009F (NEL among them) and the line and
// paragraph separators U+2028, U+2029, which Unicode readers take for line
// breaks, are escaped byte by byte in their UTF-8 form ("\xc2\x85").
// Every other byte stays as it is: letters of any script, quotes,
// backslashes, and bytes that are no valid UTF-8. Line ends at the very end
// of the text (how a tool ends its output) are dropped, not escaped: they end
// the value rather than break it. The result is meant for reading, not for
// decoding back (a backslash of the text is not doubled).
std::string as_one_line(std::string const& text);

// A name or value for a message: in double quotes with backslash escapes
// (as_quoted), as one line (as_one_line).
inline std::string as_one_line_quoted(std::string const& text) { return as_one_line(as_quoted(text, '"', '\\')); }

// A tool's output (virsh, ssh) for a log line: in single quotes with
// backslash escapes (as_quoted_single), as one line (as_one_line). The line
// ends at the end of the output are dropped before quoting, as as_one_line
// drops them from a bare value; inside the quotes they would show as "\n'".
std::string as_quoted_output(std::string const& output);

// POSIX shell quoting: the text in single quotes, each single quote written
// as '\''. The result is one word for /bin/sh whatever the text holds.
inline std::string shell_quoted(std::string const& text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '\'';
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  out += '\'';
  return out;
}

// True when the text is non-empty and made only of characters that the shell
// never interprets, so it can stand in a command line bare.
inline bool is_shell_safe(std::string const& text) {
  if (text.empty()) return false;
  for (unsigned char c : text) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    switch (c) {
      case '_': case '@': case '%': case '+': case '=': case ':': case ',': case '.': case '/': case '-':
        ok = true;
        break;
      default:
        break;
    }
    if (!ok) return false;
  }
  return true;
}

// Like shell_quoted, but leaves a text of safe characters bare, so ordinary
// command lines keep their familiar bytes.
inline std::string shell_quoted_if_needed(std::string const& text) {
  return is_shell_safe(text) ? text : shell_quoted(text);
}

}  // namespace kestrova

namespace kestrova_common {

inline std::string single_quoted(std::string const& text) { return kestrova::as_quoted_single(text); }

}  // namespace kestrova_common

#include "support/utils/ks_utils_common.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iostream>

namespace ks_utils_common {

namespace {

char const kMainConfig[] = "/opt/kestrova/etc/config.file";

// White space at the ends removed (a carriage return of a CRLF file, say),
// inner runs of blanks reduced to one.
std::string squeezed(std::string const& line) {
  auto const space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  std::size_t begin = 0, end = line.size();
  while (begin < end && space(line[begin])) ++begin;
  while (end > begin && space(line[end - 1])) --end;
  std::string out;
  bool blank = false;
  for (char c : line.substr(begin, end - begin)) {
    if (c == ' ') {
      blank = true;
      continue;
    }
    if (blank && !out.empty()) out += ' ';
    blank = false;
    out += c;
  }
  return out;
}

}  // namespace

std::string get_logfile() {
  std::ifstream in(kMainConfig);
  if (!in) {
    std::cerr << "Can't open config file: " << kMainConfig << std::endl;
    exit(1);
  }
  std::string path;
  std::string line;
  std::string const key = "logfile ";
  while (std::getline(in, line)) {
    for (char& c : line)
      if (c == '\t') c = ' ';
    line = squeezed(line);
    if (line.empty() || line[0] == '#') continue;
    if (line.compare(0, key.size(), key) == 0) path = line.substr(key.size());
  }
  if (path.empty()) path = "/opt/kestrova/log/Kestrova.log";
  return path;
}

}  // namespace ks_utils_common

#include "framework/ks_module_options.h"

#include <exception>
#include <vector>

#include "support/utils/quoting.h"

void shield_string_for_command(std::string& text) { text = kestrova::shell_quoted(text); }

int split_full_version(std::string const& full, std::string& major_minor, std::string& third, std::string& fourth) {
  try {
    std::vector<std::string> pieces;
    std::string::size_type start = 0;
    while (pieces.size() < 4) {
      auto dot = full.find('.', start);
      pieces.push_back(full.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
      if (dot == std::string::npos) break;
      start = dot + 1;
    }
    pieces.resize(4);
    major_minor = pieces[0] + "." + pieces[1];
    third = pieces[2];
    fourth = pieces[3];
    return 0;
  } catch (std::exception const&) {
    return 1;
  }
}

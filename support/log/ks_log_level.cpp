#include "support/log/ks_log_level.h"

#include <sstream>

namespace KsLogLvl {

namespace {

constexpr unsigned single_levels[] = {Error,  Warning,  Info,       Debug,     Debug1,  Debug2,  Debug3,
                                      Debug4, FuncBase, FuncDetail, FuncCycle, FuncAny, Measure, SqlReq};
constexpr unsigned masks[] = {ErrorMask,  WarningMask, InfoMask,   DebugMask, Debug1Mask,
                              Debug2Mask, Debug3Mask,  Debug4Mask, FuncAll};

// Built on first use, so messages written while other translation units are
// initialised still find their names.
std::map<unsigned, std::string> const& levels_table() {
  static std::map<unsigned, std::string> const table = [] {
    std::map<unsigned, std::string> result;
    std::istringstream names(
        "Error, Warning, Info, Debug, Debug1, Debug2, Debug3, Debug4, FuncBase, FuncDetail, FuncCycle, FuncAny, "
        "Measure, SqlReq, ErrorMask, WarningMask, InfoMask, DebugMask, Debug1Mask, Debug2Mask, Debug3Mask, "
        "Debug4Mask, FuncAll");
    std::string word;
    auto add = [&](unsigned value) {
      names >> word;
      std::string name;
      for (char c : word)
        if (c != ',') name += c;
      result.emplace(value, name);  // never replaces: 1 stays "Error"
    };
    for (unsigned v : single_levels) add(v);
    for (unsigned v : masks) add(v);
    return result;
  }();
  return table;
}

}  // namespace

std::map<unsigned, std::string> const& log_levels_info_ = levels_table();

unsigned get_mask(Level level) {
  unsigned const value = level;
  bool single = false;
  for (unsigned v : single_levels) single = single || v == value;
  if (!single) return value;
  for (unsigned m : masks)
    if (m & value) return m;
  return value;
}

std::string to_string(Level level) {
  auto const& table = levels_table();
  auto found = table.find(level);
  return found == table.end() ? std::string("Unknown") : found->second;
}

template <typename T>
bool from_string(std::string const& text, T& out) {
  for (auto const& entry : levels_table()) {
    if (entry.second == text) {
      out = static_cast<T>(entry.first);
      return true;
    }
  }
  return false;
}

template bool from_string<Level>(std::string const& text, Level& out);

}  // namespace KsLogLvl

// Log levels (one bit each), cumulative level masks and their names.
#pragma once

#include <map>
#include <string>

namespace KsLogLvl {

enum Level : unsigned {
  Error = 0x1,
  Warning = 0x2,
  Info = 0x4,
  Debug = 0x8,
  Debug1 = 0x10,
  Debug2 = 0x20,
  Debug3 = 0x40,
  Debug4 = 0x80,
  FuncBase = 0x100,
  FuncDetail = 0x200,
  FuncCycle = 0x400,
  FuncAny = 0x800,
  Measure = 0x10000,
  SqlReq = 0x20000,
};

// Each of the first eight enables its level and every more important one.
enum MaskLevel : unsigned {
  ErrorMask = 0x1,
  WarningMask = 0x3,
  InfoMask = 0x7,
  DebugMask = 0xf,
  Debug1Mask = 0x1f,
  Debug2Mask = 0x3f,
  Debug3Mask = 0x7f,
  Debug4Mask = 0xff,
  FuncAll = 0xf00,
};

// Value to name, levels and masks; ErrorMask shares the value 1 with Error,
// which keeps the name "Error".
extern std::map<unsigned, std::string> const& log_levels_info_;

// The mask that enables a level; a value that is no single level (a mask)
// is returned unchanged, and so are Measure and SqlReq.
unsigned get_mask(Level level);

// The name of a level or mask value, "Unknown" when it has none.
std::string to_string(Level level);

// Exact, case-sensitive lookup of a level or mask name; leaves out
// unchanged and returns false when there is no such name.
template <typename T>
bool from_string(std::string const& text, T& out);

extern template bool from_string<Level>(std::string const& text, Level& out);

}  // namespace KsLogLvl

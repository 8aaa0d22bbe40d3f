// Level names, masks and name lookup.
#include <string>

#include <gtest/gtest.h>

#include "support/log/ks_log_level.h"

namespace {

using KsLogLvl::Level;

Level lvl(unsigned value) { return static_cast<Level>(value); }

struct LevelRow {
  unsigned value;
  char const* name;
  unsigned mask;
};

// Every named value with its mask.
LevelRow const level_rows[] = {
    {0x1, "Error", 0x1},          {0x2, "Warning", 0x3},         {0x4, "Info", 0x7},
    {0x8, "Debug", 0xf},          {0x10, "Debug1", 0x1f},        {0x20, "Debug2", 0x3f},
    {0x40, "Debug3", 0x7f},       {0x80, "Debug4", 0xff},        {0x100, "FuncBase", 0xf00},
    {0x200, "FuncDetail", 0xf00}, {0x400, "FuncCycle", 0xf00},   {0x800, "FuncAny", 0xf00},
    {0x10000, "Measure", 0x10000}, {0x20000, "SqlReq", 0x20000}, {0x3, "WarningMask", 0x3},
    {0x7, "InfoMask", 0x7},       {0xf, "DebugMask", 0xf},       {0x1f, "Debug1Mask", 0x1f},
    {0x3f, "Debug2Mask", 0x3f},   {0x7f, "Debug3Mask", 0x7f},    {0xff, "Debug4Mask", 0xff},
    {0xf00, "FuncAll", 0xf00},
};

TEST(LogLevel, NamesMasksAndLookupOfEveryValue) {
  for (auto const& row : level_rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(KsLogLvl::to_string(lvl(row.value)), row.name);
    EXPECT_EQ(KsLogLvl::get_mask(lvl(row.value)), row.mask);
    Level parsed = KsLogLvl::Info;
    EXPECT_TRUE(KsLogLvl::from_string(row.name, parsed));
    EXPECT_EQ(static_cast<unsigned>(parsed), row.value);
  }
  EXPECT_EQ(KsLogLvl::log_levels_info_.size(), sizeof level_rows / sizeof level_rows[0]);
}

TEST(LogLevel, EnumeratorValues) {
  EXPECT_EQ(KsLogLvl::Error | KsLogLvl::Warning | KsLogLvl::Info | KsLogLvl::Debug, 0xfu);
  EXPECT_EQ(static_cast<unsigned>(KsLogLvl::SqlReq), 0x20000u);
  EXPECT_EQ(static_cast<unsigned>(KsLogLvl::ErrorMask), 0x1u);
  EXPECT_EQ(static_cast<unsigned>(KsLogLvl::FuncAll), 0xf00u);
}

TEST(LogLevel, UnnamedValues) {
  for (unsigned value : {0x0u, 0x5u, 0x1000u, 0x40000u}) {
    EXPECT_EQ(KsLogLvl::to_string(lvl(value)), "Unknown") << value;
    EXPECT_EQ(KsLogLvl::get_mask(lvl(value)), value) << value;  // no single level: unchanged
  }
}

TEST(LogLevel, FromStringRejectsNearNames) {
  for (char const* text : {"ErrorMask", "error", "INFO", " Info", "Info ", "", "Unknown", "Debug5"}) {
    Level out = KsLogLvl::Measure;
    EXPECT_FALSE(KsLogLvl::from_string(text, out)) << '"' << text << '"';
    EXPECT_EQ(out, KsLogLvl::Measure) << '"' << text << '"';
  }
}

}  // namespace

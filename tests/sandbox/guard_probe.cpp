// A test program with one test that leaves a file at $KS_GUARD_PROBE_MARK,
// so its caller sees whether any test ran.
#include <cstdlib>

#include <gtest/gtest.h>

#include "common/test_util.h"

TEST(GuardProbe, LeavesItsMark) {
  char const* mark = std::getenv("KS_GUARD_PROBE_MARK");
  ASSERT_NE(mark, nullptr);
  kstest::write_file(mark, "ran\n");
}

// First: the block-device macros major() and minor() must not break the
// header (code that queries devices includes both).
#include <sys/sysmacros.h>

#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "support/utils/version.h"

using kestrova::Version;

namespace {

TEST(Version, Accessibility) {
  struct {
    Version a;
    Version b;
    bool accessible;  // a.is_accessible_from(b)
  } const cases[] = {
      {{2, 1, 0}, {2, 1, 0}, true},
      {{2, 1, 1}, {2, 1, 0}, true},
      {{2, 2, 0}, {2, 1, 5}, true},
      {{3, 0, 0}, {2, 1, 5}, true},
      {{2, 1, 0}, {2, 1, 1}, false},
      {{2, 1, 2}, {2, 1, 0}, false},
      {{2, 2, 1}, {2, 1, 0}, false},
      {{2, 3, 0}, {2, 1, 0}, false},
      {{2, 0, 0}, {2, 1, 0}, false},
      {{3, 0, 1}, {2, 9, 9}, false},
      {{3, 1, 0}, {2, 9, 9}, false},
      {{4, 0, 0}, {2, 1, 0}, false},
      {{1, 9, 9}, {2, 1, 0}, false},
  };
  for (auto const& c : cases)
    EXPECT_EQ(c.a.is_accessible_from(c.b), c.accessible) << c.a << " from " << c.b;
}

TEST(Version, TextForms) {
  EXPECT_EQ(kestrova::version_current, (Version{2, 1, 0}));
  EXPECT_EQ(kestrova::version_unknown, (Version{0, 0, 0}));
  EXPECT_EQ(kestrova::version_current_string, "2.1.0");
  EXPECT_EQ(kestrova::version_current_wstring, L"2.1.0");

  Version const v{10, 200, 3000};
  EXPECT_EQ(v.to_string(), "10.200.3000");
  EXPECT_EQ(v.to_wstring(), L"10.200.3000");

  std::ostringstream narrow;
  narrow << "v" << v << "-x";
  EXPECT_EQ(narrow.str(), "v10.200.3000-x");
  std::wostringstream wide;
  wide << L"v" << v << L"-x";
  EXPECT_EQ(wide.str(), L"v10.200.3000-x");
  std::ostream& base = narrow;
  base << v;
  EXPECT_EQ(narrow.str(), "v10.200.3000-x10.200.3000");
}

}  // namespace

#include <cstdlib>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "support/utils/environment_variable.h"

namespace {

bool is_set(char const* name) { return getenv(name) != nullptr; }

TEST(EnvironmentVariable, LivesExactlyAsLongAsTheObject) {
  unsetenv("KS_TEST_VAR");
  {
    EnvironmentVariable var("KS_TEST_VAR", "one");
    EXPECT_EQ(var.getName(), "KS_TEST_VAR");
    EXPECT_STREQ(getenv("KS_TEST_VAR"), "one");
    var.setValue("two");
    EXPECT_EQ(var.getValue(), "two");
    EXPECT_EQ(EnvironmentVariable::getValue("KS_TEST_VAR"), "two");
    setenv("KS_TEST_VAR", "changed elsewhere", 1);
    EXPECT_EQ(var.getValue(), "changed elsewhere");
  }
  EXPECT_FALSE(is_set("KS_TEST_VAR"));

  {
    EnvironmentVariable empty("KS_TEST_VAR");
    ASSERT_TRUE(is_set("KS_TEST_VAR"));
    EXPECT_EQ(empty.getValue(), "");
    empty.unset();
    EXPECT_FALSE(is_set("KS_TEST_VAR"));
  }  // destroying an already removed variable is fine
  EXPECT_FALSE(is_set("KS_TEST_VAR"));
}

TEST(EnvironmentVariable, RemovesAVariableThatExistedBefore) {
  setenv("KS_TEST_OLD", "before", 1);
  { EnvironmentVariable var("KS_TEST_OLD", "during"); }
  EXPECT_FALSE(is_set("KS_TEST_OLD"));
}

TEST(EnvironmentVariable, StaticHelpers) {
  unsetenv("KS_TEST_STATIC");
  EXPECT_EQ(EnvironmentVariable::getValue("KS_TEST_STATIC"), "");
  EnvironmentVariable::setValue("KS_TEST_STATIC", "v1");
  EnvironmentVariable::setValue("KS_TEST_STATIC", "v2");
  EXPECT_EQ(EnvironmentVariable::getValue("KS_TEST_STATIC"), "v2");
  EnvironmentVariable::unset("KS_TEST_STATIC");
  EXPECT_FALSE(is_set("KS_TEST_STATIC"));
}

TEST(EnvironmentVariable, BadNamesThrowWithTheName) {
  struct {
    char const* name;
  } const cases[] = {{"A=B"}, {""}};
  for (auto const& c : cases) {
    std::string const name = c.name;
    try {
      EnvironmentVariable var(name, "x");
      ADD_FAILURE() << "constructed with name " << name;
    } catch (std::runtime_error const& e) {
      EXPECT_EQ(std::string(e.what()), "environment variable \"" + name + "\" set failure");
    }
    try {
      EnvironmentVariable::unset(name);
      ADD_FAILURE() << "unset with name " << name;
    } catch (std::runtime_error const& e) {
      EXPECT_EQ(std::string(e.what()), "environment variable \"" + name + "\" unset failure");
    }
  }
}

}  // namespace

// Operation 2: merging the old, new and update configuration files into the
// new one.
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "common/test_util.h"
#include "framework_log.h"
#include "scripted_module.h"

namespace {

namespace fs = boost::filesystem;

struct Case {
  char const* name;
  char const* old_file;     // nullptr: no such file
  char const* new_file;
  char const* update_file;
  unsigned code;
  char const* merged;       // the new file afterwards
  std::vector<std::string> messages;
};

std::ostream& operator<<(std::ostream& out, Case const& c) { return out << c.name; }

template <typename Param>
std::string case_name(testing::TestParamInfo<Param> const& info) {
  return info.param.name;
}

class ConfigUpgrade : public testing::TestWithParam<Case> {};

TEST_P(ConfigUpgrade, MergesIntoTheNewFile) {
  KS_REQUIRE_SANDBOX();
  Case const& c = GetParam();
  kstest::FrameworkLog log(KsLogLvl::Info);
  kstest::TempDir dir;
  auto path_of = [&](char const* name, char const* content) {
    std::string const path = (dir / name).string();
    if (content) kstest::write_file(path, content);
    return path;
  };
  std::string const old_path = path_of("old.conf", c.old_file);
  std::string const new_path = path_of("new.conf", c.new_file);
  std::string const update_path = path_of("update.conf", c.update_file);

  kstest::ScriptedModule module;
  testing::internal::CaptureStdout();
  unsigned const code =
      kstest::init_and_run(module, {"prog", "-u", old_path + ":" + new_path + ":" + update_path});
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(code, c.code) << log.text();
  // The module's own configuration is not read for this operation.
  EXPECT_EQ(module.count("load_module_config"), 0);
  if (c.new_file) {
    EXPECT_EQ(kstest::read_file(new_path), c.merged);
  }
  for (auto const& m : c.messages) EXPECT_TRUE(log.contains(m)) << m << "\n" << log.text();
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConfigUpgrade,
    testing::Values(
        Case{"update_then_old_then_mandatory",
             "# user's notes\nurl https://old.example\nusername olduser\nobsolete 1\n",
             "# Cloud access\nurl https://new.example\nusername\ntimeout 5\nproject_id p\n",
             "timeout 9\nurl https://forced.example\nonly_in_update x\n",
             0,
             "# Description variables\n"
             "# Cloud access\n"
             "#url https://new.example\n"
             "#username \n"
             "#timeout 5\n"
             "#project_id p\n"
             "#\n"
             "# Variables value\n"
             "url https://forced.example\n"
             "username olduser\n"
             "timeout 9\n"
             "project_id \n",
             {"Variable 'project_id' is mandatory and has no value. Module cannot be used", "The module is installed"}},
        Case{"new_file_alone", nullptr, "a 1\n#c\nb two words\n", nullptr, 0,
             "# Description variables\n#a 1\n#c\n#b two words\n#\n# Variables value\na \nb \n",
             {"Old configuration file ", " doesn't exists. Will use only new configuration file.",
              "Update configuration file ", "Variable 'a' is mandatory", "Variable 'b' is mandatory"}},
        Case{"no_new_file", "a 1\n", nullptr, "a 2\n", 1, "",
             {" doesn't exists. Merge configuration files impossible.", "Can't open file '"}}),
    case_name<Case>);

TEST(ConfigUpgradeArguments, MalformedListFails) {
  KS_REQUIRE_SANDBOX();
  for (char const* value : {"a:b", "a:b:c:d", "only"}) {
    kstest::FrameworkLog log(KsLogLvl::Info);
    kstest::ScriptedModule module;
    testing::internal::CaptureStdout();
    EXPECT_EQ(kstest::init_and_run(module, {"prog", "-u", value}), 1u) << value;
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(log.contains("Incorrect configuration file format")) << value;
  }
}

TEST(ConfigUpgradeArguments, EmptyOldAndUpdateParts) {
  KS_REQUIRE_SANDBOX();
  kstest::FrameworkLog log(KsLogLvl::Info);
  kstest::TempDir dir;
  kstest::write_file(dir / "new.conf", "k v\n");
  kstest::ScriptedModule module;
  testing::internal::CaptureStdout();
  EXPECT_EQ(kstest::init_and_run(module, {"prog", "-u", ":" + (dir / "new.conf").string() + ":"}), 0u);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(kstest::read_file(dir / "new.conf"), "# Description variables\n#k v\n#\n# Variables value\nk \n");
}

TEST(ConfigUpgradeArguments, UnwritableResultFails) {
  KS_REQUIRE_SANDBOX();
  kstest::FrameworkLog log(KsLogLvl::Info);
  kstest::ScriptedModule module;
  // Readable, but nothing can be written beside it.
  testing::internal::CaptureStdout();
  EXPECT_EQ(kstest::init_and_run(module, {"prog", "-u", ":/proc/version:"}), 1u);
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(log.contains("Can't save '/proc/version'")) << log.text();
}

// A module that declares optional variables and converts old values.
class TunedModule : public kstest::ScriptedModule {
 public:
  int get_config_option_presence_type(std::string const& name) override { return name == "optional" ? 1 : 0; }
  std::string resolve_config_option_merge_conflict(std::string const& name, std::string const& old_value) override {
    return name == "renamed" ? "converted-" + old_value : old_value;
  }
};

TEST(ConfigMerge, ModuleHooksDecideOptionalAndCarriedValues) {
  kstest::FrameworkLog log(KsLogLvl::Info);
  ks_config::ConfigFile old_config, new_config, update_config;
  old_config.addVariable("renamed", "v1");
  old_config.addVariable("kept", "v2");
  new_config.addVariable("renamed", "default");
  new_config.addVariable("optional", "x");
  new_config.addVariable("kept", "y");
  new_config.addVariable("required", "z");
  TunedModule module;
  ks_config::ConfigFile const merged = module.get_merged_config(old_config, new_config, update_config);
  std::vector<std::string> variables;
  for (auto const& line : merged)
    if (line->getType() == ks_config::variable) variables.push_back(line->get());
  EXPECT_EQ(variables, (std::vector<std::string>{"renamed converted-v1", "kept v2", "required "}));
  EXPECT_TRUE(log.contains("Variable 'required' is mandatory"));
  EXPECT_FALSE(log.contains("Variable 'optional'"));
}

}  // namespace

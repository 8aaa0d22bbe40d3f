// Editing a configuration in memory, appending loads, and copies.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_util.h"
#include "support/config/ks_config.h"

namespace {

std::vector<std::string> lines_of(ks_config::ConfigFile const& config) {
  std::vector<std::string> lines;
  for (auto const& line : config) lines.push_back(line->get());
  return lines;
}

// The stored path is not visible directly; loadConfig reads it.
std::string load_error_of(ks_config::ConfigFile& config) {
  std::string error;
  return config.loadConfig(error) ? std::string("loaded") : error;
}

TEST(ConfigEdit, VariablesKeepTheirPlaceWhenChanged) {
  ks_config::ConfigFile config;
  config.addComment("head");
  config.addVariable("a", "1");
  config.addVariable("b", "2");
  config.addVariable("a", "changed");
  EXPECT_EQ(lines_of(config), (std::vector<std::string>{"#head", "a changed", "b 2"}));

  config.removeVariable("a");
  EXPECT_FALSE(config.variableExists("a"));
  config.addVariable("a", "again");
  EXPECT_EQ(lines_of(config), (std::vector<std::string>{"#head", "b 2", "a again"}));
}

TEST(ConfigEdit, MissingVariableThrowsItsBareName) {
  ks_config::ConfigFile config;
  config.addVariable("present", "1");
  for (auto action : {+[](ks_config::ConfigFile& c) { (void)c["log level"]; },
                      +[](ks_config::ConfigFile& c) { c.removeVariable("log level"); }}) {
    try {
      action(config);
      ADD_FAILURE() << "no exception";
    } catch (ks_config::VariableAbsentException const& e) {
      EXPECT_STREQ(e.what(), "log level");
    }
  }
  EXPECT_EQ(lines_of(config), std::vector<std::string>{"present 1"});
}

TEST(ConfigEdit, CommentsAreFoundByTheirFullText) {
  ks_config::ConfigFile config;
  config.addComment("note");
  config.addVariable("note", "x");  // a variable of that name is no comment
  config.addComment("note");
  EXPECT_FALSE(config.commentExists("note"));
  EXPECT_TRUE(config.commentExists("#note"));
  EXPECT_FALSE(config.commentExists("note x"));

  config.removeComment("note");  // without '#': matches nothing
  EXPECT_EQ(lines_of(config).size(), 3u);
  config.removeComment("#note");  // only the first one goes
  EXPECT_EQ(lines_of(config), (std::vector<std::string>{"note x", "#note"}));
  config.removeComment("#absent");
  EXPECT_EQ(lines_of(config).size(), 2u);
}

TEST(ConfigEdit, LoadAppendsAndUpdatesInPlace) {
  kstest::TempDir dir;
  kstest::write_file(dir / "one.conf", "#one\na 1\nb 2\n");
  kstest::write_file(dir / "two.conf", "#two\nb 3\nc 4\n");

  ks_config::ConfigFile config((dir / "one.conf").string());
  config.load((dir / "two.conf").string());
  EXPECT_EQ(lines_of(config), (std::vector<std::string>{"#one", "a 1", "b 3", "#two", "c 4"}));

  // The stored path is now the second file: loading it again appends its
  // comment once more and changes no variable.
  EXPECT_EQ(load_error_of(config), "loaded");
  EXPECT_EQ(lines_of(config), (std::vector<std::string>{"#one", "a 1", "b 3", "#two", "c 4", "#two"}));
}

TEST(ConfigEdit, CopiesAreIndependentAndHaveNoPath) {
  kstest::TempDir dir;
  kstest::write_file(dir / "src.conf", "#c\nx 1\ny 2\n");
  std::vector<std::string> const original_lines{"#c", "x 1", "y 2"};

  auto source = std::make_unique<ks_config::ConfigFile>((dir / "src.conf").string());
  ks_config::ConfigFile copied(*source);
  ks_config::ConfigFile assigned;
  assigned.addVariable("old", "gone");
  kstest::write_file(dir / "other.conf", "z 9\n");
  assigned.load((dir / "other.conf").string());
  assigned = *source;

  for (ks_config::ConfigFile* copy : {&copied, &assigned}) {
    EXPECT_EQ(lines_of(*copy), original_lines);
    EXPECT_EQ(load_error_of(*copy), "Can't open file ''");
  }

  // Each copy's variables name themselves through the copy's own index, so
  // the copies stay whole when the source changes and goes away.
  source->addVariable("x", "changed");
  source->removeVariable("y");
  source.reset();
  copied.addVariable("x", "mine");
  EXPECT_EQ(lines_of(copied), (std::vector<std::string>{"#c", "x mine", "y 2"}));
  EXPECT_EQ(lines_of(assigned), original_lines);
  EXPECT_EQ(assigned["y"], "2");
}

TEST(ConfigEdit, MoveKeepsThePath) {
  kstest::TempDir dir;
  kstest::write_file(dir / "src.conf", "x 1\n");
  ks_config::ConfigFile source((dir / "src.conf").string());
  ks_config::ConfigFile moved(std::move(source));
  kstest::write_file(dir / "src.conf", "y 2\n");
  EXPECT_EQ(load_error_of(moved), "loaded");
  EXPECT_EQ(lines_of(moved), (std::vector<std::string>{"x 1", "y 2"}));
}

TEST(ConfigEdit, ClearEmptiesLinesAndPath) {
  kstest::TempDir dir;
  kstest::write_file(dir / "src.conf", "x 1\n");
  ks_config::ConfigFile config((dir / "src.conf").string());
  config.clear();
  EXPECT_EQ(config.begin(), config.end());
  EXPECT_FALSE(config.variableExists("x"));
  EXPECT_EQ(load_error_of(config), "Can't open file ''");
}

// A line handle may outlive its place in the file: it keeps reading its own
// name and value (the sanitizer run catches a read of freed memory).
TEST(ConfigEdit, KeptVariableOutlivesItsFile) {
  struct {
    char const* what;
    void (*drop)(std::unique_ptr<ks_config::ConfigFile>&);
  } const cases[] = {
      {"file destroyed", [](std::unique_ptr<ks_config::ConfigFile>& f) { f.reset(); }},
      {"file cleared", [](std::unique_ptr<ks_config::ConfigFile>& f) { f->clear(); }},
      {"line removed", [](std::unique_ptr<ks_config::ConfigFile>& f) { f->removeVariable("a_name_too_long_for_sso"); }},
      {"file assigned over", [](std::unique_ptr<ks_config::ConfigFile>& f) { *f = ks_config::ConfigFile(); }},
  };
  for (auto const& c : cases) {
    auto config = std::make_unique<ks_config::ConfigFile>();
    config->addVariable("a_name_too_long_for_sso", "value 1");
    std::shared_ptr<ks_config::ConfigEntity> kept = *config->begin();
    c.drop(config);
    // New allocations that would reuse the freed index node.
    std::vector<std::string> noise(64, std::string(40, 'x'));
    auto const& variable = static_cast<ks_config::Variable const&>(*kept);
    EXPECT_EQ(variable.getName(), "a_name_too_long_for_sso") << c.what;
    EXPECT_EQ(variable.getValue(), "value 1") << c.what;
    EXPECT_EQ(kept->get(), "a_name_too_long_for_sso value 1") << c.what;
  }
}

TEST(ConfigEdit, EntityStreamInsertionWritesLineAndEndl) {
  ks_config::ConfigFile config;
  config.addComment(" c");
  config.addVariable("k", "");
  std::ostringstream out;
  for (auto const& line : config) out << *line;
  EXPECT_EQ(out.str(), "# c\nk \n");
}

}  // namespace

// Saving: exact bytes, the replaced file's mode and links, and that a save
// which cannot complete reports failure and leaves the old file whole.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "common/test_util.h"
#include "support/config/ks_config.h"

namespace fs = boost::filesystem;

namespace {

std::vector<std::string> names_in(fs::path const& dir) {
  std::vector<std::string> names;
  for (auto const& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

unsigned mode_of(fs::path const& p) {
  struct stat st;
  if (::stat(p.c_str(), &st) != 0) return ~0u;
  return st.st_mode & 07777;
}

ks_config::ConfigFile sample() {
  ks_config::ConfigFile config;
  config.addComment("Logging level");
  config.addVariable("log_level", "Info");
  config.addVariable("empty", "");
  config.addComment("");
  return config;
}

std::string const sample_text = "#Logging level\nlog_level Info\nempty \n#\n";

TEST(ConfigSave, ReplacesContentExactlyAndLeavesNoTemporaryFile) {
  kstest::TempDir dir;
  kstest::write_file(dir / "a.conf", std::string(5000, 'x') + "\n");
  ASSERT_TRUE(sample().save((dir / "a.conf").string()));
  EXPECT_EQ(kstest::read_file(dir / "a.conf"), sample_text);
  EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"a.conf"});
}

TEST(ConfigSave, KeepsModeAndOwnerOfReplacedFileAndUsesUmaskForNewOne) {
  kstest::TempDir dir;
  kstest::write_file(dir / "old.conf", "x 1\n");
  ASSERT_EQ(::chmod((dir / "old.conf").c_str(), 0640), 0);
  ASSERT_EQ(::chown((dir / "old.conf").c_str(), 1234, 4321), 0);
  mode_t const previous = ::umask(027);
  bool const saved_old = sample().save((dir / "old.conf").string());
  bool const saved_new = sample().save((dir / "new.conf").string());
  ::umask(previous);
  ASSERT_TRUE(saved_old);
  ASSERT_TRUE(saved_new);
  EXPECT_EQ(mode_of(dir / "old.conf"), 0640u);
  EXPECT_EQ(mode_of(dir / "new.conf"), 0640u);  // 0666 less the umask 027
  struct stat st;
  ASSERT_EQ(::stat((dir / "old.conf").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 1234u);
  EXPECT_EQ(st.st_gid, 4321u);
}

// A save through links writes the file at the end of the chain, existing or
// not yet, and every link stays a link.
TEST(ConfigSave, WritesThroughSymbolicLinks) {
  struct Case {
    char const* what;
    bool target_exists;
    std::vector<std::pair<std::string, std::string>> links;  // name in dir -> link text
  };
  Case const cases[] = {
      {"existing target", true, {{"link.conf", "real/target.conf"}}},
      {"target yet to be made", false, {{"link.conf", "real/target.conf"}}},
      {"absolute link to a target yet to be made", false, {{"link.conf", "@/real/target.conf"}}},
      // The second link is relative to real/, where it lies.
      {"chain", false, {{"link.conf", "real/hop.conf"}, {"real/hop.conf", "target.conf"}}},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    kstest::TempDir dir;
    fs::create_directory(dir / "real");
    if (c.target_exists) kstest::write_file(dir / "real" / "target.conf", "old 1\n");
    for (auto const& [name, text] : c.links)
      fs::create_symlink(text[0] == '@' ? dir.str() + text.substr(1) : text, dir / name);

    ASSERT_TRUE(sample().save((dir / "link.conf").string()));
    for (auto const& link : c.links) EXPECT_TRUE(fs::is_symlink(dir / link.first)) << link.first;
    EXPECT_EQ(kstest::read_file(dir / "real" / "target.conf"), sample_text);
    for (auto const& name : names_in(dir / "real"))  // no temporary file left
      EXPECT_TRUE(name == "target.conf" || name == "hop.conf") << name;
  }
}

// Links that lead nowhere fail without making anything.
TEST(ConfigSave, LinkLoopsFail) {
  kstest::TempDir dir;
  fs::create_symlink("self.conf", dir / "self.conf");
  fs::create_symlink("b.conf", dir / "a.conf");
  fs::create_symlink("a.conf", dir / "b.conf");
  for (char const* name : {"self.conf", "a.conf"}) EXPECT_FALSE(sample().save((dir / name).string())) << name;
  EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"a.conf", "b.conf", "self.conf"}));
  for (char const* name : {"self.conf", "a.conf", "b.conf"}) EXPECT_TRUE(fs::is_symlink(dir / name)) << name;
}

TEST(ConfigSave, DoesNotChangeTheStoredPath) {
  kstest::TempDir dir;
  kstest::write_file(dir / "src.conf", "a 1\n");
  ks_config::ConfigFile config((dir / "src.conf").string());
  ASSERT_TRUE(config.save((dir / "dst.conf").string()));
  kstest::write_file(dir / "src.conf", "a 2\n");
  std::string error;
  ASSERT_TRUE(config.loadConfig(error)) << error;
  EXPECT_EQ(config["a"], "2");
}

TEST(ConfigSave, UnwritablePlacesFail) {
  kstest::TempDir dir;
  fs::create_directories(dir / "taken" / "inner");
  kstest::write_file(dir / "taken" / "inner" / "keep", "keep");

  struct Case {
    char const* what;
    std::string path;
  } const cases[] = {
      {"missing directory", (dir / "no" / "such.conf").string()},
      {"directory in its place", (dir / "taken").string()},
      {"file as a directory", (dir / "taken" / "inner" / "keep" / "x.conf").string()},
      {"proc", "/proc/self/ks_config_test.conf"},
  };
  for (auto const& c : cases) EXPECT_FALSE(sample().save(c.path)) << c.what;

  EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"taken"});
  EXPECT_EQ(names_in(dir / "taken"), std::vector<std::string>{"inner"});
  EXPECT_EQ(kstest::read_file(dir / "taken" / "inner" / "keep"), "keep");
}

// A save never puts a plain file in place of a pipe (or a device), named
// directly or through a link.
TEST(ConfigSave, NonRegularFileIsLeftInPlace) {
  kstest::TempDir dir;
  fs::path const fifo = dir / "pipe.conf";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  fs::create_symlink("pipe.conf", dir / "link.conf");
  for (fs::path const& p : {fifo, dir / "link.conf"}) EXPECT_FALSE(sample().save(p.string())) << p;
  struct stat st;
  ASSERT_EQ(::stat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_TRUE(fs::is_symlink(dir / "link.conf"));
  EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"link.conf", "pipe.conf"}));
}

// A small file system that fills up mid-write: the save fails and the old
// file is still there, whole.
TEST(ConfigSave, FullDiskLeavesOldFileWhole) {
  KS_REQUIRE_SANDBOX();
  fs::path const mount_point = "/opt/kestrova/var/ks-config-full";
  fs::create_directories(mount_point);
  ASSERT_EQ(::mount("ks-config-full", mount_point.c_str(), "tmpfs", 0, "size=64k"), 0) << "mount tmpfs";
  struct Unmount {
    fs::path p;
    ~Unmount() { ::umount2(p.c_str(), MNT_DETACH); }
  } unmount{mount_point};

  std::string const old_text = "#kept\nlog_level Debug\n";
  kstest::write_file(mount_point / "big.conf", old_text);

  ks_config::ConfigFile big;
  for (int i = 0; i < 5000; ++i) big.addVariable("name" + std::to_string(i), std::string(40, 'v'));
  EXPECT_FALSE(big.save((mount_point / "big.conf").string()));
  EXPECT_EQ(kstest::read_file(mount_point / "big.conf"), old_text);
  EXPECT_EQ(names_in(mount_point), std::vector<std::string>{"big.conf"});

  // A save that fits still works there.
  EXPECT_TRUE(sample().save((mount_point / "big.conf").string()));
  EXPECT_EQ(kstest::read_file(mount_point / "big.conf"), sample_text);
}

}  // namespace

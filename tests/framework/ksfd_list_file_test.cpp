// The ksfd list file: its exact bytes when created, replaced and extended,
// entries that cannot be written unambiguously, and a file system that
// runs out of room.
#include <sys/mount.h>

#include <cerrno>
#include <cstring>

#include <map>
#include <string>

#include <boost/filesystem.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/test_util.h"
#include "ksfd_module.h"

namespace {

namespace fs = boost::filesystem;
using ::testing::HasSubstr;
using Entries = std::map<std::string, std::string>;

TEST(ListFile, CreatedReplacedAndExtended) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir dir;
  std::string const path = (dir / "ksfd.list").string();
  kstest::write_file(path, "old content\n");
  kstest::KsfdModule module;
  kstest::FrameworkLog log;
  // In byte order of the keys, whatever order they were added in.
  ASSERT_TRUE(module.add_to_ksfd_list_file(path, {{"/dev/vdc", "vdc"}, {"/dev/vdb", "vdb"}}, false));
  EXPECT_EQ(kstest::read_file(path), "KSFD file list:\n   /dev/vdb : vdb\n   /dev/vdc : vdc\n");
  ASSERT_TRUE(module.add_to_ksfd_list_file(path, {{"/tmp/x/vm.config", "vm.config"}}, true));
  EXPECT_EQ(kstest::read_file(path),
            "KSFD file list:\n   /dev/vdb : vdb\n   /dev/vdc : vdc\n   /tmp/x/vm.config : vm.config\n");
  // Appending to a file that is not there yet writes no header.
  std::string const fresh = (dir / "fresh.list").string();
  ASSERT_TRUE(module.add_to_ksfd_list_file(fresh, {{"/a", "a"}}, true));
  EXPECT_EQ(kstest::read_file(fresh), "   /a : a\n");
  EXPECT_THAT(log.text(), HasSubstr("Adding record to ksfd file list: KSFD file list:"));
  EXPECT_THAT(log.text(), HasSubstr("Adding record to ksfd file list: /dev/vdb : vdb"));
}

TEST(ListFile, RefusedEntriesLeaveTheFileAlone) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir dir;
  std::string const path = (dir / "ksfd.list").string();
  Entries const refused[] = {
      {{"/a\n   /etc/shadow", "a"}},
      {{"/a", "a\nb"}},
      {{"/a : b", "a"}},
      {{"/a", "a : b"}},
      {{"/a\r", "a"}},
      {{"", "a"}},
      {{"/a", ""}},
  };
  kstest::KsfdModule module;
  for (auto const& entries : refused) {
    kstest::write_file(path, "KSFD file list:\n   /dev/vdb : vdb\n");
    kstest::FrameworkLog log;
    EXPECT_FALSE(module.add_to_ksfd_list_file(path, entries, false)) << entries.begin()->first;
    EXPECT_THAT(log.text(), HasSubstr("ksfd list entry can't be written unambiguously"));
    EXPECT_EQ(kstest::read_file(path), "KSFD file list:\n   /dev/vdb : vdb\n");
  }
}

TEST(ListFile, CannotBeCreated) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir dir;
  kstest::KsfdModule module;
  kstest::FrameworkLog log;
  EXPECT_FALSE(module.add_to_ksfd_list_file((dir / "missing" / "ksfd.list").string(), {{"/a", "a"}}, false));
  EXPECT_THAT(log.text(), HasSubstr(": can't create ksfd list file"));
}

// A list cut short by a full file system would make the tool back up fewer
// items without a word; it fails instead.
TEST(ListFile, FullFileSystemIsAFailure) {
  KS_REQUIRE_SANDBOX();
  kstest::TempDir dir;
  fs::path const small = dir / "small";
  fs::create_directories(small);
  ASSERT_EQ(::mount("ks-list-test", small.c_str(), "tmpfs", 0, "size=16k"), 0) << std::strerror(errno);
  struct Unmount {
    fs::path where;
    ~Unmount() { ::umount2(where.c_str(), MNT_DETACH); }
  } unmount{small};
  Entries entries;
  for (int i = 0; i < 2000; ++i) entries["/dev/disk/by-id/virtio-" + std::to_string(i)] = "vd" + std::to_string(i);
  kstest::KsfdModule module;
  kstest::FrameworkLog log;
  EXPECT_FALSE(module.add_to_ksfd_list_file((small / "ksfd.list").string(), entries, false));
  EXPECT_THAT(log.text(), HasSubstr(": can't write ksfd list file " + (small / "ksfd.list").string()));
}

}  // namespace

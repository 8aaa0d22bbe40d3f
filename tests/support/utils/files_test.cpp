#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "common/test_util.h"
#include "support/utils/ks_utils_common.h"

using namespace ks_utils_common;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

void make_sparse(std::string const& path, off_t size) {
  FILE* f = fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(ftruncate(fileno(f), size), 0);
  fclose(f);
}

TEST(FileSize, RegularFilesDirectoriesFifosAndMissingPaths) {
  kstest::TempDir dir;
  std::string const file = (dir / "data").string();
  kstest::write_file(file, std::string(12345, 'x'));
  std::string const empty = (dir / "empty").string();
  kstest::write_file(empty, "");
  std::string const fifo = (dir / "fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string const missing = (dir / "missing").string();

  EXPECT_EQ(get_file_size(file), 12345);
  EXPECT_EQ(get_file_size(empty), 0);

  CaptureStderr();
  EXPECT_EQ(get_file_size(dir.str()), 0);
  EXPECT_EQ(get_file_size(fifo), 0);  // and does not wait for a writer
  EXPECT_EQ(get_file_size(missing), 0);
  EXPECT_EQ(GetCapturedStderr(), "get_file_size: wrong input file type" + dir.str() + "\n" +
                                     "get_file_size: wrong input file type" + fifo + "\n" +
                                     "get_file_size: open input_file: " + missing + ": : No such file or directory\n");
}

// Attaches a file to a free loop device, read-only; detached on scope exit.
class LoopDevice {
 public:
  explicit LoopDevice(std::string const& file) {
    auto r = kstest::run("losetup --find --show --read-only " + kstest::sh_quote(file));
    if (r.status == 0 && !r.output.empty()) device_ = r.output.substr(0, r.output.find('\n'));
    error_ = r.output;
  }
  ~LoopDevice() {
    if (!device_.empty()) kstest::run("losetup --detach " + kstest::sh_quote(device_));
  }
  LoopDevice(LoopDevice const&) = delete;
  LoopDevice& operator=(LoopDevice const&) = delete;
  std::string const& device() const { return device_; }
  std::string const& error() const { return error_; }

 private:
  std::string device_;
  std::string error_;
};

TEST(FileSize, BlockDeviceGivesItsSize) {
  kstest::TempDir dir;
  std::string const image = (dir / "disk.img").string();
  make_sparse(image, 9 * 1024 * 1024 + 512);
  LoopDevice loop(image);
  if (loop.device().empty()) GTEST_SKIP() << "no loop device here: " << loop.error();

  auto oracle = kstest::run("blockdev --getsize64 " + kstest::sh_quote(loop.device()));
  ASSERT_EQ(oracle.status, 0) << oracle.output;
  EXPECT_EQ(get_file_size(loop.device()), std::stoll(oracle.output));
  EXPECT_EQ(get_file_size(loop.device()), 9 * 1024 * 1024 + 512);
}

TEST(SparseFile, AllocationAgainstLength) {
  kstest::TempDir dir;
  std::string const sparse = (dir / "sparse").string();
  make_sparse(sparse, 4 * 1024 * 1024);
  std::string const dense = (dir / "dense").string();
  kstest::write_file(dense, std::string(64 * 1024, 'd'));

  bool is_sparse = false;
  std::string error = "untouched";
  ASSERT_TRUE(is_sparse_file(sparse, is_sparse, error));
  EXPECT_TRUE(is_sparse);
  ASSERT_TRUE(is_sparse_file(dense, is_sparse, error));
  EXPECT_FALSE(is_sparse);
  EXPECT_EQ(error, "untouched");

  EXPECT_FALSE(is_sparse_file((dir / "missing").string(), is_sparse, error));
  EXPECT_EQ(error, "No such file or directory");
}

TEST(SymlinkSize, LinksGiveTargetLengthOthersZero) {
  kstest::TempDir dir;
  std::string const link = (dir / "link").string();
  ASSERT_EQ(symlink("some/target/path", link.c_str()), 0);
  std::string const dangling = (dir / "dangling").string();
  ASSERT_EQ(symlink("x", dangling.c_str()), 0);
  std::string const file = (dir / "file").string();
  kstest::write_file(file, "content");

  EXPECT_EQ(get_symlink_size(link), 16);
  EXPECT_EQ(get_symlink_size(dangling), 1);
  CaptureStderr();
  EXPECT_EQ(get_symlink_size(file), 0);
  EXPECT_EQ(get_symlink_size((dir / "missing").string()), 0);
  EXPECT_EQ(GetCapturedStderr(), "get_symlink_size: wrong input file type" + file + " is not a link!\n" +
                                     "get_symlink_size: wrong input file type" + (dir / "missing").string() +
                                     " is not a link!\n");
}

unsigned long long df_available(std::string const& path) {
  auto r = kstest::run("df -B1 --output=avail " + kstest::sh_quote(path) + " | tail -n 1");
  EXPECT_EQ(r.status, 0) << r.output;
  return std::stoull(r.output);
}

TEST(FreeSpace, AgainstDf) {
  KS_REQUIRE_SANDBOX();
  // /opt is the sandbox's private tmpfs: nothing else writes there meanwhile.
  unsigned long long const available = df_available("/opt");
  EXPECT_TRUE(check_free_space("/opt", available));
  EXPECT_FALSE(check_free_space("/opt", available + 1));
  EXPECT_TRUE(check_free_space("/opt", 0ULL));

  kstest::TempDir dir;
  std::string const small = (dir / "small").string();
  kstest::write_file(small, "abc");
  std::string const huge = (dir / "huge").string();
  make_sparse(huge, static_cast<off_t>(available + 4096));
  EXPECT_TRUE(check_free_space("/opt", small));
  EXPECT_FALSE(check_free_space("/opt", huge));
}

TEST(FreeSpace, ErrorsAreReported) {
  CaptureStderr();
  EXPECT_FALSE(check_free_space("/no/such/dir", 1ULL));
  EXPECT_FALSE(check_free_space("/tmp", std::string("/no/such/file")));
  EXPECT_EQ(GetCapturedStderr(),
            "Can't call statfs for: /no/such/dir: No such file or directory\n"
            "Can't open: /no/such/file: No such file or directory\n");
}

}  // namespace

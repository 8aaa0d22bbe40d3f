// The resource owners of ks_utils_base: the descriptor owner, the scope
// guard and the commit-or-discard file replacement, against real
// descriptors and files.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "common/test_util.h"
#include "support/utils/file_replacement.h"
#include "support/utils/scope_guard.h"
#include "support/utils/unique_fd.h"

namespace fs = boost::filesystem;
using kestrova::file_replacement;
using kestrova::unique_fd;

namespace {

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

int open_null() { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }

// ---- unique_fd ----------------------------------------------------------------------------

// The descriptor is closed once, by its last owner: an owner that was moved
// from must not close the number again once it belongs to another file.
TEST(UniqueFd, ClosesExactlyOnceAcrossMoves) {
  int const raw = open_null();
  ASSERT_GE(raw, 0);
  int reused = -1;
  {
    unique_fd a(raw);
    unique_fd b(std::move(a));
    unique_fd c;
    c = std::move(b);
    EXPECT_FALSE(a.valid());
    EXPECT_FALSE(b.valid());
    EXPECT_EQ(c.get(), raw);
    c = std::move(c);  // onto itself: still owned
    EXPECT_EQ(c.get(), raw);
    EXPECT_TRUE(is_open(raw));

    c.reset();
    EXPECT_FALSE(is_open(raw));
    // The lowest free number comes back for the next file.
    reused = open_null();
    ASSERT_EQ(reused, raw);
  }
  EXPECT_TRUE(is_open(reused)) << "a moved-from owner closed the descriptor again";
  ::close(reused);
}

TEST(UniqueFd, AssignmentClosesTheOldDescriptorAndReleaseHandsItOver) {
  int const first = open_null();
  int const second = open_null();
  ASSERT_GE(first, 0);
  ASSERT_GE(second, 0);
  {
    unique_fd owner(first);
    owner = unique_fd(second);
    EXPECT_FALSE(is_open(first));
    EXPECT_EQ(owner.release(), second);
    EXPECT_FALSE(owner.valid());
  }
  EXPECT_TRUE(is_open(second)) << "a released descriptor is the caller's";
  ::close(second);
}

TEST(UniqueFd, CloseReportsTheResult) {
  unique_fd none;
  EXPECT_TRUE(none.close());
  unique_fd owned(open_null());
  int const raw = owned.get();
  EXPECT_TRUE(owned.close());
  EXPECT_FALSE(owned.valid());
  EXPECT_FALSE(is_open(raw));
  // A number that names no open file: close() fails, and it is said.
  unique_fd stale(raw);
  EXPECT_FALSE(stale.close());
}

// ---- scope_guard -------------------------------------------------------------------------

TEST(ScopeGuard, ExitStepRunsOnEveryWayOutUnlessDismissed) {
  std::vector<std::string> ran;
  {
    auto g = kestrova::on_scope_exit([&] { ran.push_back("normal"); });
  }
  try {
    auto g = kestrova::on_scope_exit([&] { ran.push_back("exception"); });
    throw std::runtime_error("x");
  } catch (std::runtime_error const&) {
  }
  {
    auto g = kestrova::on_scope_exit([&] { ran.push_back("dismissed"); });
    g.dismiss();
  }
  EXPECT_EQ(ran, (std::vector<std::string>{"normal", "exception"}));
}

// A guard made while another exception unwinds (in a destructor) sees only
// the exceptions that leave its own scope.
struct UnwindingWitness {
  bool& ran;
  ~UnwindingWitness() {
    auto g = kestrova::on_scope_failure([this] { ran = true; });
  }
};

TEST(ScopeGuard, FailureStepRunsOnlyWhenItsScopeIsLeftByAnException) {
  bool on_normal_exit = false, on_exception = false, dismissed = false, inside_unwinding = false;
  {
    auto g = kestrova::on_scope_failure([&] { on_normal_exit = true; });
  }
  try {
    auto g = kestrova::on_scope_failure([&] { on_exception = true; });
    throw std::runtime_error("x");
  } catch (std::runtime_error const&) {
  }
  try {
    auto g = kestrova::on_scope_failure([&] { dismissed = true; });
    g.dismiss();
    throw std::runtime_error("x");
  } catch (std::runtime_error const&) {
  }
  try {
    UnwindingWitness witness{inside_unwinding};
    throw std::runtime_error("x");
  } catch (std::runtime_error const&) {
  }
  EXPECT_FALSE(on_normal_exit);
  EXPECT_TRUE(on_exception);
  EXPECT_FALSE(dismissed);
  EXPECT_FALSE(inside_unwinding);
}

// A step that throws neither ends the process nor replaces the exception in
// flight.
TEST(ScopeGuard, ThrowingStepIsDropped) {
  std::string caught;
  try {
    auto g = kestrova::on_scope_failure([] { throw std::logic_error("from the step"); });
    throw std::runtime_error("from the scope");
  } catch (std::exception const& e) {
    caught = e.what();
  }
  EXPECT_EQ(caught, "from the scope");
  EXPECT_NO_THROW({ auto g = kestrova::on_scope_exit([] { throw std::logic_error("x"); }); });
}

// ---- file_replacement ---------------------------------------------------------------------

std::vector<std::string> names_in(fs::path const& dir) {
  std::vector<std::string> names;
  for (auto const& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

struct stat stat_of(fs::path const& p) {
  struct stat st {};
  if (::stat(p.c_str(), &st) != 0) st.st_ino = 0;
  return st;
}

// Until the commit the old file is the file; after it the new one is, whole,
// and a reader that had the old one open still reads the old content (the
// file was replaced, not rewritten in place).
TEST(FileReplacement, OldFileStaysUntilCommitAndReadersKeepIt) {
  kstest::TempDir dir;
  fs::path const path = dir / "f";
  kstest::write_file(path, "old content");
  unique_fd reader(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(reader.valid());
  {
    file_replacement replacement(path.string());
    ASSERT_TRUE(replacement.ready());
    ASSERT_TRUE(replacement.write("new "));
    ASSERT_TRUE(replacement.write(std::string("c\0ntent", 7)));
    EXPECT_EQ(kstest::read_file(path), "old content");
    ASSERT_TRUE(replacement.commit());
    EXPECT_FALSE(replacement.commit()) << "a second commit";
  }
  EXPECT_EQ(kstest::read_file(path), std::string("new c\0ntent", 11));
  EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"f"});
  char buffer[32];
  ssize_t const n = ::pread(reader.get(), buffer, sizeof buffer, 0);
  EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0), "old content");
}

TEST(FileReplacement, DiscardedReplacementLeavesOldFileAndNoTrace) {
  kstest::TempDir dir;
  fs::path const path = dir / "f";
  kstest::write_file(path, "old");
  ino_t const inode = stat_of(path).st_ino;
  {
    file_replacement dropped(path.string());
    ASSERT_TRUE(dropped.write(std::string(100000, 'n')));
  }  // never committed
  {
    file_replacement discarded(path.string());
    ASSERT_TRUE(discarded.write("n"));
    discarded.discard();
    EXPECT_FALSE(discarded.ready());
    EXPECT_FALSE(discarded.write("n"));
    EXPECT_FALSE(discarded.commit());
  }
  EXPECT_EQ(kstest::read_file(path), "old");
  EXPECT_EQ(stat_of(path).st_ino, inode);
  EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"f"});

  // Not even a new file appears when there was none.
  { file_replacement never((dir / "new").string()); }
  EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"f"});
}

// A write that fails part-way (here the file size limit, EFBIG) discards
// the replacement: the old file is whole, and nothing else is left.
TEST(FileReplacement, FailedWriteLeavesOldFileWhole) {
  kstest::TempDir dir;
  fs::path const path = dir / "f";
  std::string const old_text(10000, 'o');
  kstest::write_file(path, old_text);
  pid_t const child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit const limit{4096, 4096};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(3);
    file_replacement replacement(path.string());
    if (!replacement.ready()) _exit(4);
    bool const written = replacement.write(std::string(65536, 'n'));
    bool const committed = replacement.commit();
    _exit(!written && !committed ? 0 : 5);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(kstest::read_file(path), old_text);
  EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"f"});
}

// What is never replaced: the replacement is not ready, and nothing changes.
TEST(FileReplacement, RefusesWhatItCannotReplace) {
  kstest::TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
  fs::create_directory(dir / "directory");
  fs::create_symlink("loop-b", dir / "loop-a");
  fs::create_symlink("loop-a", dir / "loop-b");
  fs::create_symlink("pipe", dir / "to-pipe");
  std::vector<std::string> const before = names_in(dir.path());
  for (char const* name : {"pipe", "to-pipe", "directory", "loop-a", "missing/f"}) {
    file_replacement replacement((dir / name).string());
    EXPECT_FALSE(replacement.ready()) << name;
    EXPECT_FALSE(replacement.write("x")) << name;
    EXPECT_FALSE(replacement.commit()) << name;
  }
  EXPECT_EQ(names_in(dir.path()), before);
  EXPECT_TRUE(fs::is_directory(dir / "directory"));
  EXPECT_TRUE(S_ISFIFO(stat_of(dir / "pipe").st_mode));
}

// Another user than the file's owner cannot give the file back to it, but
// keeps its group when that is one of theirs, and always its mode.
TEST(FileReplacement, OtherUserKeepsGroupAndMode) {
  if (::geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
  kstest::TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  fs::path const path = dir / "f";
  kstest::write_file(path, "old");
  ASSERT_EQ(::chown(path.c_str(), 4321, 4322), 0);
  ASSERT_EQ(::chmod(path.c_str(), 0664), 0);
  pid_t const child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    gid_t const groups[] = {4322};
    if (::setgroups(1, groups) != 0 || ::setgid(4323) != 0 || ::setuid(5000) != 0) _exit(3);
    _exit(kestrova::replace_file(path.string(), "new") ? 0 : 4);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  struct stat const st = stat_of(path);
  EXPECT_EQ(kstest::read_file(path), "new");
  EXPECT_EQ(st.st_uid, 5000u);
  EXPECT_EQ(st.st_gid, 4322u);
  EXPECT_EQ(st.st_mode & 07777, 0664u);
}

}  // namespace

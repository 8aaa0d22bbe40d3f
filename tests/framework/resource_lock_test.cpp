// The per-resource lock between processes: the file name, the file's life,
// and real processes contending for it.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "common/test_util.h"
#include "framework/resource_lock.h"
#include "framework_log.h"

namespace {

namespace fs = boost::filesystem;
using kestrova::module::resource_file_lock;
using kestrova::module::resource_lock_file_handler;

// Runs `body` in a forked child and returns its exit code.
int in_child(std::function<int()> const& body) {
  pid_t pid = fork();
  if (pid == 0) {
    int code = 99;
    try {
      code = body();
    } catch (...) {
    }
    _exit(code);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Whether a fresh process can take the lock of (module, resource) now.
bool another_process_can_lock(std::string const& module, std::string const& resource) {
  return in_child([&] {
           resource_file_lock lock(module, resource);
           bool const got = lock.try_lock();
           // Leave the file for the caller: a destructor would remove it.
           if (got) lock.unlock();
           _exit(got ? 0 : 1);
           return 1;
         }) == 0;
}

// The salt of the keyed digest, for an independent computation with Python.
char const salt[] = "472615830947261583094726158309472615830947261583094726158309472615830947261583094726158309472";

std::string python_lock_name(std::string const& text) {
  std::string const script = std::string("import hmac,hashlib,sys; d=hmac.new(b'") + salt +
                             "', sys.argv[1].encode('utf-8','surrogateescape'), hashlib.sha256).digest(); "
                             "print('Kestrova_MOD_mutex_' + d[::-1].hex()[:8], end='')";
  kstest::RunResult r = kstest::run("python3 -c " + kstest::sh_quote(script) + " " + kstest::sh_quote(text));
  if (r.status != 0) throw std::runtime_error("python3: " + r.output);
  return r.output;
}

TEST(LockFileName, MatchesTheKeyedDigestComputedIndependently) {
  struct Row {
    std::string module, resource;
  };
  for (auto const& row : std::vector<Row>{{"ks_module_rustack", "3f1c9a2e-0d7b-4e55-9a41-6b0c2f7d8e11"},
                                          {"ks_module_rustack", ""},
                                          {"", "vm"},
                                          {"prog", "name with blanks/and:colons"},
                                          {"модуль", "ресурс"}}) {
    std::string const name = resource_lock_file_handler::make_lock_file_name(row.module, row.resource);
    EXPECT_EQ(name, python_lock_name(row.module + row.resource)) << row.module << " + " << row.resource;
  }
}

TEST(LockFileName, DependsOnModuleAndResource) {
  auto name = &resource_lock_file_handler::make_lock_file_name;
  EXPECT_NE(name("mod_a", "vm"), name("mod_b", "vm"));
  EXPECT_NE(name("mod", "vm1"), name("mod", "vm2"));
  // The two names are joined without a separator.
  EXPECT_EQ(name("ab", "c"), name("a", "bc"));
  EXPECT_EQ(resource_lock_file_handler::make_lock_file_path("f").string(), "/opt/kestrova/var/kestrova-modules/f");
}

TEST(LockFile, FirstLockCreatesTheDirectoryAndAnEmptyFile) {
  KS_REQUIRE_SANDBOX();
  fs::remove_all("/opt/kestrova/var");
  {
    resource_file_lock lock("mod", "fresh");
    fs::path const file = lock.resource_lock_file_path();
    EXPECT_TRUE(fs::is_regular_file(file));
    EXPECT_EQ(fs::file_size(file), 0u);
    EXPECT_EQ(file.parent_path(), "/opt/kestrova/var/kestrova-modules");
  }
  // Nobody held the lock: the destructor removed the file.
  EXPECT_TRUE(fs::is_empty("/opt/kestrova/var/kestrova-modules"));
}

TEST(LockFile, UncreatableDirectoryThrows) {
  KS_REQUIRE_SANDBOX();
  kstest::FrameworkLog log;
  fs::remove_all("/opt/kestrova/var");
  kstest::write_file("/opt/kestrova/var", "a file where the directory should be");
  EXPECT_ANY_THROW(resource_file_lock("mod", "r"));
  fs::remove("/opt/kestrova/var");
  fs::create_directories("/opt/kestrova/var/kestrova-modules");
}

TEST(LockFile, DefaultLockTouchesNothing) {
  KS_REQUIRE_SANDBOX();
  fs::create_directories("/opt/kestrova/var/kestrova-modules");
  std::size_t const before =
      std::distance(fs::directory_iterator("/opt/kestrova/var/kestrova-modules"), fs::directory_iterator());
  { resource_file_lock lock; }
  std::size_t const after =
      std::distance(fs::directory_iterator("/opt/kestrova/var/kestrova-modules"), fs::directory_iterator());
  EXPECT_EQ(before, after);
}

TEST(LockContention, SecondProcessIsRefusedWhileTheFirstHoldsIt) {
  KS_REQUIRE_SANDBOX();
  resource_file_lock lock("mod", "contended");
  ASSERT_TRUE(lock.try_lock());
  // Record locks belong to the process: a second try here succeeds.
  EXPECT_TRUE(lock.try_lock());
  EXPECT_FALSE(another_process_can_lock("mod", "contended"));
  EXPECT_TRUE(another_process_can_lock("other_mod", "contended"));
  EXPECT_TRUE(another_process_can_lock("mod", "uncontended"));
  lock.unlock();
  EXPECT_TRUE(another_process_can_lock("mod", "contended"));
}

TEST(LockContention, DestructorLeavesTheFileOfAHeldLock) {
  KS_REQUIRE_SANDBOX();
  int ready[2], go[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(go), 0);
  pid_t holder = fork();
  if (holder == 0) {
    resource_file_lock lock("mod", "kept");
    char c = lock.try_lock() ? 'y' : 'n';
    if (write(ready[1], &c, 1) != 1 || read(go[0], &c, 1) != 1) _exit(2);
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  fs::path file;
  {
    resource_file_lock mine("mod", "kept");
    file = mine.resource_lock_file_path();
    EXPECT_FALSE(mine.try_lock());
  }
  EXPECT_TRUE(fs::exists(file));
  ASSERT_EQ(write(go[1], "x", 1), 1);
  waitpid(holder, nullptr, 0);
  for (int fd : {ready[0], ready[1], go[0], go[1]}) close(fd);
}

// A process that opened the lock file before the previous holder removed it
// must not end up locking the removed file while a newcomer locks a new one.
TEST(LockContention, FileRemovedByThePreviousHolderIsReplacedBeforeLocking) {
  KS_REQUIRE_SANDBOX();
  int ready[2], go[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(done), 0);
  pid_t first = fork();
  if (first == 0) {
    char c = 0;
    {
      resource_file_lock lock("mod", "handover");
      c = lock.try_lock() ? 'y' : 'n';
      if (write(ready[1], &c, 1) != 1 || read(go[0], &c, 1) != 1) _exit(2);
    }  // unlocks and removes the file
    if (write(done[1], "d", 1) != 1) _exit(3);
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');

  resource_file_lock second("mod", "handover");  // opens the first holder's file
  EXPECT_FALSE(second.try_lock());
  ASSERT_EQ(write(go[1], "g", 1), 1);
  ASSERT_EQ(read(done[0], &c, 1), 1);
  waitpid(first, nullptr, 0);
  ASSERT_FALSE(fs::exists(second.resource_lock_file_path()));

  ASSERT_TRUE(second.try_lock());
  EXPECT_TRUE(fs::exists(second.resource_lock_file_path()));
  EXPECT_FALSE(another_process_can_lock("mod", "handover"));
  for (int fd : {ready[0], ready[1], go[0], go[1], done[0], done[1]}) close(fd);
}

TEST(LockFile, AlreadyDeletedFileIsReportedAndTheLockStillGoes) {
  KS_REQUIRE_SANDBOX();
  kstest::FrameworkLog log;
  {
    resource_file_lock lock("mod", "deleted");
    ASSERT_TRUE(lock.try_lock());
    fs::remove(lock.resource_lock_file_path());
  }
  EXPECT_TRUE(log.contains("unable to remove lock file \"/opt/kestrova/var/kestrova-modules/"));
  EXPECT_TRUE(log.contains(" for module \"mod\" with resource \"deleted\" ("));
  EXPECT_TRUE(another_process_can_lock("mod", "deleted"));
}

TEST(LockFile, MoveAndSwapCarryTheLock) {
  KS_REQUIRE_SANDBOX();
  resource_file_lock a("mod", "moved");
  ASSERT_TRUE(a.try_lock());
  resource_file_lock b(std::move(a));
  EXPECT_TRUE(a.resource_name().empty());
  EXPECT_EQ(b.resource_name(), "moved");
  EXPECT_FALSE(another_process_can_lock("mod", "moved"));
  {
    kestrova::module::resource_file_scoped_lock scoped(b, boost::interprocess::accept_ownership);
    EXPECT_TRUE(scoped.owns());
  }
  EXPECT_TRUE(another_process_can_lock("mod", "moved"));
}

// Many processes taking, holding and releasing one lock as fast as they can,
// as run() and the module's destructor do: while a process holds the lock,
// no other may (each checks a marker that only a holder creates), and no
// attempt fails with an exception because the file came and went under it.
TEST(LockContention, ManyProcessesNeverHoldTheLockTogether) {
  KS_REQUIRE_SANDBOX();
  kstest::FrameworkLog log(KsLogLvl::Error);
  kstest::TempDir dir;
  std::string const marker = (dir / "held").string();
  // Bits of a child's exit status.
  enum : int { double_hold = 1, threw = 2, never_locked = 4 };
  int const processes = 8;
  int const iterations = 10000;
  std::vector<pid_t> children;
  for (int p = 0; p < processes; ++p) {
    pid_t const pid = fork();
    if (pid == 0) {
      int result = 0;
      int held = 0;
      for (int i = 0; i < iterations; ++i) {
        try {
          resource_file_lock lock("mod", "stress");
          if (!lock.try_lock()) continue;
          ++held;
          int const fd = ::open(marker.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
          if (fd < 0) {
            if (errno == EEXIST) result |= double_hold;
            continue;
          }
          ::close(fd);
          // Held for a moment, so that a second holder would meet the marker.
          ::usleep(20);
          ::unlink(marker.c_str());
          lock.unlock();
        } catch (...) {
          result |= threw;
        }
      }
      _exit(result | (held == 0 ? never_locked : 0));
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    int const r = WEXITSTATUS(status);
    EXPECT_FALSE(r & double_hold) << "two processes held the lock at once";
    EXPECT_FALSE(r & threw) << "taking the lock failed with an exception";
    EXPECT_FALSE(r & never_locked) << "a process never got the lock";
  }
}

}  // namespace

// The host-wide locks between real processes: one holder at a time, a
// waiter that gets it once the holder lets go or dies, a bounded wait that
// ends with an Error, and the shutdown handler's release of every lock the
// process holds (the attach lock and the create lock).
#include "rustack/attach_lock.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "common/test_util.h"
#include "log_capture.h"
#include "rustack/create_lookup.h"
#include "rustack/host_lock.h"

namespace {

using rustack_device::attach_lock;

// A child that takes the lock, says so on a pipe, and holds it until its
// standard input (the other pipe) closes, or for ever when `die` is false and
// it is killed.
struct Holder {
  pid_t pid = -1;
  int go = -1;

  explicit Holder(std::string const& path) {
    int ready[2], hold[2];
    if (pipe(ready) != 0 || pipe(hold) != 0) throw std::runtime_error("pipe");
    pid = fork();
    if (pid == 0) {
      close(ready[0]);
      close(hold[1]);
      rustack_lock::host_lock lock("the lock", path);
      std::string why;
      char const c = lock.acquire(std::chrono::seconds(5), nullptr, why) ? 'y' : 'n';
      if (write(ready[1], &c, 1) != 1) _exit(2);
      char x;
      while (read(hold[0], &x, 1) > 0) {
      }
      _exit(0);
    }
    close(ready[1]);
    close(hold[0]);
    go = hold[1];
    char c = 0;
    if (read(ready[0], &c, 1) != 1 || c != 'y') throw std::runtime_error("the holder did not get the lock");
    close(ready[0]);
  }
  void let_go() {
    if (go >= 0) close(go);
    go = -1;
    waitpid(pid, nullptr, 0);
    pid = -1;
  }
  void kill_it() {
    ::kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
  }
  ~Holder() {
    if (pid > 0) kill_it();
    if (go >= 0) close(go);
  }
};

class AttachLock : public ::testing::Test {
 protected:
  std::string path() const { return (dir_ / "var" / "attach.lock").string(); }
  std::string create_path() const { return (dir_ / "var" / "create.lock").string(); }
  kstest::TempDir dir_;
  kstest::LogCapture log_;
};

TEST_F(AttachLock, ASecondProcessWaitsAndTheBoundEndsTheWaitWithAnError) {
  Holder holder(path());
  attach_lock mine(path());
  auto const start = std::chrono::steady_clock::now();
  EXPECT_FALSE(mine.acquire(std::chrono::seconds(1), "SIG", "vol-1"));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_FALSE(mine.held());
  EXPECT_TRUE(log_.contains("Info: Waiting while another module process attaches a volume to this VM ..."))
      << log_.text();
  EXPECT_TRUE(log_.contains("Error: SIG: unable to attach volume 'vol-1': another module process has held the attach "
                            "lock " + path() + " for more than 1 seconds"))
      << log_.text();
}

TEST_F(AttachLock, TheWaiterGetsItWhenTheHolderLetsGoOrDies) {
  for (bool dies : {false, true}) {
    SCOPED_TRACE(dies ? "holder killed" : "holder lets go");
    Holder holder(path());
    pid_t const waiter = fork();
    if (waiter == 0) {
      close(holder.go);  // the holder's end of its pipe is the test's alone
      attach_lock lock(path());
      _exit(lock.acquire(std::chrono::seconds(10), "w", "v") ? 0 : 1);
    }
    usleep(300000);
    if (dies)
      holder.kill_it();
    else
      holder.let_go();
    int status = 0;
    waitpid(waiter, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  // The file stays: a new one would let two processes hold two locks.
  EXPECT_TRUE(boost::filesystem::exists(path()));
}

TEST_F(AttachLock, ReleaseAndTheShutdownReleaseLetOthersIn) {
  auto other_gets_it = [&] {
    pid_t const child = fork();
    if (child == 0) {
      attach_lock lock(path());
      _exit(lock.acquire(std::chrono::seconds(0), "o", "v") ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  };
  {
    attach_lock lock(path());
    ASSERT_TRUE(lock.acquire(std::chrono::seconds(1), "me", "v"));
    EXPECT_FALSE(other_gets_it());
    lock.release();
    EXPECT_TRUE(other_gets_it());
    ASSERT_TRUE(lock.acquire(std::chrono::seconds(1), "me", "v"));
    EXPECT_FALSE(other_gets_it());
    rustack_lock::host_lock::release_all_held();
    EXPECT_TRUE(other_gets_it());
  }  // the destructor after the shutdown release closes nothing twice
  {
    attach_lock lock(path());
    ASSERT_TRUE(lock.acquire(std::chrono::seconds(1), "me", "v"));
    EXPECT_FALSE(other_gets_it());
  }
  EXPECT_TRUE(other_gets_it());
}

// The create lock waits and fails the same way, naming what it was to make.
TEST_F(AttachLock, TheCreateLockEndsItsBoundedWaitWithAnError) {
  Holder holder(create_path());
  rustack_lookup::create_lock mine(create_path());
  EXPECT_FALSE(mine.acquire(std::chrono::seconds(1), "SIG", "a copy of volume 'vol-1'"));
  EXPECT_FALSE(mine.held());
  EXPECT_TRUE(log_.contains("Info: Waiting while another module process creates an object in the cloud ..."))
      << log_.text();
  EXPECT_TRUE(log_.contains("Error: SIG: unable to create a copy of volume 'vol-1': another module process has held "
                            "the create lock " + create_path() + " for more than 1 seconds"))
      << log_.text();
}

// The shutdown handler lets go of both locks at once; neither is closed
// twice afterwards.
TEST_F(AttachLock, TheShutdownReleaseLetsGoOfEveryLockHeld) {
  auto other_gets = [&](std::string const& p) {
    pid_t const child = fork();
    if (child == 0) {
      rustack_lock::host_lock lock("l", p);
      std::string why;
      _exit(lock.acquire(std::chrono::seconds(0), nullptr, why) ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  };
  attach_lock attaching(path());
  rustack_lookup::create_lock creating(create_path());
  ASSERT_TRUE(creating.acquire(std::chrono::seconds(1), "me", "x"));
  ASSERT_TRUE(attaching.acquire(std::chrono::seconds(1), "me", "v"));
  EXPECT_FALSE(other_gets(path()));
  EXPECT_FALSE(other_gets(create_path()));
  rustack_lock::host_lock::release_all_held();
  EXPECT_TRUE(other_gets(path()));
  EXPECT_TRUE(other_gets(create_path()));
  // Taken again after the release, each is a lock of its own.
  ASSERT_TRUE(attaching.acquire(std::chrono::seconds(1), "me", "v"));
  creating.release();
  EXPECT_FALSE(other_gets(path()));
  attaching.release();
  EXPECT_TRUE(other_gets(path()));
}

TEST(AttachLockBound, CoversOneHoldTwice) {
  EXPECT_EQ(rustack_device::attach_lock_bound(10, 5, 300), std::chrono::seconds(2 * (10 + 5 + 300 + 10)));
  // A request time-out below one second stands for the default.
  EXPECT_EQ(rustack_device::attach_lock_bound(0, 5, 300), std::chrono::seconds(2 * (300 + 5 + 300 + 10)));
}

}  // namespace

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/utils/ks_utils_common.h"

using namespace ks_utils_common;

namespace {

// A child process whose standard input and output are a pseudo-terminal.
// On Linux the master side reads and sets the attributes of the terminal.
class PtyChild {
 public:
  template <typename Body>
  explicit PtyChild(Body body) {
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      body();
      std::cout.flush();
      fflush(stdout);
      _exit(0);
    }
  }
  ~PtyChild() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
  }
  PtyChild(PtyChild const&) = delete;
  PtyChild& operator=(PtyChild const&) = delete;

  bool started() const { return pid_ > 0; }

  // Waits until the terminal's local flags satisfy `want`.
  template <typename Pred>
  bool wait_for_flags(Pred want) {
    for (int i = 0; i < 500; ++i) {
      termios t;
      if (tcgetattr(master_, &t) == 0 && want(t.c_lflag)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  tcflag_t flags() {
    termios t{};
    tcgetattr(master_, &t);
    return t.c_lflag;
  }
  void type(std::string const& keys) {
    ssize_t n = write(master_, keys.data(), keys.size());
    (void)n;
  }
  // Everything the child writes until `marker` appears (or time runs out).
  std::string read_until(std::string const& marker) {
    std::string out;
    pollfd p{master_, POLLIN, 0};
    while (out.find(marker) == std::string::npos && poll(&p, 1, 5000) > 0) {
      char buf[256];
      ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }
  int exit_code() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  int master_ = -1;
  pid_t pid_ = -1;
};

TEST(Terminal, EchoOffAndOnRestoreTheSavedAttributes) {
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  termios before{};
  ASSERT_EQ(tcgetattr(slave, &before), 0);
  ASSERT_TRUE(before.c_lflag & ECHO);

  termios saved{};
  echo_off(slave, &saved);
  termios now{};
  tcgetattr(slave, &now);
  EXPECT_FALSE(now.c_lflag & ECHO);
  EXPECT_EQ(now.c_lflag | ECHO, before.c_lflag);  // nothing else changed
  EXPECT_EQ(saved.c_lflag, before.c_lflag);

  echo_on(slave, &saved);
  tcgetattr(slave, &now);
  EXPECT_EQ(now.c_lflag, before.c_lflag);
  close(slave);
  close(master);
}

TEST(Terminal, SecretInputIsReadWithoutEcho) {
  PtyChild child([] {
    std::string secret = "old content";
    get_client_secret_input(secret);
    std::cout << "[" << secret << "]" << std::endl;
  });
  ASSERT_TRUE(child.started());
  ASSERT_TRUE(child.wait_for_flags([](tcflag_t f) { return !(f & ECHO); }));
  child.type("s3cr3t pass\n");
  std::string const screen = child.read_until("]");
  EXPECT_EQ(child.exit_code(), 0);
  EXPECT_NE(screen.find("[s3cr3t pass]"), std::string::npos) << screen;
  EXPECT_EQ(screen.find("s3cr3t"), screen.find("[s3cr3t") + 1) << "the secret was echoed: " << screen;
  EXPECT_TRUE(child.flags() & ECHO) << "echo was not restored";
}

TEST(Terminal, GetkeyReadsOneKeyWithoutWaitingForALine) {
  PtyChild child([] {
    int c = getkey();
    std::cout << "<" << c << ">" << std::endl;
  });
  ASSERT_TRUE(child.started());
  ASSERT_TRUE(child.wait_for_flags([](tcflag_t f) { return !(f & ICANON) && !(f & ECHO); }));
  child.type("q");  // no line end
  std::string const screen = child.read_until(">");
  EXPECT_EQ(child.exit_code(), 0);
  EXPECT_EQ(screen, "<" + std::to_string('q') + ">\r\n");
  tcflag_t const after = child.flags();
  EXPECT_TRUE((after & ICANON) && (after & ECHO)) << "attributes were not restored";
}

}  // namespace

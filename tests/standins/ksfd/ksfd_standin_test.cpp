// The stand-in file backup tool, run from its fixed path inside the test
// sandbox: round trips of files and of a loop block device, chains of
// incremental and differential archives, corrupt input, the command lines the
// framework builds, signals, signatures and the faults a test can force.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/test_util.h"

namespace fs = boost::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

char const kKsfd[] = "/opt/kestrova/bin/ksfd";
char const kKeys[] = " -x /opt/kestrova/keys/master-key,/opt/kestrova/keys/secret-key.pem";
constexpr size_t kBlock = 16384;

std::string random_data(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen() & 0xff);
  return s;
}

std::vector<std::string> lines_of(std::string const& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string l;
  while (std::getline(in, l)) out.push_back(l);
  return out;
}

// Sets an environment variable for one scope; children inherit it.
class ScopedEnv {
 public:
  ScopedEnv(char const* name, std::string const& value) : name_(name) {
    if (char const* old = std::getenv(name)) old_ = old, had_ = true;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (had_) setenv(name_, old_.c_str(), 1);
    else unsetenv(name_);
  }
  ScopedEnv(ScopedEnv const&) = delete;
  ScopedEnv& operator=(ScopedEnv const&) = delete;

 private:
  char const* name_;
  std::string old_;
  bool had_ = false;
};

// A command started in the background with its merged output on a pipe;
// killed and reaped on destruction if still running.
class Child {
 public:
  explicit Child(std::string const& command) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      dup2(fds[1], 1);
      dup2(fds[1], 2);
      close(fds[0]);
      close(fds[1]);
      execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    fd_ = fds[0];
  }
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) close(fd_);
  }
  Child(Child const&) = delete;
  Child& operator=(Child const&) = delete;

  pid_t pid() const { return pid_; }

  // The next whole line, or false at end of output or after the timeout.
  bool read_line(std::string& line, int timeout_ms = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      auto nl = buf_.find('\n');
      if (nl != std::string::npos) {
        line = buf_.substr(0, nl);
        buf_.erase(0, nl + 1);
        return true;
      }
      int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
      if (left <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, left) <= 0) return false;
      char tmp[4096];
      ssize_t n = read(fd_, tmp, sizeof tmp);
      if (n <= 0) return false;
      buf_.append(tmp, static_cast<size_t>(n));
    }
  }

  // Reads the rest of the output and returns the exit code, or 128 + signal.
  int wait(std::string* rest = nullptr) {
    char tmp[4096];
    ssize_t n;
    while ((n = read(fd_, tmp, sizeof tmp)) > 0) buf_.append(tmp, static_cast<size_t>(n));
    if (rest) *rest = buf_;
    int st = 0;
    waitpid(pid_, &st, 0);
    pid_ = -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  std::string buf_;
};

char proc_state(pid_t pid) {
  std::string stat = kstest::read_file("/proc/" + std::to_string(pid) + "/stat");
  auto close_paren = stat.rfind(')');
  return close_paren + 2 < stat.size() ? stat[close_paren + 2] : '?';
}

bool wait_for_state(pid_t pid, char state, int timeout_ms = 5000) {
  for (int waited = 0; waited < timeout_ms; waited += 10) {
    if (proc_state(pid) == state) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Every regular file below a directory, by relative name.
std::map<std::string, std::string> tree_of(fs::path const& dir) {
  std::map<std::string, std::string> out;
  for (fs::recursive_directory_iterator it(dir), end; it != end; ++it)
    if (fs::is_regular_file(it->status()))
      out[fs::relative(it->path(), dir).string()] = kstest::read_file(it->path());
  return out;
}

class KsfdStandin : public ::testing::Test {
 protected:
  void SetUp() override {
    KS_REQUIRE_SANDBOX();
    ASSERT_TRUE(fs::exists(kKsfd)) << "the stand-in is not placed at " << kKsfd;
    fs::create_directories(tmp / "src");
  }

  fs::path path(std::string const& rel) const { return tmp / rel; }
  std::string p(std::string const& rel) const { return path(rel).string(); }

  // Writes the sources and a list file naming them; returns the list path.
  std::string sources(std::map<std::string, std::string> const& files, std::string const& list_name = "list") {
    std::string list = "KSFD file list:\n";
    for (auto const& f : files) {
      fs::create_directories(path("src/" + f.first).parent_path());
      kstest::write_file(path("src/" + f.first), f.second);
      list += "   " + p("src/" + f.first) + " : " + f.first + "\n";
    }
    kstest::write_file(path(list_name), list);
    return p(list_name);
  }

  // The framework's local backup command with its default parameters.
  static std::string backup(std::string const& list, std::string const& archive, std::string const& meta,
                            std::string const& extra = "") {
    fs::create_directories(fs::path(meta).parent_path());
    return std::string("cd / && ") + kKsfd + " -a sha2 -2  -b 16384 -c " + list + kKeys + extra + " -z None -n " +
           archive + " -m " + meta;
  }
  static std::string restore(std::string const& archive, std::string const& dir, std::string const& extra = "") {
    fs::create_directories(dir);
    return std::string(kKsfd) + " -a sha2 -2  -b 16384 -r " + archive + " -d " + dir + extra;
  }

  kstest::TempDir tmp;
};

TEST_F(KsfdStandin, FilesRoundTripWithTheirBytesAndModes) {
  struct Case {
    char const* name;
    std::string content;
    mode_t mode;
  };
  std::vector<Case> const cases = {
      {"empty", "", 0644},
      {"one", "x", 0600},
      {"exact_block", random_data(kBlock, 1), 0640},
      {"block_and_one", random_data(kBlock + 1, 2), 0755},
      {"several_blocks", random_data(5 * kBlock - 7, 3), 0444},
      {"zeros", std::string(3 * kBlock, '\0'), 0644},
      {"text lines", "a\r\nb\n\n%20 c\n", 0644},
      {"vm.config", "name=vm\n", 0600},
  };
  std::map<std::string, std::string> files;
  for (auto const& c : cases) files[c.name] = c.content;
  std::string list = sources(files);
  for (auto const& c : cases) ASSERT_EQ(0, chmod(p(std::string("src/") + c.name).c_str(), c.mode));

  auto b = kstest::run(backup(list, p("a.ksfd"), p("a.snap_dir/a.meta")));
  ASSERT_EQ(0, b.status) << b.output;
  auto r = kstest::run(restore(p("a.ksfd"), p("out")));
  ASSERT_EQ(0, r.status) << r.output;

  EXPECT_EQ(files, tree_of(path("out")));
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    std::string restored = p(std::string("out/") + c.name);
    EXPECT_EQ(0, kstest::run("cmp " + kstest::sh_quote(p(std::string("src/") + c.name)) + " " +
                             kstest::sh_quote(restored)).status);
    struct stat st;
    ASSERT_EQ(0, stat(restored.c_str(), &st));
    EXPECT_EQ(c.mode, st.st_mode & 07777);
    // The framework refuses restored files with holes.
    EXPECT_GE(static_cast<off_t>(st.st_blocks) * 512, st.st_size);
  }
}

TEST_F(KsfdStandin, ProgressLinesFollowThePidLine) {
  std::string list = sources({{"a", random_data(2 * kBlock, 4)}, {"b", "b"}});
  auto b = kstest::run(backup(list, p("a.ksfd"), p("a.snap_dir/a.meta")));
  ASSERT_EQ(0, b.status) << b.output;
  auto lines = lines_of(b.output);
  ASSERT_EQ(3u, lines.size()) << b.output;
  EXPECT_THAT(lines[0], ::testing::MatchesRegex("KSFD PID: [1-9][0-9]*"));
  EXPECT_EQ("Packed: 50% (1 of 2 items, 32768 bytes)", lines[1]);
  EXPECT_EQ("Packed: 100% (2 of 2 items, 32769 bytes)", lines[2]);

  auto r = kstest::run(restore(p("a.ksfd"), p("out")));
  ASSERT_EQ(0, r.status) << r.output;
  lines = lines_of(r.output);
  ASSERT_EQ(3u, lines.size()) << r.output;
  EXPECT_THAT(lines[0], StartsWith("KSFD PID: "));
  EXPECT_THAT(lines[1], StartsWith("Unpacked: 50% "));
  EXPECT_THAT(lines[2], StartsWith("Unpacked: 100% "));
}

// Loop devices need /dev/loop-control; the test detaches its device always.
class LoopDevice {
 public:
  explicit LoopDevice(std::string const& backing) {
    auto r = kstest::run("losetup -f --show " + kstest::sh_quote(backing));
    if (r.status == 0) device_ = lines_of(r.output).at(0);
    else error_ = r.output;
  }
  ~LoopDevice() {
    if (!device_.empty()) kstest::run("losetup -d " + device_);
  }
  LoopDevice(LoopDevice const&) = delete;
  LoopDevice& operator=(LoopDevice const&) = delete;
  std::string const& device() const { return device_; }
  std::string const& error() const { return error_; }

 private:
  std::string device_, error_;
};

TEST_F(KsfdStandin, BlockDeviceIsReadToItsEndAndIncrementalStoresOnlyChangedBlocks) {
  if (!fs::exists("/dev/loop-control")) GTEST_SKIP() << "no loop device support on this machine";
  std::string image = random_data(3 * 1024 * 1024 + 1536, 5);  // not a multiple of the block size
  kstest::write_file(path("disk.img"), image);
  LoopDevice loop(p("disk.img"));
  ASSERT_FALSE(loop.device().empty()) << loop.error();
  kstest::write_file(path("list"), "KSFD file list:\n   " + loop.device() + " : vdb\n");

  auto b = kstest::run(backup(p("list"), p("full.ksfd"), p("full.snap_dir/full.meta")));
  ASSERT_EQ(0, b.status) << b.output;
  auto r = kstest::run(restore(p("full.ksfd"), p("out1")));
  ASSERT_EQ(0, r.status) << r.output;
  EXPECT_EQ(0, kstest::run("cmp " + p("disk.img") + " " + p("out1/vdb")).status);

  // Change 10 bytes in the middle through the backing file and drop the
  // device's cached pages so the next read sees them.
  ASSERT_EQ(0, kstest::run("printf 0123456789 | dd of=" + p("disk.img") +
                           " bs=1 seek=1000000 conv=notrunc status=none").status);
  ASSERT_EQ(0, kstest::run("blockdev --flushbufs " + loop.device()).status);
  auto i = kstest::run(backup(p("list"), p("inc.ksfd"), p("inc.snap_dir/inc.meta"), " -S " + p("full.snap_dir/full.meta")));
  ASSERT_EQ(0, i.status) << i.output;
  r = kstest::run(restore(p("inc.ksfd"), p("out2")));
  ASSERT_EQ(0, r.status) << r.output;
  EXPECT_EQ(0, kstest::run("cmp " + p("disk.img") + " " + p("out2/vdb")).status);
  EXPECT_NE(image, kstest::read_file(path("out2/vdb")));
  EXPECT_LT(fs::file_size(path("inc.ksfd")), 4 * kBlock) << "the incremental archive holds more than the changed block";
}

// One chain of backups: a full one, two incrementals and a differential from
// the full one, in both the local and the media-server mode.
class KsfdChain : public KsfdStandin, public ::testing::WithParamInterface<bool> {
 protected:
  bool media() const { return GetParam(); }

  std::string do_backup(std::string const& name, std::string const& list, std::string const& ref_meta = "") {
    std::string meta = p(name + ".snap_dir/" + name + ".meta");
    fs::create_directories(path(name + ".snap_dir"));
    std::string cmd = std::string("cd / && ") + kKsfd + " -a sha2 -2  -b 16384 -c " + list + kKeys +
                      (ref_meta.empty() ? "" : " -S " + ref_meta) + " -z None";
    if (media())
      cmd += " -M media1 -N " + name + " -T 42 -s /opt/kestrova/var/tasks//task_secret_42 -m " + meta;
    else
      cmd += " -n " + p(name + ".ksfd") + " -m " + meta;
    auto r = kstest::run(cmd);
    EXPECT_EQ(0, r.status) << r.output;
    if (media()) {
      EXPECT_THAT(r.output, HasSubstr("\nTransferred: "));
    }
    return meta;
  }
  std::map<std::string, std::string> do_restore(std::string const& name) {
    std::string dir = p("restore_" + name);
    fs::create_directories(dir);
    std::string cmd = std::string(kKsfd) + " -a sha2 -2  -b 16384";
    if (media())
      cmd += " -R " + name + " -M media1 -T 42 -s /opt/kestrova/var/tasks//task_secret_42 -m " +
             p(name + ".snap_dir/" + name + ".meta");
    else
      cmd += " -r " + p(name + ".ksfd");
    auto r = kstest::run(cmd + " -d " + dir);
    EXPECT_EQ(0, r.status) << r.output;
    return tree_of(dir);
  }
  uintmax_t archive_size(std::string const& name) {
    return fs::file_size(media() ? path("media/" + name + ".ksfd") : path(name + ".ksfd"));
  }

  void SetUp() override {
    KsfdStandin::SetUp();
    fs::create_directories(path("media"));
    kstest::write_file("/opt/kestrova/var/tasks//task_secret_42", "secret\n");
  }
  ScopedEnv media_dir{"KSFD_STANDIN_MEDIA_DIR", (tmp / "media").string()};
};

TEST_P(KsfdChain, EachArchiveOfAChainRestoresItsOwnState) {
  std::map<std::string, std::string> s0 = {
      {"a", random_data(5 * kBlock, 10)}, {"b", "small"}, {"c", random_data(3 * kBlock, 11)}};
  std::string m0 = do_backup("full", sources(s0));

  std::map<std::string, std::string> s1 = s0;
  s1["a"][2 * kBlock + 100] ^= 0x55;             // one changed block
  s1["b"] += " and longer";                      // grows
  s1["c"].resize(kBlock + kBlock / 2);           // shrinks inside a block
  s1["d"] = random_data(kBlock + 3, 12);         // new
  fs::remove_all(path("src"));
  std::string m1 = do_backup("inc1", sources(s1), m0);

  std::map<std::string, std::string> s2 = s1;
  s2.erase("b");                                 // gone
  s2["a"] += random_data(2 * kBlock, 13);        // grows by whole blocks
  fs::remove_all(path("src"));
  std::string list2 = sources(s2);
  do_backup("inc2", list2, m1);
  do_backup("diff2", list2, m0);

  EXPECT_EQ(s0, do_restore("full"));
  EXPECT_EQ(s1, do_restore("inc1"));
  EXPECT_EQ(s2, do_restore("inc2"));
  EXPECT_EQ(s2, do_restore("diff2"));
  // inc1 changed one block of a, all of b, the tail of c and added d.
  EXPECT_LT(archive_size("inc1"), archive_size("full") / 3);
}

TEST_P(KsfdChain, AMissingOrForeignReferenceIsRefused) {
  std::string list = sources({{"a", random_data(2 * kBlock, 20)}});
  std::string m0 = do_backup("full", list);
  do_backup("inc", list, m0);
  fs::path full = media() ? path("media/full.ksfd") : path("full.ksfd");

  fs::rename(full, path("full.saved"));
  std::string cmd = media() ? std::string(kKsfd) + " -a sha2 -2  -b 16384 -R inc -M media1 -T 42 -s " +
                                  "/opt/kestrova/var/tasks//task_secret_42 -m " + p("inc.snap_dir/inc.meta")
                            : std::string(kKsfd) + " -a sha2 -2  -b 16384 -r " + p("inc.ksfd");
  fs::create_directories(path("out"));
  auto r = kstest::run(cmd + " -d " + p("out"));
  EXPECT_EQ(1, r.status);
  EXPECT_THAT(r.output, HasSubstr("not found"));

  // Another full backup under the same name is not the one inc was made against.
  do_backup("full", list);
  r = kstest::run(cmd + " -d " + p("out"));
  EXPECT_EQ(1, r.status);
  EXPECT_THAT(r.output, HasSubstr("is not the reference"));
  EXPECT_TRUE(fs::is_empty(path("out")));
}

INSTANTIATE_TEST_SUITE_P(Modes, KsfdChain, ::testing::Values(false, true),
                         [](::testing::TestParamInfo<bool> const& i) { return i.param ? "Media" : "Local"; });

TEST_F(KsfdStandin, LocalArchivesMovedTogetherStillRestore) {
  std::string list = sources({{"a", random_data(2 * kBlock, 30)}});
  auto b = kstest::run(backup(list, p("full.ksfd"), p("full.snap_dir/full.meta")));
  ASSERT_EQ(0, b.status) << b.output;
  kstest::write_file(path("src/a"), random_data(2 * kBlock, 31));
  b = kstest::run(backup(list, p("inc.ksfd"), p("inc.snap_dir/inc.meta"), " -S " + p("full.snap_dir/full.meta")));
  ASSERT_EQ(0, b.status) << b.output;
  fs::create_directories(path("moved"));
  fs::rename(path("full.ksfd"), path("moved/full.ksfd"));
  fs::rename(path("inc.ksfd"), path("moved/inc.ksfd"));
  auto r = kstest::run(restore(p("moved/inc.ksfd"), p("out")));
  ASSERT_EQ(0, r.status) << r.output;
  EXPECT_EQ(kstest::read_file(path("src/a")), kstest::read_file(path("out/a")));
}

TEST_F(KsfdStandin, DamagedArchivesAreRefusedBeforeAnythingIsRestored) {
  std::string list = sources({{"a", random_data(3 * kBlock, 40)}, {"b", "bbb"}});
  auto b = kstest::run(backup(list, p("good.ksfd"), p("good.snap_dir/good.meta")));
  ASSERT_EQ(0, b.status) << b.output;
  std::string const good = kstest::read_file(path("good.ksfd"));

  struct Case {
    char const* name;
    std::function<std::string(std::string)> damage;
    char const* message;
  };
  auto flip = [](size_t at) {
    return [at](std::string s) {
      s[at] ^= 0x01;
      return s;
    };
  };
  std::vector<Case> const cases = {
      {"cut in half", [](std::string s) { return s.substr(0, s.size() / 2); }, "corrupt archive"},
      {"last byte missing", [](std::string s) { return s.substr(0, s.size() - 1); }, "corrupt archive"},
      // The end record: type, 64-bit length, "items 2\n", 32-byte digest.
      {"end record missing", [](std::string s) { return s.substr(0, s.size() - (1 + 8 + 8 + 32)); }, "no end record"},
      {"byte flipped in the header", flip(30), "corrupt archive"},
      {"byte flipped in block data", flip(good.size() / 2), "digest mismatch"},
      {"garbage appended", [](std::string s) { return s + "more"; }, "corrupt archive"},
      {"magic changed", flip(0), "not an archive"},
      {"empty file", [](std::string) { return std::string(); }, "not an archive"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    kstest::write_file(path("bad.ksfd"), c.damage(good));
    fs::remove_all(path("out"));
    auto r = kstest::run(restore(p("bad.ksfd"), p("out")));
    EXPECT_EQ(1, r.status) << r.output;
    EXPECT_THAT(r.output, HasSubstr(c.message));
    EXPECT_TRUE(fs::is_empty(path("out")));
  }
}

TEST_F(KsfdStandin, DamagedMetaFilesAreRefused) {
  std::string list = sources({{"a", random_data(kBlock, 50)}});
  auto b = kstest::run(backup(list, p("full.ksfd"), p("full.snap_dir/full.meta")));
  ASSERT_EQ(0, b.status) << b.output;
  std::string meta = kstest::read_file(path("full.snap_dir/full.meta"));
  for (std::string const& bad : {meta.substr(0, meta.size() / 2), meta.substr(0, 40) + "X" + meta.substr(41)}) {
    kstest::write_file(path("bad.meta"), bad);
    auto l = kstest::run(std::string(kKsfd) + " -l " + p("bad.meta") + " -v 1");
    EXPECT_EQ(1, l.status);
    EXPECT_THAT(l.output, HasSubstr("bad meta file"));
    auto i = kstest::run(backup(list, p("inc.ksfd"), p("inc.snap_dir/inc.meta"), " -S " + p("bad.meta")));
    EXPECT_EQ(1, i.status);
    EXPECT_THAT(i.output, HasSubstr("bad meta file"));
    EXPECT_TRUE(fs::is_empty(path("inc.snap_dir")));
    EXPECT_FALSE(fs::exists(path("inc.ksfd")));
  }
}

TEST_F(KsfdStandin, ListingShowsEveryItemOfTheMetaFile) {
  std::string list = sources({{"vm.config", "cfg"}, {"vdb", random_data(kBlock + 5, 60)}});
  ASSERT_EQ(0, chmod(p("src/vdb").c_str(), 0640));
  auto b = kstest::run(backup(list, p("a.ksfd"), p("a.snap_dir/a.meta")));
  ASSERT_EQ(0, b.status) << b.output;
  auto l = kstest::run(std::string(kKsfd) + " -l '" + p("a.snap_dir/a.meta") + "' -v 1");
  ASSERT_EQ(0, l.status) << l.output;
  auto lines = lines_of(l.output);
  ASSERT_EQ(2u, lines.size()) << l.output;
  EXPECT_THAT(lines[0], ::testing::MatchesRegex("-rw-r----- 0/0 16389 [0-9-]+ [0-9:]+ vdb"));
  EXPECT_THAT(lines[1], ::testing::MatchesRegex("-rw-r--r-- 0/0 3 [0-9-]+ [0-9:]+ vm.config"));
  EXPECT_EQ("vdb\nvm.config\n", kstest::run(std::string(kKsfd) + " -l " + p("a.snap_dir/a.meta")).output);
}

TEST_F(KsfdStandin, MalformedCommandLinesFailWithStatusOne) {
  std::string list = sources({{"a", "a"}});
  std::string const head = std::string(kKsfd) + " -a sha2 -2 -b 16384";
  std::string const ok_backup = head + " -c " + list + kKeys + " -n " + p("a.ksfd") + " -m " + p("a.meta");
  ASSERT_EQ(0, kstest::run(ok_backup).status) << "the base line must work for the cases below to mean anything";
  fs::create_directories(path("out"));
  struct Case {
    std::string command;
    char const* message;
  };
  std::vector<Case> const cases = {
      {ok_backup + " --bogus", "unknown option: '--bogus'"},
      {ok_backup + " stray", "unexpected argument: 'stray'"},
      {ok_backup + " -p", "option -p needs a value"},
      {ok_backup + " -b 4096", "option given twice: -b"},
      {ok_backup + " -5", "-2 and -5 exclude each other"},
      {ok_backup + " -p x", "bad value of -p"},
      {ok_backup + " -z fastest", "bad compression"},
      {ok_backup + " -e worker_parallelism:2,colour:blue", "bad flag in -e"},
      {ok_backup + " -g " + p("a.sig"), "must be given together"},
      {ok_backup + " -C aes", "must be given together"},
      {ok_backup + " -C aes -k /no/such/key", "key file does not exist"},
      {ok_backup + " -d /tmp", "not valid for backup"},
      {ok_backup + " -T 42", "needs a media server"},
      {ok_backup + " -M media1 -N a -T 42 -s /no/such/secret", "task secret file does not exist"},
      {head + " -c " + list + " -n " + p("a.ksfd") + " -m " + p("a.meta"), "missing option -x"},
      {head + " -c " + list + kKeys + " -n " + p("a.ksfd"), "missing option -m"},
      {std::string(kKsfd) + " -a md5 -2 -b 16384 -c " + list + kKeys + " -n x -m y", "unsupported hash algorithm"},
      {std::string(kKsfd) + " -a sha2 -b 16384 -c " + list + kKeys + " -n x -m y", "-a needs -2 or -5"},
      {std::string(kKsfd) + " -a sha2 -2 -b 0 -c " + list + kKeys + " -n x -m y", "bad value of -b"},
      {head + " -r " + p("a.ksfd"), "missing option -d"},
      {head + " -r " + p("a.ksfd") + " -d " + p("out") + " -c " + list, "not valid for restore"},
      {head + " -r " + p("a.ksfd") + " -d " + p("missing"), "restore directory does not exist"},
      {head + " -R a -d " + p("out"), "needs a media server"},
      {std::string(kKsfd) + " -l " + p("a.meta") + " -v 1 -d x", "not valid for list"},
      {std::string(kKsfd), "nothing to do"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.command);
    auto r = kstest::run(c.command);
    EXPECT_EQ(1, r.status) << r.output;
    EXPECT_THAT(r.output, HasSubstr(c.message));
  }
}

// Every command line the framework builds, in the exact form it builds them,
// one after the other on the same archives.
TEST_F(KsfdStandin, TheFrameworksCommandLinesAreAccepted) {
  fs::create_directories(path("media"));
  ScopedEnv media_dir("KSFD_STANDIN_MEDIA_DIR", p("media"));
  ScopedEnv argv_log("KSFD_STANDIN_ARGV_LOG", p("argv.log"));
  kstest::write_file("/opt/kestrova/var/tasks//task_secret_42", "secret\n");
  kstest::write_file("/opt/kestrova/keys/master-key", "pass phrase\n");
  ASSERT_EQ(0, kstest::run("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -aes-256-cbc -pass "
                           "file:/opt/kestrova/keys/master-key -out /opt/kestrova/keys/secret-key.pem").status);
  ASSERT_EQ(0, kstest::run("openssl pkey -in /opt/kestrova/keys/secret-key.pem -passin file:/opt/kestrova/keys/master-key"
                           " -pubout -out " + p("public.pem")).status);
  kstest::write_file(path("restrictions"), "server-1\n");
  kstest::write_file(path("crypto.key"), "0123456789abcdef");
  std::string list = sources({{"vm.config", "cfg"}, {"vdb", random_data(3 * kBlock, 70)}});
  std::string const T = p("t"), ks = kKsfd;
  fs::create_directories(T + "/c1.snap_dir/leveldb");
  fs::create_directories(T + "/c2.snap_dir/leveldb");
  fs::create_directories(T + "/c1.rest");
  fs::create_directories(T + "/c2 x.rest");
  std::string const keys_x = "-x /opt/kestrova/keys/master-key,/opt/kestrova/keys/secret-key.pem";
  std::string const secret = "/opt/kestrova/var/tasks//task_secret_42";
  std::string const sign =
      " --passin /opt/kestrova/keys/master-key --sign /opt/kestrova/keys/secret-key.pem";

  struct Step {
    std::string command;
    std::string logged;  // the argv the tool saw, as it logs it
  };
  std::vector<Step> const steps = {
      // Autonomous full backup with the default parameters and a signature.
      {"cd / && " + ks + " -a sha2 -2  -b 16384 -c " + list + " " + keys_x + " -z None -n " + T + "/c1.ksfd -m " + T +
           "/c1.snap_dir/c1.meta -g " + T + "/c1.ksfd.signature" + sign + " 2>&1",
       ks + " -a sha2 -2 -b 16384 -c " + list + " " + keys_x + " -z None -n " + T + "/c1.ksfd -m " + T +
           "/c1.snap_dir/c1.meta -g " + T + "/c1.ksfd.signature" + sign},
      // Media-server incremental with every optional piece.
      {"cd / && " + ks + " -a sha2 -5  -b 4096 -c " + list + " -p 0 -e worker_parallelism:4,enable_flexible_dedup:1 " +
           keys_x + ",server-1 --numeric-owner -S " + T + "/c1.snap_dir/c1.meta -z best --memory-threshold 512 -M "
           "media1 -N c2 -T 42 -s " + secret + " -m " + T + "/c2.snap_dir/c2.meta -X " + p("restrictions") +
           " -C aes -k " + p("crypto.key") + " 2>&1",
       ks + " -a sha2 -5 -b 4096 -c " + list + " -p 0 -e worker_parallelism:4,enable_flexible_dedup:1 " + keys_x +
           ",server-1 --numeric-owner -S " + T + "/c1.snap_dir/c1.meta -z best --memory-threshold 512 -M media1 -N c2 "
           "-T 42 -s " + secret + " -m " + T + "/c2.snap_dir/c2.meta -X " + p("restrictions") + " -C aes -k " +
           p("crypto.key")},
      // Listing after the backup.
      {ks + " -l '" + T + "/c1.snap_dir/c1.meta' -v 1", ks + " -l " + T + "/c1.snap_dir/c1.meta -v 1"},
      // Signature check of the archive.
      {ks + " -n '" + T + "/c1.ksfd' -g '" + T + "/c1.ksfd.signature' --verify --public-key '" + p("public.pem") + "'",
       ks + " -n " + T + "/c1.ksfd -g " + T + "/c1.ksfd.signature --verify --public-key " + p("public.pem")},
      // Autonomous restore, granular, with pass-through flags.
      {ks + " -a sha2 -2  -b 16384 -r " + T + "/c1.ksfd -d " + T + "/c1\\.rest -p 3 -f vm.config --set-to-numeric -e "
           "network_parallelism:2 2>&1",
       ks + " -a sha2 -2 -b 16384 -r " + T + "/c1.ksfd -d " + T + "/c1.rest -p 3 -f vm.config --set-to-numeric -e "
           "network_parallelism:2"},
      // Media-server restore of the enciphered incremental as a replica, the
      // meta file and the directory backslash-escaped as the restore command
      // writes them.
      {ks + " -a sha2 -2  -b 16384 -R c2 -M media1 -T 42 -s " + secret + " -m " + T + "/c2\\.snap_dir/c2\\.meta -d " +
           T + "/c2\\ x\\.rest -C aes -k " + p("crypto.key") + " -E  2>&1",
       ks + " -a sha2 -2 -b 16384 -R c2 -M media1 -T 42 -s " + secret + " -m " + T + "/c2.snap_dir/c2.meta -d '" + T +
           "/c2 x.rest' -C aes -k " + p("crypto.key") + " -E"},
  };
  std::vector<std::string> outputs;
  for (auto const& s : steps) {
    SCOPED_TRACE(s.command);
    fs::remove(path("argv.log"));
    auto r = kstest::run(s.command);
    EXPECT_EQ(0, r.status) << r.output;
    outputs.push_back(r.output);
    EXPECT_EQ(s.logged + "\n", kstest::read_file(path("argv.log")));
  }
  ASSERT_EQ(steps.size(), outputs.size());
  EXPECT_THAT(outputs[4], HasSubstr("\nUnpacked: 100% (1 of 1 items, 3 bytes)\n"));
  EXPECT_THAT(outputs[5], HasSubstr("\nTransferred: "));
  EXPECT_EQ("cfg", kstest::read_file(T + "/c1.rest/vm.config"));
  EXPECT_FALSE(fs::exists(T + "/c1.rest/vdb")) << "a granular restore brought more than it was asked for";
  EXPECT_EQ(kstest::read_file(path("src/vdb")), kstest::read_file(T + "/c2 x.rest/vdb"));

  // Adding entries to both archives.
  std::string list2 = sources({{"extra", "more"}}, "list2");
  auto a = kstest::run("cd '" + T + "' && " + ks + " -a sha2 -2  -b 16384 -u " + T + "/c1.ksfd --add " + list2);
  EXPECT_EQ(0, a.status) << a.output;
  a = kstest::run("cd '" + T + "' && " + ks + " -a sha2 -2  -b 16384 -U c2 --add " + list2 + " -M media1 -T 42 -s " +
                  secret + " -m " + T + "/c2.snap_dir/c2.meta -g " + T + "/c2.signature" + sign +
                  " -p 2 -C aes -k " + p("crypto.key") + " -z fast --memory-threshold 7");
  EXPECT_EQ(0, a.status) << a.output;
  fs::create_directories(path("after"));
  auto r = kstest::run(ks + " -a sha2 -2 -b 16384 -r " + T + "/c1.ksfd -d " + p("after"));
  EXPECT_EQ(0, r.status) << r.output;
  EXPECT_EQ((std::map<std::string, std::string>{{"vm.config", "cfg"}, {"vdb", kstest::read_file(path("src/vdb"))},
                                                {"extra", "more"}}),
            tree_of(path("after")));
  EXPECT_EQ(0, kstest::run("openssl dgst -sha256 -verify " + p("public.pem") + " -signature " + T + "/c2.signature " +
                           p("media/c2.ksfd")).status);
  auto l = kstest::run(ks + " -l " + T + "/c2.snap_dir/c2.meta");
  EXPECT_EQ("vdb\nvm.config\nextra\n", l.output);
}

TEST_F(KsfdStandin, ExcludedPathsAreLeftOut) {
  std::string list = sources({{"keep", "k"}, {"secret-key.pem", "key"}, {"sub/x", "x"}});
  auto b = kstest::run(backup(list, p("a.ksfd"), p("a.snap_dir/a.meta"),
                              "," + p("src/secret-key.pem") + "," + p("src/sub/") + ","));
  ASSERT_EQ(0, b.status) << b.output;
  EXPECT_THAT(b.output, HasSubstr("Excluded: " + p("src/secret-key.pem")));
  auto r = kstest::run(restore(p("a.ksfd"), p("out")));
  ASSERT_EQ(0, r.status) << r.output;
  EXPECT_EQ((std::map<std::string, std::string>{{"keep", "k"}}), tree_of(path("out")));
}

TEST_F(KsfdStandin, ADirectoryOrASingleFileCanBeTheSource) {
  sources({{"a", "a"}, {"sub/b", "b"}, {"sub/deeper/c", random_data(kBlock * 2 + 1, 80)}});
  std::string const head = std::string("cd / && ") + kKsfd + " -a sha2 -2  -b 16384 -c ";
  fs::create_directories(path("m"));
  auto b = kstest::run(head + p("src") + kKeys + " -n " + p("dir.ksfd") + " -m " + p("m/dir.meta"));
  ASSERT_EQ(0, b.status) << b.output;
  b = kstest::run(head + p("src/sub/b") + kKeys + " -n " + p("one.ksfd") + " -m " + p("m/one.meta"));
  ASSERT_EQ(0, b.status) << b.output;
  auto r = kstest::run(restore(p("dir.ksfd"), p("out_dir")));
  ASSERT_EQ(0, r.status) << r.output;
  EXPECT_EQ(tree_of(path("src")), tree_of(path("out_dir")));
  r = kstest::run(restore(p("one.ksfd"), p("out_one")));
  ASSERT_EQ(0, r.status) << r.output;
  EXPECT_EQ((std::map<std::string, std::string>{{"b", "b"}}), tree_of(path("out_one")));
  // "-c ." from the root directory would be the whole machine.
  b = kstest::run(head + "." + kKeys + " -n " + p("root.ksfd") + " -m " + p("m/root.meta"));
  EXPECT_EQ(1, b.status);
  EXPECT_THAT(b.output, HasSubstr("refusing to back up the whole root directory"));
}

TEST_F(KsfdStandin, UnsafeOrDuplicateNamesAreRefused) {
  for (std::string const names : {"../escape", "/abs", "a/../../b", "", "same\n   SRC : same"}) {
    SCOPED_TRACE(names);
    kstest::write_file(path("src/f"), "f");
    std::string line = names;
    auto at = line.find("SRC");
    if (at != std::string::npos) line.replace(at, 3, p("src/f"));
    kstest::write_file(path("list"), "KSFD file list:\n   " + p("src/f") + " : " + line + "\n");
    auto b = kstest::run(backup(p("list"), p("a.ksfd"), p("a.snap_dir/a.meta")));
    EXPECT_EQ(1, b.status) << b.output;
    EXPECT_FALSE(fs::exists(path("a.ksfd")));
  }
}

TEST_F(KsfdStandin, EncipheredArchivesNeedTheirKey) {
  std::string const marker = "PLAINTEXT-MARKER-" + std::string(200, 'm');
  std::string list = sources({{"a", marker}});
  kstest::write_file(path("key"), "right key");
  kstest::write_file(path("other"), "wrong key");
  auto b = kstest::run(backup(list, p("a.ksfd"), p("a.snap_dir/a.meta"), "") + " -C aes -k " + p("key"));
  ASSERT_EQ(0, b.status) << b.output;
  EXPECT_EQ(std::string::npos, kstest::read_file(path("a.ksfd")).find("PLAINTEXT-MARKER"));

  struct Case {
    std::string extra;
    int status;
    char const* message;
  };
  for (auto const& c : std::vector<Case>{{"", 1, "is enciphered (aes): give -C and -k"},
                                         {" -C aes -k " + p("other"), 1, "wrong key"},
                                         {" -C gost -k " + p("key"), 1, "enciphered with aes, not gost"},
                                         {" -C aes -k " + p("key"), 0, ""}}) {
    SCOPED_TRACE(c.extra);
    fs::remove_all(path("out"));
    auto r = kstest::run(restore(p("a.ksfd"), p("out"), c.extra));
    EXPECT_EQ(c.status, r.status) << r.output;
    EXPECT_THAT(r.output, HasSubstr(c.message));
  }
  EXPECT_EQ(marker, kstest::read_file(path("out/a")));
}

class KsfdSignature : public KsfdStandin, public ::testing::WithParamInterface<char const*> {};

TEST_P(KsfdSignature, SignaturesMatchOpensslBothWays) {
  std::string const keygen = GetParam();
  kstest::write_file("/opt/kestrova/keys/master-key", "pass phrase\nsecond line is not part of it\n");
  ASSERT_EQ(0, kstest::run("openssl genpkey " + keygen + " -aes-256-cbc -pass pass:'pass phrase'"
                           " -out /opt/kestrova/keys/secret-key.pem").status);
  ASSERT_EQ(0, kstest::run("openssl pkey -in /opt/kestrova/keys/secret-key.pem -passin pass:'pass phrase' -pubout -out " +
                           p("pub.pem")).status);
  ASSERT_EQ(0, kstest::run("(openssl genpkey " + keygen + " -out " + p("other.pem") + " && openssl pkey -in " +
                           p("other.pem") + " -pubout -out " + p("other_pub.pem") + ")").status);
  std::string list = sources({{"a", random_data(2 * kBlock, 90)}});
  auto b = kstest::run(backup(list, p("a.ksfd"), p("a.snap_dir/a.meta"), "") + " -g " + p("a.ksfd.signature") +
                       " --passin /opt/kestrova/keys/master-key --sign /opt/kestrova/keys/secret-key.pem");
  ASSERT_EQ(0, b.status) << b.output;

  // A backup with SHA-512 blocks (-5) is signed with SHA-512.
  std::string backup5 = backup(list, p("a5.ksfd"), p("a5.snap_dir/a5.meta"), "") + " -g " + p("a5.ksfd.signature") +
                        " --passin /opt/kestrova/keys/master-key --sign /opt/kestrova/keys/secret-key.pem";
  backup5.replace(backup5.find(" -2 "), 4, " -5 ");
  auto b5 = kstest::run(backup5);
  ASSERT_EQ(0, b5.status) << b5.output;

  // openssl accepts what the tool signed, with the digest of each backup.
  auto o = kstest::run("openssl dgst -sha256 -verify " + p("pub.pem") + " -signature " + p("a.ksfd.signature") + " " +
                       p("a.ksfd"));
  EXPECT_EQ(0, o.status) << o.output;
  auto o5 = kstest::run("openssl dgst -sha512 -verify " + p("pub.pem") + " -signature " + p("a5.ksfd.signature") +
                        " " + p("a5.ksfd"));
  EXPECT_EQ(0, o5.status) << o5.output;
  // The tool accepts what openssl signed.
  kstest::write_file(path("doc"), "a document");
  ASSERT_EQ(0, kstest::run("openssl dgst -sha256 -sign /opt/kestrova/keys/secret-key.pem -passin pass:'pass phrase'"
                           " -out " + p("doc.sig") + " " + p("doc")).status);
  kstest::write_file(path("tampered.ksfd"), kstest::read_file(path("a.ksfd")) + "x");

  auto verify = [&](std::string const& file, std::string const& sig, std::string const& key) {
    return kstest::run(std::string(kKsfd) + " -n '" + file + "' -g '" + sig + "' --verify --public-key '" + key + "'");
  };
  struct Case {
    std::string file, sig, key;
    int status;
    char const* line;
  };
  for (auto const& c : std::vector<Case>{
           {p("a.ksfd"), p("a.ksfd.signature"), p("pub.pem"), 0, "Verified OK\n"},
           // The module names no digest: the archive's own is used.
           {p("a5.ksfd"), p("a5.ksfd.signature"), p("pub.pem"), 0, "Verified OK\n"},
           {p("a5.ksfd"), p("a.ksfd.signature"), p("pub.pem"), 1, "Verification failure\n"},
           {p("doc"), p("doc.sig"), p("pub.pem"), 0, "Verified OK\n"},
           {p("tampered.ksfd"), p("a.ksfd.signature"), p("pub.pem"), 1, "Verification failure\n"},
           {p("a.ksfd"), p("a.ksfd.signature"), p("other_pub.pem"), 1, "Verification failure\n"},
           {p("doc"), p("a.ksfd.signature"), p("pub.pem"), 1, "Verification failure\n"},
       }) {
    SCOPED_TRACE(c.file + " " + c.key);
    auto r = verify(c.file, c.sig, c.key);
    EXPECT_EQ(c.status, r.status);
    EXPECT_EQ(c.line, r.output);
  }
  auto missing = verify(p("a.ksfd"), p("no.sig"), p("pub.pem"));
  EXPECT_EQ(1, missing.status);
  EXPECT_THAT(missing.output, HasSubstr("cannot open"));
}

INSTANTIATE_TEST_SUITE_P(Keys, KsfdSignature,
                         ::testing::Values("-algorithm RSA -pkeyopt rsa_keygen_bits:2048",
                                           "-algorithm EC -pkeyopt ec_paramgen_curve:P-256"),
                         [](::testing::TestParamInfo<char const*> const& i) { return i.index == 0 ? "Rsa" : "Ec"; });

TEST_F(KsfdStandin, StopsOnSigtstpAndResumesOnSigcontWithoutChildren) {
  std::string list = sources({{"a", "a"}, {"b", "b"}, {"c", "c"}});
  ScopedEnv delay("KSFD_STANDIN_DELAY_ITEM_MS", "300");
  Child c("exec " + backup(list, p("a.ksfd"), p("a.snap_dir/a.meta")).substr(std::string("cd / && ").size()));
  std::string line;
  ASSERT_TRUE(c.read_line(line));
  EXPECT_EQ("KSFD PID: " + std::to_string(c.pid()), line) << "the PID line names another process";
  EXPECT_EQ("", kstest::read_file("/proc/" + std::to_string(c.pid()) + "/task/" + std::to_string(c.pid()) + "/children"));

  ASSERT_EQ(0, kill(c.pid(), SIGTSTP));
  ASSERT_TRUE(wait_for_state(c.pid(), 'T')) << "state " << proc_state(c.pid());
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  EXPECT_EQ('T', proc_state(c.pid())) << "it went on while stopped";
  EXPECT_FALSE(fs::exists(path("a.ksfd")));

  ASSERT_EQ(0, kill(c.pid(), SIGCONT));
  std::string rest;
  EXPECT_EQ(0, c.wait(&rest)) << rest;
  EXPECT_THAT(rest, HasSubstr("Packed: 100% (3 of 3 items, 3 bytes)"));
  auto r = kstest::run(restore(p("a.ksfd"), p("out")));
  EXPECT_EQ(0, r.status) << r.output;
}

TEST_F(KsfdStandin, AKilledRunLeavesNothingThatLooksComplete) {
  std::string list = sources({{"a", random_data(kBlock, 100)}, {"b", "b"}, {"c", "c"}});
  ScopedEnv delay("KSFD_STANDIN_DELAY_ITEM_MS", "400");
  for (int sig : {SIGKILL, SIGTERM}) {
    SCOPED_TRACE(sig);
    fs::remove_all(path("a.snap_dir"));
    fs::remove_all(path("arch"));
    fs::create_directories(path("arch"));
    Child c("exec " + backup(list, p("arch/a.ksfd"), p("a.snap_dir/a.meta")).substr(8));
    std::string line;
    ASSERT_TRUE(c.read_line(line));
    ASSERT_TRUE(c.read_line(line));
    EXPECT_EQ("Packed: 33% (1 of 3 items, 16384 bytes)", line);
    ASSERT_EQ(0, kill(c.pid(), sig));
    EXPECT_EQ(128 + sig, c.wait());
    EXPECT_FALSE(fs::exists(path("arch/a.ksfd")));
    EXPECT_FALSE(fs::exists(path("a.snap_dir/a.meta")));
    // A signal it can catch also removes the temporary archive.
    EXPECT_EQ(sig == SIGTERM, fs::is_empty(path("arch")));
  }
}

TEST_F(KsfdStandin, ASignalRaisedBeforeTheRenameKillsTheRun) {
  std::string list = sources({{"a", "a"}});
  for (char const* sig : {"9", "15"}) {
    SCOPED_TRACE(sig);
    fs::remove_all(path("arch"));
    fs::remove_all(path("a.snap_dir"));
    fs::create_directories(path("arch"));
    ScopedEnv raise("KSFD_STANDIN_RAISE", sig);
    auto r = kstest::run(backup(list, p("arch/a.ksfd"), p("a.snap_dir/a.meta")));
    EXPECT_EQ(128 + std::atoi(sig), r.status) << r.output;
    EXPECT_FALSE(fs::exists(path("arch/a.ksfd")));
    EXPECT_FALSE(fs::exists(path("a.snap_dir/a.meta")));
    EXPECT_EQ(std::string(sig) == "15", fs::is_empty(path("arch"))) << "only a catchable signal removes the temporary file";
  }
}

TEST_F(KsfdStandin, TestsCanForceStatusesAndOutput) {
  std::string list = sources({{"a", "a"}});
  struct Case {
    std::vector<std::pair<char const*, char const*>> env;
    int status;
    bool archive;
    std::function<void(std::string const&)> check;
  };
  auto first_line_is = [](std::string const& want) {
    return [want](std::string const& out) { EXPECT_EQ(want, lines_of(out).at(0)); };
  };
  std::vector<Case> const cases = {
      {{{"KSFD_STANDIN_EXIT", "1"}}, 1, true, nullptr},
      {{{"KSFD_STANDIN_EXIT", "2"}}, 2, true, nullptr},
      {{{"KSFD_STANDIN_EXIT", "100"}}, 100, true, nullptr},
      {{{"KSFD_STANDIN_EXIT", "1"}, {"KSFD_STANDIN_ONLY", "restore,list"}}, 0, true, nullptr},
      {{{"KSFD_STANDIN_PID_TEXT", "abc"}}, 0, true, first_line_is("KSFD PID: abc")},
      {{{"KSFD_STANDIN_PID_TEXT", "0"}}, 0, true, first_line_is("KSFD PID: 0")},
      {{{"KSFD_STANDIN_NO_PID", "1"}}, 0, true, first_line_is("Packed: 100% (1 of 1 items, 1 bytes)")},
      {{{"KSFD_STANDIN_OUTPUT", "a\\rb\\r\\n\\x01"}},
       0,
       true,
       [](std::string const& out) { EXPECT_THAT(out, HasSubstr("\na\rb\r\n\x01Packed: ")); }},
      {{{"KSFD_STANDIN_TAIL", "Transferred: 5"}},
       0,
       true,
       [](std::string const& out) { EXPECT_THAT(out, ::testing::EndsWith("bytes)\nTransferred: 5")); }},
      {{{"KSFD_STANDIN_DELAY_EXIT_MS", "50"}, {"KSFD_STANDIN_EXIT", "100"}}, 100, true, nullptr},
  };
  for (auto const& c : cases) {
    std::vector<std::unique_ptr<ScopedEnv>> env;
    std::string trace;
    for (auto const& e : c.env) {
      env.emplace_back(new ScopedEnv(e.first, e.second));
      trace += std::string(e.first) + "=" + e.second + " ";
    }
    SCOPED_TRACE(trace);
    fs::remove_all(path("a.ksfd"));
    auto r = kstest::run(backup(list, p("a.ksfd"), p("a.snap_dir/a.meta")));
    EXPECT_EQ(c.status, r.status) << r.output;
    EXPECT_EQ(c.archive, fs::exists(path("a.ksfd")));
    if (c.check) c.check(r.output);
  }
  // A refused command line still exits 1, whatever status was asked for.
  ScopedEnv exit100("KSFD_STANDIN_EXIT", "100");
  auto r = kstest::run(backup(list, p("a.ksfd"), p("a.snap_dir/a.meta")) + " --bogus");
  EXPECT_EQ(1, r.status);
  EXPECT_THAT(r.output, StartsWith("KSFD PID: "));
}

}  // namespace

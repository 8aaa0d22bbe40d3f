// The file destination: appending, the size limit, rotated names, keeping
// only the newest rotated files, and file system trouble.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "common/test_util.h"
#include "log_test_util.h"

namespace fs = boost::filesystem;
namespace pt = boost::posix_time;
using KsDestination::FileLogger;
using kslogtest::unstamped_lines;
using Names = std::vector<std::string>;

namespace {

// Names in the directory, sorted, the live log excluded.
Names names_besides(fs::path const& dir, std::string const& live) {
  Names names;
  for (auto const& entry : fs::directory_iterator(dir))
    if (entry.path().filename() != live) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

void set_mtime(fs::path const& p, std::time_t t) {
  struct utimbuf times {t, t};
  ASSERT_EQ(::utime(p.c_str(), &times), 0) << p;
}

class FileLog : public kslogtest::LoggingTest {
 protected:
  kstest::TempDir dir_;
  fs::path log_ = dir_ / "m.log";
};

TEST(FileLoggerSettings, SizeLiteralsAndLimitInMiB) {
  EXPECT_EQ(1_KB, 1024u);
  EXPECT_EQ(3_KB, 3072u);
  EXPECT_EQ(1_MB, 1048576u);
  EXPECT_EQ(5_MB, 5242880u);
  FileLogger::set_max_size(5);
  EXPECT_EQ(FileLogger::max_size(), 5242880u);
  // Sizes whose byte count does not fit saturate instead of wrapping to a
  // small limit that would rotate (and prune) on every line.
  unsigned long const most = std::numeric_limits<unsigned long>::max();
  FileLogger::set_max_size(most / 1048576);
  EXPECT_EQ(FileLogger::max_size(), most / 1048576 * 1048576);
  for (unsigned long huge : {most / 1048576 + 1, 17592186044416ul, 99999999999999ul, most}) {
    FileLogger::set_max_size(huge);
    EXPECT_EQ(FileLogger::max_size(), most) << huge;
  }
  FileLogger::set_max_size(1);
  FileLogger::set_max_rotate(3);
  EXPECT_EQ(FileLogger::max_rotate(), 3u);
  FileLogger::set_max_rotate(10);
}

TEST(FileLoggerNames, RotatedNameHasNoLeadingZeros) {
  struct {
    pt::ptime when;
    char const* suffix;
  } const rows[] = {
      {pt::ptime(boost::gregorian::date(2025, 1, 5), pt::hours(14) + pt::minutes(7) + pt::seconds(9)),
       ".2025-1-5H14-7-9"},
      {pt::ptime(boost::gregorian::date(2024, 5, 1), pt::hours(9) + pt::minutes(3) + pt::seconds(7)),
       ".2024-5-1H9-3-7"},
      {pt::ptime(boost::gregorian::date(2024, 12, 31), pt::hours(23) + pt::minutes(59) + pt::seconds(59)),
       ".2024-12-31H23-59-59"},
      {pt::ptime(boost::gregorian::date(2030, 10, 20)), ".2030-10-20H0-0-0"},
  };
  for (auto const& row : rows)
    EXPECT_EQ(FileLogger::rotated_file_name("/opt/kestrova/log/m.log", row.when),
              std::string("/opt/kestrova/log/m.log") + row.suffix);
}

struct LimitCase {
  char const* name;
  long existing;  // bytes in the log file before the message; -1: no file
  unsigned long max_mib;
  bool rotates;
};

LimitCase const limit_cases[] = {
    {"no_file", -1, 1, false},
    {"exactly_the_limit", 1048576, 1, false},
    {"one_byte_more", 1048577, 1, true},
    {"limit_zero_empty_file", 0, 0, false},
    {"limit_zero_one_byte", 1, 0, true},
};

class FileLogLimit : public FileLog, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(FileLogLimit, RotatesOnlyAboveTheLimit) {
  LimitCase const& c = GetParam();
  std::string const old_content(c.existing < 0 ? 0 : static_cast<std::size_t>(c.existing), 'o');
  if (c.existing >= 0) kstest::write_file(log_, old_content);
  FileLogger::set_max_size(c.max_mib);

  FileLogger logger(log_.string());
  EXPECT_EQ(logger.write_log("new\n"), 0);

  Names const rotated = names_besides(dir_.path(), "m.log");
  std::string const live = kstest::read_file(log_);
  if (c.rotates) {
    ASSERT_EQ(rotated.size(), 1u);
    EXPECT_EQ(kstest::read_file(dir_ / rotated[0]), old_content);
    EXPECT_EQ(unstamped_lines(live), Names{"new"});
  } else {
    EXPECT_EQ(rotated, Names{});
    ASSERT_EQ(live.size(), old_content.size() + 26);  // "[YYYY-MM-DD HH:MM:SS] new\n"
    EXPECT_EQ(live.substr(0, old_content.size()), old_content);
    EXPECT_EQ(kslogtest::after_stamp(live.substr(old_content.size())), "new\n");
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, FileLogLimit, ::testing::ValuesIn(limit_cases),
                         [](auto const& info) { return std::string(info.param.name); });

TEST_F(FileLog, RotatedNameIsTheLocalTimeOfTheRotation) {
  kstest::write_file(log_, "old\n");
  FileLogger::set_max_size(0);
  pt::ptime const before = pt::second_clock::local_time();
  FileLogger logger(log_.string());
  ASSERT_EQ(logger.write_log("new\n"), 0);
  pt::ptime const after = pt::second_clock::local_time();

  Names const rotated = names_besides(dir_.path(), "m.log");
  ASSERT_EQ(rotated.size(), 1u);
  std::set<std::string> allowed;
  for (pt::ptime t = before; t <= after; t += pt::seconds(1))
    allowed.insert(fs::path(FileLogger::rotated_file_name(log_.string(), t)).filename().string());
  EXPECT_EQ(allowed.count(rotated[0]), 1u) << rotated[0];
}

// Rotations within one second must not replace each other's files.
TEST_F(FileLog, RotationNeverReplacesAnEarlierRotatedFile) {
  pt::ptime const now = pt::second_clock::local_time();
  std::vector<fs::path> taken;
  for (int s = 0; s < 3; ++s) {
    fs::path const p = FileLogger::rotated_file_name(log_.string(), now + pt::seconds(s));
    kstest::write_file(p, "earlier " + std::to_string(s));
    taken.push_back(p);
  }
  kstest::write_file(log_, "live\n");
  FileLogger::set_max_size(0);
  FileLogger logger(log_.string());
  ASSERT_EQ(logger.write_log("new\n"), 0);

  for (int s = 0; s < 3; ++s) EXPECT_EQ(kstest::read_file(taken[s]), "earlier " + std::to_string(s));
  Names const rotated = names_besides(dir_.path(), "m.log");
  ASSERT_EQ(rotated.size(), 4u);
  int holding_live = 0;
  for (auto const& name : rotated) holding_live += kstest::read_file(dir_ / name) == "live\n";
  EXPECT_EQ(holding_live, 1);
  // Whatever name it got, the retention still counts it as ours.
  FileLogger::set_max_rotate(0);
  ASSERT_EQ(logger.write_log("newer\n"), 0);
  EXPECT_EQ(names_besides(dir_.path(), "m.log"), Names{});
}

TEST_F(FileLog, BurstOfRotationsLosesNoMessage) {
  FileLogger::set_max_size(0);
  FileLogger logger(log_.string());
  for (int i = 1; i <= 6; ++i) ASSERT_EQ(logger.write_log("m" + std::to_string(i) + "\n"), 0);

  std::multiset<std::string> kept;
  for (auto const& name : names_besides(dir_.path(), "m.log"))
    for (auto const& line : unstamped_lines(kstest::read_file(dir_ / name))) kept.insert(line);
  EXPECT_EQ(kept, (std::multiset<std::string>{"m1", "m2", "m3", "m4", "m5"}));
  EXPECT_EQ(unstamped_lines(kstest::read_file(log_)), Names{"m6"});

  // With a smaller count the newest survive.
  FileLogger::set_max_rotate(2);
  ASSERT_EQ(logger.write_log("m7\n"), 0);
  kept.clear();
  for (auto const& name : names_besides(dir_.path(), "m.log"))
    for (auto const& line : unstamped_lines(kstest::read_file(dir_ / name))) kept.insert(line);
  EXPECT_EQ(kept, (std::multiset<std::string>{"m5", "m6"}));
}

// Every line rotates; within one second the fifth rotation finds the bare
// time-stamped name free again (the first rotated file was pruned), and the
// file that takes it must still count as the newest.
TEST_F(FileLog, BurstKeepsTheNewestRotatedFiles) {
  FileLogger::set_max_size(0);
  FileLogger::set_max_rotate(2);
  FileLogger logger(log_.string());
  for (int i = 1; i <= 9; ++i) {
    ASSERT_EQ(logger.write_log("m" + std::to_string(i) + "\n"), 0);
    std::multiset<std::string> kept;
    for (auto const& name : names_besides(dir_.path(), "m.log"))
      for (auto const& line : unstamped_lines(kstest::read_file(dir_ / name))) kept.insert(line);
    std::multiset<std::string> expected;
    for (int k = std::max(1, i - 2); k < i; ++k) expected.insert("m" + std::to_string(k));
    EXPECT_EQ(kept, expected) << "after line " << i;
    EXPECT_EQ(unstamped_lines(kstest::read_file(log_)), Names{"m" + std::to_string(i)});
  }
}

TEST_F(FileLog, RotateCountZeroKeepsNoRotatedFile) {
  FileLogger::set_max_size(0);
  FileLogger::set_max_rotate(0);
  FileLogger logger(log_.string());
  for (char const* m : {"a\n", "b\n", "c\n"}) ASSERT_EQ(logger.write_log(m), 0);
  EXPECT_EQ(names_besides(dir_.path(), "m.log"), Names{});
  EXPECT_EQ(unstamped_lines(kstest::read_file(log_)), Names{"c"});
}

// A log name with regular-expression characters; files that a careless
// pattern would match, other logs and non-files are never touched.
TEST_F(FileLog, RetentionPrunesOnlyItsOwnRotatedFiles) {
  std::string const live = "a+b.log";
  std::time_t const old = 1600000000;
  Names const own = {"a+b.log.2020-9-13H12-26-40", "a+b.log.2020-9-13H12-26-41", "a+b.log.2020-9-13H12-26-41.1",
                     "a+b.log.2020-9-13H12-26-43"};
  Names const decoys = {"aab.log.2020-9-13H12-26-40",    "a+bxlog.2020-9-13H12-26-40",
                        "a+b.logx2020-9-13H12-26-40",    "other.log.2020-9-13H12-26-40",
                        "a+b.log.2020-9-13H12-26-40.bak", "a+b.log.2020-9-13H12-26-40x",
                        "xa+b.log.2020-9-13H12-26-40",   "a+b.log.2020-9-13H12-26",
                        "a+b.log.2020-9-13H12-26-40.1.2", "a+b.log"};
  for (std::size_t i = 0; i < own.size(); ++i) {
    kstest::write_file(dir_ / own[i], own[i]);
    set_mtime(dir_ / own[i], old + static_cast<std::time_t>(10 * i));
  }
  for (auto const& name : decoys) {
    if (name == live) continue;
    kstest::write_file(dir_ / name, name);
    set_mtime(dir_ / name, old - 100);
  }
  fs::create_directory(dir_ / "a+b.log.2019-1-1H0-0-0");
  kstest::write_file(dir_ / live, "live\n");

  FileLogger logger((dir_ / live).string());
  auto const listed = logger.get_files_by_mask(dir_.path(), FileLogger::rotated_file_mask(live));
  Names listed_names;
  for (auto const& item : listed) listed_names.push_back(item.second.filename().string());
  EXPECT_EQ(listed_names, own);  // in last-write order

  FileLogger::set_max_size(0);
  FileLogger::set_max_rotate(2);
  ASSERT_EQ(logger.write_log("new\n"), 0);

  Names expected = decoys;
  expected.erase(std::find(expected.begin(), expected.end(), live));
  expected.push_back("a+b.log.2019-1-1H0-0-0");
  expected.push_back(own.back());  // the newest old one, and the one just made
  Names rotated_now;
  for (auto const& name : names_besides(dir_.path(), live))
    if (std::find(expected.begin(), expected.end(), name) == expected.end()) rotated_now.push_back(name);
  ASSERT_EQ(rotated_now.size(), 1u);
  EXPECT_EQ(kstest::read_file(dir_ / rotated_now[0]), "live\n");
  expected.push_back(rotated_now[0]);
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names_besides(dir_.path(), live), expected);
  for (auto const& name : decoys) {
    if (name != live) {
      EXPECT_EQ(kstest::read_file(dir_ / name), name);
    }
  }
}

// Equal last-write times: the time stamp and sequence number in the name
// decide, numerically.
TEST_F(FileLog, RetentionOrdersEqualTimesByTheirNames) {
  Names const own = {"m.log.2020-1-1H0-0-9", "m.log.2020-1-1H0-0-10", "m.log.2020-1-1H0-0-10.1",
                     "m.log.2020-1-1H0-0-10.2"};
  for (auto const& name : own) {
    kstest::write_file(dir_ / name, name);
    set_mtime(dir_ / name, 1577836810);
  }
  kstest::write_file(log_, "live\n");
  FileLogger::set_max_size(0);
  FileLogger::set_max_rotate(3);
  FileLogger logger(log_.string());
  ASSERT_EQ(logger.write_log("new\n"), 0);

  Names left = names_besides(dir_.path(), "m.log");
  ASSERT_EQ(left.size(), 3u);
  left.erase(std::remove_if(left.begin(), left.end(),
                            [&](std::string const& n) { return kstest::read_file(dir_ / n) == "live\n"; }),
             left.end());
  EXPECT_EQ(left, (Names{"m.log.2020-1-1H0-0-10.1", "m.log.2020-1-1H0-0-10.2"}));
}

TEST_F(FileLog, ListingOfAMissingOrNonDirectoryIsEmpty) {
  kstest::write_file(dir_ / "plain", "x");
  FileLogger logger(log_.string());
  std::string const mask = FileLogger::rotated_file_mask("m.log");
  EXPECT_TRUE(logger.get_files_by_mask(dir_ / "missing", mask).empty());
  EXPECT_TRUE(logger.get_files_by_mask(dir_ / "plain", mask).empty());
}

TEST_F(FileLog, UnopenableFileLosesTheLine) {
  FileLogger logger((dir_ / "missing" / "x.log").string());
  EXPECT_EQ(logger.write_log("x\n"), 1);
  fs::create_directory(dir_ / "isdir.log");
  FileLogger on_directory((dir_ / "isdir.log").string());
  EXPECT_NE(on_directory.write_log("x\n"), 0);
  EXPECT_TRUE(fs::is_directory(dir_ / "isdir.log"));
  EXPECT_EQ(names_besides(dir_.path(), "isdir.log"), Names{});
}

// A rename that fails (the log is a mount point): the line is lost for this
// destination, and the next line tries again.
TEST_F(FileLog, FailedRenameLosesTheLineAndIsRetried) {
  fs::path const log = "/opt/kestrova/log/ks-busy.log";
  fs::path const source = dir_ / "source";
  kstest::write_file(source, "old\n");
  kstest::write_file(log, "");
  ASSERT_EQ(::mount(source.c_str(), log.c_str(), nullptr, MS_BIND, nullptr), 0);
  FileLogger::set_max_size(0);
  FileLogger logger(log.string());
  EXPECT_EQ(logger.write_log("lost\n"), EBUSY);
  EXPECT_EQ(kstest::read_file(log), "old\n");
  ASSERT_EQ(::umount(log.c_str()), 0);

  kstest::write_file(log, "again\n");
  EXPECT_EQ(logger.write_log("kept\n"), 0);
  EXPECT_EQ(unstamped_lines(kstest::read_file(log)), Names{"kept"});
  for (auto const& entry : fs::directory_iterator("/opt/kestrova/log")) fs::remove(entry.path());
}

// Errors while checking the log file reach no caller: the message's other
// destinations still get it.
TEST_F(FileLog, FileSystemErrorNeverEscapesTheMessage) {
  fs::create_symlink("loop", dir_ / "loop");
  std::string const bad = (dir_ / "loop" / "x.log").string();
  FileLogger logger(bad);
  EXPECT_NE(logger.write_log("x\n"), 0);

  std::string out_text;
  {
    kslogtest::StreamCapture out(std::cout);
    EXPECT_NO_THROW({ KsLogStream(KsLogLvl::Error, KsDestination::File(bad), KsDestination::Stdout()) << "e"; });
    out_text = out.text();
  }
  EXPECT_EQ(unstamped_lines(out_text), Names{"\x1b[1;31mError: e \x1b[0m"});
}

// A pipe (or device) used as the log is written to, never renamed away.
TEST_F(FileLog, NonRegularLogIsNeverRotated) {
  fs::path const fifo = dir_ / "pipe.log";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  int const reader = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  FileLogger::set_max_size(0);
  FileLogger logger(fifo.string());
  EXPECT_EQ(logger.write_log("through\n"), 0);
  char buffer[128] = {};
  ssize_t const n = ::read(reader, buffer, sizeof buffer - 1);
  ::close(reader);
  EXPECT_EQ(kslogtest::after_stamp(std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0)), "through\n");
  EXPECT_EQ(names_besides(dir_.path(), "pipe.log"), Names{});
}

}  // namespace

// Log destinations: standard output, standard error and a log file rotated
// by size. Each puts the local time before every line it writes.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>

#include <boost/date_time/posix_time/ptime.hpp>
#include <boost/filesystem/path.hpp>

// The console streams the console destinations write to.
std::ostream& ks_unicout();
std::ostream& ks_unicerr();

// Sizes: 1_KB is 1024, 1_MB is 1048576.
constexpr unsigned operator""_KB(unsigned long long n) { return static_cast<unsigned>(n << 10); }
constexpr unsigned operator""_MB(unsigned long long n) { return static_cast<unsigned>(n * 1024_KB); }

namespace KsDestination {

class KsLogger {
 public:
  KsLogger() = default;
  virtual ~KsLogger() = default;
  KsLogger(KsLogger const&) = delete;
  KsLogger& operator=(KsLogger const&) = delete;

  // Writes "[<local time>] " and the line (which carries its own line
  // break); 0 on success. Never throws; calls are serialised per object.
  int write_log(std::string const& line);

 protected:
  virtual int write_log_impl(std::string const& line) = 0;

 private:
  std::mutex mutex_;
  bool time_stamp_ = true;
};

class StdoutLogger : public KsLogger {
 public:
  ~StdoutLogger() override = default;

 protected:
  int write_log_impl(std::string const& line) override;
};

class StderrLogger : public KsLogger {
 public:
  ~StderrLogger() override = default;

 protected:
  int write_log_impl(std::string const& line) override;
};

// Appends to a log file, opened and closed for every line. When the file has
// grown beyond the size limit it is renamed to "<path>.<Y>-<m>-<d>H<H>-<M>-<S>"
// (numbers without leading zeros; when that name is taken by an earlier
// rotation in the same second, ".<n>" is added with the first free n), a new
// file is started, and only the newest max_rotate rotated files are kept.
class FileLogger : public KsLogger {
 public:
  explicit FileLogger(std::string path) : path_(std::move(path)) {}
  ~FileLogger() override = default;

  // Process-wide settings shared by every file destination.
  // The limit becomes n MiB (the largest unsigned long when that overflows).
  static void set_max_size(unsigned long megabytes);
  static void set_max_rotate(unsigned long count);
  static unsigned long max_size() { return max_size_; }  // in bytes
  static unsigned long max_rotate() { return max_rotate_; }

  // True when the file is strictly larger than the limit, or its size
  // cannot be read.
  bool is_file_max_size_reached();
  // Renames the file away and prunes old rotated files; 0 or the errno
  // value of the failed rename.
  int log_rotate();
  // Last-write time (seconds) to path of every regular file in the
  // directory whose name matches the regular expression as a whole.
  std::multimap<long, boost::filesystem::path> get_files_by_mask(boost::filesystem::path const& directory,
                                                                 std::string const& mask);
  // Runs after a new log file was started; changes nothing.
  int change_file_access_mod();

  // The base rotated name of a log file for a moment of time.
  static std::string rotated_file_name(std::string const& path, boost::posix_time::ptime const& when);
  // The regular expression that matches exactly the names of the rotated
  // files of the log file with the given file name.
  static std::string rotated_file_mask(std::string const& file_name);

 protected:
  int write_log_impl(std::string const& line) override;

 private:
  int write_to_file(std::string const& line);
  void prune_rotated_files();

  std::string path_;
  static unsigned long max_size_;
  static unsigned long max_rotate_;
};

std::unique_ptr<KsLogger> Stdout();
std::unique_ptr<KsLogger> Stderr();
// Nothing is opened or created until the first line is written.
std::unique_ptr<KsLogger> File(std::string const& path);

}  // namespace KsDestination

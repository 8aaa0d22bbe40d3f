#include "support/log/ks_destination.h"
#include "support/utils/signals_held.h"

#include <stdio.h>  // renameat2
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <limits>
#include <sstream>
#include <tuple>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/regex.hpp>

std::ostream& ks_unicout() { return std::cout; }
std::ostream& ks_unicerr() { return std::cerr; }

namespace KsDestination {

namespace fs = boost::filesystem;

unsigned long FileLogger::max_size_ = 1_MB;
unsigned long FileLogger::max_rotate_ = 10;

namespace {

std::string local_time_stamp() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::ostringstream out;
  out << '[' << std::put_time(&local, "%Y-%m-%d %X") << "] ";
  return out.str();
}

// Renames without replacing an existing file: 0, EEXIST, or another errno.
int rename_no_replace(std::string const& from, std::string const& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  int const error = errno;
  if (error != EINVAL && error != ENOSYS) return error;
  // A file system without RENAME_NOREPLACE: check first (single writer).
  boost::system::error_code ec;
  if (fs::exists(to, ec) || (ec && ec != boost::system::errc::no_such_file_or_directory)) return EEXIST;
  fs::rename(from, to, ec);
  return ec.value();
}

std::string regex_escaped(std::string const& text) {
  std::string out;
  for (char c : text) {
    if (std::string(".[]{}()\\*+?|^$").find(c) != std::string::npos) out += '\\';
    out += c;
  }
  return out;
}

// The numbers in a rotated name after the log file's own name: the time
// stamp and the optional sequence number, for ordering within one second.
std::vector<unsigned long> name_numbers(std::string const& rotated, std::size_t prefix_length) {
  std::vector<unsigned long> numbers;
  unsigned long value = 0;
  bool in_number = false;
  for (std::size_t i = prefix_length; i < rotated.size(); ++i) {
    char c = rotated[i];
    if (c >= '0' && c <= '9') {
      value = value * 10 + static_cast<unsigned long>(c - '0');
      in_number = true;
    } else if (in_number) {
      numbers.push_back(value);
      value = 0;
      in_number = false;
    }
  }
  if (in_number) numbers.push_back(value);
  if (numbers.size() < 7) numbers.push_back(0);  // no sequence number sorts first
  return numbers;
}

// The sequence number the next rotation of this second starts from: one
// past the highest of the rotated files of the same base name still there
// (the bare name counts as 0), or 0 (the bare name) when there is none.
// The bare name is thus never taken again while a later rotation of the
// same second is kept, which would make the newest file rank as the oldest.
unsigned long next_sequence(fs::path const& base) {
  fs::path directory = base.parent_path();
  if (directory.empty()) directory = ".";
  std::string const name = base.filename().string();
  bool any = false;
  unsigned long highest = 0;
  boost::system::error_code ec;
  for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
    std::string const entry = it->path().filename().string();
    if (entry.compare(0, name.size(), name) != 0) continue;
    if (entry.size() == name.size()) {
      any = true;
      continue;
    }
    std::string const suffix = entry.substr(name.size());
    if (suffix.size() < 2 || suffix.size() > 10 || suffix[0] != '.' ||
        suffix.find_first_not_of("0123456789", 1) != std::string::npos)
      continue;
    any = true;
    highest = std::max(highest, std::stoul(suffix.substr(1)));
  }
  return any ? highest + 1 : 0;
}

}  // namespace

int KsLogger::write_log(std::string const& line) {
  try {
    // Direct callers too: never hold the lock where a logging handler can run.
    kestrova::signals_held no_handler_while_locked(kestrova::signals_held::which::logging_handlers);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!time_stamp_) return write_log_impl(line);
    return write_log_impl(local_time_stamp() + line);
  } catch (...) {
    return 1;
  }
}

int StdoutLogger::write_log_impl(std::string const& line) {
  ks_unicout() << line;
  return 0;
}

int StderrLogger::write_log_impl(std::string const& line) {
  ks_unicerr() << line;
  return 0;
}

void FileLogger::set_max_size(unsigned long megabytes) {
  // A huge configured size means "never rotate", not whatever the product
  // wraps around to.
  unsigned long const limit = std::numeric_limits<unsigned long>::max();
  max_size_ = megabytes > limit / 1_MB ? limit : megabytes * 1_MB;
}

void FileLogger::set_max_rotate(unsigned long count) { max_rotate_ = count; }

bool FileLogger::is_file_max_size_reached() {
  boost::system::error_code ec;
  std::uintmax_t size = fs::file_size(path_, ec);
  if (ec) size = std::numeric_limits<std::uintmax_t>::max();
  return size > max_size_;
}

int FileLogger::write_log_impl(std::string const& line) {
  // File system trouble while checking or rotating loses this line for this
  // destination only; it must never reach the message's destructor.
  try {
    return write_to_file(line);
  } catch (fs::filesystem_error const& e) {
    return e.code().value() ? e.code().value() : 1;
  } catch (...) {
    return 1;
  }
}

int FileLogger::write_to_file(std::string const& line) {
  boost::system::error_code ec;
  fs::file_status const status = fs::status(path_, ec);
  bool new_file = false;
  if (status.type() == fs::file_not_found) {
    new_file = true;
  } else if (ec) {
    return ec.value();
  } else if (status.type() == fs::regular_file && is_file_max_size_reached()) {
    // Only a regular file is rotated: a device or pipe used as the log
    // (/dev/null, say) must never be renamed away.
    int const rotated = log_rotate();
    if (rotated != 0) return rotated;
    new_file = true;
  }

  std::ofstream out(path_, std::ios::out | std::ios::app | std::ios::binary);
  if (!out.is_open()) return 1;
  out << line;
  out.close();
  if (!out) return 1;
  if (new_file) return change_file_access_mod();
  return 0;
}

std::string FileLogger::rotated_file_name(std::string const& path, boost::posix_time::ptime const& when) {
  auto const date = when.date();
  auto const time = when.time_of_day();
  std::ostringstream name;
  name << path << '.' << static_cast<int>(date.year()) << '-' << static_cast<int>(date.month()) << '-'
       << static_cast<int>(date.day()) << 'H' << time.hours() << '-' << time.minutes() << '-' << time.seconds();
  return name.str();
}

std::string FileLogger::rotated_file_mask(std::string const& file_name) {
  return regex_escaped(file_name) + "\\.[0-9]+\\-[0-9]+\\-[0-9]+H[0-9]+\\-[0-9]+\\-[0-9]+(\\.[0-9]+)?";
}

int FileLogger::log_rotate() {
  std::string const base = rotated_file_name(path_, boost::posix_time::second_clock::local_time());
  // Several rotations in one second: never replace an earlier rotated file,
  // and always take a name after the ones kept.
  unsigned long n = next_sequence(base);
  auto const name = [&](unsigned long k) { return k == 0 ? base : base + "." + std::to_string(k); };
  int result = rename_no_replace(path_, name(n));
  for (unsigned tries = 1; result == EEXIST && tries < 100000; ++tries) result = rename_no_replace(path_, name(++n));
  if (result != 0) return result;
  prune_rotated_files();
  return 0;
}

void FileLogger::prune_rotated_files() {
  fs::path const log_path(path_);
  fs::path directory = log_path.parent_path();
  if (directory.empty()) directory = ".";
  std::string const file_name = log_path.filename().string();

  auto const found = get_files_by_mask(directory, rotated_file_mask(file_name));
  if (found.size() <= max_rotate_) return;

  // Newest first: by last-write time, then by the time stamp and sequence
  // number in the name, which tell apart rotations within one second.
  using Entry = std::tuple<long, std::vector<unsigned long>, fs::path>;
  std::vector<Entry> files;
  for (auto const& item : found)
    files.emplace_back(item.first, name_numbers(item.second.filename().string(), file_name.size()), item.second);
  std::sort(files.begin(), files.end(), [](Entry const& a, Entry const& b) {
    return std::tie(std::get<0>(a), std::get<1>(a)) > std::tie(std::get<0>(b), std::get<1>(b));
  });
  for (std::size_t i = max_rotate_; i < files.size(); ++i) {
    boost::system::error_code ec;
    fs::remove(std::get<2>(files[i]), ec);
  }
}

std::multimap<long, fs::path> FileLogger::get_files_by_mask(fs::path const& directory, std::string const& mask) {
  std::multimap<long, fs::path> result;
  boost::system::error_code ec;
  if (!fs::is_directory(directory, ec)) return result;
  boost::regex const pattern(mask);
  for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
    fs::path const entry = it->path();
    boost::system::error_code entry_ec;
    if (!fs::is_regular_file(fs::status(entry, entry_ec))) continue;
    if (!boost::regex_match(entry.filename().string(), pattern)) continue;
    std::time_t const written = fs::last_write_time(entry, entry_ec);
    if (entry_ec) continue;
    result.emplace(static_cast<long>(written), entry);
  }
  return result;
}

int FileLogger::change_file_access_mod() { return 0; }

std::unique_ptr<KsLogger> Stdout() { return std::make_unique<StdoutLogger>(); }
std::unique_ptr<KsLogger> Stderr() { return std::make_unique<StderrLogger>(); }
std::unique_ptr<KsLogger> File(std::string const& path) { return std::make_unique<FileLogger>(path); }

}  // namespace KsDestination

#include "framework/resource_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <fstream>
#include <stdexcept>
#include <utility>

#include <boost/filesystem.hpp>
#include <boost/interprocess/exceptions.hpp>

#include "support/log/ks_log.h"
#include "support/utils/hash.h"
#include "support/utils/quoting.h"

namespace fs = boost::filesystem;

namespace kestrova {
namespace module {

namespace {

// A lock file replaced again and again between our open and our lock means
// something else is deleting it; give up instead of spinning.
constexpr int max_reopen_attempts = 16;

}  // namespace

// ---- resource_lock_file_handler ---------------------------------------------

resource_lock_file_handler::resource_lock_file_handler(std::string module_name, std::string resource_name)
    : module_name_(std::move(module_name)), resource_name_(std::move(resource_name)) {
  lock_file_path_ = make_lock_file_path(make_lock_file_name(module_name_, resource_name_));
  create();
}

std::string resource_lock_file_handler::make_lock_file_name(std::string const& module_name,
                                                            std::string const& resource_name) {
  std::size_t const hash_substr_length = 8;
  std::string const hex = kestrova::hash::to_string(kestrova::hash::sha::make_hash(module_name + resource_name));
  KsLogStream(KsLogLvl::Debug) << "module " << kestrova::as_one_line_quoted(module_name) << " resource "
                               << kestrova::as_one_line_quoted(resource_name) << " hash string is " << hex << "."
                               << " will be truncated to " << hash_substr_length << " characters at begin."
                               << std::endl;
  return "Kestrova_MOD_mutex_" + hex.substr(0, hash_substr_length);
}

fs::path resource_lock_file_handler::make_lock_files_dir_path() {
  return fs::path("/opt/kestrova") / "var" / "kestrova-modules";
}

fs::path resource_lock_file_handler::make_lock_file_path(std::string const& file_name) {
  return make_lock_files_dir_path() / file_name;
}

void resource_lock_file_handler::create() const {
  if (fs::exists(lock_file_path_)) return;
  fs::path const parent = lock_file_path_.parent_path();
  if (!fs::exists(parent)) {
    if (!fs::create_directories(parent)) {
      KsLogStream(KsLogLvl::Error) << "lock file parent directories creation at " << parent << " fails!" << std::endl;
      throw std::runtime_error("unable to prepare resources lock file parent directories");
    }
  }
  std::ofstream file(lock_file_path_.string(), std::ios::out | std::ios::trunc);
  if (!file.is_open()) {
    KsLogStream(KsLogLvl::Error) << "lock file " << lock_file_path_ << " for module "
                                 << kestrova::as_one_line_quoted(module_name_) << " with resource "
                                 << kestrova::as_one_line_quoted(resource_name_) << " creation fails!" << std::endl;
    throw std::runtime_error("unable to create lock file");
  }
}

bool resource_lock_file_handler::remove() const noexcept {
  try {
    if (lock_file_path_.empty()) return true;
    boost::system::error_code ec;
    if (!fs::remove(lock_file_path_, ec)) {
      report_not_removed(ec);
      return false;
    }
    return true;
  } catch (...) {
    return false;
  }
}

void resource_lock_file_handler::report_not_removed(boost::system::error_code const& ec) const noexcept {
  try {
    KsLogStream(KsLogLvl::Error) << "unable to remove lock file " << lock_file_path_ << " for module "
                                 << kestrova::as_one_line_quoted(module_name_) << " with resource "
                                 << kestrova::as_one_line_quoted(resource_name_) << " (" << ec.to_string() << ")!"
                                 << std::endl;
  } catch (...) {
  }
}

void resource_lock_file_handler::swap_names(resource_lock_file_handler& other) noexcept {
  module_name_.swap(other.module_name_);
  resource_name_.swap(other.resource_name_);
  lock_file_path_.swap(other.lock_file_path_);
}

// ---- resource_file_lock -------------------------------------------------------

resource_file_lock::resource_file_lock(std::string module_name, std::string resource_name)
    : resource_lock_file_handler(std::move(module_name), std::move(resource_name)) {
  open_file();
}

resource_file_lock::resource_file_lock(resource_file_lock&& other) noexcept : resource_file_lock() { swap(other); }

resource_file_lock& resource_file_lock::operator=(resource_file_lock&& other) noexcept {
  swap(other);
  return *this;
}

void resource_file_lock::swap(resource_file_lock& other) noexcept {
  swap_names(other);
  file_lock_.swap(other.file_lock_);
  std::swap(identity_fd_, other.identity_fd_);
}

void resource_file_lock::open_file() {
  std::string const path = resource_lock_file_path().generic_string();
  for (int attempt = 0; attempt < max_reopen_attempts; ++attempt) {
    kestrova::unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
      if (errno != ENOENT) throw std::runtime_error("unable to open lock file " + path);
      create();
      continue;
    }
    struct stat pinned {};
    if (::fstat(fd.get(), &pinned) != 0) throw std::runtime_error("unable to query lock file " + path);
    boost::interprocess::file_lock opened;
    try {
      boost::interprocess::file_lock by_name(path.c_str());
      opened.swap(by_name);
    } catch (boost::interprocess::interprocess_exception const& e) {
      fd.reset();
      // Removed after `fd` was opened (and perhaps made anew since): open
      // again. Any other failure is the caller's.
      if (e.get_native_error() != ENOENT && e.get_error_code() != boost::interprocess::not_found_error) throw;
      create();
      continue;
    }
    // The file lock opened the path by name after `fd` pinned an inode; the
    // path still naming that inode means both refer to the same file.
    struct stat now {};
    if (::stat(path.c_str(), &now) == 0 && now.st_dev == pinned.st_dev && now.st_ino == pinned.st_ino) {
      file_lock_.swap(opened);
      identity_fd_ = std::move(fd);
      return;
    }
    fd.reset();
    create();
  }
  throw std::runtime_error("lock file " + path + " keeps being replaced");
}

void resource_file_lock::close_file() noexcept {
  boost::interprocess::file_lock none;
  file_lock_.swap(none);
  identity_fd_.reset();
}

bool resource_file_lock::path_names_open_file() const {
  if (!identity_fd_.valid()) return false;
  struct stat open_file {}, at_path {};
  if (::fstat(identity_fd_.get(), &open_file) != 0) return false;
  if (::stat(resource_lock_file_path().c_str(), &at_path) != 0) return false;
  return open_file.st_dev == at_path.st_dev && open_file.st_ino == at_path.st_ino;
}

bool resource_file_lock::try_lock() {
  for (int attempt = 0; attempt < max_reopen_attempts; ++attempt) {
    if (!file_lock_.try_lock()) return false;
    if (path_names_open_file()) return true;
    // The previous holder removed the file after we had opened it: a lock on
    // the unlinked inode would exclude nobody who opens the path now.
    KsLogStream(KsLogLvl::Debug) << "lock file " << resource_lock_file_path()
                                 << " was replaced while it was being locked, locking the new file" << std::endl;
    file_lock_.unlock();
    close_file();
    create();
    open_file();
  }
  throw std::runtime_error("lock file " + resource_lock_file_path().string() + " keeps being replaced");
}

void resource_file_lock::lock_waiting() {
  for (int attempt = 0; attempt < max_reopen_attempts; ++attempt) {
    file_lock_.lock();
    if (path_names_open_file()) return;
    file_lock_.unlock();
    close_file();
    create();
    open_file();
  }
  throw std::runtime_error("lock file " + resource_lock_file_path().string() + " keeps being replaced");
}

void resource_file_lock::unlock() { file_lock_.unlock(); }

resource_file_lock::~resource_file_lock() {
  try {
    if (!resource_name().empty() && !module_name().empty() && !resource_lock_file_path().empty() &&
        identity_fd_.valid() && file_lock_.try_lock()) {
      KsLogStream(KsLogLvl::Debug) << "resource_file_lock dtor:"
                                   << " module " << kestrova::as_one_line_quoted(module_name()) << ", resource "
                                   << kestrova::as_one_line_quoted(resource_name()) << ", file lock path "
                                   << resource_lock_file_path() << " -> try remove..." << std::endl;
      // Only the file this object holds is removed: a file at the path that
      // is not it (or one that appears once it is gone) may be another
      // process's, locked by it, and removing that would let a third process
      // lock a new file beside it.
      boost::system::error_code ec;
      if (path_names_open_file()) {
        remove();
      } else if (!fs::exists(fs::symlink_status(resource_lock_file_path(), ec))) {
        report_not_removed(boost::system::errc::make_error_code(boost::system::errc::no_such_file_or_directory));
      } else {
        KsLogStream(KsLogLvl::Debug) << "lock file " << resource_lock_file_path()
                                     << " belongs to another process now, left in place" << std::endl;
      }
      unlock();
    }
  } catch (std::exception const& e) {
    try {
      KsLogStream(KsLogLvl::Error) << "file lock releasing fails (" << kestrova::as_one_line(e.what()) << ")!"
                                   << std::endl;
    } catch (...) {
    }
  } catch (...) {
  }
  close_file();
}

// ---- resource_file_scoped_lock ------------------------------------------------

resource_file_scoped_lock::resource_file_scoped_lock(resource_file_lock& lock)
    : scoped_lock_(), resource_lock_(&lock) {
  lock.lock_waiting();
  boost::interprocess::scoped_lock<boost::interprocess::file_lock> held(lock.file_lock_,
                                                                         boost::interprocess::accept_ownership);
  scoped_lock_.swap(held);
}

resource_file_scoped_lock::resource_file_scoped_lock(resource_file_lock& lock, boost::interprocess::defer_lock_type)
    : scoped_lock_(lock.file_lock_, boost::interprocess::defer_lock), resource_lock_(&lock) {}

resource_file_scoped_lock::resource_file_scoped_lock(resource_file_lock& lock,
                                                     boost::interprocess::accept_ownership_type)
    : scoped_lock_(lock.file_lock_, boost::interprocess::accept_ownership), resource_lock_(&lock) {}

resource_file_scoped_lock::resource_file_scoped_lock(resource_file_lock& lock, boost::interprocess::try_to_lock_type)
    : scoped_lock_(), resource_lock_(&lock) {
  if (lock.try_lock()) {
    boost::interprocess::scoped_lock<boost::interprocess::file_lock> held(lock.file_lock_,
                                                                           boost::interprocess::accept_ownership);
    scoped_lock_.swap(held);
  } else {
    boost::interprocess::scoped_lock<boost::interprocess::file_lock> guard(lock.file_lock_,
                                                                            boost::interprocess::defer_lock);
    scoped_lock_.swap(guard);
  }
}

resource_file_scoped_lock::resource_file_scoped_lock(resource_file_scoped_lock&& other) noexcept
    : resource_file_scoped_lock() {
  swap(other);
}

resource_file_scoped_lock& resource_file_scoped_lock::operator=(resource_file_scoped_lock&& other) noexcept {
  swap(other);
  return *this;
}

void resource_file_scoped_lock::swap(resource_file_scoped_lock& other) noexcept {
  scoped_lock_.swap(other.scoped_lock_);
  std::swap(resource_lock_, other.resource_lock_);
}

}  // namespace module
}  // namespace kestrova

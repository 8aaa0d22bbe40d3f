// The per-resource lock between module processes: an exclusive, advisory
// POSIX record lock on an empty file under /opt/kestrova/var/kestrova-modules
// whose name is made from the module program's file name and the resource.
#pragma once

#include <string>

#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>
#include <boost/interprocess/sync/file_lock.hpp>
#include <boost/interprocess/sync/scoped_lock.hpp>

#include "support/utils/unique_fd.h"

namespace kestrova {
namespace module {

// Names, creates and removes the lock file; never locks.
class resource_lock_file_handler {
 public:
  // Empty names and path; no file is touched.
  resource_lock_file_handler() = default;
  // Computes the path and creates the file (and its directory) when missing;
  // throws std::runtime_error or a Boost filesystem error on failure.
  resource_lock_file_handler(std::string module_name, std::string resource_name);
  resource_lock_file_handler(resource_lock_file_handler const&) = delete;
  resource_lock_file_handler& operator=(resource_lock_file_handler const&) = delete;
  // The file stays.
  ~resource_lock_file_handler() = default;

  // "Kestrova_MOD_mutex_" + the first 8 hex digits of the keyed digest of
  // module_name + resource_name.
  static std::string make_lock_file_name(std::string const& module_name, std::string const& resource_name);
  static boost::filesystem::path make_lock_files_dir_path();
  static boost::filesystem::path make_lock_file_path(std::string const& file_name);

  std::string const& module_name() const { return module_name_; }
  std::string const& resource_name() const { return resource_name_; }
  boost::filesystem::path const& resource_lock_file_path() const { return lock_file_path_; }

  // Makes sure the file exists; throws std::runtime_error on failure.
  void create() const;
  // Deletes the file; false (with an Error) when nothing was deleted.
  bool remove() const noexcept;

 protected:
  void swap_names(resource_lock_file_handler& other) noexcept;
  // The Error of a lock file that was not removed, with the reason.
  void report_not_removed(boost::system::error_code const& ec) const noexcept;

 private:
  std::string module_name_;
  std::string resource_name_;
  boost::filesystem::path lock_file_path_;
};

class resource_file_scoped_lock;

// The lock itself. Owns the open lock file; destroying it removes the file
// when no other process holds the lock, and only while the path still names
// the file it has open (a file gone already is reported at Error instead).
class resource_file_lock : public resource_lock_file_handler {
 public:
  resource_file_lock() = default;
  // Creates the file when missing and opens it; throws when that fails.
  resource_file_lock(std::string module_name, std::string resource_name);
  resource_file_lock(resource_file_lock&& other) noexcept;
  resource_file_lock& operator=(resource_file_lock&& other) noexcept;
  resource_file_lock(resource_file_lock const&) = delete;
  resource_file_lock& operator=(resource_file_lock const&) = delete;
  ~resource_file_lock();

  void swap(resource_file_lock& other) noexcept;

  // Takes the lock without waiting. True when this process now holds the
  // lock on the file that is at the path; false when another process holds
  // it. A file that a previous holder unlinked after this object opened it
  // is detected (device and inode) and the fresh file is locked instead.
  bool try_lock();
  void unlock();

 private:
  friend class resource_file_scoped_lock;

  // Opens the file lock and a descriptor that pins the same inode.
  void open_file();
  void close_file() noexcept;
  // True when the path still names the inode this object has open.
  bool path_names_open_file() const;
  void lock_waiting();

  boost::interprocess::file_lock file_lock_;
  // Closing any descriptor of the file drops the process's record locks, so
  // this one is closed only together with file_lock_.
  kestrova::unique_fd identity_fd_;
};

// Holds a resource_file_lock's lock for a scope.
class resource_file_scoped_lock {
 public:
  resource_file_scoped_lock() = default;
  // Locks, waiting until the lock is free.
  explicit resource_file_scoped_lock(resource_file_lock& lock);
  // Guards without locking.
  resource_file_scoped_lock(resource_file_lock& lock, boost::interprocess::defer_lock_type);
  // Takes over a lock that the caller already holds (through try_lock()).
  resource_file_scoped_lock(resource_file_lock& lock, boost::interprocess::accept_ownership_type);
  // Tries once without waiting.
  resource_file_scoped_lock(resource_file_lock& lock, boost::interprocess::try_to_lock_type);
  resource_file_scoped_lock(resource_file_scoped_lock&& other) noexcept;
  resource_file_scoped_lock& operator=(resource_file_scoped_lock&& other) noexcept;
  resource_file_scoped_lock(resource_file_scoped_lock const&) = delete;
  resource_file_scoped_lock& operator=(resource_file_scoped_lock const&) = delete;
  // Unlocks when it owns the lock.
  ~resource_file_scoped_lock() = default;

  void swap(resource_file_scoped_lock& other) noexcept;
  bool owns() const { return scoped_lock_.owns(); }

 private:
  boost::interprocess::scoped_lock<boost::interprocess::file_lock> scoped_lock_;
  resource_file_lock* resource_lock_ = nullptr;
};

}  // namespace module
}  // namespace kestrova

// The file and directory names of one task, snapshot tarballs, the result
// lines of a backup, the restore directory and the clean-up after a restore.
#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <iostream>
#include <vector>

#include <boost/filesystem.hpp>

#include "framework/ks_module_universal.h"
#include "framework/shielded_word.h"
#include "support/log/ks_log.h"
#include "support/utils/ks_utils_common.h"
#include "support/utils/quoting.h"

namespace fs = boost::filesystem;

namespace {

std::string q(std::string const& value) { return kestrova::shell_quoted_if_needed(value); }

// A fresh directory only this process uses, for a tarball that belongs to no
// task directory.
std::string make_private_directory() {
  std::string pattern = (fs::temp_directory_path() / "ks_snapshot_XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!::mkdtemp(buffer.data()))
    throw fs::filesystem_error("can't create a private directory", fs::path(pattern),
                               boost::system::error_code(errno, boost::system::system_category()));
  return buffer.data();
}

// A name that becomes one directory below the client's directory. The
// restore directory is removed with everything in it after the last run, so
// a name must never lead out of the client's directory.
bool one_directory_name(std::string const& name) { return ks_utils_common::is_plain_name(name); }

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

}  // namespace

std::string KsModuleUniversal::archive_filename() const {
  return options_.tmp_operation_directory + "/" + options_.archive_name + (options_.autonomous ? ".ksfd" : "");
}

std::string KsModuleUniversal::archive_sign_filename() { return archive_filename() + ".signature"; }

std::string KsModuleUniversal::snapshot_filename() const {
  return options_.tmp_operation_directory + "/" + options_.archive_name + ".snap";
}

std::string KsModuleUniversal::snapshot_directory_path() const {
  return options_.tmp_operation_directory + "/" + options_.archive_name + ".snap_dir";
}

std::string KsModuleUniversal::meta_filename() const {
  return snapshot_directory_path() + "/" + options_.archive_name + ".meta";
}

std::string KsModuleUniversal::leveldb_directory_path() const {
  return options_.tmp_operation_directory + "/" + options_.archive_name + ".snap_dir/leveldb";
}

std::string KsModuleUniversal::reference_snapshot_directory_path() const {
  KsLogStream(KsLogLvl::Debug) << __PRETTY_FUNCTION__ << " : " << kestrova::as_one_line(reference_snapshot_directory)
                               << std::endl;
  return reference_snapshot_directory;
}

// ---- packing and unpacking ---------------------------------------------------------------

int KsModuleUniversal::pack_snapshot_file() const {
  std::string const command =
      "cd " + q(snapshot_directory_path()) + " && " + "/bin/tar" + " czf " + q(snapshot_filename()) + " .";
  std::string output;
  int const status = ks_utils_common::execute_command(command, output);
  if (status == 0) return 0;
  KsLogStream(KsLogLvl::Debug) << __PRETTY_FUNCTION__ << ": command: '" << kestrova::as_one_line(command)
                               << "' returned code: " << status << " result: " << kestrova::as_one_line(output)
                               << std::endl;
  KsLogStream(KsLogLvl::Error) << "Unable to pack snapshot file: " << kestrova::as_one_line(output) << std::endl;
  return 12;
}

int KsModuleUniversal::unpack_snapshot_file(std::string const& path) {
  KsLogStream(KsLogLvl::Debug) << __PRETTY_FUNCTION__ << " : "
                               << "unpacking: " << kestrova::as_one_line(path) << std::endl;
  fs::path const file = fs::path(path).filename();
  std::string const extension = file.extension().string();
  if (extension == ".meta") {
    options_.meta_file_path = path;
    return 0;
  }
  if (extension != ".snap") {
    KsLogStream(KsLogLvl::Error) << "Invalid snapshot file extension: " << kestrova::as_one_line_quoted(path)
                                 << std::endl;
    return 12;
  }
  // The storage operations have no task directory of their own, and the
  // client still needs its tarball (the verification reads it): unpack into
  // a private directory and leave the tarball where it is.
  bool const storage_operation = options_.operation == op_delete_from_client_defined_storage ||
                                 options_.operation == op_verify_in_client_defined_storage;
  if (storage_operation || options_.tmp_operation_directory.empty()) {
    // tar gives the unpacked directory the mode it was packed with; the
    // directory around it stays private.
    if (private_snapshot_root_.empty()) private_snapshot_root_ = make_private_directory();
    reference_snapshot_directory = private_snapshot_root_ + "/" + fs::path(path).stem().string() + ".snap_dir";
    fs::remove_all(reference_snapshot_directory);
    fs::create_directories(reference_snapshot_directory);
  } else {
    reference_snapshot_directory =
        options_.tmp_operation_directory + "/" + fs::path(path).stem().string() + ".snap_dir";
    if (fs::exists(reference_snapshot_directory)) {
      KsLogStream(KsLogLvl::Warning) << __PRETTY_FUNCTION__ << ": Removing already existing directory "
                                     << kestrova::as_one_line(reference_snapshot_directory) << std::endl;
      fs::remove_all(reference_snapshot_directory);
    }
    fs::create_directories(reference_snapshot_directory);
  }
  std::string const command = "/bin/tar xzf " + q(path) + " -C " + kestrova::shielded_word(reference_snapshot_directory);
  std::string output;
  int const status = ks_utils_common::execute_command(command, output);
  if (status != 0) {
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": command: '" << kestrova::as_one_line(command)
                                 << "' returned code: " << status << " result: " << kestrova::as_one_line(output)
                                 << std::endl;
    return 12;
  }
  if (!options_.autonomous && !storage_operation) {
    KsLogStream(KsLogLvl::Info) << "Removing obsolete snapshot file: " << kestrova::as_one_line(path) << std::endl;
    try {
      fs::remove(path);
    } catch (fs::filesystem_error const& e) {
      KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": filesystem error: " << kestrova::as_one_line(e.what())
                                   << std::endl;
      return 12;
    }
  }
  for (fs::directory_iterator it(reference_snapshot_directory), end; it != end; ++it) {
    if (it->path().extension() == ".meta") {
      options_.meta_file_path = it->path().string();
      return 0;
    }
  }
  KsLogStream(KsLogLvl::Debug) << __PRETTY_FUNCTION__ << ": command: '" << kestrova::as_one_line(command)
                               << "' returned code: " << status << " result: " << kestrova::as_one_line(output)
                               << std::endl;
  KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << "Snapshot doesn't contain any metafile!" << std::endl;
  return 12;
}

// ---- the end of a backup ----------------------------------------------------------------------

bool KsModuleUniversal::close_backup(bool const& replica) {
  try {
    fs::remove_all(leveldb_directory_path());
  } catch (fs::filesystem_error const& e) {
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": filesystem error: " << kestrova::as_one_line(e.what())
                                 << std::endl;
    return false;
  }
  if (pack_snapshot_file() != 0) {
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": can't create the main snapshot file: " << std::endl;
    return false;
  }
  std::string main_archive;
  if (options_.autonomous) {
    char const* method = storage_type == 1 ? "local-directory" : storage_type == 2 ? "s3" : storage_type == 3 ? "default" : nullptr;
    if (method) std::cout << "CLIENT DEFINED STORAGE:" << method << "@" << storage_id << std::endl;
    main_archive = archive_filename();
  } else {
    // The archive itself is on the media server.
    main_archive = snapshot_filename();
  }
  // A client-defined storage names the directory: it never breaks a line.
  std::cout << "MAIN ARCHIVE FILENAME:" << kestrova::as_one_line(main_archive) << std::endl;
  std::cout << "MAIN SNAPSHOT FILENAME:" << kestrova::as_one_line(snapshot_filename()) << std::endl;
  std::cout << "MAIN ARCHIVE SIGN FILENAME:" << kestrova::as_one_line(archive_sign_filename()) << std::endl;

  if (!replica && file_list && fs::exists(main_archive)) {
    std::string const command = "/opt/kestrova/bin/ksfd -l " + kestrova::shell_quoted(meta_filename()) + " -v 1";
    std::string output;
    if (ks_utils_common::execute_command(command, output) == 0) {
      std::cout << "FILE LISTING START:" << std::endl;
      std::cout << output;
      std::cout << "FILE LISTING END" << std::endl;
    } else {
      KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__
                                   << ": command produced error: " << kestrova::as_one_line(command) << std::endl;
      KsLogStream(KsLogLvl::Error) << "Command output start: ---------------------------------------------- "
                                   << std::endl;
      KsLogStream(KsLogLvl::Error) << kestrova::as_one_line(output) << std::endl;
      KsLogStream(KsLogLvl::Error) << "Command output end ------------------------------------------------- "
                                   << std::endl;
      return false;
    }
  }

  try {
    fs::remove_all(snapshot_directory_path());
    std::string const reference = reference_snapshot_directory_path();
    if (!reference.empty() && fs::exists(reference)) {
      KsLogStream(KsLogLvl::Info) << "Remove obsolete file: " << kestrova::as_one_line(reference) << std::endl;
      fs::remove_all(reference);
    }
  } catch (fs::filesystem_error const& e) {
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": filesystem error: " << kestrova::as_one_line(e.what())
                                 << std::endl;
    return false;
  }

  if (options_.supports_archiving && options_.archiving_mode) make_archiving();

  char const* kind = options_.backup_type == 2 ? "an incremental" : options_.backup_type == 3 ? "a differential" : "a full";
  KsLogStream(KsLogLvl::Info) << "The task to make " << kind << " backup of resource '" << options_.resource
                              << "' completed successfully" << std::endl
                              << std::endl;
  return true;
}

// ---- restore directory and clean-up ---------------------------------------------------------------

int KsModuleUniversal::define_restore_directory() {
  try {
    if (options_.tmp_operation_directory.empty()) {
      KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__
                                   << ": no temporary directory (-d) given; a restore directory is never made in the "
                                      "root directory"
                                   << std::endl;
      return 1;
    }
    if (!options_.archive_to_patch.empty()) {
      if (!one_directory_name(options_.archive_to_patch)) {
        KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": catalog 'archive to patch' is not a directory name: "
                                     << kestrova::as_one_line_quoted(options_.archive_to_patch) << std::endl;
        return 1;
      }
      options_.tmp_operation_directory += "/" + options_.archive_to_patch + ".rest";
      if (!fs::exists(options_.tmp_operation_directory)) {
        KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": catalog 'archive to patch' doesn't exist: "
                                     << options_.tmp_operation_directory << std::endl;
        return 1;
      }
      return 0;
    }
    std::string name;
    if (options_.autonomous && client_defined_storages.empty()) {
      // The archive of a full backup is named <resource>_full_<rest>: the
      // restore directory is named after the part behind the first separator.
      std::string const stem = fs::path(options_.archive_name).filename().stem().string();
      std::string const folded = lower(stem);
      std::string const separator = "_full_";
      std::size_t const first = folded.find(separator);
      if (first == std::string::npos) {
        name = stem;
      } else {
        std::size_t const begin = first + separator.size();
        std::size_t const second = folded.find(separator, begin);
        name = stem.substr(begin, second == std::string::npos ? std::string::npos : second - begin);
      }
    } else {
      if (!one_directory_name(options_.record_id)) {
        KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": record id is not a directory name: "
                                     << kestrova::as_one_line_quoted(options_.record_id) << std::endl;
        return 1;
      }
      name = options_.record_id;
    }
    options_.tmp_operation_directory += "/" + name + ".rest";
    if (!fs::exists(options_.tmp_operation_directory)) fs::create_directories(options_.tmp_operation_directory);
    return 0;
  } catch (fs::filesystem_error const& e) {
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": filesystem error: " << kestrova::as_one_line(e.what())
                                 << std::endl;
  } catch (std::exception const& e) {
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": exception: " << kestrova::as_one_line(e.what())
                                 << std::endl;
  }
  return 1;
}

void KsModuleUniversal::close_restore() {
  remove_reference_snapshot_directory();
  if (options_.operation != op_restore || !last || !remove_tmp_directory) return;
  try {
    KsLogStream(KsLogLvl::Info) << "Remove temporary operation directory: " << options_.tmp_operation_directory
                                << std::endl;
    fs::remove_all(options_.tmp_operation_directory);
  } catch (fs::filesystem_error const& e) {
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": boost::filesystem: " << kestrova::as_one_line(e.what())
                                 << std::endl;
  } catch (std::exception const& e) {
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": exception: " << kestrova::as_one_line(e.what())
                                 << std::endl;
  }
}

void KsModuleUniversal::remove_reference_snapshot_directory() noexcept {
  try {
    std::string const directory = reference_snapshot_directory_path();
    if (!directory.empty() && fs::exists(directory)) {
      KsLogStream(KsLogLvl::Info) << "Remove obsolete snapshot directory: " << kestrova::as_one_line(directory)
                                  << std::endl;
      fs::remove_all(directory);
    }
    if (!private_snapshot_root_.empty()) {
      fs::remove_all(private_snapshot_root_);
      private_snapshot_root_.clear();
    }
  } catch (fs::filesystem_error const& e) {
    try {
      KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": boost::filesystem: " << kestrova::as_one_line(e.what())
                                   << std::endl;
    } catch (...) {
    }
  } catch (std::exception const& e) {
    try {
      KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": exception: " << kestrova::as_one_line(e.what())
                                   << std::endl;
    } catch (...) {
    }
  } catch (...) {
  }
}

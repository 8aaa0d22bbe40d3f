#include <unistd.h>

#include <exception>
#include <iostream>
#include <utility>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/interprocess/sync/lock_options.hpp>

#include "framework/ks_module_universal.h"
#include "support/log/ks_log.h"
#include "support/utils/ks_utils_common.h"
#include "support/utils/quoting.h"
#include "support/utils/scope_guard.h"
#include "support/utils/version.h"

namespace {

void log_config_failure() {
  KsLogStream(KsLogLvl::Error) << "Unable to load configuration from config file." << std::endl;
}

// The exit code of a sequence that ran to its end: 0, or 100 with the
// Warning when ksfd reported a defect.
unsigned int finished(bool defect) {
  if (!defect) return 0;
  KsLogStream(KsLogLvl::Warning)
      << "The work of the module is completed without a guarantee of completeness and consistency of the data"
      << std::endl;
  return 100;
}

}  // namespace

unsigned int KsModuleUniversal::run() {
  try {
    return run_operation();
  } catch (boost::filesystem::filesystem_error const& e) {
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": filesystem error: " << kestrova::as_one_line(e.what())
                                 << std::endl;
  } catch (std::exception const& e) {
    KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": Database error: " << kestrova::as_one_line(e.what())
                                 << std::endl;
  }
  // The exception guard released the resource, and a shutdown signal came
  // meanwhile: the client asked for the end, and gets it.
  if (shutdown_deferred_) return end_deferred_shutdown();
  return 13;
}

unsigned int KsModuleUniversal::end_deferred_shutdown() {
  ks_utils_common::kill_childs(getpid());
  KsLogStream(KsLogLvl::Info) << "Module was terminated. PID: " << getpid() << std::endl;
  return 17;
}

unsigned int KsModuleUniversal::run_operation() {
  if (options_.need_esign) return need_esign_for_operation(options_.operation) ? 0 : 14;

  KsModuleOperations const operation = options_.operation;
  if (operation >= op_backup && operation <= op_apply_replica)
    std::cout << "MODULE PID:" << getpid() << std::endl;

  switch (operation) {
    case op_check_client:
      if (!load_module_config()) {
        log_config_failure();
        return 2;
      }
      return static_cast<unsigned int>(check_client(true));
    case op_update_config:
      return upgrade_config() ? 0 : 1;
    case op_list_all_resources:
    case op_list_all_resources_with_headers:
    case op_list_headers:
      if (!load_module_config()) {
        log_config_failure();
        return 2;
      }
      if (operation == op_list_all_resources) return static_cast<unsigned int>(list_all_resources());
      if (operation == op_list_all_resources_with_headers)
        return static_cast<unsigned int>(list_all_resources_with_header_labels());
      return static_cast<unsigned int>(list_header_labels());
    case op_backup_type_supported:
      switch (options_.backup_type) {
        case 1:
          return 0;
        case 2:
          if (options_.supports_incremental) return 0;
          KsLogStream(KsLogLvl::Error) << ": incremental backup is not supported by module "
                                       << kestrova::as_one_line(options_.program_path) << std::endl;
          return 3;
        case 3:
          if (options_.supports_differential) return 0;
          KsLogStream(KsLogLvl::Error) << ": differential backup is not supported by module "
                                       << kestrova::as_one_line(options_.program_path) << std::endl;
          return 3;
        default:
          KsLogStream(KsLogLvl::Error) << ": unknown backup type!" << std::endl;
          return 3;
      }
    case op_dedup_supported:
      return options_.supports_dedup ? 0 : 15;
    case op_archiving_supported:
      return options_.supports_archiving ? 0 : 16;
    case op_backup:
    case op_backup_list:
      return backup_sequence(false);
    case op_create_replica:
      return backup_sequence(true);
    case op_restore:
      return restore_sequence();
    case op_apply_replica:
      return apply_replica_sequence();
    case op_version:
      std::cout << kestrova::version_current << std::endl;
      return 0;
    case op_show_backup_options:
      autonomous_options();
      return 0;
    case op_autonomous_supported:
      return options_.supports_autonomous ? 0 : 14;
    case op_show_module_properties:
      module_properties();
      return 0;
    case op_restore_parameters:
      list_restore_parameters();
      return 0;
    case op_delete_from_client_defined_storage: {
      if (!load_module_config()) return 2;
      if (options_.client_defined_storage_json.empty()) {
        KsLogStream(KsLogLvl::Error) << "Empty json content" << std::endl;
        return 14;
      }
      std::vector<std::pair<int, std::string>> storages;
      if (!parse_json_of_client_defined_storage(options_.client_defined_storage_json, storages)) {
        KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": can't parse json" << std::endl;
        return 12;
      }
      // The tarball is unpacked into a private directory; it goes when the
      // operation ends, however it ends.
      auto clean_up = kestrova::on_scope_exit([this] { remove_reference_snapshot_directory(); });
      if (!options_.meta_file.empty() && unpack_snapshot_file(options_.meta_file) != 0) {
        KsLogStream(KsLogLvl::Error) << "Unable to unpack snapshot file: "
                                     << kestrova::as_one_line_quoted(options_.meta_file) << "." << std::endl;
        return 2;
      }
      return delete_from_client_defined_storage(storages) ? 0 : 12;
    }
    case op_verify_in_client_defined_storage: {
      if (!load_module_config()) return 2;
      auto clean_up = kestrova::on_scope_exit([this] { remove_reference_snapshot_directory(); });
      if (!options_.meta_file.empty() && unpack_snapshot_file(options_.meta_file) != 0) {
        KsLogStream(KsLogLvl::Error) << "Unable to unpack snapshot file: "
                                     << kestrova::as_one_line_quoted(options_.meta_file) << "." << std::endl;
        return 2;
      }
      return verify_in_client_defined_storage() ? 0 : 12;
    }
    case op_none:
    default:
      return 1;
  }
}

// The lock step of the operations 9 to 13. The scoped lock is the caller's and
// lives until its sequence returns, normally or through an exception.
bool KsModuleUniversal::take_resource_lock(kestrova::module::resource_file_scoped_lock& scoped,
                                           std::string const& name) {
  if (!options_.one_source_at_a_time) return true;
  if (!reassign_resource_locker(name)) return false;
  if (!resource_lock.try_lock()) {
    KsLogStream(KsLogLvl::Error) << "resource " << kestrova::as_one_line_quoted(name) << " is busy by another process!"
                                 << std::endl;
    return false;
  }
  kestrova::module::resource_file_scoped_lock held(resource_lock, boost::interprocess::accept_ownership);
  scoped.swap(held);
  KsLogStream(KsLogLvl::Debug) << "resource" << kestrova::as_one_line_quoted(name) << " locked." << std::endl;
  return true;
}

bool KsModuleUniversal::release_once() {
  if (release_state_ != static_cast<int>(ReleaseState::not_started)) return true;
  release_state_ = static_cast<int>(ReleaseState::running);
  auto mark_done = kestrova::on_scope_exit([this] { release_state_ = static_cast<int>(ReleaseState::done); });
  return release_resource_after_backup();
}

unsigned int KsModuleUniversal::backup_sequence(bool replica) {
  kestrova::module::resource_file_scoped_lock scoped;
  if (!take_resource_lock(scoped, options_.resource)) return 2;

  if (!load_module_config()) {
    log_config_failure();
    return 2;
  }
  if (options_.tmp_operation_directory.empty()) {
    KsLogStream(KsLogLvl::Error) << "Backup module: you must define tmp_operation_directory directory." << std::endl;
    return 4;
  }
  if (options_.archive_name.empty()) {
    KsLogStream(KsLogLvl::Error) << "Backup module: you must define archive name." << std::endl;
    return 5;
  }
  boost::filesystem::create_directories(snapshot_directory_path());
  boost::filesystem::create_directories(leveldb_directory_path());

  if (options_.local_restrictions) {
    if (options_.operation == op_backup && !check_local_restrictions()) {
      KsLogStream(KsLogLvl::Error) << "Backup module: Unable to backup this resource "
                                   << kestrova::as_one_line_quoted(options_.resource) << ". Local restriction."
                                   << std::endl;
      return 11;
    }
    if (options_.operation == op_backup_list) {
      std::vector<std::string> restrictions;
      if (!read_restriction_lines(restrictions)) return 11;
      if (!options_.resource_list.check_local_restrictions(restrictions)) return 11;
    }
    if (options_.operation == op_create_replica && !check_local_restrictions()) {
      KsLogStream(KsLogLvl::Error) << "Backup module: Unable to backup this resource "
                                   << kestrova::as_one_line_quoted(options_.resource)
                                   << " due to the local restriction." << std::endl;
      return 11;
    }
  }
  if (!resource_exists()) {
    KsLogStream(KsLogLvl::Error) << "Backup module: Unable to backup this resource "
                                 << kestrova::as_one_line_quoted(options_.resource) << ". Resource doesn't exist."
                                 << std::endl;
    return 2;
  }
  if (!options_.reference_snapshot.empty() && unpack_snapshot_file(options_.reference_snapshot) != 0) {
    KsLogStream(KsLogLvl::Error) << "Backup module: Unable to unpack reference snapshot file: "
                                 << kestrova::as_one_line_quoted(options_.reference_snapshot) << "." << std::endl;
    return 2;
  }
  // From here on the module may hold temporary objects that only its release
  // hook removes; an exception must not leave them behind.
  auto release_guard = kestrova::on_scope_failure([this] { release_once(); });
  if (!prepare_resource_before_backup(replica)) {
    release_guard.dismiss();
    return 6;
  }
  bool const ok = make_backup();
  bool const released = release_once();
  release_guard.dismiss();
  // A shutdown signal came while the release hook ran; it has finished.
  if (shutdown_deferred_) return end_deferred_shutdown();
  if (!released) return 6;
  if (!ok) return 6;
  if (defect && options_.archiving_mode) {
    // A backup that ksfd could not guarantee is no reason to delete the
    // only copy of the resource.
    KsLogStream(KsLogLvl::Warning) << "Archiving mode: the resource " << kestrova::as_one_line_quoted(options_.resource)
                                   << " is not deleted, since the backup finished with a defect" << std::endl;
    options_.archiving_mode = false;
  }
  if (!close_backup(replica)) return 6;
  return finished(defect);
}

unsigned int KsModuleUniversal::restore_sequence() {
  kestrova::module::resource_file_scoped_lock scoped;
  if (!take_resource_lock(scoped, options_.record_id)) return 2;

  if (!load_module_config()) {
    log_config_failure();
    return 2;
  }
  std::string const client_directory = options_.tmp_operation_directory;
  if (define_restore_directory() != 0) return 7;
  if (options_.tmp_operation_directory != client_directory) restore_directory_ = options_.tmp_operation_directory;

  auto close_guard = kestrova::on_scope_failure([this] {
    last = true;
    close_restore();
  });
  // A failed step ends the run through close_restore; one up to the
  // extraction also makes it the last run, so the directory goes.
  auto fail = [&](bool make_last, unsigned int code = 7) {
    close_guard.dismiss();
    if (make_last) last = true;
    close_restore();
    return code;
  };
  if (!options_.meta_file.empty() && unpack_snapshot_file(options_.meta_file) != 0) {
    KsLogStream(KsLogLvl::Error) << "Unable to unpack snapshot file: "
                                 << kestrova::as_one_line_quoted(options_.meta_file) << "." << std::endl;
    // On a full -d the unpacking is the step that fails.
    return fail(true, 2);
  }
  if (!before_restore()) return fail(true);
  bool const ok = make_restore(false);
  if (!after_restore() || !ok) return fail(true);
  if (last) {
    if (!after_restore_last_file()) return fail(false);
    if (!without_deployment_restore && !deployment(false)) return fail(false);
  }
  close_guard.dismiss();
  if (without_deployment_restore)
    remove_reference_snapshot_directory();
  else
    close_restore();
  return finished(defect);
}

unsigned int KsModuleUniversal::apply_replica_sequence() {
  kestrova::module::resource_file_scoped_lock scoped;
  if (!take_resource_lock(scoped, options_.record_id)) return 2;

  if (!load_module_config()) return 2;
  auto cleanup_guard = kestrova::on_scope_failure([this] { remove_reference_snapshot_directory(); });
  if (unpack_snapshot_file(options_.meta_file) != 0) {
    KsLogStream(KsLogLvl::Error) << "Unable to unpack snapshot file: "
                                 << kestrova::as_one_line_quoted(options_.meta_file) << "." << std::endl;
    cleanup_guard.dismiss();
    remove_reference_snapshot_directory();
    return 2;
  }
  bool ok = before_restore();
  if (ok) {
    bool const applied = apply_replica();
    ok = after_restore() && applied;
    if (ok) ok = after_restore_last_file();
    if (ok) ok = deployment(true);
  }
  cleanup_guard.dismiss();
  remove_reference_snapshot_directory();
  if (!ok) return 7;
  return finished(defect);
}

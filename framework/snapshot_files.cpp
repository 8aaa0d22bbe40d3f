// The file and directory names of one task, snapshot tarballs, the restore
// directory and the clean-up after a restore. The names are in place; packing,
// unpacking and the restore directory are not built yet and fail with an Error.
#include "framework/ks_module_universal.h"
#include "support/log/ks_log.h"

namespace {

bool not_implemented(char const* signature) {
  KsLogStream(KsLogLvl::Error) << signature << ": not implemented" << std::endl;
  return false;
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
  KsLogStream(KsLogLvl::Debug) << __PRETTY_FUNCTION__ << " : " << reference_snapshot_directory << std::endl;
  return reference_snapshot_directory;
}

int KsModuleUniversal::pack_snapshot_file() const {
  not_implemented(__PRETTY_FUNCTION__);
  return 12;
}

int KsModuleUniversal::unpack_snapshot_file(std::string const&) {
  not_implemented(__PRETTY_FUNCTION__);
  return 12;
}

bool KsModuleUniversal::close_backup(bool const&) { return not_implemented(__PRETTY_FUNCTION__); }

int KsModuleUniversal::define_restore_directory() {
  not_implemented(__PRETTY_FUNCTION__);
  return 1;
}

void KsModuleUniversal::close_restore() { not_implemented(__PRETTY_FUNCTION__); }

void KsModuleUniversal::remove_reference_snapshot_directory() noexcept {
  try {
    not_implemented(__PRETTY_FUNCTION__);
  } catch (...) {
  }
}

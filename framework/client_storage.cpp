// Client-defined storages and electronic-signature verification. The two
// answers of the base module are in place; loading and using storages is not
// built yet and fails with an Error (a run without a task id has none to load).
#include "framework/ks_module_universal.h"
#include "support/log/ks_log.h"

namespace {

bool not_implemented(char const* signature) {
  KsLogStream(KsLogLvl::Error) << signature << ": not implemented" << std::endl;
  return false;
}

}  // namespace

bool KsModuleUniversal::check_supported_client_defined_storage(int) { return false; }

bool KsModuleUniversal::need_esign_for_operation(KsModuleOperations operation) {
  return operation == op_verify_in_client_defined_storage;
}

bool KsModuleUniversal::load_client_defined_storages() {
  if (options_.task_id.empty()) {
    KsLogStream(KsLogLvl::Debug) << "No task id -  client defined storages loading skipped" << std::endl;
    return true;
  }
  return not_implemented(__PRETTY_FUNCTION__);
}

bool KsModuleUniversal::split_client_defined_storage_record(std::string const&, ClientDefinedStorageInfo&) {
  return not_implemented(__PRETTY_FUNCTION__);
}

bool KsModuleUniversal::client_defined_storage_prepare() { return not_implemented(__PRETTY_FUNCTION__); }

bool KsModuleUniversal::split_client_defined_archive_name(std::string const&, ClientDefinedArchiveInfo&) {
  return not_implemented(__PRETTY_FUNCTION__);
}

bool KsModuleUniversal::parse_json_of_client_defined_storage(std::string const&,
                                                             std::vector<std::pair<int, std::string>>&) {
  return not_implemented(__PRETTY_FUNCTION__);
}

bool KsModuleUniversal::delete_from_client_defined_storage(std::vector<std::pair<int, std::string>>) {
  return not_implemented(__PRETTY_FUNCTION__);
}

bool KsModuleUniversal::verify_in_client_defined_storage() { return not_implemented(__PRETTY_FUNCTION__); }

bool KsModuleUniversal::parse_esign_json(std::string const&, std::string&, std::string&, std::string&) {
  return not_implemented(__PRETTY_FUNCTION__);
}

bool KsModuleUniversal::write_esign(std::string const&, std::string const&) {
  return not_implemented(__PRETTY_FUNCTION__);
}

bool KsModuleUniversal::check_filename_by_esing(std::string const&, std::string const&, std::string const&,
                                                std::string const&, bool) {
  return not_implemented(__PRETTY_FUNCTION__);
}

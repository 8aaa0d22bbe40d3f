// ksfd runs, command lines and the ksfd list file. Only the flag names are in
// place; the rest is not built yet and fails with an Error.
#include "framework/ks_module_universal.h"
#include "support/log/ks_log.h"

namespace {

bool not_implemented(char const* signature) {
  KsLogStream(KsLogLvl::Error) << signature << ": not implemented" << std::endl;
  return false;
}

}  // namespace

void KsModuleUniversal::init_ksfd_flags() {
  ksfd_flag_names = {"worker_parallelism", "network_parallelism", "enable_multithreading", "enable_flexible_dedup"};
}

bool KsModuleUniversal::run_ksfd_command(std::string const&, std::string&, pid_t&, std::string&) {
  return not_implemented(__PRETTY_FUNCTION__);
}

bool KsModuleUniversal::make_backup() { return not_implemented(__PRETTY_FUNCTION__); }

bool KsModuleUniversal::make_backup_cmd_common(std::string&) { return not_implemented(__PRETTY_FUNCTION__); }

void KsModuleUniversal::add_ksfd_options_to_command(std::string&) const { not_implemented(__PRETTY_FUNCTION__); }

bool KsModuleUniversal::make_backup_locally() { return not_implemented(__PRETTY_FUNCTION__); }

bool KsModuleUniversal::make_restore(bool const&) { return not_implemented(__PRETTY_FUNCTION__); }

bool KsModuleUniversal::apply_replica() { return make_restore(true); }

bool KsModuleUniversal::add_to_ksfd_list_file(std::string const&, std::map<std::string, std::string> const&, bool) {
  return not_implemented(__PRETTY_FUNCTION__);
}

bool KsModuleUniversal::append_some_special() { return not_implemented(__PRETTY_FUNCTION__); }

int KsModuleUniversal::check_file_to_restore_for_sparse(std::string const&) const {
  not_implemented(__PRETTY_FUNCTION__);
  return 7;
}

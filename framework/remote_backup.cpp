// Backup on a remote host over ssh: not built yet, fails with an Error.
#include "framework/ks_module_universal.h"
#include "support/log/ks_log.h"

bool KsModuleUniversal::make_backup_remotely() {
  KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": not implemented" << std::endl;
  return false;
}

bool KsModuleUniversal::cleanup_remote_host(std::string const&) {
  KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": not implemented" << std::endl;
  return false;
}

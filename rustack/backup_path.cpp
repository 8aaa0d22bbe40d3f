// The backup hooks: not built yet, they fail with an Error.
#include "rustack/ks_module_rustack.h"
#include "support/log/ks_log.h"

bool KsModuleRuStack::prepare_resource_before_backup(bool const&) {
  KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": not implemented" << std::endl;
  return false;
}

bool KsModuleRuStack::release_resource_after_backup() {
  KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": not implemented" << std::endl;
  return false;
}

int check_block_device(std::string const&, std::string const&) {
  KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": not implemented" << std::endl;
  return 2;
}

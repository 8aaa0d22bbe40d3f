// The restore hooks. after_restore and after_restore_last_file have nothing to
// do; the checks before the extraction and the deployment are not built yet
// and fail with an Error.
#include "rustack/ks_module_rustack.h"
#include "support/log/ks_log.h"

namespace {

void not_implemented(char const* signature) {
  KsLogStream(KsLogLvl::Error) << signature << ": not implemented" << std::endl;
}

}  // namespace

bool KsModuleRuStack::before_restore() {
  not_implemented(__PRETTY_FUNCTION__);
  return false;
}

bool KsModuleRuStack::after_restore() { return true; }

bool KsModuleRuStack::after_restore_last_file() { return true; }

bool KsModuleRuStack::deployment(bool const&) {
  not_implemented(__PRETTY_FUNCTION__);
  return false;
}

int KsModuleRuStack::restore_volumes(server_conf const&, std::string const&, std::set<std::string>&, std::string&) {
  not_implemented(__PRETTY_FUNCTION__);
  return 7;
}

int KsModuleRuStack::deploy_vm(std::string const&, rustack_server_parameters const&, server_conf&) {
  not_implemented(__PRETTY_FUNCTION__);
  return 7;
}

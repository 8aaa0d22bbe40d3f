// The module configuration file, the API version discovery, the backup options
// of autonomous mode and the restore parameters. The configuration reader, the
// discovery and the restore parameters are not built yet and fail with an
// Error.
#include <iostream>

#include "rustack/ks_module_rustack.h"
#include "support/log/ks_log.h"

bool KsModuleRuStack::load_module_config() {
  KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": not implemented" << std::endl;
  return false;
}

bool KsModuleRuStack::load_api_version(bool) {
  KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": not implemented" << std::endl;
  return false;
}

void KsModuleRuStack::autonomous_options() {
  std::cout << "script_before_snapshot\t\t : string \tExecute script before snapshot(s) creation" << std::endl;
  std::cout << "script_after_snapshot\t\t : string \tExecute script after snapshot(s) creation" << std::endl;
  std::cout << "execution_script_timeout\t : integer \tScript timeout, seconds" << std::endl;
  std::cout << "dd_block_size\t\t\t : integer \tBlock size for dd operations, Megabytes" << std::endl;
}

void KsModuleRuStack::list_restore_parameters() {
  KsLogStream(KsLogLvl::Error) << __PRETTY_FUNCTION__ << ": not implemented" << std::endl;
}

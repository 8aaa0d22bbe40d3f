// The information hooks. The version, the header labels and the custom help
// lines are in place; the hooks that ask the cloud are not built yet and fail
// with an Error.
#include <iostream>

#include "rustack/ks_module_rustack.h"
#include "support/log/ks_log.h"
#include "support/utils/version.h"

namespace {

int not_implemented(char const* signature) {
  KsLogStream(KsLogLvl::Error) << signature << ": not implemented" << std::endl;
  return 2;
}

}  // namespace

int list_header_labels() {
  std::cout << "ID|Name|Status" << std::endl;
  return 0;
}

void KsModuleRuStack::usage_custom() {}

std::string KsModuleRuStack::get_full_module_version() { return kestrova::version_current_string + "." + "948a6fb"; }

int KsModuleRuStack::list_header_labels() { return ::list_header_labels(); }

int KsModuleRuStack::check_client(bool const&) { return not_implemented(__PRETTY_FUNCTION__); }

int KsModuleRuStack::check_resource(std::string const&) { return not_implemented(__PRETTY_FUNCTION__); }

int KsModuleRuStack::list_all_resources() { return list_all_resources(false); }

int KsModuleRuStack::list_all_resources_with_header_labels() { return list_all_resources(true); }

int KsModuleRuStack::list_all_resources(bool) { return not_implemented(__PRETTY_FUNCTION__); }

bool KsModuleRuStack::resource_exists() { return not_implemented(__PRETTY_FUNCTION__) == 0; }

void KsModuleRuStack::make_archiving() { not_implemented(__PRETTY_FUNCTION__); }

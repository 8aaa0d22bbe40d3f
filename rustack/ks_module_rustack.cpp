#include "rustack/ks_module_rustack.h"

#include <utility>

KsModuleRuStack::KsModuleRuStack(KsModuleOptions options) : KsModuleUniversal(std::move(options)) {}

// Preloaded (LD_PRELOAD) after libfaketime into the module under test: takes
// LD_PRELOAD out of the module's environment before its main runs, so the
// programs it starts (the stand-ins, dd, tar, openssl) run on the real clock,
// as they would without it.
#include <cstdlib>

namespace {

__attribute__((constructor)) void keep_the_preload_to_this_process() { ::unsetenv("LD_PRELOAD"); }

}  // namespace

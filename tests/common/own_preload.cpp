// Preloaded (LD_PRELOAD) after libfaketime into a program under test (the
// module, or a FAST_CLOCK test program): takes LD_PRELOAD out of its
// environment before its main runs, so the programs it starts (the
// stand-ins, dd, tar, openssl, the module) run on the real clock, as they
// would without it.
#include <cstdlib>

namespace {

__attribute__((constructor)) void keep_the_preload_to_this_process() { ::unsetenv("LD_PRELOAD"); }

}  // namespace

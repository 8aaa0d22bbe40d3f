// Reading archives: a restore that follows the chain of references back to
// its full backup, the listing of a meta file and the check of a detached
// signature.
#pragma once

#include "options.h"

namespace ksfd {

// Each returns the exit status or throws Failure.
int run_restore(Options const& o);
int run_list(Options const& o);
int run_verify(Options const& o);

}  // namespace ksfd

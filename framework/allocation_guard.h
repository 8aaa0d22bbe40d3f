// The module's signal handlers log, allocate and run the whole clean-up on
// the interrupted thread. Run while that thread is inside malloc() or free(),
// they would find the heap half changed: glibc takes no lock on its fast
// path in a single-threaded process, so the handler's own allocations
// corrupt the heap or wait for ever. The program therefore wraps the
// allocator: a handler that finds its thread inside it asks for the signal
// again and returns, and the wrapper raises the signal on the way out.
//
// A pause and a resume that both arrive inside the allocator cancel out (the
// module never saw the pause); a resume and then a pause leave the pause.
#pragma once

namespace ks_allocation_guard {

// True while this thread is inside malloc(), free() or their kin.
bool inside_allocator() noexcept;

// Called by a handler that found inside_allocator(): `signal` is raised again
// on this thread as soon as it leaves the allocator. The shutdown signals
// (support/utils/signals_held.h) and SIGSEGV count as one termination;
// SIGTSTP and SIGCONT as the last change of the pause.
void deliver_on_leaving(int signal) noexcept;

}  // namespace ks_allocation_guard

#include "framework/allocation_guard.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

int const kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGCONT};
unsigned const kSignalCount = sizeof kSignals / sizeof kSignals[0];

volatile std::sig_atomic_t delivered[8];
volatile std::sig_atomic_t delivered_count = 0;

void record(int signal) {
  if (delivered_count < 8) delivered[delivered_count] = signal;
  delivered_count = delivered_count + 1;
  errno = EINTR;  // a handler that changes errno must not change the caller's
}

// Recording handlers in place of the module's for the signals the guard
// owes, and the previous ones back afterwards.
class RecordingHandlers {
 public:
  RecordingHandlers() {
    delivered_count = 0;
    struct sigaction action {};
    action.sa_handler = &record;
    sigemptyset(&action.sa_mask);
    for (unsigned i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &action, &previous_[i]);
  }
  ~RecordingHandlers() {
    for (unsigned i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &previous_[i], nullptr);
  }
  RecordingHandlers(RecordingHandlers const&) = delete;
  RecordingHandlers& operator=(RecordingHandlers const&) = delete;

  static std::vector<int> seen() {
    std::vector<int> out;
    for (int i = 0; i < delivered_count && i < 8; ++i) out.push_back(static_cast<int>(delivered[i]));
    return out;
  }

 private:
  struct sigaction previous_[kSignalCount];
};

void leave_the_allocator_once() {
  void* volatile p = std::malloc(24);
  std::free(p);
}

TEST(AllocationGuard, OutsideTheAllocatorNothingIsPostponed) {
  EXPECT_FALSE(ks_allocation_guard::inside_allocator());
}

// What a handler found inside the allocator asks for, and what the thread
// gets when it leaves the allocator next.
TEST(AllocationGuard, OwedSignalsAreRaisedOnLeavingTheAllocator) {
  struct Case {
    char const* what;
    std::vector<int> postponed;
    std::vector<int> raised;
  } const cases[] = {
      {"termination", {SIGTERM}, {SIGTERM}},
      {"two terminations are one", {SIGINT, SIGTERM}, {SIGTERM}},
      {"a hang-up is a termination", {SIGHUP, SIGTSTP}, {SIGHUP, SIGTSTP}},
      {"a quit is a termination", {SIGTERM, SIGQUIT}, {SIGQUIT}},
      {"pause", {SIGTSTP}, {SIGTSTP}},
      {"resume", {SIGCONT}, {SIGCONT}},
      {"pause then resume cancel out", {SIGTSTP, SIGCONT}, {}},
      {"resume then pause leave the pause", {SIGCONT, SIGTSTP}, {SIGTSTP}},
      {"termination before the pause change", {SIGTSTP, SIGINT}, {SIGINT, SIGTSTP}},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.what);
    RecordingHandlers handlers;
    for (int signal : c.postponed) ks_allocation_guard::deliver_on_leaving(signal);
    errno = 0;
    leave_the_allocator_once();
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(RecordingHandlers::seen(), c.raised);
    // Owed once: the next allocation raises nothing.
    leave_the_allocator_once();
    EXPECT_EQ(RecordingHandlers::seen(), c.raised);
  }
}

}  // namespace

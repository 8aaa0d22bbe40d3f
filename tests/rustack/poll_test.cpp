// The bounded wait: where its asks fall among its pauses in each order, and
// that an awaited or a failed answer ends it at once, also on the last ask
// the bound allows.
#include "rustack/poll.h"

#include <chrono>
#include <string>

#include <gtest/gtest.h>

namespace {

using rustack_poll::answer;
using rustack_poll::ending;
using rustack_poll::order;

char const* name_of(order shape) {
  switch (shape) {
    case order::sleep_then_ask:
      return "sleep_then_ask";
    case order::ask_then_sleep:
      return "ask_then_sleep";
    case order::ask_around_sleeps:
      return "ask_around_sleeps";
    case order::ask_between_sleeps:
      return "ask_between_sleeps";
  }
  return "?";
}

TEST(Poll, AsksAndPausesInEachOrder) {
  struct Case {
    order shape;
    std::uint64_t bound;
    int ends_at;     // the ask that answers `last` (0: every ask answers pending)
    answer last;
    std::string trace;  // 'a' an ask, 'p' a pause
    ending end;
  };
  Case const cases[] = {
      {order::sleep_then_ask, 3, 0, answer::pending, "papapa", ending::bound},
      {order::sleep_then_ask, 3, 1, answer::awaited, "pa", ending::awaited},
      {order::sleep_then_ask, 3, 2, answer::failed, "papa", ending::failed},
      {order::sleep_then_ask, 3, 3, answer::awaited, "papapa", ending::awaited},
      {order::sleep_then_ask, 1, 0, answer::pending, "pa", ending::bound},
      {order::sleep_then_ask, 0, 0, answer::pending, "", ending::bound},

      {order::ask_then_sleep, 3, 0, answer::pending, "apapap", ending::bound},
      {order::ask_then_sleep, 3, 1, answer::awaited, "a", ending::awaited},
      {order::ask_then_sleep, 3, 1, answer::failed, "a", ending::failed},
      {order::ask_then_sleep, 3, 3, answer::failed, "apapa", ending::failed},
      {order::ask_then_sleep, 0, 0, answer::pending, "", ending::bound},

      {order::ask_around_sleeps, 2, 0, answer::pending, "apapa", ending::bound},
      {order::ask_around_sleeps, 2, 1, answer::awaited, "a", ending::awaited},
      {order::ask_around_sleeps, 2, 2, answer::failed, "apa", ending::failed},
      {order::ask_around_sleeps, 2, 3, answer::awaited, "apapa", ending::awaited},
      {order::ask_around_sleeps, 0, 0, answer::pending, "a", ending::bound},
      {order::ask_around_sleeps, 0, 1, answer::awaited, "a", ending::awaited},

      {order::ask_between_sleeps, 3, 0, answer::pending, "papap", ending::bound},
      {order::ask_between_sleeps, 3, 1, answer::failed, "pa", ending::failed},
      {order::ask_between_sleeps, 3, 2, answer::awaited, "papa", ending::awaited},
      {order::ask_between_sleeps, 1, 0, answer::pending, "p", ending::bound},
      {order::ask_between_sleeps, 0, 0, answer::pending, "", ending::bound},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(std::string(name_of(c.shape)) + " bound " + std::to_string(c.bound) + " ends at ask " +
                 std::to_string(c.ends_at));
    std::string trace;
    int asks = 0;
    ending const end = rustack_poll::poll_with(
        c.bound, c.shape,
        [&] {
          trace += 'a';
          return ++asks == c.ends_at ? c.last : answer::pending;
        },
        [&] { trace += 'p'; });
    EXPECT_EQ(trace, c.trace);
    EXPECT_EQ(end, c.end);
  }
}

// poll() pauses for real, `length` each time, and asks as poll_with does.
TEST(Poll, PausesForTheLengthGiven) {
  int asks = 0;
  auto const start = std::chrono::steady_clock::now();
  ending const end = rustack_poll::poll(
      3, order::sleep_then_ask, [&] { return ++asks == 3 ? answer::awaited : answer::pending; },
      std::chrono::milliseconds(40));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(120));
  EXPECT_EQ(end, ending::awaited);
  EXPECT_EQ(asks, 3);
}

}  // namespace

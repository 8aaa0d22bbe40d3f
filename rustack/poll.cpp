#include "rustack/poll.h"

#include <thread>

namespace rustack_poll {

void pause(std::chrono::milliseconds length) { std::this_thread::sleep_for(length); }

ending poll(std::uint64_t bound, order shape, std::function<answer()> const& ask, std::chrono::milliseconds length) {
  return poll_with(bound, shape, ask, [length] { pause(length); });
}

ending poll_with(std::uint64_t bound, order shape, std::function<answer()> const& ask,
                 std::function<void()> const& pause_once) {
  answer last = answer::pending;
  // True while the wait goes on.
  auto const pending = [&] {
    last = ask();
    return last == answer::pending;
  };
  auto const ended = [&] { return last == answer::awaited ? ending::awaited : ending::failed; };
  if (shape == order::ask_around_sleeps && !pending()) return ended();
  for (std::uint64_t paused = 0; paused < bound;) {
    if (shape == order::ask_then_sleep && !pending()) return ended();
    pause_once();
    ++paused;
    bool const ask_now = shape == order::sleep_then_ask || shape == order::ask_around_sleeps ||
                         (shape == order::ask_between_sleeps && paused < bound);
    if (ask_now && !pending()) return ended();
  }
  return ending::bound;
}

}  // namespace rustack_poll

// The bounded wait of the module: pause, ask the cloud (or this machine)
// again, until an answer is the awaited one, a failure, or the bound of
// pauses is reached. Every wait of the module that counts its pauses runs
// through poll(); each keeps its own messages, which its `ask` and its
// caller log. Every pause of such a wait sleeps in pause(), the one place.
//
//   std::string status = "BUILD";
//   auto const end = rustack_poll::poll(300, rustack_poll::order::sleep_then_ask, [&] {
//     if (client.get_server_status(id, status) != 0) return rustack_poll::answer::failed;  // after logging
//     return status == "ACTIVE" ? rustack_poll::answer::awaited : rustack_poll::answer::pending;
//   });
//   if (end == rustack_poll::ending::bound) ...  // log the time-out
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace rustack_poll {

// What one ask found.
enum class answer { awaited, pending, failed };

// How a wait ended: at an awaited answer, at a failed one, or with the bound
// reached while every answer was pending.
enum class ending { awaited, failed, bound };

// Where the asks of a wait fall among its `bound` pauses.
enum class order {
  sleep_then_ask,      // pause, ask, ..., pause, ask: `bound` asks
  ask_then_sleep,      // ask, pause, ..., ask, pause: `bound` asks, the last followed by a pause
  ask_around_sleeps,   // ask, pause, ask, ..., pause, ask: bound + 1 asks (one for a bound of 0)
  ask_between_sleeps,  // pause, ask, ..., ask, pause: bound - 1 asks (none for a bound of 0 or 1)
};

// Sleeps for `length`: the one place where a wait of the module pauses.
void pause(std::chrono::milliseconds length);

// Asks in `shape` with at most `bound` pauses of `length` (a second unless
// told otherwise). The first answer other than pending ends the wait at
// once, with no pause after it; when every ask the shape allows answered
// pending (also when it allows none), the wait ends at the bound after the
// pause the shape puts last.
ending poll(std::uint64_t bound, order shape, std::function<answer()> const& ask,
            std::chrono::milliseconds length = std::chrono::seconds(1));

// poll() with `pause_once` in place of each pause: the order of asks and
// pauses without the sleeping.
ending poll_with(std::uint64_t bound, order shape, std::function<answer()> const& ask,
                 std::function<void()> const& pause_once);

}  // namespace rustack_poll

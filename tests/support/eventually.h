// The one way a test waits for something to become true: poll a predicate until it
// holds or a limit passes. A check that something did NOT happen never uses this
// (nor a fixed sleep): it drains or waits for the event that shows the work was
// considered, then checks.
#ifndef ZELMIR_TESTS_SUPPORT_EVENTUALLY_H
#define ZELMIR_TESTS_SUPPORT_EVENTUALLY_H

#include <chrono>
#include <thread>

namespace testsupport {

// True as soon as pred() returns true; false when limit has passed without it.
// pred is tried once more at the limit, so a slow last step is not lost.
template <typename Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(30),
                std::chrono::milliseconds step = std::chrono::milliseconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (pred()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return pred();
    std::this_thread::sleep_for(step);
  }
}

}  // namespace testsupport

#endif  // ZELMIR_TESTS_SUPPORT_EVENTUALLY_H

#include "runtime/util/clock.h"

#include <thread>

namespace quern {

void SystemClock::sleep_for(Duration d) {
  if (d > Duration::zero()) std::this_thread::sleep_for(d);
}

Clock& system_clock() {
  static SystemClock clock;
  return clock;
}

ManualClock::ManualClock()
    // 1,000 s after the epoch of the monotonic clock; 2026-12-11T12:00:00Z on the wall.
    : monotonic_(std::chrono::duration_cast<Duration>(std::chrono::seconds(1000)).count()),
      wall_(std::chrono::duration_cast<Duration>(std::chrono::seconds(1796990400)).count()) {}

}  // namespace quern

// Time behind a small interface so that tests can drive it: the monotonic clock for deadlines
// and pacing, the wall clock for stamps, and sleeping. `SystemClock` is the real one;
// `ManualClock` only moves when told to (or when something sleeps on it).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace quern {

using Duration = std::chrono::nanoseconds;
using Instant = std::chrono::steady_clock::time_point;
using WallTime = std::chrono::system_clock::time_point;

inline constexpr Duration millis(std::uint64_t ms) {
  return std::chrono::duration_cast<Duration>(std::chrono::milliseconds(ms));
}

class Clock {
 public:
  virtual ~Clock() = default;
  virtual Instant now() const = 0;
  virtual WallTime wall_now() const = 0;
  virtual void sleep_for(Duration d) = 0;
};

class SystemClock final : public Clock {
 public:
  Instant now() const override { return std::chrono::steady_clock::now(); }
  WallTime wall_now() const override { return std::chrono::system_clock::now(); }
  void sleep_for(Duration d) override;
};

// The process's real clock.
Clock& system_clock();

// Starts at an arbitrary fixed instant; `sleep_for` advances it instead of waiting.
// Safe to read from several threads.
class ManualClock final : public Clock {
 public:
  ManualClock();
  Instant now() const override { return Instant(Duration(monotonic_.load())); }
  WallTime wall_now() const override {
    return WallTime(std::chrono::duration_cast<WallTime::duration>(Duration(wall_.load())));
  }
  void sleep_for(Duration d) override { advance(d); }
  void advance(Duration d) {
    monotonic_ += d.count();
    wall_ += d.count();
  }

 private:
  std::atomic<std::int64_t> monotonic_;
  std::atomic<std::int64_t> wall_;
};

}  // namespace quern

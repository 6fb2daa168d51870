#include "runtime/gateway/retry_policy.h"

#include <gtest/gtest.h>

namespace quern::gateway {
namespace {

TEST(RetryPolicy, OnlyBusyAnswersAreRetried) {
  for (long s : {429L, 503L, 529L}) EXPECT_TRUE(is_retryable_status(s)) << s;
  for (long s : {200L, 400L, 401L, 404L, 408L, 500L, 502L, 504L}) EXPECT_FALSE(is_retryable_status(s)) << s;
}

TEST(RetryPolicy, WaitsGrowAndNeverLeaveTooLittleForTheAttempt) {
  const RetryPolicy p;  // 250 ms doubling to 2 s, 100 ms kept for the attempt
  struct Case {
    int refusals;
    std::optional<std::uint64_t> retry_after_ms;
    std::uint64_t left_ms;
    std::optional<std::uint64_t> want_ms;
  };
  for (auto c : {
           Case{1, std::nullopt, 9000, 250},
           Case{2, std::nullopt, 9000, 500},
           Case{3, std::nullopt, 9000, 1000},
           Case{4, std::nullopt, 9000, 2000},
           Case{9, std::nullopt, 9000, 2000},
           Case{100, std::nullopt, 9000, 2000},  // no overflow in the doubling
           Case{1, std::nullopt, 350, 250},      // exactly fits
           Case{1, std::nullopt, 349, std::nullopt},
           Case{4, std::nullopt, 1500, std::nullopt},  // a long wait that does not fit ends the retries
           Case{1, 1000, 9000, 1000},                  // retry-after honoured, longer than the backoff
           Case{3, 100, 9000, 100},                    // ... and shorter
           Case{1, 0, 9000, 50},                       // at least the minimum wait
           Case{1, 30000, 9000, 250},                  // does not fit: the own backoff instead
           Case{1, 30000, 200, std::nullopt},
       }) {
    const auto retry_after = c.retry_after_ms ? std::optional<Duration>(millis(*c.retry_after_ms)) : std::nullopt;
    const auto got = retry_wait(p, c.refusals, retry_after, millis(c.left_ms));
    const auto want = c.want_ms ? std::optional<Duration>(millis(*c.want_ms)) : std::nullopt;
    EXPECT_EQ(got, want) << c.refusals << " refusals, " << c.left_ms << " ms left";
  }
}

TEST(RetryPolicy, ParsesRetryAfterSecondsAndDates) {
  const WallTime now = std::chrono::system_clock::from_time_t(1'700'000'000);  // Tue, 14 Nov 2023 22:13:20 GMT
  struct Case {
    std::string_view value;
    std::optional<std::uint64_t> want_ms;
  };
  for (auto c : {
           Case{"2", 2000},
           Case{" 1.5 ", 1500},
           Case{"0", 0},
           Case{"Tue, 14 Nov 2023 22:13:23 GMT", 3000},
           Case{"Tue, 14 Nov 2023 22:00:00 GMT", 0},  // in the past
           Case{"", std::nullopt},
           Case{"-1", std::nullopt},
           Case{"soon", std::nullopt},
           Case{"1.2.3", std::nullopt},
       }) {
    const auto got = parse_retry_after(c.value, now);
    const auto want = c.want_ms ? std::optional<Duration>(millis(*c.want_ms)) : std::nullopt;
    EXPECT_EQ(got, want) << c.value;
  }
}

}  // namespace
}  // namespace quern::gateway

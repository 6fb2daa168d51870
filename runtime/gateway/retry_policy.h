// When to make a refused model request again. A request the service turns away as busy (HTTP
// 429, 503, 529) is repeated after a short, growing wait, carved out of the time the caller
// gave; the last attempt never starts so late that it has less than `min_attempt` left.
// Pure values and functions; any thread.
#pragma once

#include <optional>
#include <string_view>

#include "runtime/util/clock.h"

namespace quern::gateway {

struct RetryPolicy {
  Duration first_wait = millis(250);   // doubled after every refusal ...
  Duration max_wait = millis(2000);    // ... up to this
  Duration min_wait = millis(50);      // a retry-after shorter than this waits this long
  Duration min_attempt = millis(100);  // time that must remain for an attempt after a wait
};

bool is_retryable_status(long status);

// The wait before attempt `refusals + 1`, given `refusals` refused attempts so far (at least
// 1), the server's retry-after when it sent one, and the time left. A retry-after is honoured
// when the wait it asks for fits; otherwise the policy's own backoff is used. Nothing when no
// wait fits, which ends the retries.
std::optional<Duration> retry_wait(const RetryPolicy& policy, int refusals, std::optional<Duration> retry_after,
                                   Duration left);

// A retry-after header value: delay seconds ("2", "1.5") or an HTTP date, relative to `now`.
// Nothing when it does not parse; a date in the past is a zero wait.
std::optional<Duration> parse_retry_after(std::string_view value, WallTime now);

}  // namespace quern::gateway

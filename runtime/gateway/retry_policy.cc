#include "runtime/gateway/retry_policy.h"

#include <curl/curl.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

#include "runtime/util/unicode.h"

namespace quern::gateway {

bool is_retryable_status(long status) { return status == 429 || status == 503 || status == 529; }

std::optional<Duration> retry_wait(const RetryPolicy& policy, int refusals, std::optional<Duration> retry_after,
                                   Duration left) {
  if (retry_after) {
    const Duration wait = std::max(*retry_after, policy.min_wait);
    if (wait + policy.min_attempt <= left) return wait;
  }
  Duration backoff = policy.first_wait;
  for (int i = 1; i < refusals && backoff < policy.max_wait; ++i) backoff *= 2;
  backoff = std::min(backoff, policy.max_wait);
  if (backoff + policy.min_attempt <= left) return backoff;
  return std::nullopt;
}

std::optional<Duration> parse_retry_after(std::string_view value, WallTime now) {
  const std::string_view text = unicode::trim(value);
  if (text.empty()) return std::nullopt;
  if (std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; })) {
    double seconds = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(seconds)) return std::nullopt;
    seconds = std::min(seconds, 86400.0 * 365);
    return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(seconds));
  }
  const time_t at = curl_getdate(std::string(text).c_str(), nullptr);
  if (at < 0) return std::nullopt;
  const auto when = std::chrono::system_clock::from_time_t(at);
  if (when <= now) return Duration::zero();
  return std::chrono::duration_cast<Duration>(when - now);
}

}  // namespace quern::gateway

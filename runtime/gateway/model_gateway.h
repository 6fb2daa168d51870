// The model gateway: answers whether a configured model can be used, and sends one
// conversation turn to the provider, returning the provider's answer in the messages-API shape.
//
// `plan` takes a request object in the messages-API shape (`model`, `max_tokens`, `system`,
// `tools`, `messages`). For an "anthropic" profile it is sent unchanged to
// `{endpoint}/v1/messages` with `x-api-key` (from the profile's key variable),
// `anthropic-version: 2023-06-01` and `content-type: application/json`, and the body of the
// answer is returned unchanged. For an "openai" profile it is translated to chat completions
// (chat_completions.h), sent to `{endpoint}/v1/chat/completions` with `authorization: Bearer`
// when a key is set, and the answer is translated back.
//
// Time: everything `plan` does, retries and waits included, ends within the `remaining` time it
// is given. A busy answer (429, 503, 529) is retried by the RetryPolicy; nothing else is.
// Credentials are read from the environment on each call and never logged or put in an error.
//
// Owned by one thread (the session's); the instance keeps a connection open between turns.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/gateway/client_error.h"
#include "runtime/gateway/http_client.h"
#include "runtime/gateway/provider_config.h"
#include "runtime/gateway/retry_policy.h"
#include "runtime/util/clock.h"
#include "runtime/util/json.h"

namespace quern::gateway {

inline constexpr std::string_view kAnthropicVersion = "2023-06-01";

struct GatewayOptions {
  RetryPolicy retry;
  std::size_t max_response_bytes = 16u << 20;
};

// A profile can be reached without further set-up: its key variable is set and not empty, or
// its endpoint is a loopback address (a local server needs no key).
bool has_usable_credential(const ProviderProfile& profile);

// A model may be asked: `live`, a configuration with a selected model (selected_model), and a
// usable credential for its profile.
bool available(const std::optional<ProviderConfig>& config, bool live);

class ModelGateway {
 public:
  explicit ModelGateway(std::optional<ProviderConfig> config, GatewayOptions options = {});

  const std::optional<ProviderConfig>& config() const { return config_; }

  // `available(config(), live)`.
  bool available(bool live) const;
  // The same for a given profile and model: both configured, and a usable credential.
  bool available(std::string_view profile_id, std::string_view model_id, bool live) const;

  // One turn: the response body in the messages-API shape, or why there is none.
  std::expected<std::string, ClientError> plan(std::string_view profile_id, std::string_view model_id,
                                               const Json& request, Duration remaining);

 private:
  std::optional<ProviderConfig> config_;
  GatewayOptions options_;
  HttpClient http_;
};

}  // namespace quern::gateway

// Why a model request did not produce a response body. `display()` is a readable sentence that
// the caller may show to people or put in a log line; it never holds a credential.
#pragma once

#include <optional>
#include <string>

namespace quern::gateway {

struct ClientError {
  enum class Kind {
    NotConfigured,  // no such profile or model in the configuration
    NoCredential,   // the profile's key variable is unset and the endpoint is not loopback
    BadRequest,     // the request could not be put into the provider's form
    NoTime,         // the time given was already spent
    Unreachable,    // connecting or transferring failed
    TimedOut,       // the service did not answer within the time given
    Busy,           // refused with 429, 503 or 529 until the time ran out
    Refused,        // any other non-success HTTP status
    BadResponse,    // a chat-completions answer that cannot be read, or one too large
  };

  Kind kind;
  std::string text;
  std::optional<long> status;  // the last HTTP status, when a response came

  const std::string& display() const { return text; }
};

}  // namespace quern::gateway

// One HTTP POST at a time over a reused curl handle, so that the turns of a conversation share
// a connection. Owned and called by one thread (the session's); curl's global state is set up
// once per process on first use. Every transfer, connecting included, ends within the timeout
// it is given.
#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/util/clock.h"

namespace quern::gateway {

struct HttpResponse {
  long status = 0;
  std::vector<std::pair<std::string, std::string>> headers;  // of the final response, as sent
  std::string body;

  // The first header of that name, compared without regard to case.
  std::optional<std::string_view> header(std::string_view name) const;
};

struct HttpFailure {
  bool timed_out = false;
  bool too_large = false;
  std::string text;  // curl's description; holds no header values
};

struct HttpRequest {
  std::string url;
  std::vector<std::string> headers;  // "name: value"
  std::string body;
  Duration timeout{};
  bool direct = false;  // bypass any proxy the environment names (loopback endpoints)
  std::size_t max_response_bytes = 16u << 20;
};

class HttpClient {
 public:
  HttpClient();
  ~HttpClient();
  HttpClient(HttpClient&&) noexcept;
  HttpClient& operator=(HttpClient&&) noexcept;

  // Precondition: `request.timeout` is at least one millisecond.
  std::expected<HttpResponse, HttpFailure> post(const HttpRequest& request);

 private:
  struct Handle;
  std::unique_ptr<Handle> handle_;
};

}  // namespace quern::gateway

// Provider endpoints: the base URLs a provider profile names ("https://api.example.com",
// "http://127.0.0.1:8080/v1"). These helpers parse them with curl's URL parser, so what is
// checked here is what the transfer later connects to. Pure functions; any thread may call them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quern::gateway {

// An "http" or "https" URL that parses and has a host.
bool is_http_endpoint(std::string_view url);

// An "http" or "https" URL without user name or password whose host is "localhost" (any case),
// an IPv4 address in 127.0.0.0/8 or the IPv6 loopback address. Numeric host forms are
// normalised first ("127.1", "[0:0:0:0:0:0:0:1]").
bool is_loopback_endpoint(std::string_view url);

// The URL of `api_path` ("/messages", "/chat/completions") under the endpoint's version
// prefix: "{endpoint}/v1{api_path}", or "{endpoint}{api_path}" when the endpoint's path already
// ends in "/v1". Trailing slashes of the endpoint's path are dropped; a query is kept.
// Nothing when the endpoint is not an http endpoint.
std::optional<std::string> api_url(std::string_view endpoint, std::string_view api_path);

// The endpoint as it may be shown in messages and logs: scheme, host, port and path, without
// user name, password, query or fragment (any of which may carry a secret).
std::string endpoint_for_display(std::string_view url);

// "host" or "host:port" of the endpoint; nothing when it does not parse.
std::optional<std::string> endpoint_authority(std::string_view url);

}  // namespace quern::gateway

#include "runtime/gateway/endpoint.h"

#include <arpa/inet.h>
#include <curl/curl.h>

#include <cstring>
#include <memory>

#include "runtime/util/unicode.h"

namespace quern::gateway {
namespace {

struct UrlDeleter {
  void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
using Url = std::unique_ptr<CURLU, UrlDeleter>;

std::optional<Url> parse(std::string_view text) {
  Url url(curl_url());
  if (!url) return std::nullopt;
  const std::string owned(text);
  if (owned.find_first_of(std::string_view("\0\r\n", 3)) != std::string::npos) return std::nullopt;
  if (curl_url_set(url.get(), CURLUPART_URL, owned.c_str(), 0) != CURLUE_OK) return std::nullopt;
  return url;
}

std::optional<std::string> part(const Url& url, CURLUPart which) {
  char* out = nullptr;
  if (curl_url_get(url.get(), which, &out, 0) != CURLUE_OK || out == nullptr) return std::nullopt;
  std::string value(out);
  curl_free(out);
  return value;
}

std::optional<Url> parse_http(std::string_view text) {
  auto url = parse(text);
  if (!url) return std::nullopt;
  const auto scheme = part(*url, CURLUPART_SCHEME);
  if (!scheme || (*scheme != "http" && *scheme != "https")) return std::nullopt;
  const auto host = part(*url, CURLUPART_HOST);
  if (!host || host->empty()) return std::nullopt;
  return url;
}

bool is_loopback_host(std::string host) {
  if (unicode::to_lower(host) == "localhost") return true;
  in_addr v4{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
    return (ntohl(v4.s_addr) >> 24) == 127;
  }
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
    in6_addr v6{};
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
      return std::memcmp(&v6, &in6addr_loopback, sizeof v6) == 0;
    }
  }
  return false;
}

}  // namespace

bool is_http_endpoint(std::string_view url) { return parse_http(url).has_value(); }

bool is_loopback_endpoint(std::string_view text) {
  const auto url = parse_http(text);
  if (!url) return false;
  if (part(*url, CURLUPART_USER) || part(*url, CURLUPART_PASSWORD)) return false;
  const auto host = part(*url, CURLUPART_HOST);
  return host && is_loopback_host(*host);
}

std::optional<std::string> api_url(std::string_view endpoint, std::string_view api_path) {
  auto url = parse_http(endpoint);
  if (!url) return std::nullopt;
  std::string path = part(*url, CURLUPART_PATH).value_or("/");
  while (!path.empty() && path.back() == '/') path.pop_back();
  if (!(path.size() >= 3 && path.compare(path.size() - 3, 3, "/v1") == 0)) path += "/v1";
  path += api_path;
  if (curl_url_set(url->get(), CURLUPART_PATH, path.c_str(), 0) != CURLUE_OK) return std::nullopt;
  curl_url_set(url->get(), CURLUPART_FRAGMENT, nullptr, 0);
  return part(*url, CURLUPART_URL);
}

std::string endpoint_for_display(std::string_view text) {
  auto url = parse(text);
  if (!url) return "(an endpoint that is not a URL)";
  for (CURLUPart p : {CURLUPART_USER, CURLUPART_PASSWORD, CURLUPART_OPTIONS, CURLUPART_QUERY, CURLUPART_FRAGMENT}) {
    curl_url_set(url->get(), p, nullptr, 0);
  }
  return part(*url, CURLUPART_URL).value_or("(an endpoint that is not a URL)");
}

std::optional<std::string> endpoint_authority(std::string_view text) {
  const auto url = parse(text);
  if (!url) return std::nullopt;
  auto host = part(*url, CURLUPART_HOST);
  if (!host || host->empty()) return std::nullopt;
  if (const auto port = part(*url, CURLUPART_PORT)) *host += ":" + *port;
  return host;
}

}  // namespace quern::gateway

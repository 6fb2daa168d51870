#include "runtime/gateway/http_client.h"

#include <curl/curl.h>

#include <algorithm>
#include <mutex>

namespace quern::gateway {
namespace {

void init_curl_once() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return (x >= 'A' && x <= 'Z' ? x + 32 : x) == (y >= 'A' && y <= 'Z' ? y + 32 : y);
         });
}

std::string_view trim_ows(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

struct Transfer {
  HttpResponse response;
  std::size_t max_bytes = 0;
  bool too_large = false;
};

size_t on_body(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const size_t n = size * count;
  if (t->response.body.size() + n > t->max_bytes) {
    t->too_large = true;
    return 0;
  }
  t->response.body.append(data, n);
  return n;
}

size_t on_header(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const size_t n = size * count;
  const std::string_view line(data, n);
  if (line.starts_with("HTTP/")) {
    t->response.headers.clear();  // a new response begins (after an interim one)
    return n;
  }
  const auto colon = line.find(':');
  if (colon == std::string_view::npos) return n;
  t->response.headers.emplace_back(std::string(trim_ows(line.substr(0, colon))),
                                   std::string(trim_ows(line.substr(colon + 1))));
  return n;
}

struct HeaderList {
  curl_slist* list = nullptr;
  ~HeaderList() { curl_slist_free_all(list); }
};

}  // namespace

std::optional<std::string_view> HttpResponse::header(std::string_view name) const {
  for (const auto& [k, v] : headers) {
    if (iequals(k, name)) return v;
  }
  return std::nullopt;
}

struct HttpClient::Handle {
  CURL* curl = nullptr;
  ~Handle() {
    if (curl != nullptr) curl_easy_cleanup(curl);
  }
};

HttpClient::HttpClient() : handle_(std::make_unique<Handle>()) { init_curl_once(); }

HttpClient::~HttpClient() = default;
HttpClient::HttpClient(HttpClient&&) noexcept = default;
HttpClient& HttpClient::operator=(HttpClient&&) noexcept = default;

std::expected<HttpResponse, HttpFailure> HttpClient::post(const HttpRequest& request) {
  if (!handle_) handle_ = std::make_unique<Handle>();  // moved from
  if (handle_->curl == nullptr) handle_->curl = curl_easy_init();
  CURL* curl = handle_->curl;
  if (curl == nullptr) return std::unexpected(HttpFailure{false, false, "could not start an HTTP transfer"});
  curl_easy_reset(curl);  // keeps the connection cache

  const long timeout_ms = std::max<long>(
      1, static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(request.timeout).count()));
  Transfer transfer;
  transfer.max_bytes = request.max_response_bytes;
  HeaderList headers;
  for (const auto& h : request.headers) headers.list = curl_slist_append(headers.list, h.c_str());
  // No "Expect: 100-continue" round trip for large bodies.
  headers.list = curl_slist_append(headers.list, "Expect:");
  char error_buffer[CURL_ERROR_SIZE] = {0};

  curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.list);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeout_ms);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, timeout_ms);
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "quern-gateway/0.1");
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_buffer);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_body);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, on_header);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
  if (request.direct) curl_easy_setopt(curl, CURLOPT_PROXY, "");

  const CURLcode rc = curl_easy_perform(curl);
  // The header list dies with this call; leave no dangling pointer in the handle.
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
  if (rc != CURLE_OK) {
    HttpFailure f;
    f.timed_out = rc == CURLE_OPERATION_TIMEDOUT;
    f.too_large = transfer.too_large;
    f.text = error_buffer[0] != '\0' ? std::string(error_buffer) : std::string(curl_easy_strerror(rc));
    return std::unexpected(std::move(f));
  }
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &transfer.response.status);
  return std::move(transfer.response);
}

}  // namespace quern::gateway

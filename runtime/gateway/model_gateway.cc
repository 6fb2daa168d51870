#include "runtime/gateway/model_gateway.h"

#include <cstdlib>

#include "runtime/gateway/chat_completions.h"
#include "runtime/gateway/endpoint.h"
#include "runtime/util/log.h"
#include "runtime/util/quote.h"
#include "runtime/util/unicode.h"

namespace quern::gateway {
namespace {

constexpr std::size_t kMaxDetailChars = 300;

std::optional<std::string> key_of(const ProviderProfile& profile) {
  if (!profile.api_key_env) return std::nullopt;
  const char* v = std::getenv(profile.api_key_env->c_str());
  if (v == nullptr || *v == '\0') return std::nullopt;
  return std::string(v);
}

std::int64_t whole_ms(Duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); }

ClientError error(ClientError::Kind kind, std::string text, std::optional<long> status = std::nullopt) {
  return ClientError{kind, std::move(text), status};
}

// The service's own explanation in an error body ({"error": {"message": ...}} in both APIs).
std::string detail_of(std::string_view body) {
  auto parsed = parse_json(body);
  if (!parsed) return {};
  std::optional<std::string> message;
  if (const Json* e = member(*parsed, "error")) {
    message = e->is_string() ? std::optional(e->get<std::string>()) : string_member(*e, "message");
  }
  if (!message) message = string_member(*parsed, "message");
  if (!message) return {};
  const std::string_view trimmed = unicode::trim(*message);
  std::string out(unicode::first_chars(trimmed, kMaxDetailChars));
  const bool cut = out.size() < trimmed.size();
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';  // one line, whatever the service sent
  }
  if (cut) out += "…";
  return out;
}

void redact(std::string& text, const std::optional<std::string>& key) {
  if (!key || key->empty()) return;
  for (std::size_t at = text.find(*key); at != std::string::npos; at = text.find(*key, at)) {
    text.replace(at, key->size(), "[redacted]");
    at += 10;
  }
}

std::optional<Duration> retry_after_of(const HttpResponse& response) {
  if (auto ms = response.header("retry-after-ms")) {
    if (auto d = parse_retry_after(*ms, system_clock().wall_now())) return *d / 1000;
  }
  if (auto value = response.header("retry-after")) return parse_retry_after(*value, system_clock().wall_now());
  return std::nullopt;
}

}  // namespace

bool has_usable_credential(const ProviderProfile& profile) {
  return key_of(profile).has_value() || is_loopback_endpoint(profile.endpoint);
}

bool available(const std::optional<ProviderConfig>& config, bool live) {
  if (!live || !config) return false;
  const auto choice = selected_model(*config);
  return choice && has_usable_credential(*choice->profile);
}

ModelGateway::ModelGateway(std::optional<ProviderConfig> config, GatewayOptions options)
    : config_(std::move(config)), options_(options) {}

bool ModelGateway::available(bool live) const { return gateway::available(config_, live); }

bool ModelGateway::available(std::string_view profile_id, std::string_view model_id, bool live) const {
  if (!live || !config_) return false;
  const ProviderProfile* profile = config_->profile(profile_id);
  return profile != nullptr && profile->model(model_id) != nullptr && has_usable_credential(*profile);
}

std::expected<std::string, ClientError> ModelGateway::plan(std::string_view profile_id, std::string_view model_id,
                                                           const Json& request, Duration remaining) {
  using Kind = ClientError::Kind;
  Clock& clock = system_clock();
  const Instant deadline = clock.now() + remaining;

  if (!config_) return std::unexpected(error(Kind::NotConfigured, "no model provider is configured"));
  const ProviderProfile* profile = config_->profile(profile_id);
  if (profile == nullptr) {
    return std::unexpected(
        error(Kind::NotConfigured, "no provider profile " + quote_escaped(profile_id) + " is configured"));
  }
  if (profile->model(model_id) == nullptr) {
    return std::unexpected(error(
        Kind::NotConfigured,
        "the model " + quote_escaped(model_id) + " is not listed in provider profile " + quote_escaped(profile->id)));
  }
  const std::optional<std::string> key = key_of(*profile);
  const bool loopback = is_loopback_endpoint(profile->endpoint);
  if (!key && !loopback) {
    return std::unexpected(error(
        Kind::NoCredential,
        profile->api_key_env ? "the key variable " + *profile->api_key_env + " of provider profile " +
                                   quote_escaped(profile->id) + " is not set"
                             : "provider profile " + quote_escaped(profile->id) +
                                   " names no key variable (api_key_env) and its endpoint is not a loopback address"));
  }

  const std::string shown_endpoint = endpoint_for_display(profile->endpoint);
  HttpRequest http;
  http.direct = loopback;
  http.max_response_bytes = options_.max_response_bytes;
  http.headers.push_back("content-type: application/json");
  http.headers.push_back("accept: application/json");
  const bool openai = profile->kind == ProviderKind::OpenAi;
  const auto url = api_url(profile->endpoint, openai ? "/chat/completions" : "/messages");
  if (!url) {
    return std::unexpected(error(Kind::NotConfigured, "the endpoint " + shown_endpoint + " of provider profile " +
                                                          quote_escaped(profile->id) + " is not an http or https URL"));
  }
  http.url = *url;
  if (openai) {
    auto translated = to_chat_completions(request, model_id);
    if (!translated) {
      return std::unexpected(error(
          Kind::BadRequest, "could not put the request into chat-completions form: " + translated.error().message()));
    }
    http.body = dump_json(*translated);
    if (key) http.headers.push_back("authorization: Bearer " + *key);
  } else {
    http.body = dump_json(request);
    http.headers.push_back("anthropic-version: " + std::string(kAnthropicVersion));
    if (key) http.headers.push_back("x-api-key: " + *key);
  }

  auto failed = [&](ClientError e) -> std::unexpected<ClientError> {
    redact(e.text, key);
    return std::unexpected(std::move(e));
  };

  int attempts = 0;
  int refusals = 0;
  std::optional<ClientError> last_refusal;
  while (true) {
    const Duration left = deadline - clock.now();
    if (left < millis(1)) {
      if (last_refusal) return failed(std::move(*last_refusal));
      return failed(error(Kind::NoTime, "no time was left for the model request"));
    }
    http.timeout = left;
    ++attempts;
    const Instant sent = clock.now();
    auto response = http_.post(http);
    if (!response) {
      const HttpFailure& f = response.error();
      log::debug(kLogTarget, "a model request failed",
                 {{"profile", profile->id}, {"attempt", attempts}, {"elapsed_ms", whole_ms(clock.now() - sent)}});
      if (f.too_large) {
        return failed(error(Kind::BadResponse, "the model response was larger than " +
                                                   std::to_string(options_.max_response_bytes) + " bytes"));
      }
      if (f.timed_out) {
        return failed(error(Kind::TimedOut, "the model service at " + shown_endpoint + " did not answer within the " +
                                                std::to_string(whole_ms(remaining)) + " ms given"));
      }
      return failed(error(Kind::Unreachable, "could not reach the model service at " + shown_endpoint + ": " + f.text));
    }
    const long status = response->status;
    log::debug(kLogTarget, "sent a model request",
               {{"profile", profile->id},
                {"kind", kind_name(profile->kind)},
                {"attempt", attempts},
                {"status", static_cast<std::int64_t>(status)},
                {"elapsed_ms", whole_ms(clock.now() - sent)},
                {"request_bytes", http.body.size()},
                {"response_bytes", response->body.size()}});

    if (is_retryable_status(status)) {
      ++refusals;
      std::string text = "the model service was busy (HTTP " + std::to_string(status) +
                         ") and the time ran out after " + std::to_string(attempts) +
                         (attempts == 1 ? " attempt" : " attempts");
      if (const std::string detail = detail_of(response->body); !detail.empty()) text += ": " + detail;
      last_refusal = error(Kind::Busy, std::move(text), status);
      const auto wait = retry_wait(options_.retry, refusals, retry_after_of(*response), deadline - clock.now());
      if (!wait) return failed(std::move(*last_refusal));
      log::info(kLogTarget, "the model service is busy; asking again",
                {{"profile", profile->id},
                 {"status", static_cast<std::int64_t>(status)},
                 {"attempt", attempts},
                 {"wait_ms", whole_ms(*wait)}});
      clock.sleep_for(*wait);
      continue;
    }
    if (status < 200 || status >= 300) {
      std::string text = "the model service refused the request (HTTP " + std::to_string(status) + ")";
      if (const std::string detail = detail_of(response->body); !detail.empty()) text += ": " + detail;
      return failed(error(Kind::Refused, std::move(text), status));
    }
    if (!openai) return std::move(response->body);
    auto translated = from_chat_completions(response->body);
    if (!translated) return failed(error(Kind::BadResponse, translated.error().message(), status));
    return dump_json(*translated);
  }
}

}  // namespace quern::gateway

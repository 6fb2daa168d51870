#include "runtime/gateway/model_gateway.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "runtime/gateway/chat_completions.h"
#include "runtime/util/log.h"
#include "tests/runtime/gateway/env_guard.h"
#include "tests/support/scripted_http_server.h"

namespace quern::gateway {
namespace {

using quern::test::RecordedRequest;
using quern::test::ScriptedHttpServer;
using quern::test::ScriptedResponse;
using std::chrono::milliseconds;
using std::chrono::steady_clock;
using test::EnvGuard;

constexpr const char* kKeyVariable = "QUERN_TEST_GATEWAY_KEY";
constexpr const char* kKey = "sk-test-5ecret-value-0123456789";

ProviderConfig config_for(std::string_view kind, const std::string& endpoint, bool with_key_variable = true) {
  std::string text = "[profiles.p]\nkind = \"" + std::string(kind) + "\"\nendpoint = \"" + endpoint +
                     "\"\nselected_model = \"m1\"\naction_discovery = true\n";
  if (with_key_variable) text += "api_key_env = \"" + std::string(kKeyVariable) + "\"\n";
  text += "[[profiles.p.models]]\nid = \"m1\"\n";
  auto parsed = ProviderConfig::parse(text);
  EXPECT_TRUE(parsed) << parsed.error().to_string();
  return parsed ? *parsed : ProviderConfig{};
}

// A short retry schedule keeps the busy-server cases quick.
GatewayOptions quick_retries() {
  GatewayOptions o;
  o.retry.first_wait = millis(40);
  o.retry.max_wait = millis(160);
  o.retry.min_attempt = millis(30);
  return o;
}

Json first_turn() {
  return Json::parse(R"({"model":"m1","max_tokens":4096,"system":"Discover before planning.",
    "tools":[{"name":"list_operations","description":"Lists operations.","input_schema":{"type":"object","properties":{}}}],
    "messages":[{"role":"user","content":"The shared document as it stands:\n\n1. paragraph: Claude: add a table\n"}]})");
}

const char* kMessagesAnswer =
    R"({"id":"msg_1","type":"message","role":"assistant","content":[{"type":"text","text":"Looking."},)"
    R"({"type":"tool_use","id":"toolu_1","name":"list_operations","input":{}}],"stop_reason":"tool_use"})";

class ModelGatewayTest : public ::testing::Test {
 protected:
  void SetUp() override { env_.set(kKeyVariable, kKey); }
  EnvGuard env_;
};

TEST_F(ModelGatewayTest, MessagesApiGetsTheRequestUnchangedWithItsHeaders) {
  ScriptedHttpServer server({ScriptedResponse::json(kMessagesAnswer)});
  ModelGateway gateway(config_for("anthropic", server.url() + "/"));
  const Json request = first_turn();

  auto body = gateway.plan("p", "m1", request, millis(5000));
  ASSERT_TRUE(body) << body.error().display();
  EXPECT_EQ(*body, kMessagesAnswer) << "the answer is handed back as it came";

  ASSERT_EQ(server.request_count(), 1u);
  const RecordedRequest r = server.request(0);
  EXPECT_EQ(r.method, "POST");
  EXPECT_EQ(r.path, "/v1/messages");
  EXPECT_EQ(r.header("x-api-key"), kKey);
  EXPECT_EQ(r.header("anthropic-version"), "2023-06-01");
  EXPECT_EQ(r.header("content-type"), "application/json");
  EXPECT_EQ(r.header("authorization"), std::nullopt);
  EXPECT_EQ(r.header("expect"), std::nullopt);
  EXPECT_EQ(r.body, dump_json(request)) << "byte for byte, members in the order built";
}

TEST_F(ModelGatewayTest, ChatCompletionsToolUseRoundTrip) {
  ScriptedHttpServer server({
      ScriptedResponse::json(
          R"({"id":"c1","model":"m1","choices":[{"index":0,"finish_reason":"tool_calls",)"
          R"("message":{"role":"assistant","content":null,"tool_calls":[{"id":"call_9","type":"function",)"
          R"("function":{"name":"list_operations","arguments":"{\"app\":\"word-processor\"}"}}]}}]})"),
      ScriptedResponse::json(R"({"id":"c2","model":"m1","choices":[{"index":0,"finish_reason":"stop",)"
                             R"("message":{"role":"assistant","content":"Planned."}}]})"),
  });
  ModelGateway gateway(config_for("openai", server.url() + "/v1"));

  // Turn 1: the answer comes back in the messages shape.
  Json request = first_turn();
  auto first = gateway.plan("p", "m1", request, millis(5000));
  ASSERT_TRUE(first) << first.error().display();
  const Json answer = Json::parse(*first);
  EXPECT_EQ(dump_json(answer["content"]),
            R"([{"type":"tool_use","id":"call_9","name":"list_operations","input":{"app":"word-processor"}}])");
  EXPECT_EQ(answer["stop_reason"], "tool_use");

  // Turn 2: the assistant content is echoed and the tool result follows, as a conversation does.
  request["messages"].push_back(Json{{"role", "assistant"}, {"content", answer["content"]}});
  request["messages"].push_back(
      Json{{"role", "user"},
           {"content",
            Json::array({Json{{"type", "tool_result"}, {"tool_use_id", "call_9"}, {"content", "1 operation"}}})}});
  auto second = gateway.plan("p", "m1", request, millis(5000));
  ASSERT_TRUE(second) << second.error().display();
  EXPECT_EQ(Json::parse(*second)["content"], Json::parse(R"([{"type":"text","text":"Planned."}])"));

  ASSERT_EQ(server.request_count(), 2u);
  for (const auto& r : server.requests()) {
    EXPECT_EQ(r.path, "/v1/chat/completions");
    EXPECT_EQ(r.header("authorization"), std::string("Bearer ") + kKey);
    EXPECT_EQ(r.header("x-api-key"), std::nullopt);
    EXPECT_EQ(r.connection, 1u) << "the turns share one connection";
  }
  EXPECT_EQ(server.request(1).json(), Json::parse(R"({
    "model": "m1", "max_tokens": 4096,
    "messages": [
      {"role": "system", "content": "Discover before planning."},
      {"role": "user", "content": "The shared document as it stands:\n\n1. paragraph: Claude: add a table\n"},
      {"role": "assistant", "content": null, "tool_calls": [{"id": "call_9", "type": "function",
        "function": {"name": "list_operations", "arguments": "{\"app\":\"word-processor\"}"}}]},
      {"role": "tool", "tool_call_id": "call_9", "content": "1 operation"}
    ],
    "tools": [{"type": "function", "function": {"name": "list_operations", "description": "Lists operations.",
      "parameters": {"type": "object", "properties": {}}}}]
  })"));
}

TEST_F(ModelGatewayTest, LocalServerNeedsNoKey) {
  env_.set(kKeyVariable, std::nullopt);
  ScriptedHttpServer server({ScriptedResponse::json(R"({"choices":[{"message":{"content":"hi"}}]})")});
  ModelGateway gateway(config_for("openai", server.url()));
  ASSERT_TRUE(gateway.available(true));
  auto body = gateway.plan("p", "m1", first_turn(), millis(5000));
  ASSERT_TRUE(body) << body.error().display();
  EXPECT_EQ(server.request(0).header("authorization"), std::nullopt);
}

TEST_F(ModelGatewayTest, BusyThenSuccessWithinTheDeadline) {
  for (int status : {529, 503, 429}) {
    ScriptedHttpServer server({
        ScriptedResponse::json(R"({"type":"error","error":{"type":"overloaded_error","message":"Overloaded"}})",
                               status),
        ScriptedResponse::json(kMessagesAnswer),
    });
    ModelGateway gateway(config_for("anthropic", server.url()), quick_retries());
    log::Capture capture("info");
    auto body = gateway.plan("p", "m1", first_turn(), millis(3000));
    ASSERT_TRUE(body) << status << ": " << body.error().display();
    EXPECT_EQ(*body, kMessagesAnswer);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].body, requests[1].body);
    EXPECT_GE(requests[1].received - requests[0].received, milliseconds(40)) << "waited before asking again";
    EXPECT_TRUE(
        capture.contains("the model service is busy; asking again profile=\"p\" status=" + std::to_string(status)))
        << capture.text();
  }
}

TEST_F(ModelGatewayTest, BusyUntilTheDeadlineFailsWithoutAskingPastIt) {
  ScriptedHttpServer server;
  server.set_fallback(
      ScriptedResponse::json(R"({"type":"error","error":{"type":"overloaded_error","message":"Overloaded"}})", 529));
  ModelGateway gateway(config_for("anthropic", server.url()), quick_retries());
  const auto start = steady_clock::now();
  const auto deadline = start + milliseconds(600);
  auto body = gateway.plan("p", "m1", first_turn(), millis(600));
  const auto returned = steady_clock::now();

  ASSERT_FALSE(body);
  EXPECT_EQ(body.error().kind, ClientError::Kind::Busy);
  EXPECT_EQ(body.error().status, 529);
  const auto requests = server.requests();
  ASSERT_GE(requests.size(), 3u) << "retried while time was left";
  EXPECT_EQ(body.error().display(), "the model service was busy (HTTP 529) and the time ran out after " +
                                        std::to_string(requests.size()) + " attempts: Overloaded");
  for (const auto& r : requests) EXPECT_LT(r.received, deadline) << "no request is made past the deadline";
  EXPECT_LT(returned, deadline + milliseconds(500)) << "the gateway never waits long past its deadline";
}

TEST_F(ModelGatewayTest, RetryAfterIsHonouredWhenItFitsAndIgnoredWhenItDoesNot) {
  struct Case {
    const char* header;
    const char* value;
    std::uint64_t remaining_ms;
    milliseconds at_least, below;
  };
  for (auto c : {
           Case{"retry-after", "1", 3000, milliseconds(1000), milliseconds(3000)},
           Case{"retry-after-ms", "300", 3000, milliseconds(300), milliseconds(3000)},
           Case{"retry-after", "30", 1500, milliseconds(40), milliseconds(1000)},  // does not fit: own backoff
       }) {
    ScriptedHttpServer server({
        ScriptedResponse::json(R"({"error":{"message":"slow down"}})", 429).with_header(c.header, c.value),
        ScriptedResponse::json(kMessagesAnswer),
    });
    ModelGateway gateway(config_for("anthropic", server.url()), quick_retries());
    auto body = gateway.plan("p", "m1", first_turn(), millis(c.remaining_ms));
    ASSERT_TRUE(body) << c.header << ": " << c.value << ": " << body.error().display();
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    const auto gap = requests[1].received - requests[0].received;
    EXPECT_GE(gap, c.at_least) << c.header << ": " << c.value;
    EXPECT_LT(gap, c.below) << c.header << ": " << c.value;
  }
}

TEST_F(ModelGatewayTest, TransportFailuresAreReadable) {
  // A port where nothing listens: bind one, then close it.
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  const std::string refused_url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
  ::close(fd);
  {
    ModelGateway gateway(config_for("anthropic", refused_url), quick_retries());
    auto body = gateway.plan("p", "m1", first_turn(), millis(2000));
    ASSERT_FALSE(body);
    EXPECT_EQ(body.error().kind, ClientError::Kind::Unreachable);
    EXPECT_TRUE(body.error().display().starts_with("could not reach the model service at " + refused_url + "/: "))
        << body.error().display();
  }
  {
    ScriptedHttpServer server({ScriptedResponse::json(kMessagesAnswer).after(milliseconds(5000))});
    ModelGateway gateway(config_for("anthropic", server.url()), quick_retries());
    const auto start = steady_clock::now();
    auto body = gateway.plan("p", "m1", first_turn(), millis(300));
    ASSERT_FALSE(body);
    EXPECT_EQ(body.error().kind, ClientError::Kind::TimedOut);
    EXPECT_EQ(body.error().display(),
              "the model service at " + server.url() + "/ did not answer within the 300 ms given");
    EXPECT_LT(steady_clock::now() - start, milliseconds(2000));
    EXPECT_EQ(server.request_count(), 1u);
  }
  {
    ScriptedHttpServer server({ScriptedResponse::hang_up_after_request()});
    ModelGateway gateway(config_for("anthropic", server.url()), quick_retries());
    auto body = gateway.plan("p", "m1", first_turn(), millis(2000));
    ASSERT_FALSE(body);
    EXPECT_EQ(body.error().kind, ClientError::Kind::Unreachable) << body.error().display();
  }
}

TEST_F(ModelGatewayTest, RefusalsAndBadAnswersAreNotRetried) {
  struct Case {
    const char* kind;
    ScriptedResponse response;
    ClientError::Kind want_kind;
    std::string want_text;
  };
  const std::string big(2000, 'x');
  for (auto& c : std::vector<Case>{
           {"anthropic",
            ScriptedResponse::json(
                R"({"type":"error","error":{"type":"invalid_request_error","message":"max_tokens: too large"}})", 400),
            ClientError::Kind::Refused, "the model service refused the request (HTTP 400): max_tokens: too large"},
           {"anthropic", ScriptedResponse::json(R"({"error":{"message":"line one\nline two\u001b[31m"}})", 403),
            ClientError::Kind::Refused, "the model service refused the request (HTTP 403): line one line two [31m"},
           {"anthropic", ScriptedResponse::json(R"({"error":{"message":")" + std::string(400, 'y') + "\"}}", 404),
            ClientError::Kind::Refused,
            "the model service refused the request (HTTP 404): " + std::string(300, 'y') + "…"},
           {"anthropic", ScriptedResponse::json("<html>bad gateway</html>", 502), ClientError::Kind::Refused,
            "the model service refused the request (HTTP 502)"},
           {"openai", ScriptedResponse::json(R"({"choices":[]})"), ClientError::Kind::BadResponse,
            "chat-completions response had no choices"},
           {"openai", ScriptedResponse::json("{\"choices\": [", 200), ClientError::Kind::BadResponse,
            "unreadable chat-completions response: "},
           {"anthropic", ScriptedResponse::json(big), ClientError::Kind::BadResponse,
            "the model response was larger than 1024 bytes"},
       }) {
    ScriptedHttpServer server({std::move(c.response)});
    GatewayOptions options = quick_retries();
    options.max_response_bytes = 1024;
    ModelGateway gateway(config_for(c.kind, server.url()), options);
    auto body = gateway.plan("p", "m1", first_turn(), millis(2000));
    ASSERT_FALSE(body) << c.want_text;
    EXPECT_EQ(body.error().kind, c.want_kind) << body.error().display();
    EXPECT_TRUE(body.error().display().starts_with(c.want_text)) << body.error().display();
    EXPECT_EQ(server.request_count(), 1u) << c.want_text;
  }
}

TEST_F(ModelGatewayTest, TheKeyNeverAppearsInErrorsOrLogs) {
  ScriptedHttpServer server({ScriptedResponse::json(
      std::string(R"({"error":{"type":"authentication_error","message":"invalid x-api-key: )") + kKey + "\"}}", 401)});
  log::Capture capture("trace");
  ModelGateway gateway(config_for("anthropic", server.url()), quick_retries());
  auto body = gateway.plan("p", "m1", first_turn(), millis(2000));
  ASSERT_FALSE(body);
  EXPECT_EQ(body.error().display(), "the model service refused the request (HTTP 401): invalid x-api-key: [redacted]");
  EXPECT_EQ(capture.text().find(kKey), std::string::npos) << capture.text();
  EXPECT_FALSE(capture.text().empty()) << "the request itself is logged (at debug)";
}

TEST_F(ModelGatewayTest, FailsBeforeAnyRequestWhenItCannotAsk) {
  env_.set(kKeyVariable, std::nullopt);
  ScriptedHttpServer server;
  struct Case {
    std::string name;
    std::optional<ProviderConfig> config;
    std::string profile, model;
    std::uint64_t remaining_ms;
    ClientError::Kind want_kind;
    std::string want_text;
  };
  for (const auto& c : std::vector<Case>{
           {"no configuration", std::nullopt, "p", "m1", 1000, ClientError::Kind::NotConfigured,
            "no model provider is configured"},
           {"unknown profile", config_for("anthropic", server.url()), "q", "m1", 1000, ClientError::Kind::NotConfigured,
            "no provider profile \"q\" is configured"},
           {"unlisted model", config_for("anthropic", server.url()), "p", "m2", 1000, ClientError::Kind::NotConfigured,
            "the model \"m2\" is not listed in provider profile \"p\""},
           {"no key for a hosted service", config_for("anthropic", "https://models.invalid"), "p", "m1", 1000,
            ClientError::Kind::NoCredential,
            "the key variable QUERN_TEST_GATEWAY_KEY of provider profile \"p\" is not set"},
           {"no key variable for a hosted service", config_for("openai", "https://models.invalid", false), "p", "m1",
            1000, ClientError::Kind::NoCredential,
            "provider profile \"p\" names no key variable (api_key_env) and its endpoint is not a loopback address"},
           {"no time", config_for("anthropic", server.url()), "p", "m1", 0, ClientError::Kind::NoTime,
            "no time was left for the model request"},
       }) {
    ModelGateway gateway(c.config);
    auto body = gateway.plan(c.profile, c.model, first_turn(), millis(c.remaining_ms));
    ASSERT_FALSE(body) << c.name;
    EXPECT_EQ(body.error().kind, c.want_kind) << c.name;
    EXPECT_EQ(body.error().display(), c.want_text) << c.name;
  }
  EXPECT_EQ(server.request_count(), 0u);
}

}  // namespace
}  // namespace quern::gateway

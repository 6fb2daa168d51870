// A scripted HTTP/1.1 server on 127.0.0.1 for tests that talk to the outside world (a model
// provider): it answers requests with a script of responses, in order, and records every
// request it got so the test can compare them byte for byte.
//
//   ScriptedHttpServer server({ScriptedResponse::json(R"({"content": []})"),
//                              ScriptedResponse::json(R"({"error": {}})", 529).with_header("retry-after", "1")});
//   ... point the client at server.url() ...
//   EXPECT_EQ(server.request(0).path, "/v1/messages");
//   EXPECT_EQ(server.request(0).body, expected_body);
//
// The server listens on an ephemeral port from construction and serves on its own threads (one
// for accepting, one per connection; connections are kept alive) until destruction, which also
// cuts short any scripted delay. When the script runs out, every further request gets the
// fallback response (500 with a JSON error by default). All methods may be called from the test's
// thread while the server runs.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/util/json.h"

namespace quern::test {

struct ScriptedResponse {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;  // written as given, in order
  std::string body;
  std::chrono::milliseconds delay{0};  // waited after the request arrived, before answering
  bool close = false;                  // close the connection after this answer
  bool hang_up = false;                // close the connection without any answer

  // A body with "content-type: application/json".
  static ScriptedResponse json(std::string body, int status = 200);
  static ScriptedResponse json_value(const Json& body, int status = 200);
  // Closes the connection as soon as the request has arrived.
  static ScriptedResponse hang_up_after_request();

  ScriptedResponse with_header(std::string name, std::string value) &&;
  ScriptedResponse after(std::chrono::milliseconds wait) &&;
};

struct RecordedRequest {
  std::string method;
  std::string path;                                          // the request target as sent, query included
  std::string version;                                       // "HTTP/1.1"
  std::vector<std::pair<std::string, std::string>> headers;  // in order, names as sent
  std::string body;                                          // de-chunked when it was chunked
  std::chrono::steady_clock::time_point received;            // when its last byte arrived
  std::size_t connection = 0;                                // 1 for the first connection accepted, ...

  // The first header of that name, compared without regard to case.
  std::optional<std::string> header(std::string_view name) const;
  // The body parsed as JSON; a JSON null (and a test failure) when it does not parse.
  Json json() const;
};

class ScriptedHttpServer {
 public:
  explicit ScriptedHttpServer(std::vector<ScriptedResponse> script = {});
  ~ScriptedHttpServer();
  ScriptedHttpServer(const ScriptedHttpServer&) = delete;
  ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

  // Appends to the script.
  void push(ScriptedResponse response);
  void set_fallback(ScriptedResponse response);

  std::uint16_t port() const;
  // "http://127.0.0.1:{port}"
  std::string url() const;

  std::vector<RecordedRequest> requests() const;
  std::size_t request_count() const;
  // The i-th request (from 0); a test failure and an empty request when there is none.
  RecordedRequest request(std::size_t i) const;
  // Waits until at least `n` requests arrived; false when the timeout passed first.
  bool wait_for_requests(std::size_t n, std::chrono::milliseconds timeout) const;
  std::size_t connections_accepted() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace quern::test

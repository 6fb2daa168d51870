// A real `quern-room serve` process for tests, and two kinds of participant to talk to it: a
// `Member` speaks through the collaboration client, a `RawClient` writes frames (or garbage) by
// hand.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "runtime/collab/collaboration_manager.h"
#include "runtime/collab/frame.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace quern::room::test {

using namespace std::chrono_literals;

inline constexpr const char* kRoomA = "9b2f6c1e-4a7d-4f3e-8c1a-2d5e6f708192";
inline constexpr const char* kRoomB = "0c3d8e55-1f2a-4b6c-9d7e-8f9a0b1c2d3e";

class BrokerProcess {
 public:
  explicit BrokerProcess(std::vector<std::string> extra_args = {});
  const std::string& socket() const { return socket_; }
  // What the broker logged so far.
  std::string log() { return child_->err(); }
  bool log_contains(const std::string& text, std::chrono::milliseconds timeout = 3s) {
    return child_->wait_for_stderr(text, timeout);
  }

 private:
  quern::test::TempDir dir_;
  std::string socket_;
  std::optional<quern::test::Child> child_;
};

class Member {
 public:
  // Connects, joins the room of `route` and waits until the broker confirms the join (an agent's
  // first catalogue is taken too).
  static Member join(const std::string& socket, const std::string& name, const std::string& kind,
                     const collab::Route& route);

  collab::CollaborationManager& client() { return client_; }
  const collab::Sender& identity() const { return client_.identity(); }
  std::uint64_t number() const { return identity().participant; }

  // The next event of type T, keeping the others for `until`; fails the test after `timeout`.
  template <typename T>
  T expect(std::chrono::milliseconds timeout = 3s) {
    auto e = next_matching([](const collab::CollabEvent& e) { return e.is<T>(); }, timeout);
    if (!e) return T{};
    return std::get<T>(e->body);
  }
  // The whole event of the next frame of type T.
  template <typename T>
  std::optional<collab::CollabEvent> expect_event(std::chrono::milliseconds timeout = 3s) {
    return next_matching([](const collab::CollabEvent& e) { return e.is<T>(); }, timeout);
  }
  // Every event that arrives before the first one `fence` accepts (which is consumed).
  std::vector<collab::CollabEvent> until(const std::function<bool(const collab::CollabEvent&)>& fence,
                                         std::chrono::milliseconds timeout = 3s);
  // Events received so far without waiting.
  std::vector<collab::CollabEvent> drain();

 private:
  explicit Member(collab::CollaborationManager client) : client_(std::move(client)) {}
  std::optional<collab::CollabEvent> next_matching(const std::function<bool(const collab::CollabEvent&)>& match,
                                                   std::chrono::milliseconds timeout);
  bool pump(std::chrono::milliseconds timeout);

  collab::CollaborationManager client_;
  std::deque<collab::CollabEvent> backlog_;
};

// A fence frame: an invocation announcement (delivered to the whole room) with a marker id that
// no other test frame uses. What a member receives before the fence, the broker routed before it.
collab::InvocationAnnounced fence_frame(const std::string& marker);
std::function<bool(const collab::CollabEvent&)> is_fence(const std::string& marker);

template <typename T>
bool any_of(const std::vector<collab::CollabEvent>& events) {
  for (const auto& e : events) {
    if (e.is<T>()) return true;
  }
  return false;
}

class RawClient {
 public:
  explicit RawClient(const std::string& socket);
  // Says hello and reads the welcome (or the refusal) back.
  collab::Message hello(const collab::Hello& hello);
  void join(const std::string& room);
  // The next frame the broker sends.
  collab::Message next();
  void send(const collab::Delivery& d);
  void write(const std::string& bytes);
  void close() { fd_.reset(); }
  // Whether the broker closes this connection within the timeout (frames it sends first are read
  // and ignored).
  bool closed_by_broker(std::chrono::milliseconds timeout = 3s);

 private:
  collab::UniqueFd fd_;
  collab::FrameReader reader_;
  std::vector<collab::RawFrame> pending_;
};

}  // namespace quern::room::test

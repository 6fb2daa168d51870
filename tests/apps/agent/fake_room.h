// Test doubles for the agent's platform: a clock that records every sleep (and moves only by
// them), and a room whose events arrive at scripted times on that clock.
#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "apps/agent/src/platform/clock.h"
#include "apps/agent/src/platform/room_client.h"
#include "apps/agent/src/session.h"

namespace quern::agent::test {

class RecordingClock final : public Clock {
 public:
  Instant now() const override { return clock_.now(); }
  WallTime wall_now() const override { return clock_.wall_now(); }
  void sleep_for(Duration d) override {
    sleeps.push_back(d);
    clock_.advance(d);
  }
  Instant start() const { return start_; }
  Duration elapsed() const { return now() - start_; }

  std::vector<Duration> sleeps;

 private:
  ManualClock clock_;
  Instant start_ = clock_.now();
};

class FakeRoom final : public platform::RoomClient {
 public:
  explicit FakeRoom(const Clock& clock) : clock_(clock) {}

  void arrive_after(Duration after_start, collab::Message body, const Instant start) {
    arrivals_.push_back(
        {start + after_start, collab::CollabEvent{collab::Sender{9, "peer", collab::ParticipantKind::App, {}},
                                                  std::nullopt, std::move(body)}});
  }
  void fail_after(Duration after_start, Error error, const Instant start) { failure_ = {start + after_start, error}; }

  Result<void> join_route(const Uuid& room) override {
    joined.push_back(room);
    return {};
  }
  Result<void> send(collab::Message command) override {
    sent.emplace_back(clock_.now(), std::move(command));
    return {};
  }
  Result<void> send_to_route(collab::Route route, collab::Message command) override {
    sent_to.emplace_back(std::move(route), std::move(command));
    return {};
  }
  Result<std::vector<collab::CollabEvent>> poll() override {
    polls.push_back(clock_.now());
    if (failure_ && failure_->first <= clock_.now()) return fail(failure_->second);
    std::vector<collab::CollabEvent> batch;
    while (!arrivals_.empty() && arrivals_.front().first <= clock_.now()) {
      batch.push_back(std::move(arrivals_.front().second));
      arrivals_.pop_front();
    }
    return batch;
  }

  // The times document requests were sent at.
  std::vector<Instant> document_requests() const {
    std::vector<Instant> out;
    for (const auto& [at, m] : sent) {
      if (std::holds_alternative<collab::DocumentRequest>(m)) out.push_back(at);
    }
    return out;
  }

  std::vector<Uuid> joined;
  std::vector<std::pair<Instant, collab::Message>> sent;
  std::vector<std::pair<collab::Route, collab::Message>> sent_to;
  std::vector<Instant> polls;

 private:
  const Clock& clock_;
  std::deque<std::pair<Instant, collab::CollabEvent>> arrivals_;
  std::optional<std::pair<Instant, Error>> failure_;
};

// A session on the fake room and the recording clock, as `connect` leaves it.
struct FakeSession {
  RecordingClock clock;
  Session session;
  FakeRoom* room = nullptr;

  explicit FakeSession(SessionSettings settings) {
    auto fake = std::make_unique<FakeRoom>(clock);
    room = fake.get();
    session.settings = std::move(settings);
    session.transport = "typed-endpoint";
    session.room = std::move(fake);
    session.clock = &clock;
    session.last_document_request = clock.now();
  }
  void arrive_after(Duration d, collab::Message m) { room->arrive_after(d, std::move(m), clock.start()); }
  void fail_after(Duration d, Error e) { room->fail_after(d, std::move(e), clock.start()); }
};

}  // namespace quern::agent::test

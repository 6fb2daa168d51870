// The event pump and the document-mode loop on a scripted room and a clock that only sleeps
// move: the 5 ms polling bound, queue order, the 750 ms re-ask, the document-wait failure.
#include "apps/agent/src/wire.h"

#include <gtest/gtest.h>

#include "apps/agent/src/session_loop.h"
#include "runtime/util/log.h"
#include "tests/apps/agent/fake_room.h"

namespace quern::agent {
namespace {

using namespace std::chrono_literals;
using test::FakeSession;

SessionSettings settings(std::uint64_t await_ms = 60000, std::optional<std::string> record = std::nullopt) {
  SessionSettings s;
  s.app = "ix.quern.word-processor";
  s.name = "Claude";
  s.record = std::move(record);
  s.workspace = *Uuid::parse("9b2f6c1e-4a7d-4f3e-8c1a-2d5e6f708192");
  s.await_document = duration_from_millis(await_ms);
  return s;
}

collab::RoomAnnouncement marker(std::string text) { return collab::RoomAnnouncement{std::move(text)}; }

std::string marker_of(const std::optional<collab::CollabEvent>& e) {
  return e && e->is<collab::RoomAnnouncement>() ? e->get<collab::RoomAnnouncement>()->room : "";
}

TEST(NextEvent, GivesUpAtTheDeadlineSleepingAtMost5msAtATime) {
  struct Case {
    Duration timeout;
    std::vector<Duration> sleeps;
  };
  for (const auto& c :
       {Case{0ms, {}}, Case{3ms, {3ms}}, Case{12ms, {5ms, 5ms, 2ms}}, Case{100ms, std::vector<Duration>(20, 5ms)}}) {
    FakeSession f(settings());
    auto got = next_event(f.session, c.timeout);
    ASSERT_TRUE(got);
    EXPECT_FALSE(got->has_value());
    EXPECT_EQ(f.clock.sleeps, c.sleeps) << c.timeout.count();
    EXPECT_EQ(f.clock.elapsed(), c.timeout);
    EXPECT_EQ(f.room->polls.size(), c.sleeps.size() + 1) << "the room is polled after every sleep, and first";
  }
}

TEST(NextEvent, HandsOutEventsInArrivalOrderWithinOnePollOfTheirArrival) {
  FakeSession f(settings());
  f.arrive_after(12ms, marker("one"));
  f.arrive_after(12ms, marker("two"));
  f.arrive_after(13ms, marker("three"));

  EXPECT_EQ(marker_of(next_event(f.session, 100ms).value()), "one");
  EXPECT_EQ(f.clock.elapsed(), 15ms) << "taken at the first poll after it arrived";
  EXPECT_EQ(marker_of(next_event(f.session, 100ms).value()), "two");
  EXPECT_EQ(marker_of(next_event(f.session, 100ms).value()), "three");
  EXPECT_EQ(f.clock.elapsed(), 15ms) << "queued events are handed out without sleeping";
  EXPECT_FALSE(next_event(f.session, 10ms).value().has_value());
}

TEST(NextEvent, EndsWithTheRoomsFailure) {
  FakeSession f(settings());
  f.arrive_after(1ms, marker("before"));
  f.fail_after(7ms, Error("the broker closed the connection"));
  EXPECT_EQ(marker_of(next_event(f.session, 100ms).value()), "before");
  auto got = next_event(f.session, 100ms);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().to_string(), "the broker closed the connection");
  EXPECT_EQ(f.clock.elapsed(), 10ms);
}

TEST(DocumentMode, AsksForTheDocumentAgainEvery750msAndNeverSooner) {
  struct Case {
    std::string_view name;
    Duration traffic_every;  // zero: a silent room
  };
  for (const auto& c : {Case{"silent room", 0ms}, Case{"busy room", 30ms}, Case{"very busy room", 1ms}}) {
    FakeSession f(settings());
    if (c.traffic_every > 0ms) {
      for (Duration t = c.traffic_every; t < 4s; t += c.traffic_every) f.arrive_after(t, marker("traffic"));
    }
    log::Capture capture("debug");
    while (f.clock.elapsed() < 3500ms) ASSERT_TRUE(step(f.session, kStepBudget));
    const auto asked = f.room->document_requests();
    ASSERT_GE(asked.size(), 4u) << c.name;
    EXPECT_GE(asked.front() - f.clock.start(), 750ms) << c.name;
    for (std::size_t i = 1; i < asked.size(); ++i) {
      EXPECT_GE(asked[i] - asked[i - 1], 750ms) << c.name;
      EXPECT_LE(asked[i] - asked[i - 1], 850ms) << c.name << ": a step is never longer than its 100 ms budget";
    }
    EXPECT_TRUE(capture.contains("DEBUG quern_agent::session: asked the room for the document again"));
  }
}

TEST(DocumentMode, TakesEachKindOfEventAsTheLoopShould) {
  collab::CatalogueUpdate catalogue{
      {collab::ParticipantRecord{"files", 3, true, {collab::BrokerOffer{}, collab::BrokerOffer{}}},
       collab::ParticipantRecord{"hidden", 4, false, {collab::BrokerOffer{}}}}};
  struct Case {
    std::string_view name;
    collab::Message event;
    std::string_view error;  // empty: the step goes on
  };
  const std::vector<Case> cases = {
      {"catalogue", catalogue, ""},
      {"whole state",
       collab::DocumentBytes{collab::DocumentPayload::Whole, collab::Blob::copy_of(std::string_view("s"))}, ""},
      {"change set", collab::DocumentBytes{collab::DocumentPayload::Incremental, collab::Blob()}, ""},
      {"document request", collab::DocumentRequest{"ix.quern.word-processor", std::nullopt}, ""},
      {"task envelope", collab::TaskEnvelope{}, ""},
      {"no payload", collab::DocumentBytes{collab::DocumentPayload::None, collab::Blob()},
       "document event lost its mutation"},
      {"unknown payload", collab::DocumentBytes{collab::DocumentPayload::Unknown, collab::Blob()},
       "a payload of a kind"},
  };
  for (const auto& c : cases) {
    FakeSession f(settings());
    f.arrive_after(0ms, c.event);
    log::Capture capture("debug");
    auto outcome = step(f.session, kStepBudget);
    if (c.error.empty()) {
      ASSERT_TRUE(outcome) << c.name << ": " << outcome.error().to_string();
      EXPECT_EQ(*outcome, StepOutcome::NothingHappened) << c.name;
    } else {
      ASSERT_FALSE(outcome) << c.name;
      EXPECT_NE(outcome.error().to_string().find(c.error), std::string::npos) << outcome.error().to_string();
    }
    EXPECT_TRUE(f.room->sent.empty()) << c.name << ": nothing is answered without a replica";
    if (c.name == "catalogue") {
      EXPECT_TRUE(f.session.broker_catalogue_received);
      EXPECT_EQ(f.session.broker_catalogue, catalogue.records);
      EXPECT_TRUE(capture.contains("updated broker action catalogue actions=3")) << capture.text();
    }
  }
}

TEST(DocumentMode, GivesUpOnceAwaitDocumentHasPassedNamingTheRoute) {
  struct Case {
    std::uint64_t await_ms;
    std::optional<std::string> record;
    std::string message;
  };
  const std::string tail =
      ". The broker matches all three and drops what does not match, so if the app has a file open its record is "
      "`file:<path>` and this agent must be given the same one with --record.";
  for (const auto& c : {Case{1500, std::nullopt,
                             "no participant answered with a document in 1s. Announced app=\"ix.quern.word-processor\" "
                             "room=9b2f6c1e-4a7d-4f3e-8c1a-2d5e6f708192 and no record (an untitled document)" +
                                 tail},
                        Case{2999, "file:/tmp/a \"b\".docx",
                             "no participant answered with a document in 2s. Announced app=\"ix.quern.word-processor\" "
                             "room=9b2f6c1e-4a7d-4f3e-8c1a-2d5e6f708192 and record \"file:/tmp/a \\\"b\\\".docx\"" +
                                 tail}}) {
    FakeSession f(settings(c.await_ms, c.record));
    auto result = run_document_mode(f.session);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().to_string(), c.message);
    EXPECT_GE(f.clock.elapsed(), millis(c.await_ms));
    EXPECT_LE(f.clock.elapsed(), millis(c.await_ms) + kStepBudget);
  }
}

TEST(DocumentMode, AwaitZeroWaitsForTheDocumentUntilTheRoomEnds) {
  FakeSession f(settings(0));
  f.fail_after(120s, Error("the broker closed the connection"));
  auto result = run_document_mode(f.session);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().to_string(), "the broker closed the connection");
  EXPECT_GE(f.clock.elapsed(), 120s);
  EXPECT_GE(f.room->document_requests().size(), 140u) << "still asking while it waits";
}

}  // namespace
}  // namespace quern::agent

// The broker as a real process: where each kind of frame goes, the catalogue, brokered actions,
// the Task Center, and what a misbehaving connection does to the others (nothing).
#include <gtest/gtest.h>

#include "runtime/collab/codec.h"
#include "runtime/util/sha256.h"
#include "tests/tools/room/room_fixture.h"

namespace quern::room::test {
namespace {

using namespace quern::collab;

const std::string kWp = "ix.quern.word-processor";

Route route(std::string app, const char* room, std::optional<std::string> record = std::nullopt) {
  return Route{std::move(app), room, std::move(record)};
}

// Sends a fence from `from` and returns what `to` received before it.
std::vector<CollabEvent> before_fence(Member& from, Member& to, const std::string& marker) {
  EXPECT_TRUE(from.client().send(fence_frame(marker)));
  return to.until(is_fence(marker));
}

TEST(BrokerRouting, DocumentRequestsReachOnlyTheParticipantsOfTheRouteTheyName) {
  BrokerProcess broker;
  Member agent = Member::join(broker.socket(), "Claude", "agent", route(kWp, kRoomA));
  Member untitled = Member::join(broker.socket(), "untitled", "app", route(kWp, kRoomA));
  Member brief = Member::join(broker.socket(), "brief", "app", route(kWp, kRoomA, "file:/brief.docx"));
  Member photos = Member::join(broker.socket(), "photos", "app", route("ix.quern.photos", kRoomA));
  Member elsewhere = Member::join(broker.socket(), "elsewhere", "app", route(kWp, kRoomB));

  struct Case {
    DocumentRequest request;
    Member* reached;
  };
  for (const auto& c :
       {Case{DocumentRequest{kWp, std::nullopt}, &untitled}, Case{DocumentRequest{kWp, "file:/brief.docx"}, &brief},
        Case{DocumentRequest{"ix.quern.photos", std::nullopt}, &photos}}) {
    const std::string marker = "fence-" + c.request.app + c.request.record.value_or("");
    ASSERT_TRUE(agent.client().send(c.request));
    ASSERT_TRUE(agent.client().send(fence_frame(marker)));
    for (Member* m : {&untitled, &brief, &photos}) {
      const auto got = m->until(is_fence(marker));
      EXPECT_EQ(any_of<DocumentRequest>(got), m == c.reached) << m->identity().name << " for " << marker;
      if (m == c.reached) {
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].from, agent.identity());
        EXPECT_EQ(*got[0].get<DocumentRequest>(), c.request);
      }
    }
  }
  EXPECT_TRUE(elsewhere.drain().empty()) << "another room heard this room's traffic";
  ASSERT_TRUE(agent.client().send(DocumentRequest{"ix.quern.chat", std::nullopt}));
  EXPECT_TRUE(broker.log_contains("no participant is on the route ix.quern.chat")) << broker.log();
}

TEST(BrokerRouting, DocumentBytesGoToTheRestOfTheRoomTaggedWithTheSender) {
  BrokerProcess broker;
  Member app = Member::join(broker.socket(), "app", "app", route(kWp, kRoomA, "file:/a"));
  Member agent = Member::join(broker.socket(), "Claude", "agent", route(kWp, kRoomA));
  Member photos = Member::join(broker.socket(), "photos", "app", route("ix.quern.photos", kRoomA));
  Member elsewhere = Member::join(broker.socket(), "elsewhere", "app", route(kWp, kRoomB));

  std::string big(8 << 20, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31);
  ASSERT_TRUE(app.client().send(DocumentBytes{DocumentPayload::Whole, Blob::copy_of(std::string_view("small"))}));
  ASSERT_TRUE(app.client().send(DocumentBytes{DocumentPayload::Incremental, Blob::copy_of(big)}));
  for (Member* m : {&agent, &photos}) {
    auto small = m->expect_event<DocumentBytes>();
    auto large = m->expect_event<DocumentBytes>();
    ASSERT_TRUE(small && large);
    EXPECT_EQ(small->from, app.identity()) << "the sender's number, name, kind and route travel with the bytes";
    EXPECT_EQ(std::get<WholeState>(small->document_mutation().value()).bytes.as_text(), "small");
    EXPECT_EQ(sha256_hex(std::get<ChangeSet>(large->document_mutation().value()).bytes.as_text()), sha256_hex(big));
  }
  EXPECT_FALSE(any_of<DocumentBytes>(before_fence(agent, app, "f1"))) << "the sender got its own bytes back";
  EXPECT_TRUE(elsewhere.drain().empty());
}

TEST(BrokerRouting, AFrameAddressedToARouteReachesOnlyThatRoute) {
  BrokerProcess broker;
  Member agent = Member::join(broker.socket(), "Claude", "agent", route(kWp, kRoomA));
  Member wp = Member::join(broker.socket(), "wp", "app", route(kWp, kRoomA));
  Member photos = Member::join(broker.socket(), "photos", "app", route("ix.quern.photos", kRoomA));
  const Route to = photos.identity().route;
  ASSERT_TRUE(
      agent.client().send_to_route(to, DocumentBytes{DocumentPayload::Whole, Blob::copy_of(std::string_view("p"))}));
  auto got = photos.expect_event<DocumentBytes>();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->to, to);
  EXPECT_FALSE(any_of<DocumentBytes>(before_fence(agent, wp, "f")));

  // A route in another room is not the sender's to address.
  ASSERT_TRUE(agent.client().send_to_route(route("ix.quern.photos", kRoomB), RoomAnnouncement{kRoomA}));
  EXPECT_TRUE(broker.log_contains("addressed to a route outside the participant's room"));
}

TEST(BrokerRouting, TheSenderIsWhoTheBrokerWelcomedWhateverTheFrameClaims) {
  BrokerProcess broker;
  Member wp = Member::join(broker.socket(), "wp", "app", route(kWp, kRoomA));
  RawClient raw(broker.socket());
  const Route mine = route("ix.quern.chat", kRoomA);
  const auto welcome = raw.hello(Hello{kProtocolVersion, "honest", ParticipantKind::App, mine});
  ASSERT_TRUE(std::holds_alternative<Welcome>(welcome));
  raw.join(kRoomA);
  const Sender forged{1, "Mallory", ParticipantKind::Agent, route(kWp, kRoomA, "file:/x")};
  raw.send(Delivery{forged, std::nullopt, DocumentBytes{DocumentPayload::Whole, Blob::copy_of(std::string_view("d"))}});
  auto got = wp.expect_event<DocumentBytes>();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->from.name, "honest");
  EXPECT_EQ(got->from.kind, ParticipantKind::App);
  EXPECT_EQ(got->from.route, mine);
  EXPECT_EQ(got->from.participant, std::get<Welcome>(welcome).participant);
}

std::vector<BrokerOffer> offers_for(std::initializer_list<std::pair<std::string, std::string>> ids) {
  std::vector<BrokerOffer> out;
  for (const auto& [resource, action] : ids) {
    BrokerOffer o;
    o.resource_id = resource;
    o.action_name = action;
    o.resource_kind = "files.entry";
    o.action_label = action + " it";
    o.execution = Background{true};
    out.push_back(o);
  }
  return out;
}

TEST(BrokerCatalogue, PublishedOffersReachTheAgentsNumberedAndAdmitted) {
  BrokerProcess broker({"--unadmitted", "Hidden"});
  Member agent = Member::join(broker.socket(), "Claude", "agent", route(kWp, kRoomA));
  Member app = Member::join(broker.socket(), "wp", "app", route(kWp, kRoomA));
  Member files = Member::join(broker.socket(), "files", "app", route("ix.quern.files", kRoomA));
  Member hidden = Member::join(broker.socket(), "Hidden", "app", route("ix.quern.hidden", kRoomA));

  ASSERT_TRUE(files.client().send(
      CataloguePublish{"files", offers_for({{"files.entry:1", "share"}, {"files.entry:1", "delete"}})}));
  auto first = agent.expect<CatalogueUpdate>();
  ASSERT_EQ(first.records.size(), 1u);
  EXPECT_EQ(first.records[0].app, "files");
  EXPECT_EQ(first.records[0].participant, files.number());
  EXPECT_TRUE(first.records[0].admitted);
  EXPECT_EQ(first.records[0].offers, offers_for({{"files.entry:1", "share"}, {"files.entry:1", "delete"}}));

  ASSERT_TRUE(hidden.client().send(CataloguePublish{"", offers_for({{"h:1", "peek"}})}));
  auto second = agent.expect<CatalogueUpdate>();
  ASSERT_EQ(second.records.size(), 2u);
  EXPECT_EQ(second.records[1].app, "ix.quern.hidden") << "an empty app name is the publisher's route app";
  EXPECT_FALSE(second.records[1].admitted);
  EXPECT_EQ(second.action_count(), 3u);

  // A later agent gets the whole catalogue on joining; apps get none.
  Member late = Member::join(broker.socket(), "Ada", "agent", route(kWp, kRoomA));
  EXPECT_FALSE(any_of<CatalogueUpdate>(before_fence(agent, app, "f")));

  files.client().close();
  auto after = agent.expect<CatalogueUpdate>();
  ASSERT_EQ(after.records.size(), 1u) << "a publisher that left takes its offers with it";
  EXPECT_EQ(after.records[0].participant, hidden.number());
  EXPECT_EQ(late.expect<CatalogueUpdate>(), after);
}

struct ActionRoom {
  BrokerProcess broker{{"--unadmitted", "Hidden"}};
  Member agent = Member::join(broker.socket(), "Claude", "agent", route(kWp, kRoomA));
  Member files = Member::join(broker.socket(), "files", "app", route("ix.quern.files", kRoomA));
  Member hidden = Member::join(broker.socket(), "Hidden", "app", route("ix.quern.hidden", kRoomA));

  ActionRoom() {
    EXPECT_TRUE(files.client().send(CataloguePublish{"files", offers_for({{"files.entry:1", "share"}})}));
    agent.expect<CatalogueUpdate>();
    EXPECT_TRUE(hidden.client().send(CataloguePublish{"", offers_for({{"h:1", "peek"}})}));
    agent.expect<CatalogueUpdate>();
  }
};

TEST(BrokerActions, RequestsReachThePublisherAndAnswersComeBackUnderTheRequestersNumbers) {
  ActionRoom room;
  ASSERT_TRUE(room.agent.client().send(
      ActionRequest{41, room.files.number(), "files.entry:1", "share", R"({"to":"ada"})", "{}", "inv-1"}));
  auto asked = room.files.expect_event<ActionRequest>();
  ASSERT_TRUE(asked);
  EXPECT_EQ(asked->from, room.agent.identity());
  const ActionRequest& forwarded = *asked->get<ActionRequest>();
  EXPECT_EQ(forwarded.arguments_json, R"({"to":"ada"})");
  EXPECT_EQ(forwarded.invocation_id, "inv-1");

  ASSERT_TRUE(room.files.client().send(ActionAccepted{forwarded.request, "h1", {ActionStateKind::Running, ""}}));
  auto accepted = room.agent.expect<ActionAccepted>();
  EXPECT_EQ(accepted, (ActionAccepted{41, "h1", {ActionStateKind::Running, ""}}));

  ASSERT_TRUE(room.agent.client().send(ActionStatusQuery{42, "h1"}));
  const auto query = room.files.expect<ActionStatusQuery>();
  EXPECT_EQ(query.handle, "h1");
  ASSERT_TRUE(room.files.client().send(
      ActionOutcome{query.request, {ActionStateKind::Succeeded, ""}, R"({"url":"x"})", {"blob:1"}}));
  EXPECT_EQ(room.agent.expect<ActionOutcome>(),
            (ActionOutcome{42, {ActionStateKind::Succeeded, ""}, R"({"url":"x"})", {"blob:1"}}));

  ASSERT_TRUE(room.agent.client().send(ActionCancel{43, "h1"}));
  const auto cancel = room.files.expect<ActionCancel>();
  ASSERT_TRUE(room.files.client().send(ActionOutcome{cancel.request, {ActionStateKind::Cancelled, ""}, "", {}}));
  EXPECT_EQ(room.agent.expect<ActionOutcome>().request, 43u);

  // An answer to a request the publisher was never asked goes nowhere.
  ASSERT_TRUE(room.files.client().send(ActionOutcome{9999, {ActionStateKind::Succeeded, ""}, "", {}}));
  EXPECT_FALSE(any_of<ActionOutcome>(before_fence(room.files, room.agent, "f")));
}

TEST(BrokerActions, WhatTheBrokerCannotRouteIsAnsweredAsFailed) {
  ActionRoom room;
  struct Case {
    Message request;
    std::string_view message;
  };
  const std::uint64_t files = room.files.number();
  for (const auto& c :
       {Case{ActionRequest{1, 999, "files.entry:1", "share", "{}", "", ""},
             "participant 999 publishes no actions in this room"},
        Case{ActionRequest{2, files, "files.entry:1", "burn", "{}", "", ""}, "does not publish \"files.entry:1#burn\""},
        Case{ActionRequest{3, room.hidden.number(), "h:1", "peek", "{}", "", ""}, "is not admitted"},
        Case{ActionStatusQuery{4, "no-such-handle"}, "holds the handle \"no-such-handle\""},
        Case{TaskActionRequest{5, files, "files.entry:1", "share", "{}", "no-lease", 1},
             "no task of this participant holds the lease"}}) {
    ASSERT_TRUE(room.agent.client().send(c.request));
    const auto outcome = room.agent.expect<ActionOutcome>();
    EXPECT_EQ(outcome.state.kind, ActionStateKind::Failed) << c.message;
    EXPECT_NE(outcome.state.message.find(c.message), std::string::npos) << outcome.state.message;
  }

  // A publisher that leaves with a request open answers it by leaving.
  ASSERT_TRUE(room.agent.client().send(ActionRequest{6, files, "files.entry:1", "share", "{}", "", ""}));
  room.files.expect<ActionRequest>();
  room.files.client().close();
  const auto outcome = room.agent.expect<ActionOutcome>();
  EXPECT_EQ(outcome.request, 6u);
  EXPECT_EQ(outcome.state.message, "participant " + std::to_string(files) + " left the room");
}

TaskEnvelope task(std::string lease, std::uint64_t run_id) {
  return TaskEnvelope{"t-" + lease, "share the brief", lease, R"({"purpose":"share the brief"})", run_id, 1, false};
}

TEST(TaskCenter, MintsForTheAgentByNameAndAnswersForTheTask) {
  ActionRoom room;
  Member minter = Member::join(room.broker.socket(), "center", "app", route("ix.quern.tasks", kRoomA));

  ASSERT_TRUE(minter.client().send(TaskMint{"Claude", task("lease-1", 7)}));
  EXPECT_EQ(room.agent.expect<TaskEnvelope>(), task("lease-1", 7));
  EXPECT_TRUE(minter.expect<TaskCenterReply>().ok);
  for (const auto& [agent, lease, why] : {std::tuple{"Nobody", "lease-2", "no agent named \"Nobody\" is in the room"},
                                          std::tuple{"Claude", "lease-1", "a task already holds this lease"}}) {
    ASSERT_TRUE(minter.client().send(TaskMint{agent, task(lease, 8)}));
    const auto reply = minter.expect<TaskCenterReply>();
    EXPECT_FALSE(reply.ok);
    EXPECT_EQ(reply.message, why);
  }

  struct Query {
    CancellationStatusQuery query;
    std::variant<bool, CancellationError> answer;
  };
  auto ask = [&](const CancellationStatusQuery& q) {
    EXPECT_TRUE(room.agent.client().send(q));
    return room.agent.expect<CancellationStatus>();
  };
  EXPECT_EQ(ask({"lease-1", 10, 7}), (CancellationStatus{10, false}));
  ASSERT_TRUE(minter.client().send(TaskCancel{"lease-1"}));
  EXPECT_TRUE(minter.expect<TaskCenterReply>().ok);
  EXPECT_EQ(ask({"lease-1", 11, 7}), (CancellationStatus{11, true}));
  EXPECT_EQ(ask({"lease-1", 12, 8}),
            (CancellationStatus{12, CancellationError{"the run id does not match the task's lease"}}));
  EXPECT_EQ(ask({"lease-9", 13, 7}),
            (CancellationStatus{13, CancellationError{"no task of this participant holds the lease"}}));

  // Reports go to the minter; a task's action requests reach the publisher with the lease.
  const TaskStatusReport report{"lease-1", 7, TaskState::Running, "Running 1/1 · share it"};
  ASSERT_TRUE(room.agent.client().send(report));
  auto got = minter.expect_event<TaskStatusReport>();
  ASSERT_TRUE(got);
  EXPECT_EQ(*got->get<TaskStatusReport>(), report);
  EXPECT_EQ(got->from, room.agent.identity());
  ASSERT_TRUE(room.agent.client().send(
      TaskActionRequest{20, room.files.number(), "files.entry:1", "share", "{}", "lease-1", 7}));
  const auto forwarded = room.files.expect<TaskActionRequest>();
  EXPECT_EQ(forwarded.lease, "lease-1");
  EXPECT_EQ(forwarded.run_id, 7u);
  EXPECT_TRUE(room.broker.log_contains("task report"));
}

TEST(BrokerRobustness, ABadConnectionIsClosedAndNobodyElseNotices) {
  BrokerProcess broker;
  Member agent = Member::join(broker.socket(), "Claude", "agent", route(kWp, kRoomA));
  Member app = Member::join(broker.socket(), "wp", "app", route(kWp, kRoomA));
  const Hello hello{kProtocolVersion, "bad", ParticipantKind::App, route(kWp, kRoomA)};
  const std::string header_only = std::string("\0\0\0\0", 4) + std::string("\x01\x00\x00\x01", 4);  // 16M words

  struct Case {
    std::string_view name;
    std::function<void(RawClient&)> misbehave;
    std::string_view logged;
  };
  const std::vector<Case> cases = {
      {"garbage after hello",
       [&](RawClient& c) {
         c.hello(hello);
         c.write(std::string("\0\0\0\0\2\0\0\0not a message at all", 28));
       },
       "the frame does not decode"},
      {"oversized frame",
       [&](RawClient& c) {
         c.hello(hello);
         c.write(header_only);
       },
       "larger than the limit"},
      {"too many segments", [&](RawClient& c) { c.write(std::string("\xff\x03\0\0", 4)); },
       "more than the 512 allowed"},
      {"first frame not a hello", [&](RawClient& c) { c.join(kRoomA); }, "not a hello"},
      {"hello for no room",
       [&](RawClient& c) {
         const auto answer = c.hello(Hello{kProtocolVersion, "bad", ParticipantKind::App, route(kWp, "not-a-room")});
         EXPECT_TRUE(std::holds_alternative<Refused>(answer));
       },
       "refused a participant"},
      {"disconnect mid-frame",
       [&](RawClient& c) {
         c.hello(hello);
         c.join(kRoomA);
         EXPECT_TRUE(std::holds_alternative<Joined>(c.next()));  // nothing left unread: the close is clean
         const RawFrame frame = flatten(encode(Delivery{
             Sender{}, std::nullopt, DocumentBytes{DocumentPayload::Whole, Blob::copy_of(std::string(100'000, 'x'))}}));
         c.write(std::string(reinterpret_cast<const char*>(frame.bytes().data()), 50'000));
         c.close();
       },
       "the connection closed in the middle of a frame"},
  };
  int round = 0;
  for (const auto& c : cases) {
    RawClient bad(broker.socket());
    c.misbehave(bad);
    if (c.name != "disconnect mid-frame") {
      EXPECT_TRUE(bad.closed_by_broker()) << c.name;
    }
    EXPECT_TRUE(broker.log_contains(std::string(c.logged))) << c.name << "\n" << broker.log();
    // The others go on as before.
    ASSERT_TRUE(agent.client().send(DocumentRequest{kWp, std::nullopt})) << c.name;
    EXPECT_EQ(app.expect<DocumentRequest>().app, kWp) << c.name;
    ASSERT_TRUE(
        app.client().send(DocumentBytes{DocumentPayload::Whole, Blob::copy_of("round " + std::to_string(++round))}));
    auto bytes = agent.expect_event<DocumentBytes>();
    ASSERT_TRUE(bytes) << c.name;
    EXPECT_EQ(std::get<WholeState>(bytes->document_mutation().value()).bytes.as_text(),
              "round " + std::to_string(round));
  }
}

TEST(BrokerRobustness, AParticipantThatStopsReadingIsClosedBeforeItCostsTheBrokerMore) {
  BrokerProcess broker({"--max-queued-mib", "8"});
  Member app = Member::join(broker.socket(), "wp", "app", route(kWp, kRoomA));
  Member agent = Member::join(broker.socket(), "Claude", "agent", route(kWp, kRoomA));
  RawClient stuck(broker.socket());  // joins and then never reads
  stuck.hello(Hello{kProtocolVersion, "stuck", ParticipantKind::App, route(kWp, kRoomA)});
  stuck.join(kRoomA);
  stuck.next();
  const Blob save = Blob::copy_of(std::string(1 << 20, 's'));
  for (int i = 0; i < 16; ++i) ASSERT_TRUE(app.client().send(DocumentBytes{DocumentPayload::Whole, save}));
  for (int i = 0; i < 16; ++i) ASSERT_TRUE(agent.expect_event<DocumentBytes>()) << "the reading agent lost save " << i;
  EXPECT_TRUE(broker.log_contains("does not read what the room sends it")) << broker.log();
  EXPECT_TRUE(stuck.closed_by_broker());
}

TEST(BrokerRobustness, ManyParticipantsInManyRoomsHearOnlyTheirOwnRoom) {
  BrokerProcess broker;
  const std::vector<const char*> rooms = {kRoomA, kRoomB, "5d0f7a34-9c1e-4e2b-8a6d-3b4c5d6e7f80",
                                          "6e1a8b45-0d2f-4f3c-9b7e-4c5d6e7f8091"};
  std::vector<Member> members;
  for (int i = 0; i < 16; ++i) {
    members.push_back(Member::join(broker.socket(), "m" + std::to_string(i), "app", route(kWp, rooms[i % 4])));
  }
  for (auto& m : members) ASSERT_TRUE(m.client().send(RoomAnnouncement{m.identity().route.room}));
  for (auto& m : members) {
    for (int k = 0; k < 3; ++k) {
      auto e = m.expect_event<RoomAnnouncement>();
      ASSERT_TRUE(e);
      EXPECT_EQ(e->from.route.room, m.identity().route.room);
      EXPECT_NE(e->from.participant, m.number());
    }
  }
  for (auto& m : members) EXPECT_FALSE(any_of<RoomAnnouncement>(m.drain())) << m.identity().name;
}

}  // namespace
}  // namespace quern::room::test

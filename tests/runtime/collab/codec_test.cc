// The codec: every message of the protocol comes back from the wire as it went in, document
// bytes are read in place, and nothing a peer can send makes decoding do anything but return.
#include "runtime/collab/codec.h"

#include <capnp/message.h>
#include <capnp/serialize.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>

#include "proto/room.capnp.h"

namespace quern::collab {
namespace {

BrokerOffer full_offer() {
  BrokerOffer o;
  o.resource_id = "files.entry:7";
  o.action_name = "share";
  o.resource_kind = "files.entry";
  o.resource_label = "brief.docx";
  o.action_label = "share the file";
  o.availability = Unavailable{"offline", "the share server is down"};
  o.confirmation = Phrase{"share it"};
  o.execution = Streaming{true, R"({"type":"object"})"};
  o.result = JsonResult{R"({"type":"string"})"};
  o.reversible = true;
  o.retry = Retry::RetryWithInvocationId;
  o.risk = Risk::Privileged;
  o.required_role = RequiredRole::Invite;
  o.parameters = {Parameter{"to", "Who to share with", "text", true, {"ada", "bob"}, R"({"maxLength":64})"},
                  Parameter{"note", "", "text", false, {}, std::nullopt}};
  o.resource_note = "shared files live here";
  o.content_input = ContentInput{"value", "text", "The content to open it onto", true};
  return o;
}

std::vector<Message> one_of_each() {
  const Invocation inv{R"({"action_label":"Agent task"})", "inv-1", "splice text (+3 -0)",
                       ResourceRef{"word-processor.edit", "word-processor.document", "Word Processor"},
                       std::vector<TextRange>{TextRange{"document", "b1", 0, 3}, TextRange{"document", "b2", 5, 5}}};
  Invocation by_ids = inv;
  by_ids.touched = std::vector<std::string>{"b1", "b9"};
  Invocation nothing = inv;
  nothing.touched = NothingTouched{};
  BrokerOffer plain;
  plain.resource_id = "app.photos";
  plain.action_name = "open";
  plain.execution = Background{true};
  plain.result = ResourceResult{"photos.album"};
  return {
      Hello{1, "Claude", ParticipantKind::Agent, Route{"ix.quern.word-processor", "r", "file:/a.docx"}},
      Welcome{42},
      Refused{"no"},
      Join{"9b2f6c1e-4a7d-4f3e-8c1a-2d5e6f708192"},
      Joined{"9b2f6c1e-4a7d-4f3e-8c1a-2d5e6f708192"},
      DocumentRequest{"ix.quern.word-processor", std::nullopt},
      DocumentRequest{"ix.quern.photos", "file:/p"},
      DocumentBytes{DocumentPayload::Whole, Blob::copy_of(std::string_view("whole save"))},
      DocumentBytes{DocumentPayload::Incremental, Blob::copy_of(std::string_view("changes\0with nul", 16))},
      DocumentBytes{DocumentPayload::Incremental, Blob()},
      DocumentBytes{DocumentPayload::None, Blob()},
      RoomAnnouncement{"9b2f6c1e-4a7d-4f3e-8c1a-2d5e6f708192"},
      InvocationAnnounced{inv},
      InvocationOutcome{by_ids, InvocationStatus::NoChange, "The operation made no change"},
      InvocationOutcome{nothing, InvocationStatus::Failed, "x"},
      StepReport{"Claude", "{}", "files", ResourceRef{"ui:panel", "files.entry", "Panel"}, "share", "share the file", 2,
                 ActionState{ActionStateKind::Failed, "disk full"}, std::string("panel")},
      StepReport{"Claude", "{}", "files", ResourceRef{}, "a", "b", 0, ActionState{ActionStateKind::TimedOut, ""},
                 std::vector<std::string>{"files.entry:1"}},
      StepReport{"Claude", "", "", ResourceRef{}, "", "", 1, ActionState{ActionStateKind::Queued, ""},
                 StepTargetNone{}},
      CataloguePublish{"files", {full_offer(), plain}},
      CatalogueUpdate{{ParticipantRecord{"files", 3, true, {full_offer()}}, ParticipantRecord{"x", 9, false, {}}}},
      ActionRequest{7, 3, "files.entry:7", "share", R"({"to":"ada"})", "{}", "inv-9"},
      TaskActionRequest{8, 3, "files.entry:7", "share", "{}", "lease-1", 77},
      ActionAccepted{7, "h1", ActionState{ActionStateKind::Running, ""}},
      ActionOutcome{9, ActionState{ActionStateKind::Succeeded, ""}, R"({"ok":true})", {"blob:abc"}},
      ActionStatusQuery{10, "h1"},
      ActionCancel{11, "h1"},
      TaskEnvelope{"t1", "share the brief", "lease-1", R"({"purpose":"x"})", 77, 1, true},
      TaskStatusReport{"lease-1", 77, TaskState::Running, "Running 1/2 · share"},
      TaskStatusReport{"lease-1", 77, TaskState::Started, std::nullopt},
      CancellationStatusQuery{"lease-1", 12, 77},
      CancellationStatus{12, true},
      CancellationStatus{13, CancellationError{"no task holds this lease"}},
      TaskMint{"Claude", TaskEnvelope{"t2", "t", "l", "{}", 1, 1, false}},
      TaskCancel{"lease-1"},
      TaskCenterReply{"lease-1", true, "cancelled"},
  };
}

TEST(Codec, EveryMessageComesBackAsItWent) {
  const Sender sender{5, "Ada", ParticipantKind::App, Route{"ix.quern.photos", "room", "file:/x"}};
  std::size_t kinds_seen = 0;
  std::vector<bool> seen(std::variant_size_v<Message>, false);
  bool addressed = false;
  for (const Message& m : one_of_each()) {
    addressed = !addressed;
    const Delivery d{sender,
                     addressed ? std::optional<Route>(Route{"ix.quern.chat", "room", std::nullopt}) : std::nullopt, m};
    auto back = decode(flatten(encode(d)));
    ASSERT_TRUE(back) << message_name(m) << ": " << back.error().to_string();
    EXPECT_EQ(back->sender, d.sender) << message_name(m);
    EXPECT_EQ(back->to, d.to) << message_name(m);
    EXPECT_EQ(back->body, d.body) << message_name(m);
    if (!seen[m.index()]) ++kinds_seen;
    seen[m.index()] = true;
  }
  EXPECT_EQ(kinds_seen, std::variant_size_v<Message>) << "a message kind is missing from the table";
}

TEST(Codec, DocumentBytesAreReadInPlaceAndOutliveTheFrameHandle) {
  std::vector<std::uint8_t> bytes(100'003);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i);
  const Blob original = Blob::copy_of(bytes);
  Blob received;
  {
    const RawFrame raw =
        flatten(encode(Delivery{Sender{}, std::nullopt, DocumentBytes{DocumentPayload::Whole, original}}));
    auto d = decode(raw);
    ASSERT_TRUE(d);
    received = std::get<DocumentBytes>(d->body).bytes;
    const auto frame = raw.bytes();
    EXPECT_GE(received.data(), frame.data());
    EXPECT_LE(received.data() + received.size(), frame.data() + frame.size());
  }
  EXPECT_EQ(received, original);
}

TEST(Codec, EncodingRefersToTheDocumentBytesWithoutCopyingThem) {
  const Blob doc = Blob::copy_of(std::string(1 << 20, 'x'));
  const OutFrame frame = encode(Delivery{Sender{}, std::nullopt, DocumentBytes{DocumentPayload::Incremental, doc}});
  bool referenced = false;
  for (const auto& piece : frame.pieces) referenced |= piece.data() == doc.data();
  EXPECT_TRUE(referenced);
}

RawFrame words_to_frame(const std::vector<std::uint64_t>& words) { return RawFrame(words); }

RawFrame frame_of(capnp::MallocMessageBuilder& builder) {
  const auto flat = capnp::messageToFlatArray(builder);
  std::vector<std::uint64_t> words(flat.size());
  std::memcpy(words.data(), flat.begin(), flat.size() * 8);
  return words_to_frame(words);
}

TEST(Codec, FramesThatDoNotDecodeAreErrors) {
  capnp::MallocMessageBuilder unset;
  unset.initRoot<proto::Frame>();
  capnp::MallocMessageBuilder unknown_kind;
  unknown_kind.initRoot<proto::Frame>().getBody().initHello().setKind(static_cast<proto::ParticipantKind>(77));
  capnp::MallocMessageBuilder unknown_state;
  unknown_state.initRoot<proto::Frame>().getBody().initTaskStatusReport().setState(static_cast<proto::TaskState>(9));

  const RawFrame good = flatten(encode(Delivery{Sender{}, std::nullopt, RoomAnnouncement{"r"}}));
  std::vector<std::uint64_t> truncated(good.words().begin(), good.words().end() - 1);
  std::vector<std::uint64_t> bad_pointer(good.words().begin(), good.words().end());
  bad_pointer[1] = 0x0000'7fff'0000'0000ULL;  // the root pointer now points far past the segment

  struct Case {
    std::string_view name;
    RawFrame frame;
    std::string_view error;
  };
  for (const auto& c :
       {Case{"empty", RawFrame(), "it is empty"}, Case{"no message", frame_of(unset), "the frame carries no message"},
        Case{"unknown kind", frame_of(unknown_kind), "unknown participant kind 77"},
        Case{"unknown task state", frame_of(unknown_state), "unknown task state 9"},
        Case{"truncated", words_to_frame(truncated), "the frame does not decode"},
        Case{"bad pointer", words_to_frame(bad_pointer), "the frame does not decode"}}) {
    auto d = decode(c.frame);
    ASSERT_FALSE(d) << c.name;
    EXPECT_NE(d.error().to_string().find(c.error), std::string::npos) << c.name << ": " << d.error().to_string();
  }
}

TEST(Codec, UnknownCatalogueValuesReadAsTheMostCarefulOnes) {
  capnp::MallocMessageBuilder b;
  auto offer = b.initRoot<proto::Frame>().getBody().initCataloguePublish().initOffers(1)[0];
  offer.setRisk(static_cast<proto::Risk>(40));
  offer.setRequiredRole(static_cast<proto::Role>(40));
  offer.setRetry(static_cast<proto::Retry>(40));
  auto d = decode(frame_of(b));
  ASSERT_TRUE(d) << d.error().to_string();
  const BrokerOffer& o = std::get<CataloguePublish>(d->body).offers.at(0);
  EXPECT_EQ(o.risk, Risk::Sensitive);
  EXPECT_EQ(o.required_role, RequiredRole::Admin);
  EXPECT_EQ(o.retry, Retry::AtMostOnce);

  capnp::MallocMessageBuilder s;
  s.initRoot<proto::Frame>().getBody().initActionOutcome().initState().setKind(static_cast<proto::ActionStateKind>(50));
  auto outcome = decode(frame_of(s));
  ASSERT_TRUE(outcome);
  EXPECT_EQ(std::get<ActionOutcome>(outcome->body).state.kind, ActionStateKind::Unknown);
}

// Whatever bytes arrive, decoding returns a value or an error; under the sanitizers this also
// shows it reads nothing outside the frame.
TEST(Codec, DamagedFramesNeverCrashTheDecoder) {
  std::vector<RawFrame> seeds;
  for (const Message& m : one_of_each()) seeds.push_back(flatten(encode(Delivery{Sender{}, std::nullopt, m})));
  std::mt19937_64 rng(12345);
  std::size_t decoded = 0;
  for (int round = 0; round < 4000; ++round) {
    const RawFrame& seed = seeds[round % seeds.size()];
    std::vector<std::uint64_t> words(seed.words().begin(), seed.words().end());
    auto* bytes = reinterpret_cast<std::uint8_t*>(words.data());
    const int flips = 1 + static_cast<int>(rng() % 8);
    for (int i = 0; i < flips; ++i) bytes[rng() % (words.size() * 8)] = static_cast<std::uint8_t>(rng());
    if (rng() % 4 == 0) words.resize(1 + rng() % words.size());
    if (decode(words_to_frame(words))) ++decoded;
  }
  SUCCEED() << decoded << " damaged frames still decoded";
}

}  // namespace
}  // namespace quern::collab

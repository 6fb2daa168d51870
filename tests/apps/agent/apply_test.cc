// Room document traffic applied to the agent's replicas, with real folio documents and the real
// engine: the first state, merges of the same document, unrelated documents (which the engine
// would merge without complaint), other apps' documents, change sets tried in order, missing
// dependencies, duplicates, the incremental-save mark, and answering document requests.
#include "apps/agent/src/apply.h"

#include <gtest/gtest.h>

#include "runtime/util/log.h"
#include "tests/apps/agent/fake_room.h"
#include "tests/apps/agent/writer.h"

namespace quern::agent {
namespace {

using test::FakeSession;
using test::from_peer;
using test::Writer;

SessionSettings settings(std::string name = "Claude") {
  SessionSettings s;
  s.app = "ix.quern.word-processor";
  s.name = std::move(name);
  s.workspace = *Uuid::parse("9b2f6c1e-4a7d-4f3e-8c1a-2d5e6f708192");
  return s;
}

const collab::Route kPhotosRoute{"ix.quern.photos", "9b2f6c1e-4a7d-4f3e-8c1a-2d5e6f708192", "file:/pics/a.jpg"};
const collab::Route kChatRoute{"ix.quern.chat", "9b2f6c1e-4a7d-4f3e-8c1a-2d5e6f708192", std::nullopt};

bool apply(FakeSession& f, collab::Message m, collab::Route route = {}) {
  auto changed = apply_document_event(f.session, from_peer(std::move(m), std::move(route)));
  EXPECT_TRUE(changed.has_value()) << changed.error().to_string();
  return changed.value_or(false);
}

std::string actor_text(const crdt::ActorId& a) { return std::string(a.bytes().begin(), a.bytes().end()); }

TEST(ApplyState, TheFirstFolioStateBecomesTheWatchedReplicaAndOthersWaitBesideIt) {
  FakeSession f(settings());
  log::Capture capture("debug");

  EXPECT_FALSE(apply(f, Writer::whole(crdt::Bytes{1, 2, 3})));
  EXPECT_TRUE(capture.contains("DEBUG quern_agent::apply: ignored a peer's state: no app here claims it bytes=3"));

  crdt::Document chat = test::chat_document();
  EXPECT_TRUE(apply(f, Writer::whole(chat.save()), kChatRoute)) << "a chat state is another app's";
  EXPECT_FALSE(f.session.own) << "a state that is not a folio document does not become the watched one";
  ASSERT_TRUE(f.session.others.contains("chat"));
  EXPECT_TRUE(
      capture.contains("INFO quern_agent::session: a second application's document joined the room "
                       "app=\"chat\""));

  Writer ann;
  ann.append("Hello");
  const crdt::Bytes state = ann.save();
  EXPECT_TRUE(apply(f, Writer::whole(state)));
  ASSERT_TRUE(f.session.own);
  EXPECT_TRUE(
      capture.contains("INFO quern_agent::session: received the document bytes=" + std::to_string(state.size())));
  EXPECT_EQ(test::body_texts(f.session.own->document), std::vector<std::string>{"Hello"});

  const Replica& own = *f.session.own;
  const Replica& other = f.session.others.at("chat");
  EXPECT_EQ(actor_text(own.actor), "Claude");
  EXPECT_EQ(own.document.actor(), own.actor);
  EXPECT_EQ(own.surface, &word_processor_surface());
  EXPECT_EQ(own.route, (collab::Route{"ix.quern.word-processor", kChatRoute.room, std::nullopt}));
  EXPECT_EQ(actor_text(other.actor), "Claude#chat");
  EXPECT_EQ(other.document.actor(), other.actor);
  EXPECT_EQ(other.surface, &chat_surface());
  EXPECT_EQ(other.route, kChatRoute);

  EXPECT_EQ(find_replica(f.session, "word-processor"), &*f.session.own);
  EXPECT_EQ(find_replica(f.session, "chat"), &f.session.others.at("chat"));
  EXPECT_EQ(find_replica(f.session, "photos"), nullptr);

  for (Replica* r : {&*f.session.own, &f.session.others.at("chat")}) {
    EXPECT_TRUE(r->document.save_incremental().empty()) << "nothing received is sent again";
  }
}

TEST(ApplyState, AStateOfTheSameDocumentMergesAndLeavesTheIncrementalMarkAfterIt) {
  FakeSession f(settings());
  Writer ann;
  ann.append("one");
  Writer bob = ann.replica("bob");
  ASSERT_TRUE(apply(f, ann.state_message()));
  bob.append("two");
  EXPECT_TRUE(apply(f, bob.state_message()));
  EXPECT_EQ(test::body_texts(f.session.own->document), (std::vector<std::string>{"one", "two"}));
  EXPECT_TRUE(f.session.own->document.save_incremental().empty());
  EXPECT_TRUE(f.session.others.empty());
}

struct Unrelated {
  std::string_view name;
  bool held_addressed;
  bool incoming_addressed;
  bool replaced;  // else: the incoming document becomes the word processor's other replica
};

TEST(ApplyState, OfTwoUnrelatedFolioDocumentsTheOneAddressedToTheAgentIsWatched) {
  for (const Unrelated c : {Unrelated{"both addressed: the held one stays", true, true, false},
                            Unrelated{"only the held one addressed", true, false, false},
                            Unrelated{"only the incoming one addressed", false, true, true},
                            Unrelated{"neither addressed", false, false, false}}) {
    FakeSession f(settings());
    log::Capture capture("debug");
    Writer held("ann");
    held.append(c.held_addressed ? "Claude: keep this one" : "held text");
    Writer incoming("zoe");
    incoming.append(c.incoming_addressed ? "CLAUDE: take this one" : "incoming text");
    ASSERT_TRUE(apply(f, held.state_message()));
    held.changes();

    const crdt::Bytes state = incoming.save();
    EXPECT_TRUE(apply(f, Writer::whole(state))) << c.name;
    const auto own_texts = test::body_texts(f.session.own->document);
    ASSERT_EQ(own_texts.size(), 1u) << c.name << ": the two documents were merged into one";
    if (c.replaced) {
      EXPECT_EQ(own_texts[0], "CLAUDE: take this one");
      EXPECT_TRUE(
          capture.contains("INFO quern_agent::session: took a different document: this is the one addressed "
                           "to Claude bytes=" +
                           std::to_string(state.size())));
      EXPECT_EQ(actor_text(f.session.own->document.actor()), "Claude");
      EXPECT_TRUE(f.session.own->document.save_incremental().empty());
      EXPECT_TRUE(f.session.others.empty());
      held.append("more of the old one");
      EXPECT_FALSE(apply(f, held.changes_message())) << "the replaced document's changes no longer apply";
    } else {
      EXPECT_EQ(own_texts[0], c.held_addressed ? "Claude: keep this one" : "held text") << c.name;
      ASSERT_TRUE(f.session.others.contains("word-processor")) << c.name;
      const Replica& other = f.session.others.at("word-processor");
      EXPECT_EQ(
          test::body_texts(other.document),
          std::vector<std::string>{std::string(c.incoming_addressed ? "CLAUDE: take this one" : "incoming text")});
      EXPECT_EQ(actor_text(other.actor), "Claude#word-processor");
    }
  }
}

TEST(ApplyState, AThirdUnrelatedDocumentOfAnAppAlreadyHeldIsIgnored) {
  FakeSession f(settings());
  log::Capture capture("debug");
  Writer watched("ann"), second("bob"), third("cy");
  watched.append("watched");
  second.append("second");
  third.append("third");
  ASSERT_TRUE(apply(f, watched.state_message()));
  ASSERT_TRUE(apply(f, second.state_message()));
  EXPECT_FALSE(apply(f, third.state_message()));
  EXPECT_TRUE(
      capture.contains("DEBUG quern_agent::apply: kept the replica held for this app: the state is a "
                       "different document of it app=\"word-processor\""));
  EXPECT_EQ(test::body_texts(f.session.others.at("word-processor").document), std::vector<std::string>{"second"});

  second.append("more");
  EXPECT_TRUE(apply(f, second.state_message())) << "a later state of the held one still merges";
  EXPECT_EQ(test::body_texts(f.session.others.at("word-processor").document),
            (std::vector<std::string>{"second", "more"}));
  EXPECT_EQ(test::body_texts(f.session.own->document), std::vector<std::string>{"watched"});
}

TEST(ApplyState, AnotherAppsLaterStateMergesIntoItsReplica) {
  FakeSession f(settings());
  crdt::Document chat = test::chat_document();
  ASSERT_TRUE(apply(f, Writer::whole(chat.save()), kChatRoute));
  ASSERT_TRUE(chat.put(crdt::ObjId::root(), "topic", "lunch").has_value());
  chat.commit();
  EXPECT_TRUE(apply(f, Writer::whole(chat.save()), kChatRoute));
  auto topic = f.session.others.at("chat").document.get(crdt::ObjId::root(), "topic");
  ASSERT_TRUE(topic && topic->has_value());
  EXPECT_EQ(**topic, crdt::Value(crdt::ScalarValue("lunch")));

  crdt::Document other_chat = test::chat_document(false, "another-chat-app");  // a different chat document
  EXPECT_FALSE(apply(f, Writer::whole(other_chat.save()), kChatRoute));
}

TEST(ApplyChanges, AreTriedOnTheWatchedReplicaThenOnTheOthersInKeyOrder) {
  FakeSession f(settings());
  Writer ann;
  ann.append("one");
  Writer bob = ann.replica("bob");
  crdt::Document chat = test::chat_document();
  crdt::Document photos = test::photos_document();
  ASSERT_TRUE(apply(f, ann.state_message()));
  ASSERT_TRUE(apply(f, Writer::whole(chat.save()), kChatRoute));
  ASSERT_TRUE(apply(f, Writer::whole(photos.save()), kPhotosRoute));

  bob.append("two");
  const crdt::Bytes change = bob.changes();
  EXPECT_TRUE(apply(f, Writer::incremental(change)));
  EXPECT_EQ(test::body_texts(f.session.own->document), (std::vector<std::string>{"one", "two"}));
  EXPECT_TRUE(f.session.own->document.save_incremental().empty());

  const auto heads = f.session.own->document.heads();
  EXPECT_FALSE(apply(f, Writer::incremental(change))) << "a duplicate moves no heads";
  EXPECT_EQ(f.session.own->document.heads(), heads);

  (void)photos.save_incremental();
  ASSERT_TRUE(photos.put(crdt::ObjId::root(), "caption", "sunset").has_value());
  photos.commit();
  EXPECT_TRUE(apply(f, Writer::incremental(photos.save_incremental()))) << "the photos replica takes it";
  EXPECT_TRUE(f.session.others.at("photos").document.get(crdt::ObjId::root(), "caption")->has_value());
  EXPECT_FALSE(f.session.others.at("chat").document.get(crdt::ObjId::root(), "caption")->has_value());
  EXPECT_EQ(f.session.own->document.heads(), heads) << "not merged into the watched replica";
}

TEST(ApplyChanges, ThatBelongToNoReplicaAreDroppedWithoutError) {
  FakeSession f(settings());
  Writer ann;
  ann.append("one");
  Writer bob = ann.replica("bob");
  ASSERT_TRUE(apply(f, ann.state_message()));
  const auto heads = f.session.own->document.heads();

  bob.append("two");
  (void)bob.changes();  // lost on the way
  bob.append("three");
  const crdt::Bytes needs_lost = bob.changes();

  Writer stranger("zoe");
  stranger.append("a document of its own");
  crdt::Document fresh_chat = test::chat_document();

  struct Case {
    std::string_view name;
    crdt::Bytes bytes;
  };
  const std::vector<Case> cases = {
      {"its dependencies are nowhere here", needs_lost},
      {"it starts a history of its own (a whole unrelated document as changes)", stranger.save()},
      {"another app's document from its first change", fresh_chat.save()},
      {"not a change set", crdt::Bytes{0xde, 0xad}},
      {"empty", crdt::Bytes{}},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(apply(f, Writer::incremental(c.bytes))) << c.name;
    EXPECT_EQ(f.session.own->document.heads(), heads) << c.name;
    EXPECT_EQ(test::body_texts(f.session.own->document), std::vector<std::string>{"one"}) << c.name;
  }
  EXPECT_TRUE(f.session.others.empty()) << "change sets never start a replica";
}

TEST(AnswerDocumentRequest, AnswersFromTheReplicaOfTheRouteAsked) {
  FakeSession f(settings());
  const collab::DocumentRequest watched{"ix.quern.word-processor", std::nullopt};
  answer_document_request(f.session, watched);
  EXPECT_TRUE(f.room->sent.empty()) << "nothing to answer with before the document arrived";

  Writer ann, zoe("zoe");
  ann.append("watched");
  zoe.append("another document of the word processor");
  crdt::Document photos = test::photos_document();
  ASSERT_TRUE(apply(f, ann.state_message()));
  answer_document_request(f.session, collab::DocumentRequest{"ix.quern.word-processor", "file:/elsewhere.docx"});
  EXPECT_TRUE(f.room->sent.empty() && f.room->sent_to.empty()) << "another record, and no replica under its key";

  ASSERT_TRUE(apply(f, Writer::whole(photos.save()), kPhotosRoute));
  const collab::Route zoe_route{"ix.quern.word-processor", kPhotosRoute.room, "file:/zoe.docx"};
  ASSERT_TRUE(apply(f, zoe.state_message(), zoe_route));

  struct Case {
    std::string_view name;
    collab::DocumentRequest request;
    std::optional<collab::Route> to;  // nothing: sent to the room
    std::vector<std::string> texts;   // of the document sent; empty: a photos document
  };
  const std::vector<Case> cases = {
      {"the watched route", watched, std::nullopt, {"watched"}},
      {"another record of the word processor",
       {"ix.quern.word-processor", "file:/elsewhere.docx"},
       zoe_route,
       {"another document of the word processor"}},
      {"the photos app", {"ix.quern.photos", std::nullopt}, kPhotosRoute, {}},
  };
  for (const auto& c : cases) {
    f.room->sent.clear();
    f.room->sent_to.clear();
    answer_document_request(f.session, c.request);
    const collab::Message* sent = nullptr;
    if (c.to) {
      ASSERT_EQ(f.room->sent_to.size(), 1u) << c.name;
      EXPECT_TRUE(f.room->sent.empty()) << c.name;
      EXPECT_EQ(f.room->sent_to[0].first, *c.to) << c.name;
      sent = &f.room->sent_to[0].second;
    } else {
      ASSERT_EQ(f.room->sent.size(), 1u) << c.name;
      EXPECT_TRUE(f.room->sent_to.empty()) << c.name;
      sent = &f.room->sent[0].second;
    }
    const auto* bytes = std::get_if<collab::DocumentBytes>(sent);
    ASSERT_NE(bytes, nullptr) << c.name;
    EXPECT_EQ(bytes->payload, collab::DocumentPayload::Whole) << c.name;
    auto doc = crdt::Document::load(bytes->bytes.bytes());
    ASSERT_TRUE(doc.has_value()) << c.name;
    if (c.texts.empty()) {
      EXPECT_EQ(claiming_surface(*doc), &photos_surface()) << c.name;
    } else {
      EXPECT_EQ(test::body_texts(*doc), c.texts) << c.name;
    }
  }

  f.room->sent.clear();
  f.room->sent_to.clear();
  answer_document_request(f.session, collab::DocumentRequest{"ix.quern.files", std::nullopt});
  EXPECT_TRUE(f.room->sent.empty() && f.room->sent_to.empty()) << "an app the agent holds nothing of";
}

}  // namespace
}  // namespace quern::agent

// The JSON form the scripted participants print and read: what is printed can be sent back
// unchanged, and catalogue enumerations follow the bare-name / one-member-object form.
#include "tools/room/message_json.h"

#include <gtest/gtest.h>

namespace quern::room {
namespace {

using namespace quern::collab;

BrokerOffer offer() {
  BrokerOffer o;
  o.resource_id = "files.entry:1";
  o.action_name = "share";
  o.resource_kind = "files.entry";
  o.resource_label = "brief.docx";
  o.action_label = "share the file";
  o.availability = Unavailable{"offline", "down"};
  o.confirmation = Phrase{"yes, share"};
  o.execution = Background{true};
  o.result = JsonResult{R"({"type":"string"})"};
  o.reversible = true;
  o.retry = Retry::Idempotent;
  o.risk = Risk::Destructive;
  o.required_role = RequiredRole::Comment;
  o.parameters = {Parameter{"to", "Who", "text", true, {"a", "b"}, R"({"maxLength":3})"}};
  o.resource_note = "note";
  o.content_input = ContentInput{"value", "text", "The content to open it onto", true};
  return o;
}

TEST(MessageJson, WhatIsPrintedCanBeSentBack) {
  Invocation inv{R"({"action_label":"Agent task"})", "i1", "insert paragraph",
                 ResourceRef{"word-processor.edit", "word-processor.document", "Word Processor"},
                 std::vector<TextRange>{TextRange{"document", "b1", 2, 9}}};
  const std::vector<Message> messages = {
      Join{"r"},
      DocumentRequest{"ix.quern.photos", "file:/p"},
      RoomAnnouncement{"r"},
      InvocationAnnounced{inv},
      InvocationOutcome{inv, InvocationStatus::NoChange, "The operation made no change"},
      StepReport{"Claude", "{}", "files", ResourceRef{"ui:x", "files.entry", "X"}, "share", "share it", 3,
                 ActionState{ActionStateKind::Cancelled, "Cancelled from Task Center"},
                 std::vector<std::string>{"f:1"}},
      StepReport{"Claude", "{}", "files", ResourceRef{}, "a", "b", 0, ActionState{ActionStateKind::TimedOut, "late"},
                 std::string("x")},
      CataloguePublish{"files", {offer()}},
      ActionRequest{1, 2, "files.entry:1", "share", R"({"to":"a"})", "{}", "i"},
      TaskActionRequest{3, 2, "files.entry:1", "share", "{}", "lease", 9},
      ActionAccepted{1, "h1", ActionState{ActionStateKind::Queued, ""}},
      ActionOutcome{1, ActionState{ActionStateKind::Failed, "no"}, "", {}},
      ActionOutcome{1, ActionState{ActionStateKind::Succeeded, ""}, R"({"ok":1})", {"blob:1"}},
      ActionStatusQuery{4, "h1"},
      ActionCancel{5, "h1"},
      TaskEnvelope{"t", "title", "lease", R"({"purpose":"title"})", 9, 1, true},
      TaskEnvelope{"t", "title", "lease", "not json", 9, 2, false},
      TaskStatusReport{"lease", 9, TaskState::Completed, "Completed 1 broker-approved action(s)"},
      CancellationStatusQuery{"lease", 6, 9},
      TaskMint{"Claude", TaskEnvelope{"t", "title", "lease", "{}", 9, 1, false}},
      TaskCancel{"lease"},
  };
  for (const Message& m : messages) {
    const Json printed = message_to_json(m);
    auto back = message_from_json(printed);
    ASSERT_TRUE(back) << dump_json(printed) << ": " << back.error().to_string();
    EXPECT_EQ(*back, m) << dump_json(printed);
  }
}

TEST(MessageJson, CatalogueEnumerationsUseVariantNames) {
  const Json j = offer_to_json(offer());
  EXPECT_EQ(j["availability"], (Json{{"Unavailable", {{"reason", "offline"}, {"detail", "down"}}}}));
  EXPECT_EQ(j["confirmation"], (Json{{"Phrase", {{"phrase", "yes, share"}}}}));
  EXPECT_EQ(j["execution"], (Json{{"Background", {{"cancellable", true}}}}));
  EXPECT_EQ(j["result"]["Json"]["schema"], (Json{{"type", "string"}}));
  EXPECT_EQ(j["risk"], "Destructive");
  EXPECT_EQ(j["parameters"][0]["constraints"], (Json{{"maxLength", 3}}));

  auto minimal = offer_from_json(Json{{"resource_id", "app.photos"}, {"action_name", "open"}});
  ASSERT_TRUE(minimal);
  EXPECT_EQ(minimal->execution, Execution(Immediate{}));
  EXPECT_EQ(minimal->confirmation, Confirmation(NoConfirmation{}));

  struct Case {
    Json offer;
    std::string_view error;
  };
  for (const auto& c : {Case{Json{{"risk", "Reckless"}}, "names no known value: Reckless"},
                        Case{Json{{"execution", "Eventually"}}, "execution names no known variant"},
                        Case{Json{{"reversible", "yes"}}, "reversible is not a boolean"},
                        Case{Json::array(), "is not a JSON object"}}) {
    auto r = offer_from_json(c.offer);
    ASSERT_FALSE(r) << dump_json(c.offer);
    EXPECT_NE(r.error().to_string().find(c.error), std::string::npos) << r.error().to_string();
  }
}

TEST(MessageJson, AReceivedEventNamesItsSenderAndAddress) {
  CollabEvent e{Sender{3, "Claude", ParticipantKind::Agent, Route{"ix.quern.word-processor", "r", std::nullopt}},
                Route{"ix.quern.photos", "r", "file:/p"},
                DocumentBytes{DocumentPayload::Whole, Blob::copy_of(std::string_view("abc"))}};
  const Json j = event_to_json(e);
  EXPECT_EQ(j["frame"], "document_bytes");
  EXPECT_EQ(j["from"]["participant"], 3);
  EXPECT_EQ(j["from"]["kind"], "agent");
  EXPECT_EQ(j["from"]["record"], nullptr);
  EXPECT_EQ(j["to"]["record"], "file:/p");
  EXPECT_EQ(j["payload"], "whole");
  EXPECT_EQ(j["bytes"], 3);
  EXPECT_EQ(j["sha256"], "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
}  // namespace quern::room

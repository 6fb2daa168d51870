#include "runtime/actions/door.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/util/quote.h"

namespace quern::actions {
namespace {

using door::DoorError;

Json parse(std::string_view text) { return parse_json(text).value(); }

EncodedAction notes_action(Json payload) { return EncodedAction{"notes.action", std::move(payload)}; }

// A small notes app: a document with a note that has tags, and a trash can.
Directory notes_directory() {
  const Encoder rename = Encoder::from_args([](const ActionArgs& args) -> Encoded {
    const std::string title = args.text("title").value_or("");
    if (title == "reserved") return std::unexpected(ActionError::invalid_arguments("that title is reserved"));
    return notes_action(Json{{"Rename", {{"title", title}}}});
  });
  Resource document =
      Resource("notes.document", "notes.document", "Notes")
          .with_action(ActionSpec("rename", "Rename notes", rename)
                           .with_description("Give the notes a new title")
                           .with_input_summary("The new title")
                           .with_param(ActionParam::text("title", true, "New title")
                                           .with_schema(parse(R"({"type":"string","minLength":1})")))
                           .with_param(ActionParam::text("mode", false, "How").with_choices({"keep", "replace"}))
                           .with_contract({.required_role = Role::Comment,
                                           .risk = Risk::None,
                                           .confirmation = Confirmation::none(),
                                           .retry = Retry::Idempotent,
                                           .reversible = true})
                           .with_policy_tags({"device-local", "presentation"}))
          .with_action(ActionSpec("purge", "Purge notes", Encoder::fixed(notes_action("Purge")))
                           .destructive()
                           .with_contract({.confirmation = Confirmation::with_phrase("purge everything")})
                           .execution(Execution::background(true))
                           .returns(ActionResult::job()))
          .with_action(ActionSpec("export", "Export notes", Encoder::fixed({"notes.operation", "Export"}))
                           .with_contract({.required_role = Role::Read, .confirmation = Confirmation::confirm()})
                           .returns(ActionResult::json(parse(R"({"type":"string"})"))));
  Resource note =
      Resource("notes.note:n1", "notes.note", "First note")
          .with_note("Pinned by Ann")
          .with_action(ActionSpec("archive", "Archive note", Encoder::fixed(notes_action("Archive")))
                           .with_availability(Availability::unavailable("locked", "The note is locked by its owner.")))
          .with_action(
              ActionSpec("attach-image", "Attach image", Encoder::from_text([](std::string_view hash) -> Encoded {
                           return notes_action(Json{{"Attach", {{"hash", std::string(hash)}}}});
                         }))
                  .with_content_input({"content hash", "Image content produced by the preceding action", true})
                  .execution(Execution::streaming(false, parse(R"({"type":"object"})")))
                  .returns(ActionResult::resource("notes.image")))
          .with_child(Resource("notes.note:n1#tags", "notes.tags", "2 tags")
                          .with_action(ActionSpec("clear", "Clear tags", Encoder::fixed(notes_action("ClearTags")))));
  document.add_child(std::move(note));
  Resource trash =
      Resource("notes.trash", "notes.trash", "Trash")
          .with_action(ActionSpec("label", "Label trash", Encoder::from_text([](std::string_view text) -> Encoded {
                                    return notes_action(Json{{"Label", std::string(text)}});
                                  }))
                           .with_param(ActionParam::text("value", false, "label…")));
  return {std::move(document), std::move(trash)};
}

// Every field of an offer on one line per field, the enumerations in their printed forms.
std::string describe(const ActionOffer& o) {
  std::string out;
  auto line = [&](std::string_view name, const std::string& value) { out += std::string(name) + "=" + value + "\n"; };
  auto opt = [](const std::optional<std::string>& t) { return t ? quote_escaped(*t) : std::string("-"); };
  line("id", o.operation_id());
  line("kind", o.resource_kind);
  line("resource_label", o.resource_label);
  line("action_label", o.action_label);
  line("availability",
       o.availability.available ? "available" : "unavailable(" + o.availability.reason + ") " + o.availability.detail);
  line("contract", "permission=" + to_string(o.required_role) + "; risk=" + to_string(o.risk) +
                       "; confirmation=" + to_string(o.confirmation) + "; retry=" + to_string(o.retry) +
                       "; reversible=" + (o.reversible ? "true" : "false") + "; execution=" + to_string(o.execution) +
                       "; result=" + to_string(o.result));
  for (const ActionParam& p : o.parameters) {
    std::string choices;
    for (const auto& c : p.choices) choices += " " + c;
    line("param", p.name + ": " + std::string(type_name(p.type)) + (p.required ? " required" : " optional") + " — " +
                      p.description + (choices.empty() ? "" : "; choices:" + choices) +
                      (p.constraints ? "; constraints: " + dump_json(*p.constraints) : ""));
  }
  line("note", opt(o.resource_note));
  line("content", o.content_input ? o.content_input->name + " — " + o.content_input->description +
                                        (o.consumes_produced_content() ? " (consumes produced content)" : "")
                                  : "-");
  line("description", opt(o.description));
  line("input_summary", opt(o.input_summary));
  line("destructive", o.destructive ? "true" : "false");
  std::string tags;
  for (const auto& t : o.policy_tags) tags += (tags.empty() ? "" : ",") + t;
  line("tags", tags);
  return out;
}

TEST(Survey, GivesOneOfferPerActionInDirectoryOrder) {
  const auto offers = door::survey(notes_directory());
  std::vector<std::string> ids;
  for (const ActionOffer& o : offers) ids.push_back(o.operation_id());
  EXPECT_EQ(ids, (std::vector<std::string>{"notes.document#rename", "notes.document#purge", "notes.document#export",
                                           "notes.note:n1#archive", "notes.note:n1#attach-image",
                                           "notes.note:n1#tags#clear", "notes.trash#label"}));
}

TEST(Survey, CarriesEveryFieldOfTheSpecAndItsResource) {
  const auto offers = door::survey(notes_directory());
  ASSERT_EQ(offers.size(), 7u);
  EXPECT_EQ(describe(offers[0]),
            "id=notes.document#rename\n"
            "kind=notes.document\n"
            "resource_label=Notes\n"
            "action_label=Rename notes\n"
            "availability=available\n"
            "contract=permission=Comment; risk=None; confirmation=None; retry=Idempotent; reversible=true; "
            "execution=Immediate; result=None\n"
            "param=title: text required — New title; constraints: {\"type\":\"string\",\"minLength\":1}\n"
            "param=mode: text optional — How; choices: keep replace\n"
            "note=-\n"
            "content=-\n"
            "description=\"Give the notes a new title\"\n"
            "input_summary=\"The new title\"\n"
            "destructive=false\n"
            "tags=device-local,presentation\n");
  // A destructive action is offered as such even though its contract kept the default Low risk.
  EXPECT_EQ(describe(offers[1]),
            "id=notes.document#purge\n"
            "kind=notes.document\n"
            "resource_label=Notes\n"
            "action_label=Purge notes\n"
            "availability=available\n"
            "contract=permission=Write; risk=Destructive; confirmation=Phrase { phrase: \"purge everything\" }; "
            "retry=AtMostOnce; reversible=false; execution=Background { cancellable: true }; result=Job\n"
            "note=-\n"
            "content=-\n"
            "description=-\n"
            "input_summary=-\n"
            "destructive=true\n"
            "tags=\n");
  EXPECT_EQ(describe(offers[3]),
            "id=notes.note:n1#archive\n"
            "kind=notes.note\n"
            "resource_label=First note\n"
            "action_label=Archive note\n"
            "availability=unavailable(locked) The note is locked by its owner.\n"
            "contract=permission=Write; risk=Low; confirmation=None; retry=AtMostOnce; reversible=false; "
            "execution=Immediate; result=None\n"
            "note=\"Pinned by Ann\"\n"
            "content=-\n"
            "description=-\n"
            "input_summary=-\n"
            "destructive=false\n"
            "tags=\n");
  EXPECT_EQ(describe(offers[4]),
            "id=notes.note:n1#attach-image\n"
            "kind=notes.note\n"
            "resource_label=First note\n"
            "action_label=Attach image\n"
            "availability=available\n"
            "contract=permission=Write; risk=Low; confirmation=None; retry=AtMostOnce; reversible=false; "
            "execution=Streaming { cancellable: false, item_schema: {\"type\":\"object\"} }; "
            "result=Resource { resource_kind: \"notes.image\" }\n"
            "note=\"Pinned by Ann\"\n"
            "content=content hash — Image content produced by the preceding action (consumes produced content)\n"
            "description=-\n"
            "input_summary=-\n"
            "destructive=false\n"
            "tags=\n");
  // The note belongs to the resource that says it, not to its children.
  EXPECT_EQ(offers[5].resource_note, std::nullopt);
  EXPECT_EQ(offers[5].resource_kind, "notes.tags");
}

TEST(Survey, EmptyDirectoriesAndResourcesWithoutActionsOfferNothing) {
  EXPECT_TRUE(door::survey(Directory{}).empty());
  EXPECT_TRUE(door::survey(Resource("a", "k", "A").with_child(Resource("b", "k", "B"))).empty());
}

TEST(ActionSpec, DestructiveRaisesOnlyLowerRisks) {
  const ActionSpec base("x", "X", Encoder());
  EXPECT_EQ(base.offered_risk(), Risk::Low);
  EXPECT_EQ(base.destructive().offered_risk(), Risk::Destructive);
  EXPECT_EQ(base.with_contract({.risk = Risk::None}).destructive().offered_risk(), Risk::Destructive);
  // The adjusters commute: a contract set after the mark does not undo it.
  EXPECT_EQ(base.destructive().with_contract({.risk = Risk::Low}).offered_risk(), Risk::Destructive);
  EXPECT_EQ(base.with_contract({.risk = Risk::Sensitive}).destructive().offered_risk(), Risk::Sensitive);
  EXPECT_EQ(base.with_contract({.risk = Risk::Privileged}).destructive().offered_risk(), Risk::Privileged);
  // Adjusting a copy leaves the original as it was.
  EXPECT_FALSE(base.is_destructive());
}

TEST(Resource, ActionsTakeTheResourceKindUnlessTheyNameOne) {
  const Resource r = Resource("a", "notes.note", "A")
                         .with_action(ActionSpec("x", "X", Encoder()))
                         .with_action(ActionSpec("y", "Y", Encoder()).with_resource_kind("notes.other"));
  EXPECT_EQ(r.actions()[0].resource_kind(), "notes.note");
  EXPECT_EQ(r.actions()[1].resource_kind(), "notes.other");
}

TEST(OperationId, SplitsAtTheLastHash) {
  using Parts = std::optional<std::pair<std::string_view, std::string_view>>;
  EXPECT_EQ(door::split_operation_id("notes.document#rename"), (Parts{{"notes.document", "rename"}}));
  EXPECT_EQ(door::split_operation_id("photos.photo:p1#location#view-place"),
            (Parts{{"photos.photo:p1#location", "view-place"}}));
  EXPECT_EQ(door::split_operation_id("#x"), (Parts{{"", "x"}}));
  EXPECT_EQ(door::split_operation_id("notes.document"), std::nullopt);
}

class Invoke : public ::testing::Test {
 protected:
  door::Invoked invoke(std::string_view op, std::string_view args) {
    return door::invoke_json(directory_, op, parse(args), actor_, transport_);
  }
  door::Invoked confirmed(std::string_view op, std::string_view args, const Confirmation& given) {
    return door::invoke_json_confirmed(directory_, op, parse(args), actor_, transport_, given);
  }
  // The refusal's kind and display text; the transport must have received nothing.
  std::pair<DoorError::Kind, std::string> refusal(const door::Invoked& r) {
    EXPECT_FALSE(r);
    EXPECT_TRUE(transport_.changes().empty());
    if (r) return {DoorError::Kind::NotFound, "<invoked>"};
    return {r.error().kind(), r.error().display()};
  }

  const Directory directory_ = notes_directory();
  const std::string actor_ = std::string("\x01\x00\xff", 3) + "agent";
  LocalTransport transport_;
};

TEST_F(Invoke, HandsTheEncodedActionToTheTransport) {
  auto done = invoke("notes.document#rename", R"({"title":"Plans"})");
  ASSERT_TRUE(done) << done.error().display();
  ASSERT_EQ(transport_.changes().size(), 1u);
  const ReplicatedAction& change = transport_.changes()[0];
  EXPECT_EQ(change.actor, actor_);
  EXPECT_EQ(change.resource_id, "notes.document");
  EXPECT_EQ(change.action_name, "rename");
  EXPECT_EQ(change.action, notes_action(parse(R"({"Rename":{"title":"Plans"}})")));
  EXPECT_EQ(done->invocation_id, change.invocation_id);
  EXPECT_EQ(done->action, change.action);
  EXPECT_EQ(done->resource_id, "notes.document");
  EXPECT_EQ(done->action_name, "rename");

  ASSERT_TRUE(invoke("notes.note:n1#tags#clear", "{}"));
  auto taken = transport_.take_changes();
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(taken[1].action, notes_action("ClearTags"));
  EXPECT_NE(taken[0].invocation_id, taken[1].invocation_id);
  EXPECT_TRUE(transport_.changes().empty());
}

TEST_F(Invoke, RefusesWhatItCannotFindOrBind) {
  using K = DoorError::Kind;
  struct Case {
    std::string_view op, args;
    K kind;
    std::string_view text;
  };
  for (const Case& c : {
           Case{"notes.document#nope", "{}", K::NotFound, R"(no action "notes.document#nope" is published here)"},
           Case{"notes.document", "{}", K::NotFound, R"(no action "notes.document" is published here)"},
           Case{"notes.missing#rename", "{}", K::NotFound, R"(no action "notes.missing#rename" is published here)"},
           Case{"Notes.Document#rename", R"({"title":"x"})", K::NotFound,
                R"(no action "Notes.Document#rename" is published here)"},
           Case{"notes.document#rename", R"({"title":5})", K::InvalidArguments, R"(argument "title" must be a text)"},
           Case{"notes.document#rename", R"({"title":""})", K::InvalidArguments,
                R"(argument "title" must be at least 1 character long)"},
           Case{"notes.document#rename", R"({"title":"x","mode":"merge"})", K::InvalidArguments,
                R"(argument "mode" must be one of "keep", "replace")"},
           Case{"notes.document#rename", R"({"title":"x","confirm":true})", K::InvalidArguments,
                R"(unknown argument "confirm" (this action takes "title", "mode"))"},
           Case{"notes.document#rename", "[]", K::InvalidArguments, "the arguments must be a JSON object"},
           Case{"notes.document#rename", R"({"title":"reserved"})", K::EncodingFailed, "that title is reserved"},
           Case{"notes.note:n1#archive", "{}", K::Unavailable,
                "Archive note is unavailable: The note is locked by its owner."},
       }) {
    EXPECT_EQ(refusal(invoke(c.op, c.args)), std::pair(c.kind, std::string(c.text))) << c.op << " " << c.args;
  }
  auto encoder_error = invoke("notes.document#rename", R"({"title":"reserved"})");
  ASSERT_FALSE(encoder_error);
  EXPECT_EQ(encoder_error.error().code(), "quern.invalid_arguments");
  EXPECT_EQ(invoke("notes.document#rename", R"({"title":5})").error().code(), "quern.invalid_arguments");
  EXPECT_EQ(invoke("notes.document#nope", "{}").error().code(), "quern.not_found");
}

TEST_F(Invoke, ConfirmationPoliciesMustBeMet) {
  using K = DoorError::Kind;
  const std::pair<K, std::string> needs_confirm{K::ConfirmationRequired, "Export notes requires explicit confirmation"};
  const std::pair<K, std::string> needs_phrase{K::ConfirmationRequired,
                                               "Purge notes requires the exact confirmation phrase"};
  EXPECT_EQ(refusal(invoke("notes.document#export", "{}")), needs_confirm);
  EXPECT_EQ(refusal(confirmed("notes.document#export", "{}", Confirmation::with_phrase("yes"))), needs_confirm);
  EXPECT_EQ(refusal(invoke("notes.document#purge", "{}")), needs_phrase);
  EXPECT_EQ(refusal(confirmed("notes.document#purge", "{}", Confirmation::confirm())), needs_phrase);
  EXPECT_EQ(refusal(confirmed("notes.document#purge", "{}", Confirmation::with_phrase("Purge everything"))),
            needs_phrase);
  EXPECT_EQ(refusal(confirmed("notes.document#purge", "{}", Confirmation::with_phrase("purge everything "))),
            needs_phrase);

  EXPECT_TRUE(confirmed("notes.document#export", "{}", Confirmation::confirm()));
  EXPECT_TRUE(confirmed("notes.document#purge", "{}", Confirmation::with_phrase("purge everything")));
  // An action that needs no confirmation takes any.
  EXPECT_TRUE(confirmed("notes.document#rename", R"({"title":"x"})", Confirmation::confirm()));
  ASSERT_EQ(transport_.changes().size(), 3u);
  EXPECT_EQ(transport_.changes()[0].action, (EncodedAction{"notes.operation", "Export"}));
}

TEST_F(Invoke, ContentActionsTakeTheirContentAsValue) {
  const std::string hash(64, 'a');
  auto done = invoke("notes.note:n1#attach-image", R"({"value":")" + hash + R"("})");
  ASSERT_TRUE(done) << done.error().display();
  EXPECT_EQ(done->action, notes_action(Json{{"Attach", {{"hash", hash}}}}));
  transport_.take_changes();

  using K = DoorError::Kind;
  EXPECT_EQ(refusal(invoke("notes.note:n1#attach-image", "{}")),
            std::pair(K::InvalidArguments, std::string(R"(missing the content argument "value")")));
  EXPECT_EQ(refusal(invoke("notes.note:n1#attach-image", R"({"value":null})")),
            std::pair(K::InvalidArguments, std::string(R"(missing the content argument "value")")));
  EXPECT_EQ(refusal(invoke("notes.note:n1#attach-image", R"({"value":["x"]})")),
            std::pair(K::InvalidArguments, std::string(R"(the content argument "value" must be a text)")));
  EXPECT_EQ(refusal(invoke("notes.note:n1#attach-image", R"({"value":"x","size":2})")),
            std::pair(K::InvalidArguments, std::string(R"(unknown argument "size" (this action takes no arguments))")));
}

TEST_F(Invoke, TextEncodersReceiveTheSingleInput) {
  ASSERT_TRUE(invoke("notes.trash#label", R"({"value":"Old stuff"})"));
  ASSERT_TRUE(invoke("notes.trash#label", "{}"));
  ASSERT_EQ(transport_.changes().size(), 2u);
  EXPECT_EQ(transport_.changes()[0].action, notes_action(Json{{"Label", "Old stuff"}}));
  EXPECT_EQ(transport_.changes()[1].action, notes_action(Json{{"Label", ""}}));
}

TEST(InvokeJson, FirstResourceThatCarriesTheActionAnswers) {
  const Directory twice = {
      Resource("dup", "k", "First").with_action(ActionSpec("a", "A", Encoder::fixed({"t", "first-a"}))),
      Resource("dup", "k", "Second")
          .with_action(ActionSpec("a", "A", Encoder::fixed({"t", "second-a"})))
          .with_action(ActionSpec("b", "B", Encoder::fixed({"t", "second-b"}))),
  };
  LocalTransport transport;
  EXPECT_EQ(door::invoke_json(twice, "dup#a", Json::object(), "me", transport)->action.payload, "first-a");
  EXPECT_EQ(door::invoke_json(twice, "dup#b", Json::object(), "me", transport)->action.payload, "second-b");
}

TEST(InvokeJson, ReportsATransportThatRefuses) {
  struct Refusing final : ActionTransport {
    Result<void> replicate(ReplicatedAction) override { return fail("the queue is full"); }
  } refusing;
  const Resource root = Resource("r", "k", "R").with_action(ActionSpec("a", "Do", Encoder::fixed({"t", 1})));
  auto r = door::invoke_json(root, "r#a", Json::object(), "me", refusing);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), DoorError::Kind::TransportFailed);
  EXPECT_EQ(r.error().display(), "the change could not be handed on: the queue is full");
}

TEST(Encoders, EnforceOperationTypeRefusesOtherTypes) {
  const Encoder attach = resource::enforce_operation_type(
      Encoder::from_text([](std::string_view path) -> Encoded {
        return EncodedAction{path.empty() ? "chat.action" : "chat.operation", std::string(path)};
      }),
      "chat.operation");
  EXPECT_TRUE(attach.takes_text());
  EXPECT_EQ(attach("/tmp/report.pdf"), (EncodedAction{"chat.operation", "/tmp/report.pdf"}));
  auto refused = attach("");
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().code(), "quern.invalid_operation_type");
  EXPECT_EQ(refused.error().display(),
            R"(this action must encode an operation of type "chat.operation", not "chat.action")");
  // An encoder's own refusal passes through unchanged.
  const Encoder failing = resource::enforce_operation_type(
      Encoder::from_args([](const ActionArgs&) -> Encoded { return std::unexpected(ActionError("x.code", "no")); }),
      "chat.operation");
  EXPECT_EQ(failing(ActionArgs()).error(), ActionError("x.code", "no"));
}

TEST(Encoders, DefaultEncoderRefusesAndFormsConvert) {
  EXPECT_EQ(Encoder()(ActionArgs()).error().code(), "quern.no_encoder");
  EXPECT_EQ(Encoder()(std::string_view("x")).error().code(), "quern.no_encoder");
  const Encoder echo_args = Encoder::from_args([](const ActionArgs& a) -> Encoded {
    return EncodedAction{"t", a.json()};
  });
  EXPECT_EQ(echo_args(std::string_view("hi"))->payload, parse(R"({"value":"hi"})"));
  const Encoder echo_text = Encoder::from_text([](std::string_view t) -> Encoded {
    return EncodedAction{"t", std::string(t)};
  });
  EXPECT_EQ(echo_text(ActionArgs::unchecked(parse(R"({"value":"hi"})")))->payload, "hi");
}

TEST(Encoders, DeriveInputPrefersTheContentThenTheFirstParameter) {
  const ActionArgs args = ActionArgs::unchecked(parse(R"({"value":"v","name":"n","n":5})"));
  const ActionSpec content = ActionSpec("a", "A", Encoder()).with_content_input({"content hash", "", true});
  const ActionSpec named = ActionSpec("a", "A", Encoder()).with_param(ActionParam::text("name", true, ""));
  const ActionSpec number =
      ActionSpec("a", "A", Encoder()).with_param(ActionParam::of_type("n", ParamType::Number, true, ""));
  EXPECT_EQ(resource::derive_input(content, args), "v");
  EXPECT_EQ(resource::derive_input(named, args), "n");
  EXPECT_EQ(resource::derive_input(number, args), "");
  EXPECT_EQ(resource::derive_input(ActionSpec("a", "A", Encoder()), args), "");
}

}  // namespace
}  // namespace quern::actions

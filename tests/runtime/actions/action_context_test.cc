#include "runtime/actions/action_context.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "runtime/actions/invocation_id.h"
#include "runtime/actions/outcome.h"

namespace quern::actions {
namespace {

Json parse(std::string_view text) { return parse_json(text).value(); }

ActionContext agent_run() {
  return ActionContext{
      .app = ActionApp{"ix.quern.word-processor", "Agent"},
      .resource = ActionResource{"active document", "document", "active document"},
      .action_label = "Agent task",
      .purpose = "turn the bullets into a table",
      .group = ActionGroup{"agent-run:b7", "turn the bullets into a table", "agent-run"},
      .facets = {},
  };
}

TEST(ActionContext, JsonKeepsDeclarationOrderAndRoundTrips) {
  const ActionContext ctx = agent_run().with_facet("assigned-by", "entry:1").with_facet("assigned-by", "entry:2");
  EXPECT_EQ(dump_json(ctx.to_json()),
            R"({"app":{"id":"ix.quern.word-processor","label":"Agent"},)"
            R"("resource":{"id":"active document","kind":"document","label":"active document"},)"
            R"("action_label":"Agent task","purpose":"turn the bullets into a table",)"
            R"("group":{"id":"agent-run:b7","label":"turn the bullets into a table","kind":"agent-run"},)"
            R"("facets":[{"key":"assigned-by","value":"entry:1"},{"key":"assigned-by","value":"entry:2"}]})");
  EXPECT_EQ(ActionContext::from_json(ctx.to_json()), ctx);
  const ActionContext empty;
  EXPECT_EQ(dump_json(empty.to_json()),
            R"({"app":null,"resource":null,"action_label":"","purpose":null,"group":null,"facets":[]})");
  EXPECT_EQ(ActionContext::from_json(empty.to_json()), empty);
}

TEST(ActionContext, MissingMembersReadAsEmptyOrAbsent) {
  struct Case {
    std::string_view json;
    ActionContext want;
  };
  for (const Case& c : {
           Case{R"({})", ActionContext{}},
           Case{R"({"action_label":"Run","unknown":[1]})", ActionContext{.action_label = "Run"}},
           Case{R"({"purpose":"p","facets":null})", ActionContext{.purpose = "p"}},
           Case{R"({"group":{"id":"t1","label":"Title","kind":"task"}})",
                ActionContext{.group = ActionGroup{"t1", "Title", "task"}}},
           Case{R"({"app":{"label":"Agent","id":"a","extra":1}})", ActionContext{.app = ActionApp{"a", "Agent"}}},
       }) {
    auto got = ActionContext::from_json(parse(c.json));
    ASSERT_TRUE(got) << c.json << ": " << got.error().to_string();
    EXPECT_EQ(*got, c.want) << c.json;
  }
}

TEST(ActionContext, MalformedMembersMakeTheWholeContextUnreadable) {
  struct Case {
    std::string_view json, error;
  };
  for (const Case& c : {
           Case{R"([])", "the action context is not a JSON object"},
           Case{R"({"app":{"id":"a"}})", R"(the context's app has no text "label")"},
           Case{R"({"resource":{"id":"r","kind":"k","label":7}})", R"(the context's resource has no text "label")"},
           Case{R"({"group":{"id":"g","label":"l"}})", R"(the context's group has no text "kind")"},
           Case{R"({"group":"task"})", "the context's group is not an object"},
           Case{R"({"facets":[{"key":"k"}]})", R"(the context's facet has no text "value")"},
           Case{R"({"facets":{"key":"k","value":"v"}})", "the context's facets are not a list"},
           Case{R"({"action_label":5})", "the context's action_label is not a text"},
           Case{R"({"purpose":false})", "the context's purpose is not a text"},
       }) {
    auto got = ActionContext::from_json(parse(c.json));
    ASSERT_FALSE(got) << c.json;
    EXPECT_EQ(got.error().to_string(), c.error) << c.json;
  }
}

TEST(ActionContext, ChangeMessageNamesTheActionAndItsGroup) {
  struct Case {
    ActionContext ctx;
    std::string want;
  };
  const std::string long_request(300, 'x');
  for (const Case& c : {
           Case{agent_run(), "Agent task: turn the bullets into a table"},
           Case{ActionContext{.action_label = "Agent task", .purpose = "tidy up"}, "Agent task: tidy up"},
           Case{ActionContext{.action_label = "Rename", .group = ActionGroup{"g", "Rename", "k"}}, "Rename"},
           Case{ActionContext{.action_label = "  Add\n  row  "}, "Add row"},
           Case{ActionContext{.resource = ActionResource{"r", "k", "Table 1"}}, "Table 1"},
           Case{ActionContext{.app = ActionApp{"a", "Photos"}, .purpose = "crop"}, "Photos: crop"},
           Case{ActionContext{}, "Change"},
           Case{ActionContext{.action_label = "Agent task", .purpose = long_request},
                "Agent task: " + std::string(227, 'x') + "…"},
       }) {
    EXPECT_EQ(c.ctx.change_message(), c.want);
  }
}

TEST(Context, NonemptyIsAbsentOnlyForTheEmptyText) {
  EXPECT_EQ(context::nonempty(""), std::nullopt);
  EXPECT_EQ(context::nonempty(" "), " ");
  EXPECT_EQ(context::nonempty("request"), "request");
}

TEST(InvocationId, IsAFreshVersionFourUuidEachTime) {
  const std::regex v4("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const InvocationId id = InvocationId::generate();
    EXPECT_TRUE(std::regex_match(id.text(), v4)) << id.text();
    seen.insert(id.text());
  }
  EXPECT_EQ(seen.size(), 1000u);
  EXPECT_EQ(InvocationId::from_text("inv-7").text(), "inv-7");
}

TEST(Outcome, ContentHashRecognisesStoredContentReferences) {
  const std::string hash = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
  EXPECT_EQ(outcome::content_ref(hash), (ResourceRef{"content:" + hash, "content"}));
  struct Case {
    ResourceRef ref;
    std::optional<std::string> want;
  };
  for (const Case& c : {
           Case{outcome::content_ref(hash), hash},
           Case{ResourceRef{hash, "content"}, hash},
           Case{ResourceRef{"content:" + hash, "photos.photo"}, std::nullopt},
           Case{ResourceRef{"content:" + hash.substr(1), "content"}, std::nullopt},
           Case{ResourceRef{"content:" + hash + "0", "content"}, std::nullopt},
           Case{ResourceRef{"content:9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08", "content"},
                std::nullopt},
           Case{ResourceRef{"photos.photo:p1", "content"}, std::nullopt},
       }) {
    EXPECT_EQ(outcome::content_hash(c.ref), c.want) << c.ref.id << " " << c.ref.kind;
  }
}

}  // namespace
}  // namespace quern::actions

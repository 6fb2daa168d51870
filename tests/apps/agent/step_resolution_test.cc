// Step resolution against a small catalogue: recipes and deferral by name, argument objects
// (given, or the one quoted passage of the instruction), the confirmation policies and their
// metadata members, binding errors; chaining a plan with its `then`; binding produced content;
// and the stricter checks for unattended tasks.
#include "apps/agent/src/step_resolution.h"

#include <gtest/gtest.h>

#include "apps/agent/src/catalogue.h"

namespace quern::agent {
namespace {

using actions::ActionParam;
using actions::Confirmation;

CatalogueEntry entry(std::string resource, std::string action, std::vector<ActionParam> params = {},
                     Confirmation confirmation = {}, CatalogueSource source = CatalogueSource::local()) {
  CatalogueEntry e;
  e.source = source;
  e.app = source.is_broker() ? "files" : "word-processor";
  e.offer.resource_id = std::move(resource);
  e.offer.action_name = std::move(action);
  e.offer.resource_kind = "word_processor.document";
  e.offer.resource_label = "the document";
  e.offer.action_label = "Do " + e.offer.action_name;
  e.offer.parameters = std::move(params);
  e.offer.confirmation = std::move(confirmation);
  return e;
}

const std::vector<CatalogueEntry>& catalogue() {
  static const std::vector<CatalogueEntry> entries = [] {
    std::vector<CatalogueEntry> out;
    out.push_back(entry("doc", "rename", {ActionParam::text("title", true, "The new title")}));
    out.push_back(entry("doc", "clear"));
    out.push_back(entry("doc", "erase", {}, Confirmation::confirm()));
    out.push_back(entry("doc", "wipe", {}, Confirmation::with_phrase("Wipe it")));
    out.push_back(
        entry("files.entry:1", "share", {ActionParam::text("to", true, "Who")}, {}, CatalogueSource::broker(7)));
    CatalogueEntry open = entry("photos.app", "open");
    open.offer.content_input = actions::ContentInput{"value", "The content to open it onto", true};
    out.push_back(open);
    return out;
  }();
  return entries;
}

TEST(ResolveStep, ByNameArgumentsAndConfirmation) {
  struct Case {
    std::string operation;
    std::optional<Json> arguments;
    std::string instruction;
    std::string expect;  // "invoke {args}", "recipe table", "deferred {text}", or the refusal's debug form
  };
  const std::vector<Case> cases{
      {"none", std::nullopt, "open the photos", "deferred open the photos"},
      {"table", std::nullopt, "", "recipe table"},
      {"heading", Json{{"x", 1}}, "", "recipe heading"},
      {"doc#missing", std::nullopt, "", "NotExported(\"doc#missing\")"},
      {"Doc#clear", std::nullopt, "", "NotExported(\"Doc#clear\")"},
      {"doc#rename", Json{{"title", "Plan"}}, "", "invoke {\"title\":\"Plan\"}"},
      {"doc#rename", std::nullopt, "rename it to \u201c Plan B \u201d", "invoke {\"title\":\"Plan B\"}"},
      {"doc#rename", std::nullopt, "rename it to \"Plan\"", "invoke {\"title\":\"Plan\"}"},
      {"doc#rename", std::nullopt, "call it \"a\" or \u201cb\u201d",
       "Unusable(\"Do rename requires structured arguments and neither the answer nor the instruction supplied a "
       "valid object\")"},
      {"doc#rename", std::nullopt, "call it \"a\" or \"b",
       "Unusable(\"Do rename requires structured arguments and neither the answer nor the instruction supplied a "
       "valid object\")"},
      {"doc#rename", Json{{"title", 3}}, "", ""},  // a bind error: checked below by kind only
      {"doc#clear", Json{{"confirm", true}, {"confirmation_phrase", "x"}}, "", "invoke {}"},
      {"doc#erase", Json{{"confirm", true}}, "", "invoke {} Confirm"},
      {"doc#erase", Json{{"confirm", "true"}}, "", "Unusable(\"Do erase requires `confirm: true`\")"},
      {"doc#erase", Json::object(), "", "Unusable(\"Do erase requires `confirm: true`\")"},
      {"doc#wipe", Json{{"confirmation_phrase", "Wipe it"}, {"confirm", true}}, "", "invoke {} Phrase"},
      {"doc#wipe", Json{{"confirmation_phrase", "wipe it"}}, "",
       "Unusable(\"Do wipe requires the exact confirmation phrase\")"},
      {"photos.app#open", std::nullopt, "", "invoke {}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.operation + " " + (c.arguments ? dump_json(*c.arguments) : "-") + " " + c.instruction);
    auto r = resolve_step(c.operation, c.arguments, c.instruction, catalogue());
    if (c.expect.empty()) {
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().kind, StepRefusal::Kind::Unusable);
      continue;
    }
    std::string got;
    if (!r) {
      got = r.error().debug();
    } else if (const auto* invoke = std::get_if<InvokeStep>(&*r)) {
      got = "invoke " + dump_json(invoke->arguments);
      if (invoke->confirmation.kind == Confirmation::Kind::Confirm) got += " Confirm";
      if (invoke->confirmation.kind == Confirmation::Kind::Phrase) got += " Phrase";
      EXPECT_EQ(entry_id(*invoke->entry), c.operation);
    } else if (const auto* recipe = std::get_if<RecipeCall>(&*r)) {
      got = "recipe " + std::string(recipe_name(recipe->recipe));
    } else {
      got = "deferred " + std::get<DeferredStep>(*r).text;
    }
    EXPECT_EQ(got, c.expect);
  }
}

TEST(ResolvePlan, FirstRefusalRefusesAndThenIsDeferred) {
  Plan plan{{{"doc#clear", Json::object()}, {"caption", Json::object()}}, "why", "then share it"};
  auto steps = resolve_plan(plan, "clear it", catalogue());
  ASSERT_TRUE(steps);
  ASSERT_EQ(steps->size(), 3u);
  EXPECT_EQ(to_decision_step((*steps)[2]), Step{UnresolvedStep{"then share it"}});
  EXPECT_EQ(to_decision_step((*steps)[1]), Step{RecipeStep{Recipe::Caption}});
  plan.steps.insert(plan.steps.begin() + 1, PlanStep{"doc#gone", Json::object()});
  auto refused = resolve_plan(plan, "clear it", catalogue());
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().debug(), "NotExported(\"doc#gone\")");
}

TEST(BindProducedContent, TakesTheOneStoredContentElseTheValue) {
  const std::string hash(64, 'a');
  const actions::ResourceRef content = actions::outcome::content_ref(hash);
  const actions::ResourceRef other{"photos.album:1", "photos.album"};
  struct Case {
    std::optional<PreviousResult> previous;
    std::string expect;
  };
  const std::vector<Case> cases{
      {std::nullopt, "a content-consuming action has no preceding action result"},
      {PreviousResult{{content, content}, "v"}, "the previous action produced more than one content resource"},
      {PreviousResult{{other, content}, "v"}, dump_json(Json{{"value", hash}})},
      {PreviousResult{{other}, "v"}, dump_json(Json{{"value", "v"}})},
      {PreviousResult{{other}, std::nullopt}, "the previous action produced no content resource"},
  };
  const CatalogueEntry& open = catalogue().back();
  for (const auto& c : cases) {
    auto r = bind_produced_content(open, Json{{"x", 1}}, c.previous);
    EXPECT_EQ(r ? dump_json(*r) : r.error(), c.expect);
  }
  EXPECT_EQ(bind_produced_content(catalogue()[1], Json{{"x", 1}}, std::nullopt).value(), (Json{{"x", 1}}));
}

TEST(CheckTaskStep, TheStricterRulesInOrder) {
  const auto& all = catalogue();
  const std::vector<CatalogueEntry> brokered{all[4]};
  auto resolve = [&](std::string op, Json args) { return resolve_step(op, args, "", all); };
  struct Case {
    std::expected<ResolvedStep, StepRefusal> resolved;
    std::string expect;
  };
  const std::vector<Case> cases{
      {resolve("doc#gone", Json::object()), "Model selected an unavailable action: NotExported(\"doc#gone\")"},
      {resolve("table", Json::object()), "Model task plans must name broker-published actions"},
      {resolve("none", Json::object()), "Model task plans must name broker-published actions"},
      {resolve("doc#erase", Json{{"confirm", true}}), "An unattended task cannot satisfy an interactive confirmation"},
      {resolve("doc#clear", Json::object()), "The planned action is no longer published"},
  };
  for (const auto& c : cases) {
    auto r = check_task_step(c.resolved, brokered);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), c.expect);
  }
  EXPECT_EQ(check_task_step(resolve("doc#clear", Json::object()), all).error(),
            "Tasks cannot invoke a local-only action");
  auto ok = check_task_step(resolve("broker:7:files.entry:1#share", Json{{"to", "ada"}}), brokered);
  ASSERT_TRUE(ok) << ok.error();
  EXPECT_EQ(ok->participant, 7u);
  EXPECT_EQ(ok->app, "files");
  EXPECT_EQ(ok->action_name, "share");
  EXPECT_EQ(ok->arguments, (Json{{"to", "ada"}}));
}

}  // namespace
}  // namespace quern::agent

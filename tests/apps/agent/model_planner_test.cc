#include "apps/agent/src/model_planner.h"

#include <gtest/gtest.h>

#include "apps/agent/src/catalogue.h"
#include "apps/agent/src/step_resolution.h"
#include "apps/agent/src/surface.h"
#include "runtime/folio/materialize.h"
#include "runtime/folio/schema.h"
#include "tests/apps/agent/writer.h"
#include "tests/support/scripted_http_server.h"

namespace quern::agent {
namespace {

using quern::test::ScriptedHttpServer;
using quern::test::ScriptedResponse;

// The keyword vocabulary's place: records that it was asked and decides one recipe step.
class FallbackPlanner final : public Planner {
 public:
  explicit FallbackPlanner(int& asked) : asked_(asked) {}
  Result<Decision> decide(const PlanningInput&) override {
    ++asked_;
    return Decision{"keywords", DecidedBy::Keywords, {RecipeStep{Recipe::Table}}, 1};
  }

 private:
  int& asked_;
};

std::string tool_use(std::string_view id, std::string_view name, const Json& input) {
  return dump_json(Json{{"type", "tool_use"}, {"id", id}, {"name", name}, {"input", input}});
}
std::string answer(const std::string& block) { return R"({"content":[)" + block + R"(],"stop_reason":"tool_use"})"; }

// One word-processor document with an instruction, the agent's replica of it, and a provider on
// loopback that answers with a script.
struct PlanningFixture {
  explicit PlanningFixture(std::vector<ScriptedResponse> script, Duration deadline = millis(5000))
      : server(std::move(script)) {
    settings.name = "Claude";
    settings.model_timeout = deadline;
    settings.live = true;
    auto config = gateway::ProviderConfig::parse("[profiles.p]\nkind = \"anthropic\"\nendpoint = \"" + server.url() +
                                                 "\"\nselected_model = \"m1\"\n[[profiles.p.models]]\nid = \"m1\"\n");
    EXPECT_TRUE(config);
    mode = decision_mode_for(*config, settings);
    writer.append("Quarterly figures");
    block = writer.append("Claude: add a table");
    auto copy = crdt::Document::load(writer.doc().save());
    EXPECT_TRUE(copy);
    replica.emplace(make_replica(std::move(*copy), crdt::ActorId("agent"), word_processor_surface(),
                                 collab::Route{"ix.quern.word-processor", "room", std::nullopt}));
    auto schema = folio::model::open(replica->document);
    EXPECT_TRUE(schema);
    auto v = folio::model::materialize(replica->document, *schema);
    EXPECT_TRUE(v);
    view.emplace(std::move(*v));
    instruction = Instruction{1, block, "add a table"};
  }

  Result<Decision> decide(Planner& planner) {
    const PlanningInput input{.settings = settings,
                              .decision_mode = mode,
                              .permissions = permissions,
                              .instruction = instruction,
                              .view = *view,
                              .paragraphs = view->body(),
                              .replicas = {PlanningReplica{&*replica, true}},
                              .broker_catalogue = broker,
                              .clock = system_clock()};
    return planner.decide(input);
  }

  ScriptedHttpServer server;
  SessionSettings settings;
  DecisionMode mode;
  ui::permissions::PermissionContext permissions = ui::permissions::PermissionContext::from_capabilities(
      {"Claude"}, {{"Claude", "ix.quern.word-processor", "invited"}});
  test::Writer writer;
  std::string block;
  std::optional<Replica> replica;
  std::optional<folio::model::DocumentView> view;
  Instruction instruction;
  std::vector<collab::ParticipantRecord> broker;
};

const Json kTablePlan = Json::parse(R"({"steps":[{"operation":"word-processor.document#insert-table",
  "arguments":{}}],"why":"the request asks for a table","then":null})");

TEST(ModelPlanner, AResolvedPlanIsTheModelsDecision) {
  PlanningFixture f({ScriptedResponse::json(answer(tool_use("t1", "list_operations", Json{{"search", "table"}}))),
                     ScriptedResponse::json(answer(tool_use("t2", "plan", kTablePlan)))});
  int asked = 0;
  ModelPlanner planner(std::make_unique<FallbackPlanner>(asked));
  auto decision = f.decide(planner);
  ASSERT_TRUE(decision) << decision.error().to_string();
  EXPECT_EQ(decision->summary, "claude-opus-5: the request asks for a table");
  EXPECT_EQ(decision->decided_by, DecidedBy::Model);
  ASSERT_EQ(decision->steps.size(), 1u);
  const auto* step = std::get_if<ActionStep>(&decision->steps[0]);
  ASSERT_NE(step, nullptr);
  EXPECT_EQ(step->operation, "word-processor.document#insert-table");
  EXPECT_GT(decision->offers, 0u);
  EXPECT_EQ(asked, 0);
  // The model saw the document and the request.
  EXPECT_NE(
      f.server.request(0).json()["messages"][0]["content"].get<std::string>().find(
          "1. paragraph: Quarterly figures\n2. paragraph: Claude: add a table\n\nThe instruction asks for:\n\nadd "
          "a table\n"),
      std::string::npos);
}

TEST(ModelPlanner, EveryOtherOutcomeLetsTheFallbackDecideAndSaysWhy) {
  struct Case {
    const char* what;
    std::vector<ScriptedResponse> script;
    std::string summary_prefix;
  };
  const Json bad_arguments = Json::parse(R"({"steps":[{"operation":"word-processor.document#insert-table",
    "arguments":{"rows":"two"}}],"why":"w","then":null})");
  std::vector<Case> cases;
  cases.push_back({"text only",
                   {ScriptedResponse::json(R"({"content":[{"type":"text","text":"no"}]})")},
                   "the call failed: the model neither discovered actions nor submitted a plan"});
  cases.push_back({"busy until the deadline", {}, "the call failed: the model service was busy (HTTP 529)"});
  cases.push_back({"a refused step",
                   {ScriptedResponse::json(answer(tool_use("t1", "list_operations", Json::object()))),
                    ScriptedResponse::json(answer(tool_use("t2", "plan", bad_arguments)))},
                   "answered \""});
  for (auto& c : cases) {
    const bool busy = c.script.empty();
    PlanningFixture f(std::move(c.script), busy ? millis(600) : millis(5000));
    if (busy) f.server.set_fallback(ScriptedResponse::json(R"({"error":{"message":"overloaded"}})", 529));
    int asked = 0;
    ModelPlanner planner(std::make_unique<FallbackPlanner>(asked));
    auto decision = f.decide(planner);
    ASSERT_TRUE(decision) << c.what;
    EXPECT_TRUE(decision->summary.starts_with(c.summary_prefix)) << c.what << ": " << decision->summary;
    EXPECT_TRUE(
        decision->summary.ends_with(c.summary_prefix.starts_with("answered") ? ", which the app does not export" : ""))
        << c.what;
    EXPECT_EQ(decision->decided_by, DecidedBy::Keywords) << c.what;
    EXPECT_EQ(decision->steps, (std::vector<Step>{RecipeStep{Recipe::Table}})) << c.what;
    EXPECT_EQ(asked, 1) << c.what;
  }
}

TEST(ModelPlanner, APlanThatDefersIsStillTheModelsDecision) {
  const Json deferring = Json::parse(R"({"steps":[{"operation":"none","arguments":{}}],"why":"later",
    "then":"  and caption it  "})");
  PlanningFixture f({ScriptedResponse::json(answer(tool_use("t1", "plan", deferring)))});
  int asked = 0;
  ModelPlanner planner(std::make_unique<FallbackPlanner>(asked));
  auto decision = f.decide(planner);
  ASSERT_TRUE(decision);
  EXPECT_EQ(decision->summary, "claude-opus-5: later");
  EXPECT_EQ(decision->decided_by, DecidedBy::Model);
  EXPECT_EQ(decision->steps, (std::vector<Step>{UnresolvedStep{"add a table"}, UnresolvedStep{"and caption it"}}));
  EXPECT_EQ(asked, 0);
}

TEST(ModelPlanner, WithoutAModelTheFallbackDecides) {
  for (const bool live : {true, false}) {
    PlanningFixture f({});
    f.settings.live = live;
    f.mode = decision_mode_for(std::nullopt, f.settings);
    int asked = 0;
    ModelPlanner planner(std::make_unique<FallbackPlanner>(asked));
    auto decision = f.decide(planner);
    ASSERT_TRUE(decision);
    EXPECT_EQ(decision->summary, live ? "no api key" : "switched off");
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(f.server.request_count(), 0u);
  }
}

}  // namespace
}  // namespace quern::agent

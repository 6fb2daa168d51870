#include "apps/agent/src/model_conversation.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/actions/action_offer.h"
#include "tests/support/scripted_http_server.h"

namespace quern::agent {
namespace {

using quern::test::ScriptedHttpServer;
using quern::test::ScriptedResponse;

gateway::ProviderConfig config_for(const std::string& endpoint, std::string_view kind = "anthropic",
                                   bool discovery = true) {
  std::string text = "[profiles.p]\nkind = \"" + std::string(kind) + "\"\nendpoint = \"" + endpoint +
                     "\"\nselected_model = \"m1\"\naction_discovery = " + (discovery ? "true" : "false") +
                     "\n[[profiles.p.models]]\nid = \"m1\"\n";
  auto parsed = gateway::ProviderConfig::parse(text);
  EXPECT_TRUE(parsed) << parsed.error().to_string();
  return parsed ? *parsed : gateway::ProviderConfig{};
}

gateway::GatewayOptions quick_retries() {
  gateway::GatewayOptions o;
  o.retry.first_wait = millis(40);
  o.retry.max_wait = millis(80);
  o.retry.min_attempt = millis(30);
  return o;
}

CatalogueEntry table_entry() {
  CatalogueEntry e;
  e.app = "word-processor";
  e.offer.resource_id = "word-processor.document";
  e.offer.action_name = "insert-table";
  e.offer.resource_kind = "word_processor.document";
  e.offer.resource_label = "The document";
  e.offer.action_label = "Insert a table";
  return e;
}

std::string tool_use(std::string_view id, std::string_view name, const Json& input) {
  Json b = {{"type", "tool_use"}, {"id", id}, {"name", name}, {"input", input}};
  return dump_json(b);
}

std::string answer(const std::vector<std::string>& blocks, std::string_view stop = "tool_use") {
  std::string out = R"({"id":"msg","type":"message","role":"assistant","content":[)";
  for (std::size_t i = 0; i < blocks.size(); ++i) out += (i ? "," : "") + blocks[i];
  return out + R"(],"stop_reason":")" + std::string(stop) + "\"}";
}

const Json kPlanInput = Json::parse(
    R"({"steps":[{"operation":"word-processor.document#insert-table","arguments":{}}],"why":"a table","then":null})");

// A conversation against a scripted provider on loopback, with everything else real.
struct Conversation {
  explicit Conversation(std::vector<ScriptedResponse> script, Duration deadline = millis(5000),
                        gateway::GatewayOptions options = {})
      : server(std::move(script)),
        gateway(config_for(server.url()), options),
        client(gateway),
        selection(model_selection(*gateway.config(), deadline, true)) {}

  ModelOutcome run(Clock& clock = system_clock()) {
    ConversationInput input{.instruction = "  make a table ",
                            .blocks = blocks,
                            .tools = ToolContext{entries, {}, open_apps},
                            .step_cap = 8};
    return plan_with_model(client, clock, selection, true, input);
  }

  ScriptedHttpServer server;
  gateway::ModelGateway gateway;
  platform::GatewayModelClient client;
  std::optional<ModelSelection> selection;
  std::vector<CatalogueEntry> entries = {table_entry()};
  std::vector<std::string> open_apps = {"word-processor"};
  std::vector<DocumentItem> blocks = {{"b1", "paragraph", " Some text ", {}},
                                      {"b2", "paragraph", "Claude: make a table", {}}};
};

std::string failure(const ModelOutcome& outcome) {
  if (const auto* f = std::get_if<ModelFailed>(&outcome)) return f->reason;
  return "(not a failure: " + outcome_summary(outcome) + ")";
}

TEST(ModelConversation, DiscoveryThenPlanWithTheRequestsInTheirExactForm) {
  const std::string first_answer =
      R"({"id":"msg_1","type":"message","role":"assistant","content":[{"type":"text","text":"Let me look.","extra":[1,{"z":0,"a":1}]},)" +
      tool_use("t1", "list_operations", Json{{"application", "word-processor"}}) + "," +
      tool_use("t2", "list_tables", Json::object()) + R"(],"stop_reason":"tool_use"})";
  Conversation c(
      {ScriptedResponse::json(first_answer), ScriptedResponse::json(answer({tool_use("t3", "plan", kPlanInput)}))});
  const ModelOutcome outcome = c.run();
  ASSERT_TRUE(std::holds_alternative<Plan>(outcome)) << outcome_summary(outcome);
  const Plan& plan = std::get<Plan>(outcome);
  ASSERT_EQ(plan.steps.size(), 1u);
  EXPECT_EQ(plan.steps[0].operation, "word-processor.document#insert-table");
  EXPECT_EQ(outcome_summary(outcome), "claude-opus-5: a table");
  ASSERT_EQ(c.server.request_count(), 2u);

  const std::string user_text =
      "The shared document as it stands:\\n\\n1. paragraph: Some text\\n2. paragraph: Claude: make a table\\n\\nThe "
      "instruction asks for:\\n\\nmake a table\\n";
  const std::string head =
      R"({"model":"m1","max_tokens":4096,"system":"Drive Quern exclusively through the resource/action tools. Discover before planning. Preserve every argument's declared JSON type. Never invent an operation id or parameter.","tools":)";
  const std::string first_user = R"({"role":"user","content":")" + user_text + "\"}";
  EXPECT_EQ(c.server.request(0).body,
            head + dump_json(tool_definitions(initial_shown_ids(), 8)) + R"(,"messages":[)" + first_user + "]}");

  ShownIds after_listing = initial_shown_ids();
  after_listing.insert("word-processor.document#insert-table");
  const std::string listing =
      "\\nword-processor.document — The document (word_processor.document)\\n  "
      "word-processor.document#insert-table — Insert a table\\n";
  EXPECT_EQ(c.server.request(1).body,
            head + dump_json(tool_definitions(after_listing, 8)) + R"(,"messages":[)" + first_user +
                R"(,{"role":"assistant","content":[{"type":"text","text":"Let me look.","extra":[1,{"z":0,"a":1}]},)" +
                R"({"type":"tool_use","id":"t1","name":"list_operations","input":{"application":"word-processor"}},)" +
                R"({"type":"tool_use","id":"t2","name":"list_tables","input":{}}]},)" +
                R"({"role":"user","content":[{"type":"tool_result","tool_use_id":"t1","content":")" + listing +
                R"("},{"type":"tool_result","tool_use_id":"t2","content":"There is no tool called list_tables."}]}]})");
  EXPECT_EQ(c.server.request(1)
                .json()["tools"][3]["input_schema"]["properties"]["steps"]["items"]["properties"]["operation"]["enum"],
            Json::array({"none", "word-processor.document#insert-table"}));
}

TEST(ModelConversation, EveryWayATurnCanFail) {
  struct Case {
    const char* what;
    std::string body;
    std::string reason;
  };
  const std::string listing = tool_use("t1", "list_operations", Json::object());
  const std::string plan = tool_use("t2", "plan", kPlanInput);
  const Case cases[] = {
      {"text only", answer({R"({"type":"text","text":"I would insert a table."})"}, "end_turn"),
       "the model neither discovered actions nor submitted a plan"},
      {"no blocks", answer({}, "end_turn"), "the model neither discovered actions nor submitted a plan"},
      {"plan after a call", answer({listing, plan}), "plan must be the only tool call in its turn"},
      {"plan before a call", answer({plan, listing}), "plan must be the only tool call in its turn"},
      {"two plans", answer({plan, tool_use("t3", "plan", kPlanInput)}), "plan must be the only tool call in its turn"},
      {"refusal", answer({plan}, "refusal"), "the model declined the action request"},
      {"no content", R"({"stop_reason":"end_turn"})", "action response had no content blocks"},
      {"content not an array", R"({"content":{"type":"text"}})", "action response had no content blocks"},
      {"not an object", R"([1,2])", "action response had no content blocks"},
      {"call without id", answer({R"({"type":"tool_use","name":"list_operations","input":{}})"}),
       "tool call had no id"},
      {"call with a numeric id", answer({R"({"type":"tool_use","id":5,"name":"list_operations"})"}),
       "tool call had no id"},
      {"call without name", answer({R"({"type":"tool_use","id":"t9","input":{}})"}), "tool call had no name"},
      {"plan naming what was never listed", answer({plan}),
       "named \"word-processor.document#insert-table\", which no listing in this conversation returned"},
  };
  for (const Case& c : cases) {
    Conversation conv({ScriptedResponse::json(c.body)});
    EXPECT_EQ(failure(conv.run()), c.reason) << c.what;
    EXPECT_EQ(conv.server.request_count(), 1u) << c.what;
  }

  Conversation unreadable({ScriptedResponse::json(R"({"content": [)")});
  EXPECT_TRUE(failure(unreadable.run()).starts_with("unreadable action response: ")) << failure(unreadable.run());
}

TEST(ModelConversation, AMissingInputIsAnEmptyObjectAndUnknownBlocksAreSkipped) {
  Conversation c({ScriptedResponse::json(answer({R"({"type":"thinking","thinking":"hm"})", R"("odd")",
                                                 R"({"type":"tool_use","id":"t1","name":"list_operations"})"})),
                  ScriptedResponse::json(answer({tool_use("t2", "plan", kPlanInput)}))});
  EXPECT_TRUE(std::holds_alternative<Plan>(c.run()));
  ASSERT_EQ(c.server.request_count(), 2u);
  const Json second = c.server.request(1).json();
  EXPECT_NE(second["messages"][2]["content"][0]["content"].get<std::string>().find("insert-table — Insert a table"),
            std::string::npos);
}

// Reads the real clock, but jumps past any deadline once the server has seen its first request.
class JumpingClock final : public Clock {
 public:
  explicit JumpingClock(const ScriptedHttpServer& server) : server_(server) {}
  Instant now() const override {
    return system_clock().now() + (server_.request_count() >= 1 ? std::chrono::hours(1) : Duration::zero());
  }
  WallTime wall_now() const override { return system_clock().wall_now(); }
  void sleep_for(Duration d) override { system_clock().sleep_for(d); }

 private:
  const ScriptedHttpServer& server_;
};

TEST(ModelConversation, TheDeadlineSpentBeforeTheSecondRequestMakesNoSecondRequest) {
  Conversation c({ScriptedResponse::json(answer({tool_use("t1", "list_operations", Json::object())})),
                  ScriptedResponse::json(answer({tool_use("t2", "plan", kPlanInput)}))});
  JumpingClock clock(c.server);
  EXPECT_EQ(failure(c.run(clock)), "the call timed out");
  EXPECT_EQ(c.server.request_count(), 1u);
}

TEST(ModelConversation, TheTwelfthDiscoveryTurnEndsTheConversation) {
  std::vector<ScriptedResponse> script;
  for (int i = 0; i < 13; ++i) {
    script.push_back(ScriptedResponse::json(answer({tool_use("t" + std::to_string(i), "list_applications", {})})));
  }
  Conversation c(std::move(script));
  EXPECT_EQ(failure(c.run()), "the model exhausted the action-discovery turn limit");
  EXPECT_EQ(c.server.request_count(), 12u);
  // Every turn echoes the history: the last request holds 1 + 2 * 11 messages.
  EXPECT_EQ(c.server.request(11).json()["messages"].size(), 23u);
}

TEST(ModelConversation, ABusyServiceIsAskedAgainInsideTheDeadline) {
  Conversation c({ScriptedResponse::json(R"({"error":{"message":"overloaded"}})", 529),
                  ScriptedResponse::json(answer({tool_use("t1", "list_operations", Json::object())})),
                  ScriptedResponse::json(answer({tool_use("t2", "plan", kPlanInput)}))},
                 millis(5000), quick_retries());
  EXPECT_TRUE(std::holds_alternative<Plan>(c.run()));
  ASSERT_EQ(c.server.request_count(), 3u);
  EXPECT_EQ(c.server.request(0).body, c.server.request(1).body);
}

TEST(ModelConversation, ABusyServiceUntilTheDeadlineFailsWithTheGatewaysText) {
  Conversation c({}, millis(400), quick_retries());
  c.server.set_fallback(ScriptedResponse::json(R"({"error":{"message":"overloaded"}})", 529));
  const auto started = std::chrono::steady_clock::now();
  const std::string reason = failure(c.run());
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1500));
  EXPECT_TRUE(reason.starts_with("the model service was busy (HTTP 529) and the time ran out after ")) << reason;
  EXPECT_GE(c.server.request_count(), 2u);
}

TEST(ModelConversation, OutcomesBeforeAnyRequest) {
  ScriptedHttpServer server;
  gateway::ModelGateway without_discovery(config_for(server.url(), "openai", false));
  gateway::ModelGateway with_discovery(config_for(server.url()));
  gateway::ModelGateway unconfigured(std::nullopt);
  platform::GatewayModelClient off_client(without_discovery), on_client(with_discovery), no_client(unconfigured);
  const auto selection = [](const gateway::ModelGateway& g) { return model_selection(g.config(), millis(1000), true); };
  ConversationInput input{.instruction = "make a table", .blocks = {}, .tools = {}, .step_cap = 8};
  EXPECT_EQ(plan_with_model(on_client, system_clock(), selection(with_discovery), false, input),
            ModelOutcome(ModelSwitchedOff{}));
  auto off = selection(with_discovery);
  off->live = false;
  EXPECT_EQ(plan_with_model(on_client, system_clock(), off, true, input), ModelOutcome(ModelSwitchedOff{}));
  EXPECT_EQ(plan_with_model(no_client, system_clock(), std::nullopt, true, input), ModelOutcome(ModelUnavailable{}));
  EXPECT_EQ(plan_with_model(off_client, system_clock(), selection(without_discovery), true, input),
            ModelOutcome(ModelFailed{"OpenAI-compatible action discovery has not been negotiated for this provider"}));
  EXPECT_EQ(server.request_count(), 0u);

  EXPECT_EQ(outcome_summary(ModelUnavailable{}), "no api key");
  EXPECT_EQ(outcome_summary(ModelSwitchedOff{}), "switched off");
  EXPECT_EQ(outcome_summary(ModelFailed{"the call timed out"}), "the call failed: the call timed out");
}

TEST(ModelConversation, AnUnreachableKeyedServiceIsUnavailable) {
  auto parsed = gateway::ProviderConfig::parse(
      "[profiles.p]\nkind = \"anthropic\"\nendpoint = \"https://models.example\"\napi_key_env = "
      "\"QUERN_TEST_UNSET_KEY_VARIABLE\"\nselected_model = \"m1\"\n[[profiles.p.models]]\nid = \"m1\"\n");
  ASSERT_TRUE(parsed);
  ::unsetenv("QUERN_TEST_UNSET_KEY_VARIABLE");
  gateway::ModelGateway gateway(*parsed);
  platform::GatewayModelClient client(gateway);
  ConversationInput input{.instruction = "make a table", .blocks = {}, .tools = {}, .step_cap = 8};
  EXPECT_EQ(plan_with_model(client, system_clock(), model_selection(*parsed, millis(1000), true), true, input),
            ModelOutcome(ModelUnavailable{}));
}

TEST(FirstUserText, BlocksAreNumberedTrimmedCutAndCapped) {
  const std::string a200(200, 'a');
  const std::string e201 = std::string(200, 'e') + "\xc3\xa9";  // 201 characters, the last two bytes long
  std::vector<DocumentItem> blocks = {{"b1", "heading", "  Title\t", {"not shown"}},
                                      {"b2", "paragraph", a200, {}},
                                      {"b3", "list_item", e201, {}},
                                      {"b4", "paragraph", "   ", {}}};
  for (int i = 5; i <= 61; ++i) blocks.push_back({"b", "paragraph", "n" + std::to_string(i), {}});
  const std::string text = first_user_text(" Make a table\n", blocks);
  EXPECT_TRUE(text.starts_with("The shared document as it stands:\n\n1. heading: Title\n2. paragraph: " + a200 +
                               "\n3. list_item: " + std::string(200, 'e') + "…\n4. paragraph: \n5. paragraph: n5\n"));
  EXPECT_TRUE(text.ends_with("60. paragraph: n60\n\nThe instruction asks for:\n\nMake a table\n")) << text;
  EXPECT_EQ(text.find("n61"), std::string::npos);
  EXPECT_EQ(first_user_text("x", {}), "The shared document as it stands:\n\n\nThe instruction asks for:\n\nx\n");
}

TEST(ModelSelectionFromConfiguration, NeedsAnActiveProfileAndAListedSelectedModel) {
  const auto parse = [](const std::string& text) {
    auto parsed = gateway::ProviderConfig::parse(text);
    EXPECT_TRUE(parsed) << text;
    return parsed ? *parsed : gateway::ProviderConfig{};
  };
  const auto sel = model_selection(
      parse("[profiles.a]\nkind = \"openai\"\nendpoint = \"http://127.0.0.1:8080\"\nselected_model = \"m\"\n"
            "action_discovery = true\n[[profiles.a.models]]\nid = \"m\"\n"),
      millis(9000), false);
  ASSERT_TRUE(sel);
  EXPECT_EQ(sel->profile_id, "a");
  EXPECT_EQ(sel->profile_label, "a (127.0.0.1:8080)");
  EXPECT_EQ(sel->model_id, "m");
  EXPECT_TRUE(sel->action_discovery);
  EXPECT_EQ(sel->deadline, millis(9000));
  EXPECT_FALSE(sel->live);
  const char* absent[] = {
      "[profiles.a]\nkind = \"anthropic\"\nselected_model = \"m\"\n[[profiles.a.models]]\nid = \"m\"\n"
      "[profiles.b]\nkind = \"anthropic\"\n",  // two profiles, none active
      "[profiles.a]\nkind = \"anthropic\"\n[[profiles.a.models]]\nid = \"m\"\n",
      "[profiles.a]\nkind = \"anthropic\"\nselected_model = \"n\"\n[[profiles.a.models]]\nid = \"m\"\n",
  };
  for (const char* text : absent) EXPECT_FALSE(model_selection(parse(text), millis(1), true)) << text;
  EXPECT_FALSE(model_selection(std::optional<gateway::ProviderConfig>{}, millis(1), true));
}

}  // namespace
}  // namespace quern::agent

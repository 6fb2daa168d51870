// bench=model-turn: what one turn of the model conversation costs the agent itself, for a
// catalogue of 500 entries: building the request (tool definitions with the shown ids, the
// history so far), answering the discovery calls, and reading the answer. A conversation is 11
// discovery turns and a plan. Two figures:
//   us_per_turn             against an instant scripted server on loopback, through the real
//                           gateway (HTTP on 127.0.0.1 included)
//   in_process_us_per_turn  against an answerer in the same process that only serialises the
//                           request, which is the conversation's own work
//
//   bench=model-turn entries=500 turns=12 us_per_turn=... in_process_us_per_turn=... request_bytes=...
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "apps/agent/src/catalogue.h"
#include "apps/agent/src/model_conversation.h"
#include "runtime/actions/action_offer.h"
#include "runtime/gateway/model_gateway.h"
#include "tests/support/scripted_http_server.h"

namespace {

using namespace quern;
using namespace quern::agent;

constexpr std::size_t kEntries = 500;

// 100 resources of five kinds with five actions each; every other action takes arguments.
std::vector<CatalogueEntry> catalogue() {
  const char* kinds[] = {"word_processor.section", "word_processor.table", "word_processor.comment",
                         "word_processor.image", "word_processor.document"};
  const char* actions[] = {"rename", "delete", "move", "insert-table", "set-heading"};
  std::vector<CatalogueEntry> out;
  for (std::size_t i = 0; i < kEntries; ++i) {
    const std::size_t r = i / 5;
    CatalogueEntry e;
    e.app = "word-processor";
    e.offer.resource_kind = kinds[r % 5];
    e.offer.resource_id = std::string(e.offer.resource_kind) + ":" + std::to_string(r);
    e.offer.action_name = actions[i % 5];
    e.offer.resource_label = "Section " + std::to_string(r) + " about the quarterly figures";
    e.offer.action_label = std::string(actions[i % 5]) + " this " + e.offer.resource_kind;
    if (r % 3 == 0) e.offer.resource_note = "A part of the report the person is writing";
    if (i % 2 == 1) {
      e.offer.parameters = {actions::ActionParam::text("text", true, "The words to put there"),
                            actions::ActionParam::of_type("level", actions::ParamType::Integer, false, "How deep")};
    }
    out.push_back(std::move(e));
  }
  return out;
}

Json tool_use(const std::string& id, std::string_view name, Json input) {
  return Json{{"type", "tool_use"}, {"id", id}, {"name", name}, {"input", std::move(input)}};
}

std::vector<std::string> script(const std::vector<CatalogueEntry>& entries) {
  std::vector<Json> calls = {Json{{"application", "word-processor"}},
                             Json::object(),
                             Json{{"search", "heading section"}},
                             Json{{"kind", "word_processor.section"}},
                             Json{{"resource", entries[17].offer.resource_id}},
                             Json{{"search", "table"}}};
  std::vector<std::string> out;
  for (std::size_t turn = 0; turn < 11; ++turn) {
    Json content = Json::array();
    content.push_back(Json{{"type", "text"}, {"text", "Looking at what the room exports."}});
    if (turn % 3 == 2) {
      content.push_back(
          tool_use("t" + std::to_string(turn), "describe_operation", Json{{"operation", entry_id(entries[turn * 7])}}));
    } else if (turn == 0) {
      content.push_back(tool_use("t0", "list_applications", Json::object()));
    } else {
      content.push_back(tool_use("t" + std::to_string(turn), "list_operations", calls[turn % calls.size()]));
    }
    out.push_back(
        dump_json(Json{{"id", "msg"}, {"role", "assistant"}, {"content", content}, {"stop_reason", "tool_use"}}));
  }
  Json plan = Json{{"steps", Json::array({Json{{"operation", entry_id(entries[0])}, {"arguments", Json::object()}}})},
                   {"why", "one step"},
                   {"then", nullptr}};
  out.push_back(dump_json(Json{{"content", Json::array({tool_use("tp", "plan", plan)})}, {"stop_reason", "tool_use"}}));
  return out;
}

class InstantModel final : public platform::ModelClient {
 public:
  explicit InstantModel(std::vector<std::string> answers) : answers_(std::move(answers)) {}
  bool available(std::string_view, std::string_view) const override { return true; }
  std::expected<std::string, gateway::ClientError> plan(std::string_view, std::string_view, const Json& request,
                                                        Duration) override {
    request_bytes = dump_json(request).size();
    return answers_[next_++ % answers_.size()];
  }
  std::size_t request_bytes = 0;

 private:
  std::vector<std::string> answers_;
  std::size_t next_ = 0;
};

}  // namespace

int main() {
  const std::vector<CatalogueEntry> entries = catalogue();
  const std::vector<std::string> answers = script(entries);
  std::vector<DocumentItem> blocks;
  for (int i = 0; i < 80; ++i) blocks.push_back({"b" + std::to_string(i), "paragraph", std::string(120, 'x'), {}});
  const std::vector<std::string> open_apps = {"word-processor"};
  const ConversationInput input{
      .instruction = "make a table", .blocks = blocks, .tools = ToolContext{entries, {}, open_apps}, .step_cap = 8};
  ModelSelection selection{.profile_id = "p",
                           .profile_label = "p",
                           .model_id = "m",
                           .action_discovery = true,
                           .deadline = std::chrono::seconds(60),
                           .live = true};

  const auto measure = [&](platform::ModelClient& client, int conversations) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < conversations; ++i) {
      const ModelOutcome outcome = plan_with_model(client, system_clock(), selection, true, input);
      if (!std::holds_alternative<Plan>(outcome)) {
        std::fprintf(stderr, "bench model-turn: %s\n", outcome_summary(outcome).c_str());
        std::exit(1);
      }
    }
    const double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    return us / (conversations * 12.0);
  };

  InstantModel instant(answers);
  measure(instant, 3);
  const double in_process = measure(instant, 40);

  std::vector<test::ScriptedResponse> responses;
  test::ScriptedHttpServer server;
  auto config = gateway::ProviderConfig::parse("[profiles.p]\nkind = \"anthropic\"\nendpoint = \"" + server.url() +
                                               "\"\nselected_model = \"m\"\n[[profiles.p.models]]\nid = \"m\"\n");
  if (!config) return 1;
  const int conversations = 20;
  for (int i = 0; i < conversations + 1; ++i) {
    for (const auto& a : answers) server.push(test::ScriptedResponse::json(a));
  }
  gateway::ModelGateway gateway(*config);
  platform::GatewayModelClient client(gateway);
  measure(client, 1);
  const double loopback = measure(client, conversations);

  std::printf("bench=model-turn entries=%zu turns=12 us_per_turn=%.0f in_process_us_per_turn=%.0f request_bytes=%zu\n",
              kEntries, loopback, in_process, instant.request_bytes);
  return 0;
}

// The agent planning with a model in a real room: the broker, the scripted word processor and the
// agent as processes over real sockets; the model provider is a scripted server on loopback. The
// model discovers the room's operations, plans one, and the agent performs it on the document.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <thread>

#include "runtime/util/json.h"
#include "tests/support/process.h"
#include "tests/support/scripted_http_server.h"
#include "tests/support/temp_dir.h"

namespace quern::test {
namespace {

using namespace std::chrono_literals;

const std::string kAgent = built_program("quern-agent");
const std::string kRoomTool = built_program("quern-room");
constexpr const char* kRoom = "9b2f6c1e-4a7d-4f3e-8c1a-2d5e6f708192";
const ProcessOptions kQuiet{.env = {{"QUERN_LOG", "info"}}, .unset_env = {"QUERN_SVC_COLLAB_FD", "QUERN_PROVIDERS"}};

std::string tool_use(std::string_view id, std::string_view name, const Json& input) {
  return dump_json(Json{{"type", "tool_use"}, {"id", id}, {"name", name}, {"input", input}});
}
ScriptedResponse answer(const std::string& block) {
  return ScriptedResponse::json(R"({"content":[)" + block + R"(],"stop_reason":"tool_use"})");
}

// The markdown of the last "document" line the writer printed.
std::string last_markdown(const std::string& out) {
  std::string found;
  std::size_t at = 0;
  while (at < out.size()) {
    std::size_t nl = out.find('\n', at);
    if (nl == std::string::npos) nl = out.size();
    if (auto j = parse_json(std::string_view(out).substr(at, nl - at)); j && j->value("event", "") == "document") {
      found = j->value("markdown", "");
    }
    at = nl + 1;
  }
  return found;
}

struct AgentRun {
  int status = -1;
  std::string log;
  std::string markdown;
};

AgentRun run_with_model(ScriptedHttpServer& model, const std::string& before, std::string timeout_ms = "10000") {
  TempDir dir;
  const std::string socket = dir.file("room.sock");
  std::ofstream(dir.file("doc.md")) << before;
  std::ofstream(dir.file("providers.toml")) << "[profiles.local]\nkind = \"anthropic\"\nendpoint = \"" << model.url()
                                            << "\"\nselected_model = \"m1\"\n[[profiles.local.models]]\nid = \"m1\"\n";
  Child broker = Child::spawn({kRoomTool, "serve", "--socket", socket}, kQuiet);
  EXPECT_TRUE(broker.wait_for_stdout("listening on", 5s)) << broker.err();
  Child writer = Child::spawn({kRoomTool, "app", "word-processor", "--socket", socket, "--room", kRoom, "--markdown",
                               dir.file("doc.md"), "--print-final", "--no-stdin"},
                              kQuiet);
  EXPECT_TRUE(writer.wait_for_stdout("\"event\":\"joined\"", 5s)) << writer.err();
  ProcessOptions options = kQuiet;
  options.unset_env = {"QUERN_SVC_COLLAB_FD"};
  options.env["QUERN_PROVIDERS"] = dir.file("providers.toml");
  const auto agent = run_process({kAgent, "--workspace", kRoom, "--endpoint", socket, "--await-document-ms", "10000",
                                  "--once", "--pace-ms", "0", "--model-timeout-ms", timeout_ms},
                                 options);
  std::this_thread::sleep_for(200ms);  // the agent's last change set reaches the writer
  writer.stop();
  return AgentRun{agent.status, agent.err, last_markdown(writer.out())};
}

TEST(AgentWithAModel, TheModelDiscoversPlansATableAndTheAgentInsertsIt) {
  const Json plan = Json::parse(R"({"steps":[{"operation":"word-processor.document#insert-table","arguments":{}}],
    "why":"the request asks for a table","then":null})");
  ScriptedHttpServer model(
      {answer(tool_use("t1", "list_operations", Json{{"search", "table"}})),
       answer(tool_use("t2", "describe_operation", Json{{"operation", "word-processor.document#insert-table"}})),
       answer(tool_use("t3", "plan", plan))});
  const AgentRun run = run_with_model(model, "Quarterly figures\n\nClaude: put a table here\n");
  EXPECT_EQ(run.status, 0) << run.log;
  EXPECT_NE(run.log.find("a model chooses from the app's exported actions live=true model=\"m1\""), std::string::npos)
      << run.log;
  ASSERT_EQ(model.request_count(), 3u) << run.log;
  EXPECT_NE(model.request(1).body.find("  word-processor.document#insert-table — Insert table"), std::string::npos);
  EXPECT_NE(model.request(2).body.find("arguments: none. Pass {}."), std::string::npos);
  EXPECT_NE(run.log.find("claude-opus-5: the request asks for a table"), std::string::npos) << run.log;
  EXPECT_NE(run.log.find("decided_by=\"model\""), std::string::npos) << run.log;
  EXPECT_EQ(run.markdown, "Quarterly figures\n\n| | |\n| --- | --- |\n| | |\n") << run.log;
}

TEST(AgentWithAModel, ABusyModelUntilTheDeadlineLeavesTheDecisionToTheKeywords) {
  ScriptedHttpServer model;
  model.set_fallback(ScriptedResponse::json(R"({"error":{"message":"overloaded"}})", 529));
  const AgentRun run =
      run_with_model(model, "- Name: Ada\n- Role: Lead\n\nClaude: turn the bullets into a table\n", "1500");
  EXPECT_EQ(run.status, 0) << run.log;
  EXPECT_NE(run.log.find("the call failed: the model service was busy (HTTP 529) and the time ran out after "),
            std::string::npos)
      << run.log;
  EXPECT_NE(run.log.find("decided_by=\"keywords\""), std::string::npos) << run.log;
  EXPECT_EQ(run.markdown, "| Name | Ada |\n| --- | --- |\n| Role | Lead |\n") << run.log;
}

}  // namespace
}  // namespace quern::test

// The scripted peer as the next tests will use it: real processes, commands on standard input,
// one JSON line per frame on standard output.
#include <gtest/gtest.h>

#include "runtime/util/json.h"
#include "runtime/util/sha256.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/room/room_fixture.h"

namespace quern::room::test {
namespace {

using quern::test::Child;
using quern::test::write_file;

const std::string kTool = quern::test::built_program("quern-room");

Child peer(const BrokerProcess& broker, std::vector<std::string> extra) {
  std::vector<std::string> argv{kTool, "peer", "--socket", broker.socket(), "--room", kRoomA};
  argv.insert(argv.end(), extra.begin(), extra.end());
  Child c = Child::spawn(argv);
  EXPECT_TRUE(c.wait_for_stdout("\"frame\":\"joined\"", 5s)) << c.err();
  return c;
}

// The first line of `frame` that the peer printed and `match` accepts, waiting for it.
Json line(Child& c, std::string_view frame, const std::function<bool(const Json&)>& match = nullptr) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (true) {
    const std::string& out = c.out();
    std::size_t at = 0;
    while (at < out.size()) {
      std::size_t nl = out.find('\n', at);
      if (nl == std::string::npos) break;
      auto j = parse_json(std::string_view(out).substr(at, nl - at));
      if (j && j->value("frame", "") == frame && (!match || match(*j))) return *j;
      at = nl + 1;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "no " << frame << " line in:\n" << out << c.err();
      return Json();
    }
    c.wait_for_stdout("\x01", 20ms);  // reads what arrives for a moment
  }
}

TEST(Peer, AnswersDocumentRequestsWithItsStateAndSendsWhatItIsTold) {
  BrokerProcess broker;
  quern::test::TempDir dir;
  write_file(dir.file("state.bin"), "the whole save");
  write_file(dir.file("changes.bin"), "a change set");
  Child agent = peer(broker, {"--kind", "agent", "--name", "Claude", "--app", "ix.quern.agent"});
  Child app = peer(broker, {"--name", "wp", "--state", dir.file("state.bin"), "--changes", dir.file("changes.bin")});

  const Json changes = line(agent, "document_bytes");
  EXPECT_EQ(changes["payload"], "incremental");
  EXPECT_EQ(changes["sha256"], sha256_hex("a change set"));
  EXPECT_EQ(changes["from"]["name"], "wp");

  agent.write_stdin(R"({"frame":"document_request","app":"ix.quern.word-processor","record":null})"
                    "\n");
  EXPECT_EQ(line(app, "document_request")["from"]["name"], "Claude");
  const Json answer = line(agent, "document_bytes", [](const Json& j) { return j["payload"] == "whole"; });
  EXPECT_EQ(answer["bytes"], 14);
  EXPECT_EQ(answer["sha256"], sha256_hex("the whole save"));

  // Addressed document bytes and a quit.
  agent.write_stdin(R"({"document":"incremental","text":"to you","to":{"app":"ix.quern.word-processor","room":")" +
                    std::string(kRoomA) +
                    R"(","record":null}})"
                    "\n");
  const Json addressed = line(app, "document_bytes");
  EXPECT_EQ(addressed["to"]["app"], "ix.quern.word-processor");
  EXPECT_EQ(addressed["sha256"], sha256_hex("to you"));
  app.write_stdin("{\"quit\":true}\n");
  EXPECT_EQ(app.wait(5000ms), 0);
}

TEST(Peer, PublishesOffersAndPlaysBrokeredActionsFromAScript) {
  BrokerProcess broker;
  quern::test::TempDir dir;
  write_file(dir.file("offers.json"), R"({"app": "files", "offers": [
      {"resource_id": "files.entry:1", "action_name": "share", "resource_kind": "files.entry",
       "action_label": "share the file", "execution": {"Background": {"cancellable": true}}},
      {"resource_id": "files.entry:1", "action_name": "archive"}]})");
  write_file(dir.file("actions.json"), R"({
      "files.entry:1#share": {"states": ["accepted", "running", "succeeded"], "output": {"url": "u"}, "resources": ["blob:1"]},
      "*": {"states": [{"state": "failed", "message": "disk full"}]}})");
  Child agent = peer(broker, {"--kind", "agent", "--name", "Claude", "--app", "ix.quern.agent"});
  Child files = peer(broker, {"--name", "files", "--app", "ix.quern.files", "--publish", dir.file("offers.json"),
                              "--actions", dir.file("actions.json")});
  const Json update = line(agent, "catalogue_update", [](const Json& j) { return !j["records"].empty(); });
  const Json& record = update["records"][0];
  EXPECT_EQ(record["app"], "files");
  EXPECT_EQ(record["admitted"], true);
  ASSERT_EQ(record["offers"].size(), 2u);
  EXPECT_EQ(record["offers"][0]["execution"], (Json{{"Background", {{"cancellable", true}}}}));
  const std::string publisher = std::to_string(record["participant"].get<std::uint64_t>());

  auto ask = [&](const std::string& command) { agent.write_stdin(command + "\n"); };
  ask(R"({"frame":"action_request","request":5,"participant":)" + publisher +
      R"(,"resource_id":"files.entry:1","action_name":"share","arguments":{"to":"ada"}})");
  const Json accepted = line(agent, "action_accepted");
  EXPECT_EQ(accepted["request"], 5);
  EXPECT_EQ(accepted["state"], "accepted");
  const std::string handle = accepted["handle"];
  for (const auto& [request, state] : {std::pair{6, "running"}, std::pair{7, "succeeded"}, std::pair{8, "succeeded"}}) {
    ask(R"({"frame":"action_status_query","request":)" + std::to_string(request) + R"(,"handle":")" + handle + "\"}");
    const Json outcome = line(agent, "action_outcome", [&](const Json& j) { return j["request"] == request; });
    EXPECT_EQ(outcome["state"], state) << request;
    if (std::string_view(state) == "succeeded") {
      EXPECT_EQ(outcome["output"], (Json{{"url", "u"}}));
      EXPECT_EQ(outcome["resources"], (Json{"blob:1"}));
    }
  }
  ask(R"({"frame":"action_request","request":9,"participant":)" + publisher +
      R"(,"resource_id":"files.entry:1","action_name":"archive"})");
  const Json failed = line(agent, "action_outcome", [](const Json& j) { return j["request"] == 9; });
  EXPECT_EQ(failed["state"], "failed");
  EXPECT_EQ(failed["message"], "disk full");
  EXPECT_EQ(line(files, "action_request")["arguments"], (Json{{"to", "ada"}}));
}

TEST(Peer, MintsATaskForTheAgentAndSeesItsReports) {
  BrokerProcess broker;
  quern::test::TempDir dir;
  write_file(dir.file("task.json"), R"({"id": "t1", "title": "share the brief", "lease": "lease-1",
      "action_context": {"purpose": "share the brief", "group": {"id": "t1", "label": "share the brief", "kind": "task"}},
      "run_id": 7, "version": 1, "model_allowed": false})");
  Child agent = peer(broker, {"--kind", "agent", "--name", "Ada", "--app", "ix.quern.agent"});
  Child center = peer(broker, {"--name", "center", "--mint", dir.file("task.json"), "--mint-for", "Ada"});
  const Json envelope = line(agent, "task_envelope");
  EXPECT_EQ(envelope["lease"], "lease-1");
  EXPECT_EQ(envelope["action_context"]["group"]["kind"], "task");
  EXPECT_EQ(line(center, "task_center_reply")["ok"], true);

  agent.write_stdin(R"({"frame":"task_status_report","lease":"lease-1","run_id":7,"state":"started"})"
                    "\n");
  const Json report = line(center, "task_status_report");
  EXPECT_EQ(report["state"], "started");
  EXPECT_EQ(report["from"]["name"], "Ada");

  center.write_stdin(R"({"frame":"task_cancel","lease":"lease-1"})"
                     "\n");
  line(center, "task_center_reply", [](const Json& j) { return j["message"] == "cancelled"; });
  agent.write_stdin(R"({"frame":"cancellation_status_query","lease":"lease-1","request":3,"run_id":7})"
                    "\n");
  EXPECT_EQ(line(agent, "cancellation_status")["cancelled"], true);
}

TEST(Peer, EndsWithStatusOneWhenTheBrokerGoesAway) {
  std::optional<BrokerProcess> broker(std::in_place);
  Child app = peer(*broker, {"--name", "wp"});
  broker.reset();
  EXPECT_EQ(app.wait(5000ms), 1);
  EXPECT_NE(app.out().find(R"({"peer":"closed","reason":"the broker closed the connection"})"), std::string::npos)
      << app.out();
  EXPECT_EQ(app.err().find("Error"), std::string::npos) << app.err();
}

}  // namespace
}  // namespace quern::room::test

// A brokered step end to end: a scripted participant publishes "share the file", the agent
// plans it by keywords, requests it through the real broker and follows it to its end; one the
// participant never finishes fails with the admission text after the 30 s deadline.
#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "runtime/util/json.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace quern::test {
namespace {

using namespace std::chrono_literals;

const std::string kAgent = built_program("quern-agent");
const std::string kRoomTool = built_program("quern-room");
constexpr const char* kRoom = "9b2f6c1e-4a7d-4f3e-8c1a-2d5e6f708192";
const ProcessOptions kQuiet{.env = {{"QUERN_LOG", "info"}}, .unset_env = {"QUERN_SVC_COLLAB_FD"}};

constexpr const char* kOffers = R"([{"resource_id": "files.entry:1", "action_name": "share",
  "resource_kind": "files.entry", "resource_label": "brief.docx", "action_label": "share the file",
  "parameters": [{"name": "to", "description": "Who to share with", "type": "text", "required": true}]}])";

struct Outcome {
  int status = -1;
  std::string markdown;
  std::string log;
  std::string peer;
};

Outcome run_with_publisher(const std::string& actions) {
  TempDir dir;
  const std::string socket = dir.file("room.sock");
  write_file(dir.file("doc.md"), "Brief\n\nClaude: share the file with \"ada\"\n");
  write_file(dir.file("offers.json"), kOffers);
  write_file(dir.file("actions.json"), actions);
  Child broker = Child::spawn({kRoomTool, "serve", "--socket", socket}, kQuiet);
  EXPECT_TRUE(broker.wait_for_stdout("listening on", 5s)) << broker.err();
  Child files =
      Child::spawn({kRoomTool, "peer", "--socket", socket, "--room", kRoom, "--app", "ix.quern.files", "--name",
                    "files", "--publish", dir.file("offers.json"), "--actions", dir.file("actions.json"), "--no-stdin"},
                   kQuiet);
  EXPECT_TRUE(files.wait_for_stdout("\"frame\":\"joined\"", 5s)) << files.err();
  Child writer = Child::spawn({kRoomTool, "app", "word-processor", "--socket", socket, "--room", kRoom, "--markdown",
                               dir.file("doc.md"), "--print-final", "--no-stdin"},
                              kQuiet);
  EXPECT_TRUE(writer.wait_for_stdout("\"event\":\"joined\"", 5s)) << writer.err();
  ProcessOptions options = kQuiet;
  options.timeout = 60s;
  const auto agent = run_process({kAgent, "--workspace", kRoom, "--endpoint", socket, "--await-document-ms", "10000",
                                  "--no-model", "--once", "--pace-ms", "0"},
                                 options);
  std::this_thread::sleep_for(200ms);
  writer.stop();
  Outcome out{agent.status, "", agent.err, files.out()};
  const std::string& w = writer.out();
  const std::size_t at = w.rfind("{\"event\":\"document\"");
  if (at != std::string::npos) {
    if (auto j = parse_json(std::string_view(w).substr(at, w.find('\n', at) - at))) {
      out.markdown = (*j)["markdown"].get<std::string>();
    }
  }
  return out;
}

TEST(BrokerStep, FollowsAnAdmittedActionToSuccess) {
  const Outcome out = run_with_publisher(
      R"({"files.entry:1#share": {"states": ["accepted", "running", "succeeded"], "output": {"url": "x"}}})");
  EXPECT_EQ(out.status, 0) << out.log;
  EXPECT_NE(out.log.find("broker action completed id=\"broker:"), std::string::npos) << out.log;
  EXPECT_NE(out.peer.find("\"frame\":\"action_request\""), std::string::npos) << out.peer;
  EXPECT_NE(out.peer.find("\"arguments\":{\"to\":\"ada\"}"), std::string::npos) << out.peer;
  EXPECT_NE(out.peer.find("\"frame\":\"action_status_query\""), std::string::npos) << out.peer;
  EXPECT_EQ(out.markdown, "Brief\n") << "the instruction is removed once the step went through";
}

TEST(BrokerStep, AnActionThatNeverEndsFailsWithTheAdmissionText) {
  const Outcome out = run_with_publisher(R"({"*": {"states": ["accepted", "running"]}})");
  EXPECT_EQ(out.status, 0) << out.log;
  const std::string prefix = "Brief\n\nClaude: I couldn't do that - action \"broker:";
  const std::string suffix = ":files.entry:1#share\" was admitted but did not reach a terminal state in time\n";
  EXPECT_EQ(out.markdown.substr(0, prefix.size()), prefix) << out.markdown;
  ASSERT_GE(out.markdown.size(), suffix.size());
  EXPECT_EQ(out.markdown.substr(out.markdown.size() - suffix.size()), suffix) << out.markdown;
}

}  // namespace
}  // namespace quern::test

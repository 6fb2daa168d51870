// The agent in a real room: the broker, a scripted peer and the agent as processes over real
// sockets. Connection failures, joining through an inherited descriptor, the document wait and
// the pace of document requests.
#include <gtest/gtest.h>

#include <optional>

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

class Room {
 public:
  Room() : socket_(dir_.file("room.sock")) {
    broker_.emplace(Child::spawn({kRoomTool, "serve", "--socket", socket_}, kQuiet));
    EXPECT_TRUE(broker_->wait_for_stdout("listening on", 5s)) << broker_->err();
  }
  const std::string& socket() const { return socket_; }
  Child& broker() { return *broker_; }

  // A scripted app on the route (word processor, this room, `record`) that has joined.
  Child peer(std::vector<std::string> extra = {}) {
    std::vector<std::string> argv{kRoomTool, "peer", "--socket", socket_, "--room", kRoom, "--name", "app"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    Child p = Child::spawn(argv, kQuiet);
    EXPECT_TRUE(p.wait_for_stdout("\"frame\":\"joined\"", 5s)) << p.err();
    return p;
  }

 private:
  TempDir dir_;
  std::string socket_;
  std::optional<Child> broker_;
};

std::vector<Json> frames_named(const std::string& out, std::string_view frame) {
  std::vector<Json> found;
  std::size_t at = 0;
  while (at < out.size()) {
    std::size_t nl = out.find('\n', at);
    if (nl == std::string::npos) nl = out.size();
    if (auto line = parse_json(std::string_view(out).substr(at, nl - at)); line && line->value("frame", "") == frame) {
      found.push_back(*line);
    }
    at = nl + 1;
  }
  return found;
}

std::string document_wait_error(std::string_view seconds, std::string_view record) {
  return "Error: no participant answered with a document in " + std::string(seconds) +
         "s. Announced app=\"ix.quern.word-processor\" room=" + kRoom + " and " + std::string(record) +
         ". The broker matches all three and drops what does not match, so if the app has a file open its record is "
         "`file:<path>` and this agent must be given the same one with --record.\n";
}

TEST(AgentRoom, AnEndpointWhereNothingListensEndsWithTheConnectChain) {
  TempDir dir;
  const std::string path = dir.file("nobody.sock");
  const auto r = run_process({kAgent, "--workspace", kRoom, "--endpoint", path}, kQuiet);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Error: start typed collaboration client\n\nCaused by:\n    0: connect to typed endpoint at " +
                       path + "\n    1: No such file or directory (os error 2)\n"),
            std::string::npos)
      << r.err;
}

TEST(AgentRoom, WithNeitherAnEndpointNorAnInheritedDescriptorTheFailureNamesTheVariable) {
  const auto r = run_process({kAgent, "--workspace", kRoom}, kQuiet);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(
      r.err.rfind("Error: connect through QUERN_SVC_COLLAB_FD\n\nCaused by:\n    QUERN_SVC_COLLAB_FD is not set", 0),
      0u)
      << r.err;
}

TEST(AgentRoom, ALaunchedAgentJoinsOverTheInheritedDescriptor) {
  Room room;
  Child app = room.peer();
  const auto r = run_process({kRoomTool, "launch", "--socket", room.socket(), "--", kAgent, "--workspace", kRoom,
                              "--name", "Ada", "--await-document-ms", "1000"},
                             kQuiet);
  EXPECT_EQ(r.status, 1) << "the launcher passes the agent's status on";
  EXPECT_NE(r.err.find(std::string("INFO quern_agent::session: joined the room; waiting for the document "
                                   "transport=\"QUERN_SVC_COLLAB_FD\" app=\"ix.quern.word-processor\" room=\"") +
                       kRoom + "\" name=\"Ada\"\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("INFO quern_agent::session: no model available; the keyword vocabulary chooses live=false "
                       "timeout_ms=9000\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find(document_wait_error("1", "no record (an untitled document)")), std::string::npos) << r.err;

  ASSERT_TRUE(app.wait_for_stdout("\"frame\":\"room_announcement\"", 3s)) << app.out();
  const auto requests = frames_named(app.out(), "document_request");
  const auto announcements = frames_named(app.out(), "room_announcement");
  ASSERT_FALSE(requests.empty());
  ASSERT_EQ(announcements.size(), 1u);
  EXPECT_EQ(requests[0]["from"]["name"], "Ada");
  EXPECT_EQ(requests[0]["from"]["kind"], "agent");
  EXPECT_EQ(requests[0]["app"], "ix.quern.word-processor");
  EXPECT_EQ(requests[0]["record"], nullptr);
  EXPECT_EQ(announcements[0]["room"], kRoom);
  EXPECT_LE(requests[0]["at_ms"].get<std::int64_t>(), announcements[0]["at_ms"].get<std::int64_t>())
      << "the document request goes out before the announcement";
}

TEST(AgentRoom, TheDocumentWaitEndsOnTimeNamingWhatWasAnnounced) {
  Room room;
  struct Case {
    std::vector<std::string> extra;
    std::string_view record;
  };
  for (const auto& c : {Case{{}, "no record (an untitled document)"},
                        Case{{"--record", "file:/tmp/a.docx", "--no-model"}, "record \"file:/tmp/a.docx\""}}) {
    std::vector<std::string> argv{kAgent,        "--workspace",         kRoom, "--endpoint",
                                  room.socket(), "--await-document-ms", "1500"};
    argv.insert(argv.end(), c.extra.begin(), c.extra.end());
    const auto r = run_process(argv, kQuiet);
    EXPECT_EQ(r.status, 1);
    EXPECT_GE(r.elapsed, 1500ms) << "gave up early";
    EXPECT_NE(r.err.find(document_wait_error("1", c.record)), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("transport=\"typed-endpoint\""), std::string::npos) << r.err;
  }
}

TEST(AgentRoom, AwaitZeroKeepsWaitingUntilTheBrokerGoesAway) {
  Room room;
  Child agent =
      Child::spawn({kAgent, "--workspace", kRoom, "--endpoint", room.socket(), "--await-document-ms", "0"}, kQuiet);
  ASSERT_TRUE(agent.wait_for_stderr("joined the room; waiting for the document", 5s)) << agent.err();
  EXPECT_EQ(agent.wait(2000ms), std::nullopt) << "gave up waiting: " << agent.err();
  room.broker().stop();
  const auto status = agent.wait(5000ms);
  EXPECT_EQ(status, 1);
  EXPECT_NE(agent.err().find("Error: the broker closed the connection\n"), std::string::npos) << agent.err();
}

TEST(AgentRoom, TaskRunModeSaysItIsNotAvailableYetAfterJoining) {
  Room room;
  const auto r = run_process({kAgent, "--workspace", kRoom, "--endpoint", room.socket(), "--task-runs"}, kQuiet);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("joined the room; waiting for the document"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Error: task-run mode is not available in this build\n"), std::string::npos) << r.err;
}

TEST(AgentRoom, DocumentRequestsArriveAbout750msApartAndNeverMoreOften) {
  Room room;
  Child app = room.peer();
  const auto r =
      run_process({kAgent, "--workspace", kRoom, "--endpoint", room.socket(), "--await-document-ms", "3100"}, kQuiet);
  EXPECT_EQ(r.status, 1) << r.err;
  app.wait_for_stdout("never", 300ms);  // let the last lines arrive
  const auto requests = frames_named(app.out(), "document_request");
  ASSERT_GE(requests.size(), 4u) << app.out();
  EXPECT_LE(requests.size(), 5u) << app.out();
  for (std::size_t i = 1; i < requests.size(); ++i) {
    const auto gap = requests[i]["at_ms"].get<std::int64_t>() - requests[i - 1]["at_ms"].get<std::int64_t>();
    EXPECT_GE(gap, 700) << "request " << i << " came " << gap << " ms after the one before";
  }
}

}  // namespace
}  // namespace quern::test

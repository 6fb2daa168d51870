// The agent in a real room with the scripted word processor: it receives the document, takes an
// instruction typed after it joined exactly once, answers another participant's document
// request for the same route, and with --once ends after the first instruction.
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

std::vector<Json> json_lines(const std::string& out, std::string_view key, std::string_view value) {
  std::vector<Json> found;
  std::size_t at = 0;
  while (at < out.size()) {
    std::size_t nl = out.find('\n', at);
    if (nl == std::string::npos) break;
    if (auto j = parse_json(std::string_view(out).substr(at, nl - at)); j && j->value(key, "") == value) {
      found.push_back(*j);
    }
    at = nl + 1;
  }
  return found;
}

// The requests the agent's log says it took, in order.
std::vector<std::string> taken(const std::string& log) {
  std::vector<std::string> out;
  const std::string marker = "INFO quern_agent::session: switched off block=";
  for (std::size_t at = log.find(marker); at != std::string::npos; at = log.find(marker, at + 1)) {
    const std::size_t asked = log.find("asked=\"", at);
    const std::size_t end = log.find('"', asked + 7);
    out.push_back(log.substr(asked + 7, end - asked - 7));
  }
  return out;
}

class Room {
 public:
  Room() : socket_(dir_.file("room.sock")) {
    broker_.emplace(Child::spawn({kRoomTool, "serve", "--socket", socket_}, kQuiet));
    EXPECT_TRUE(broker_->wait_for_stdout("listening on", 5s)) << broker_->err();
  }
  const std::string& socket() const { return socket_; }
  std::string file(const std::string& name, const std::string& content) {
    write_file(dir_.file(name), content);
    return dir_.file(name);
  }

  Child writer(const std::string& markdown, std::vector<std::string> extra = {}) {
    std::vector<std::string> argv{kRoomTool, "app",        "word-processor",          "--socket", socket_, "--room",
                                  kRoom,     "--markdown", file("brief.md", markdown)};
    argv.insert(argv.end(), extra.begin(), extra.end());
    Child c = Child::spawn(argv, kQuiet);
    EXPECT_TRUE(c.wait_for_stdout("\"event\":\"joined\"", 5s)) << c.out() << c.err();
    return c;
  }
  Child agent(std::vector<std::string> extra = {}) {
    std::vector<std::string> argv{kAgent,  "--workspace",         kRoom,   "--endpoint",
                                  socket_, "--await-document-ms", "10000", "--no-model"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return Child::spawn(argv, kQuiet);
  }

 private:
  TempDir dir_;
  std::string socket_;
  std::optional<Child> broker_;
};

TEST(AgentWithWordProcessor, TakesATypedInstructionOnceAndAnswersForTheRoute) {
  Room room;
  Child writer = room.writer("# Brief\n\n- one\n- two\n\nNotes.\n");
  Child agent = room.agent();
  ASSERT_TRUE(agent.wait_for_stderr("INFO quern_agent::session: received the document bytes=", 5s)) << agent.err();

  // A second participant on the same route asks for the document: both holders answer.
  Child second =
      Child::spawn({kRoomTool, "peer", "--socket", room.socket(), "--room", kRoom, "--name", "second"}, kQuiet);
  ASSERT_TRUE(second.wait_for_stdout("\"frame\":\"joined\"", 5s)) << second.err();
  second.write_stdin("{\"frame\":\"document_request\",\"app\":\"ix.quern.word-processor\",\"record\":null}\n");
  ASSERT_TRUE(second.wait_for_stdout("\"name\":\"Claude\"", 5s)) << second.out();
  ASSERT_TRUE(second.wait_for_stdout("\"name\":\"writer\"", 5s)) << second.out();
  bool agent_answered = false;
  for (const Json& frame : json_lines(second.out(), "frame", "document_bytes")) {
    if (frame["from"]["name"] == "Claude") {
      agent_answered = true;
      EXPECT_EQ(frame["payload"], "whole");
      EXPECT_EQ(frame["from"]["kind"], "agent");
      EXPECT_GT(frame["bytes"].get<std::int64_t>(), 0);
    }
  }
  EXPECT_TRUE(agent_answered) << second.out();

  writer.write_stdin("append Claude: Turn the bullets into a table\n");
  ASSERT_TRUE(agent.wait_for_stderr("asked=\"turn the bullets into a table\" steps=1 ", 5s)) << agent.err();
  EXPECT_TRUE(agent.wait_for_stderr("INFO quern_agent::session: switched off block=\"",
                                    1s))  // the decision line, with the verdict
      << agent.err();

  // The taken paragraph edited into a new instruction, and one below it: neither is taken while
  // the first still carries the address; once it does not, the one below is.
  writer.write_stdin("edit 5 Claude: do it again\n");
  writer.write_stdin("append Claude: and then this\n");
  writer.write_stdin("edit 5 done\n");
  ASSERT_TRUE(agent.wait_for_stderr("asked=\"and then this\" steps=2 ", 5s)) << agent.err();
  EXPECT_EQ(taken(agent.err()), (std::vector<std::string>{"turn the bullets into a table", "and then this"}))
      << agent.err();
  EXPECT_EQ(agent.err().find("Error"), std::string::npos) << agent.err();
  agent.stop();
}

TEST(AgentWithWordProcessor, WithOnceEndsSuccessfullyAfterTheSeededInstruction) {
  Room room;
  Child writer = room.writer("Intro\n\nClaude: make a table\n", {"--print-final", "--no-stdin"});
  const auto r = run_process({kAgent, "--workspace", kRoom, "--endpoint", room.socket(), "--await-document-ms", "10000",
                              "--no-model", "--once"},
                             kQuiet);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(taken(r.err), std::vector<std::string>{"make a table"}) << r.err;
  EXPECT_EQ(writer.stop(), 0);
  const auto docs = json_lines(writer.out(), "event", "document");
  ASSERT_EQ(docs.size(), 1u) << writer.out();
  // "table" is shared by the word processor's insert-table and the table recipe: a tie, refused.
  EXPECT_EQ(docs[0]["markdown"],
            "Intro\n\nClaude: I can't \"make a table \u2014 that could mean insert table or turn the run of bullets "
            "immediately above the instruction into a table.. Which one?\", so I haven't done any of it.\n");
}

}  // namespace
}  // namespace quern::test

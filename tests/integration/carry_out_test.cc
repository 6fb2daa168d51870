// Instructions carried out end to end: the real agent in a real room with the scripted word
// processor holding a seeded document, run with --once, --no-model and --pace-ms 0. Each case
// is the document before, the request, and the document after as the word processor's markdown
// export; the agent's log says whether a run was recorded and with how many steps.
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

std::optional<Json> last_document(const std::string& out) {
  std::optional<Json> found;
  std::size_t at = 0;
  while (at < out.size()) {
    const std::size_t nl = out.find('\n', at);
    if (nl == std::string::npos) break;
    if (auto j = parse_json(std::string_view(out).substr(at, nl - at)); j && j->value("event", "") == "document") {
      found = *j;
    }
    at = nl + 1;
  }
  return found;
}

struct Outcome {
  int status = -1;
  std::string markdown;
  std::string log;
};

Outcome carry_out(const std::string& before, std::vector<std::string> extra = {}) {
  TempDir dir;
  const std::string socket = dir.file("room.sock");
  write_file(dir.file("doc.md"), before);
  Child broker = Child::spawn({kRoomTool, "serve", "--socket", socket}, kQuiet);
  EXPECT_TRUE(broker.wait_for_stdout("listening on", 5s)) << broker.err();
  Child writer = Child::spawn({kRoomTool, "app", "word-processor", "--socket", socket, "--room", kRoom, "--markdown",
                               dir.file("doc.md"), "--print-final", "--no-stdin"},
                              kQuiet);
  EXPECT_TRUE(writer.wait_for_stdout("\"event\":\"joined\"", 5s)) << writer.err();
  std::vector<std::string> argv{kAgent,  "--workspace", kRoom,    "--endpoint", socket, "--await-document-ms",
                                "10000", "--no-model",  "--once", "--pace-ms",  "0"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  const auto agent = run_process(argv, kQuiet);
  // The agent's last change set reaches the writer before it prints its final document.
  std::this_thread::sleep_for(200ms);
  writer.stop();
  Outcome out{agent.status, "", agent.err};
  if (auto doc = last_document(writer.out())) out.markdown = (*doc)["markdown"].get<std::string>();
  return out;
}

TEST(CarryingOut, InstructionsChangeTheDocumentAndAnswerInIt) {
  struct Case {
    std::string name;
    std::string before;
    std::string after;
    std::optional<std::size_t> run_steps;  // nothing: no run is recorded
  };
  const std::vector<Case> cases{
      {"the bullets become a 3 x 2 table; bullets and instruction are gone",
       "# Team\n\n- Name: Ada\n- Role - Lead\n- Tea\n\nClaude: turn the bullets into a table\n",
       "# Team\n\n| Name | Ada |\n| --- | --- |\n| Role | Lead |\n| Tea | |\n", 8},
      {"a blank paragraph between the bullets and the instruction is passed over",
       "- one, two\n- three\n\n\n\nClaude: turn the bullets into a table\n",
       "| one | two |\n| --- | --- |\n| three | |\n", 6},
      {"the same recipe twice in one decision is carried out once",
       "- a\n- b\n\nClaude: turn the bullets into a table, and then turn the bullets into a table\n",
       "| a |\n| --- |\n| b |\n", 5},
      {"an unmatched first clause refuses the whole sequence",
       "- a\n- b\n\nClaude: make it purple and turn the bullets into a table\n",
       "- a\n- b\n\nClaude: I can't \"make it purple\", so I haven't done any of it.\n", std::nullopt},
      {"a step failing part-way leaves the earlier edits and answers",
       "- a\n- b\n\nClaude: turn the bullets into a table, and then add a caption\n",
       "| a |\n| --- |\n| b |\n\nClaude: there is no image in this document to caption.\n", 4},
      {"a short label followed by a longer sentence becomes a section heading",
       "Launch plan\n\nGoals:\n\nShip the agent to the team this week, with its tests.\n\nRisks.\n\nNone that we "
       "know of yet, but we will look again.\n\nClaude: give this rough draft its structure\n",
       "# Launch plan\n\n## Goals:\n\nShip the agent to the team this week, with its tests.\n\nRisks.\n\nNone that we "
       "know of yet, but we will look again.\n",
       3},
      {"the heading recipe with nothing above it still counts as carried out",
       "Claude: give this rough draft its structure\n", "", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome out = carry_out(c.before);
    EXPECT_EQ(out.status, 0) << out.log;
    EXPECT_EQ(out.markdown, c.after) << out.log;
    if (c.run_steps) {
      EXPECT_NE(out.log.find("recorded the run run=\"agent-run:"), std::string::npos) << out.log;
      EXPECT_NE(out.log.find("steps=" + std::to_string(*c.run_steps) + "\n"), std::string::npos) << out.log;
    } else {
      EXPECT_EQ(out.log.find("recorded the run"), std::string::npos) << out.log;
    }
    EXPECT_EQ(out.log.find("Error"), std::string::npos) << out.log;
  }
}

}  // namespace
}  // namespace quern::test

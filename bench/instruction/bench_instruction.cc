// bench=instruction: how long the agent takes to carry out "Claude: turn the bullets into a
// table" in a document of 1,000 and of 10,000 blocks, with --pace-ms 0 and --no-model. A real
// broker, the scripted word processor holding the document, the agent, and an observer peer in
// the room; the time is measured at the observer, from the broker delivering the writer's change
// that completes the instruction to the delivery of the agent's last change set (the agent
// leaves at once after it, with --once). Each figure is the median of a few rounds.
//
//   bench=instruction blocks=1000 ms=..
#include <algorithm>
#include <cstdlib>
#include <thread>
#include <cstdio>
#include <string>
#include <vector>

#include "runtime/util/json.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using namespace quern;
using namespace quern::test;

constexpr const char* kRoom = "9b2f6c1e-4a7d-4f3e-8c1a-2d5e6f708192";
constexpr int kRounds = 3;

const ProcessOptions kQuiet{.env = {{"QUERN_LOG", "warn"}}, .unset_env = {"QUERN_SVC_COLLAB_FD"}};

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "bench-instruction: %s\n", what.c_str());
  std::exit(1);
}

std::string document(std::size_t blocks) {
  std::string md = "# Bench\n\n";
  for (std::size_t i = 0; i + 4 < blocks; ++i) md += "Paragraph " + std::to_string(i) + " says a few words.\n\n";
  md += "- Name: Ada\n- Role - Lead\n- Tea\n";
  return md;
}

// Milliseconds from the writer's last change set to the agent's last one, as the observer saw them.
double round_ms(std::size_t blocks) {
  TempDir dir;
  const std::string socket = dir.file("room.sock");
  write_file(dir.file("doc.md"), document(blocks));
  const std::string room_tool = built_program("quern-room");
  Child broker = Child::spawn({room_tool, "serve", "--socket", socket}, kQuiet);
  if (!broker.wait_for_stdout("listening on", 10s)) die("the broker did not start");
  Child writer = Child::spawn(
      {room_tool, "app", "word-processor", "--socket", socket, "--room", kRoom, "--markdown", dir.file("doc.md")},
      kQuiet);
  if (!writer.wait_for_stdout("\"event\":\"joined\"", 30s)) die("the writer did not join");
  Child observer = Child::spawn(
      {room_tool, "peer", "--socket", socket, "--room", kRoom, "--name", "observer", "--no-stdin"}, kQuiet);
  if (!observer.wait_for_stdout("\"frame\":\"joined\"", 10s)) die("the observer did not join");
  ProcessOptions agent_options{.env = {{"QUERN_LOG", "info"}}, .unset_env = {"QUERN_SVC_COLLAB_FD"}};
  Child agent = Child::spawn({built_program("quern-agent"), "--workspace", kRoom, "--endpoint", socket,
                              "--no-model", "--once", "--pace-ms", "0", "--settle-ms", "0"},
                             agent_options);
  if (!agent.wait_for_stderr("received the document", 30s)) die("the agent got no document: " + agent.err());
  writer.write_stdin("append Claude: turn the bullets into a table\n");
  if (!agent.wait(60s)) die("the agent did not finish: " + agent.err());
  std::this_thread::sleep_for(300ms);

  std::int64_t from = -1, to = -1;
  const std::string& out = observer.out();
  std::size_t at = 0;
  while (at < out.size()) {
    const std::size_t nl = out.find('\n', at);
    if (nl == std::string::npos) break;
    auto j = parse_json(std::string_view(out).substr(at, nl - at));
    at = nl + 1;
    if (!j || j->value("frame", "") != "document_bytes") continue;
    const std::string name = (*j)["from"].value("name", "");
    const std::int64_t when = j->value("at_ms", std::int64_t{-1});
    if (name == "writer") from = when;
    if (name == "Claude" && from >= 0) to = when;
  }
  writer.write_stdin("quit\n");
  if (from < 0 || to < 0) die("the observer saw no change sets: " + out.substr(0, 2000));
  return static_cast<double>(to - from);
}

}  // namespace

int main() {
  for (std::size_t blocks : {std::size_t{1000}, std::size_t{10000}}) {
    std::vector<double> rounds;
    for (int r = 0; r < kRounds; ++r) rounds.push_back(round_ms(blocks));
    std::sort(rounds.begin(), rounds.end());
    std::printf("bench=instruction blocks=%zu ms=%.0f\n", blocks, rounds[rounds.size() / 2]);
    std::fflush(stdout);
  }
  return 0;
}

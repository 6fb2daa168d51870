// Run records over a real replica on the scripted room: the run a carried-out instruction leaves
// in the document's history (its label, the agent, the entry it answered, one step per change),
// none for a refused one, the pacing and announcements of each operation, and the run context's
// JSON.
#include "apps/agent/src/run_record.h"

#include <gtest/gtest.h>

#include "apps/agent/src/session_loop.h"
#include "runtime/ui/history_source.h"
#include "tests/apps/agent/fake_room.h"
#include "tests/apps/agent/writer.h"

namespace quern::agent {
namespace {

using namespace std::chrono_literals;
using test::FakeSession;
using test::Writer;
namespace runs = ui::history_source::runs;

SessionSettings settings() {
  SessionSettings s;
  s.app = "ix.quern.word-processor";
  s.name = "Claude";
  s.workspace = *Uuid::parse("9b2f6c1e-4a7d-4f3e-8c1a-2d5e6f708192");
  s.await_document = duration_from_millis(60000);
  s.pace = duration_from_millis(250);
  s.live = false;
  return s;
}

std::vector<std::string> labels(const std::vector<runs::RunStep>& steps) {
  std::vector<std::string> out;
  for (const auto& s : steps) out.push_back(s.label);
  return out;
}

TEST(RunRecord, ACarriedOutInstructionLeavesOneRunWithAStepPerChange) {
  FakeSession f(settings());
  Writer ann;
  ann.append("a", "list_item");
  ann.append("b", "list_item");
  const std::string id = ann.append("Claude: turn the bullets into a table");
  const std::string answered = ann.doc().heads().front().to_hex_string();
  f.arrive_after(0ms, ann.state_message());
  auto outcome = step(f.session, kStepBudget);
  ASSERT_TRUE(outcome) << outcome.error().to_string();
  ASSERT_EQ(*outcome, StepOutcome::CarriedOut);

  auto stored = runs::read_runs(f.session.own->document);
  ASSERT_TRUE(stored) << stored.error().to_string();
  ASSERT_EQ(stored->size(), 1u);
  const runs::Run& run = stored->front();
  EXPECT_EQ(run.label, "agent-run:" + id);
  EXPECT_EQ(run.agent, watched_actor("Claude").to_hex_string());
  EXPECT_EQ(run.assigned_by, "entry:" + answered);
  EXPECT_EQ(labels(run.steps),
            (std::vector<std::string>{"insert table 2x1", "splice text (+1 -0)", "splice text (+1 -0)",
                                      "remove 2 block(s)", "remove 1 block(s)"}));
  // Each step names a distinct change of the agent's.
  for (std::size_t i = 1; i < run.steps.size(); ++i) EXPECT_NE(run.steps[i].entry, run.steps[i - 1].entry);
  EXPECT_FALSE(f.session.run) << "the run is closed";

  // Every operation was announced with the run context, then its outcome, and paced.
  std::size_t announced = 0, outcomes = 0;
  for (const auto& [at, m] : f.room->sent) {
    if (const auto* a = std::get_if<collab::InvocationAnnounced>(&m)) {
      ++announced;
      const Json context = parse_json(a->invocation.context_json).value();
      EXPECT_EQ(context["group"]["id"], "agent-run:" + id);
      EXPECT_EQ(a->invocation.resource.id, "word-processor.edit");
    }
    if (std::holds_alternative<collab::InvocationOutcome>(m)) ++outcomes;
  }
  EXPECT_EQ(announced, 5u);
  EXPECT_EQ(outcomes, 5u);
  EXPECT_EQ(f.clock.sleeps, std::vector<Duration>(5, duration_from_millis(250)));
}

TEST(RunRecord, ARefusedInstructionLeavesNoRunOnlyTheReply) {
  FakeSession f(settings());
  Writer ann;
  ann.append("a", "list_item");
  ann.append("Claude: make it purple and turn the bullets into a table");
  f.arrive_after(0ms, ann.state_message());
  ASSERT_TRUE(step(f.session, kStepBudget));
  EXPECT_TRUE(runs::read_runs(f.session.own->document).value().empty());
  EXPECT_TRUE(f.clock.sleeps.empty()) << "nothing was performed";
}

TEST(RunRecord, OnlyTheAgentsOwnEditsLeaveAssignedByEmpty) {
  FakeSession f(settings());
  Writer self("Claude");
  self.append("Claude: tidy up");
  f.arrive_after(0ms, self.state_message());
  f.session.executor = std::make_unique<DefaultExecutor>();  // keep the run open to look at it
  f.session.planner = std::make_unique<DefaultPlanner>();
  // The run is taken and closed by the loop; open one by hand on the replica it left.
  ASSERT_TRUE(step(f.session, kStepBudget));
  begin_run(f.session, "b1", "tidy up", "switched off");
  ASSERT_TRUE(f.session.run);
  EXPECT_EQ(f.session.run->assigned_by, std::nullopt);
  const auto context = run_context(f.session);
  ASSERT_TRUE(context);
  EXPECT_TRUE(context->facets.empty());
}

TEST(RunRecord, TheContextJson) {
  SessionSettings s = settings();
  RunRecord run{"agent-run:b7", "switched off", "turn the bullets into a table", "ab", "entry:ab", {}};
  EXPECT_EQ(dump_json(run_context(s, run).to_json()),
            R"({"app":{"id":"ix.quern.word-processor","label":"Agent"},)"
            R"("resource":{"id":"active document","kind":"document","label":"active document"},)"
            R"("action_label":"Agent task","purpose":"turn the bullets into a table",)"
            R"("group":{"id":"agent-run:b7","label":"turn the bullets into a table","kind":"agent-run"},)"
            R"("facets":[{"key":"assigned-by","value":"entry:ab"}]})");
  s.record = "file:/tmp/brief.md";
  run.request = "";
  run.assigned_by.reset();
  const Json j = run_context(s, run).to_json();
  EXPECT_EQ(j["resource"]["id"], "file:/tmp/brief.md");
  EXPECT_EQ(j["resource"]["label"], "file:/tmp/brief.md");
  EXPECT_TRUE(j["purpose"].is_null());
  EXPECT_EQ(j["facets"], Json::array());
}

}  // namespace
}  // namespace quern::agent

// The document-mode step after a change to the watched document: which paragraph is taken,
// when it has settled (on a clock that only moves when slept on), what planning is given, the
// decision line, the run record and --once. The room is scripted; the documents are real.
#include "apps/agent/src/session_loop.h"

#include <gtest/gtest.h>

#include "apps/agent/src/apply.h"
#include "runtime/util/log.h"
#include "tests/apps/agent/fake_room.h"
#include "tests/apps/agent/writer.h"

namespace quern::agent {
namespace {

using namespace std::chrono_literals;
using test::FakeSession;
using test::Writer;

SessionSettings settings(std::uint64_t settle_ms = 0, std::string name = "Claude") {
  SessionSettings s;
  s.app = "ix.quern.word-processor";
  s.name = std::move(name);
  s.workspace = *Uuid::parse("9b2f6c1e-4a7d-4f3e-8c1a-2d5e6f708192");
  s.settle = duration_from_millis(settle_ms);
  s.await_document = duration_from_millis(60000);
  s.live = false;
  return s;
}

// What planning was given, as plain values, and when.
struct Planned {
  Duration at{};
  Instruction instruction;
  std::vector<std::string> paragraphs;  // "kind:text"
  std::vector<std::string> replicas;    // short names, watched first
  std::size_t broker_records = 0;
};

struct Carried {
  Duration at{};
  std::string block, request;
  std::optional<RunRecord> run;
  std::size_t steps = 0;
};

struct Journal {
  std::vector<Planned> planned;
  std::vector<Carried> carried;
};

class RecordingPlanner final : public Planner {
 public:
  RecordingPlanner(Journal& j, const test::RecordingClock& clock) : journal_(j), clock_(clock) {}
  Result<Decision> decide(const PlanningInput& in) override {
    Planned p{clock_.elapsed(), in.instruction, {}, {}, in.broker_catalogue.size()};
    for (const auto& b : in.paragraphs) p.paragraphs.push_back(b.kind + ":" + b.text);
    for (const auto& r : in.replicas) {
      p.replicas.push_back(std::string(r.replica->surface->short_name()) + (r.watched ? " (watched)" : ""));
    }
    journal_.planned.push_back(std::move(p));
    return Decision{"decided by the test", DecidedBy::Keywords, {UnresolvedStep{"what"}, RecipeStep{}}, 3};
  }

 private:
  Journal& journal_;
  const test::RecordingClock& clock_;
};

class RecordingExecutor final : public Executor {
 public:
  RecordingExecutor(Journal& j, const test::RecordingClock& clock) : journal_(j), clock_(clock) {}
  Result<CarryOutReport> carry_out(Session& s, const Instruction& i, const Decision& d) override {
    journal_.carried.push_back(Carried{clock_.elapsed(), i.block, i.request, s.run, d.steps.size()});
    s.run.reset();
    return CarryOutReport{};
  }

 private:
  Journal& journal_;
  const test::RecordingClock& clock_;
};

struct Loop {
  explicit Loop(SessionSettings s) : f(std::move(s)) {
    f.session.planner = std::make_unique<RecordingPlanner>(journal, f.clock);
    f.session.executor = std::make_unique<RecordingExecutor>(journal, f.clock);
  }
  void at(Duration t, collab::DocumentBytes m) { f.arrive_after(t, std::move(m)); }
  // Steps until the clock reaches `until`; the outcomes that carried an instruction out.
  std::size_t run_until(Duration until) {
    std::size_t carried = 0;
    while (f.clock.elapsed() < until) {
      auto outcome = step(f.session, kStepBudget);
      EXPECT_TRUE(outcome.has_value()) << outcome.error().to_string();
      if (!outcome) break;
      if (*outcome == StepOutcome::CarriedOut) ++carried;
    }
    return carried;
  }
  std::vector<std::string> taken_requests() const {
    std::vector<std::string> out;
    for (const auto& c : journal.carried) out.push_back(c.request);
    return out;
  }

  FakeSession f;
  Journal journal;
};

TEST(Settling, WithSettleZeroTheFirstChangeShowingTheParagraphIsActedOn) {
  Loop loop(settings(0));
  Writer ann;
  ann.append("Intro");
  loop.at(0ms, ann.state_message());
  const std::string id = ann.append("Claude: Add A Caption");
  loop.at(300ms, ann.changes_message());
  EXPECT_EQ(loop.run_until(1s), 1u);
  ASSERT_EQ(loop.journal.carried.size(), 1u);
  const Carried& c = loop.journal.carried[0];
  EXPECT_EQ(c.block, id);
  EXPECT_EQ(c.request, "add a caption");
  EXPECT_GE(c.at, 300ms);
  EXPECT_LE(c.at, 310ms);
  EXPECT_TRUE(loop.f.session.handled.contains(id));
  EXPECT_TRUE(loop.f.session.pending.empty());
}

TEST(Settling, With2000msAParagraphIsTakenOnlyOnAChangeAtLeast2sAfterTheCheckThatSawItSo) {
  struct Case {
    std::string_view name;
    std::vector<Duration> later_changes;  // unrelated edits elsewhere in the document
    std::optional<Duration> taken_at;     // the change that takes it
  };
  for (const auto& c : {
           Case{"left alone, nothing else arrives: never taken", {}, std::nullopt},
           Case{"a change 2.1 s later takes it", {2100ms}, 2100ms},
           Case{"a change within 2 s restarts the wait", {1000ms, 2900ms, 5000ms}, 5000ms},
           Case{"exactly 2 s later is enough", {2000ms}, 2000ms},
       }) {
    Loop loop(settings(2000));
    Writer ann;
    ann.append("Claude: make a table");
    loop.at(0ms, ann.state_message());
    for (Duration t : c.later_changes) {
      ann.append("more at " + std::to_string(t.count()));
      loop.at(t, ann.changes_message());
    }
    loop.run_until(8s);
    if (!c.taken_at) {
      EXPECT_TRUE(loop.journal.carried.empty()) << c.name;
      EXPECT_EQ(loop.f.session.pending.size(), 1u) << c.name;
      continue;
    }
    ASSERT_EQ(loop.journal.carried.size(), 1u) << c.name;
    EXPECT_GE(loop.journal.carried[0].at, *c.taken_at) << c.name;
    EXPECT_LE(loop.journal.carried[0].at, *c.taken_at + 10ms) << c.name;
  }
}

TEST(Settling, EditingTheParagraphRestartsTheWaitAndTheSettledTextIsAsked) {
  Loop loop(settings(2000));
  Writer ann;
  const std::string id = ann.append("Claude: make a");
  loop.at(0ms, ann.state_message());
  ann.edit(id, "Claude: make a table");
  loop.at(1500ms, ann.changes_message());
  ann.append("elsewhere");
  loop.at(3000ms, ann.changes_message());  // 1.5 s after the text changed: the wait starts again
  ann.append("elsewhere again");
  loop.at(4000ms, ann.changes_message());  // 2.5 s after the edit, but 1 s after the last check
  ann.append("and again");
  loop.at(6000ms, ann.changes_message());
  loop.run_until(7s);
  ASSERT_EQ(loop.journal.carried.size(), 1u);
  EXPECT_GE(loop.journal.carried[0].at, 6000ms);
  EXPECT_EQ(loop.journal.carried[0].request, "make a table");
}

TEST(Detection, TakesEachAddressedParagraphOnceAndOnlyTheFirst) {
  Loop loop(settings(0));
  Writer ann;
  ann.append("Claude: a heading is never an instruction", "heading");
  ann.append("Claude: nor is a list item", "list_item");
  loop.at(0ms, ann.state_message());
  const std::string first = ann.append("Claude: one");
  loop.at(100ms, ann.changes_message());
  const std::string second = ann.append("Claude: two");
  loop.at(200ms, ann.changes_message());
  ann.edit(first, "Claude: one, edited into a new instruction");
  loop.at(300ms, ann.changes_message());
  loop.run_until(400ms);
  EXPECT_EQ(loop.taken_requests(), std::vector<std::string>{"one"})
      << "not the heading or list item; not the second below the handled first; not the handled one edited";

  ann.edit(first, "Claude done this");  // no longer addressed
  loop.at(500ms, ann.changes_message());
  loop.run_until(600ms);
  EXPECT_EQ(loop.taken_requests(), (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(loop.journal.carried.back().block, second);

  // A reply over a failed instruction starts with the name, so it stays first: an instruction
  // typed above it is taken.
  ann.edit(second, "Claude: I can't \"two\", so I haven't done any of it.");
  loop.at(700ms, ann.changes_message());
  ann.insert_after(std::nullopt, "Claude: above the reply");
  loop.at(800ms, ann.changes_message());
  loop.run_until(900ms);
  EXPECT_EQ(loop.taken_requests(), (std::vector<std::string>{"one", "two", "above the reply"}));
}

TEST(Detection, AnswersToTheConfiguredName) {
  Loop loop(settings(0, "Ada"));
  Writer ann;
  ann.append("Claude: do it");
  ann.append("ADA: Do It Now");
  loop.at(0ms, ann.state_message());
  loop.run_until(200ms);
  EXPECT_EQ(loop.taken_requests(), std::vector<std::string>{"do it now"});
}

TEST(Decision, PlanningIsGivenTheDocumentAndEveryReplicaAndTheDecisionIsLoggedAndRecorded) {
  Loop loop(settings(0));
  log::Capture capture("info");
  crdt::Document photos = test::photos_document();
  crdt::Document chat = test::chat_document();
  loop.at(0ms, Writer::whole(photos.save()));
  loop.at(0ms, Writer::whole(chat.save()));
  Writer ann;
  ann.append("Notes", "heading");
  const std::string id = ann.append("Claude: Turn It");
  loop.at(10ms, ann.state_message());
  loop.f.session.broker_catalogue = {collab::ParticipantRecord{"files", 3, true, {}}};
  loop.run_until(100ms);

  ASSERT_EQ(loop.journal.planned.size(), 1u);
  const Planned& p = loop.journal.planned[0];
  EXPECT_EQ(p.instruction, (Instruction{1, id, "turn it"}));
  EXPECT_EQ(p.paragraphs, (std::vector<std::string>{"heading:Notes", "paragraph:Claude: Turn It"}));
  EXPECT_EQ(p.replicas, (std::vector<std::string>{"word-processor (watched)", "chat", "photos"}));
  EXPECT_EQ(p.broker_records, 1u);

  EXPECT_TRUE(capture.contains("INFO quern_agent::session: decided by the test block=\"" + id +
                               "\" asked=\"turn it\" steps=2 offers=3 decided_by=\"keywords\" live=false"))
      << capture.text();
  ASSERT_TRUE(loop.f.session.decision);
  EXPECT_EQ(loop.f.session.decision->summary, "decided by the test");

  ASSERT_EQ(loop.journal.carried.size(), 1u);
  const auto& run = loop.journal.carried[0].run;
  ASSERT_TRUE(run) << "the run record is open while carrying out";
  EXPECT_EQ(run->run_id, "agent-run:" + id);
  EXPECT_EQ(run->request, "turn it");
  EXPECT_EQ(run->decision, "decided by the test");
  EXPECT_EQ(run->assigned_by_version, ann.doc().heads().front().to_hex_string()) << "the newest edit, the person's";
}

TEST(Decision, EditsMadeOnlyUnderTheAgentsOwnActorAssignNothing) {
  Loop loop(settings(0));
  Writer self("Claude");
  self.append("Claude: tidy up");
  loop.at(0ms, self.state_message());
  loop.run_until(100ms);
  ASSERT_EQ(loop.journal.carried.size(), 1u);
  EXPECT_EQ(loop.journal.carried[0].run->assigned_by_version, std::nullopt);
}

TEST(Decision, WithoutAPlannerOrExecutorTheInstructionIsTakenAndLogged) {
  for (const bool live : {false, true}) {
    SessionSettings s = settings(0);
    s.live = live;
    FakeSession f(std::move(s));
    f.session.planner = std::make_unique<DefaultPlanner>();
    f.session.executor = std::make_unique<DefaultExecutor>();
    log::Capture capture("info");
    Writer ann;
    const std::string id = ann.append("Claude: make it so");
    f.arrive_after(0ms, ann.state_message());
    auto outcome = step(f.session, kStepBudget);
    ASSERT_TRUE(outcome.has_value()) << outcome.error().to_string();
    EXPECT_EQ(*outcome, StepOutcome::CarriedOut);
    const std::string verdict = live ? "no api key" : "switched off";
    EXPECT_TRUE(capture.contains("INFO quern_agent::session: " + verdict + " block=\"" + id +
                                 "\" asked=\"make it so\" steps=0 offers=0 decided_by=\"keywords\""))
        << capture.text();
    EXPECT_TRUE(capture.contains("took the instruction; nothing carries its steps out yet block=\"" + id + "\""));
    EXPECT_FALSE(f.session.run) << "the run is closed when carrying out ends";
    EXPECT_TRUE(f.room->sent.empty()) << "nothing is edited or sent";
  }
}

TEST(DocumentMode, OnceEndsTheRunAfterTheFirstInstructionAndOtherwiseItGoesOn) {
  for (const bool once : {true, false}) {
    SessionSettings s = settings(0);
    s.once = once;
    Loop loop(std::move(s));
    Writer ann;
    ann.append("Claude: first");
    loop.at(0ms, ann.state_message());
    ann.append("Claude: second, never taken");
    loop.at(300ms, ann.changes_message());
    loop.f.fail_after(2s, Error("the broker closed the connection"));
    auto result = run_document_mode(loop.f.session);
    EXPECT_EQ(loop.journal.carried.size(), 1u);
    if (once) {
      EXPECT_TRUE(result.has_value());
      EXPECT_LT(loop.f.clock.elapsed(), 100ms);
    } else {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error().to_string(), "the broker closed the connection");
    }
  }
}

TEST(DocumentMode, AWatchedDocumentThatLosesItsSchemaEndsTheRun) {
  Loop loop(settings(0));
  Writer ann;
  ann.append("text");
  Writer bob = ann.replica("bob");
  loop.at(0ms, ann.state_message());
  ASSERT_TRUE(bob.doc().delete_key(crdt::ObjId::root(), "folio").has_value());
  bob.doc().commit();
  loop.at(100ms, bob.changes_message());
  ASSERT_TRUE(step(loop.f.session, kStepBudget).has_value());
  ASSERT_TRUE(loop.f.session.own);
  auto outcome = step(loop.f.session, kStepBudget);
  ASSERT_FALSE(outcome.has_value());
  EXPECT_EQ(outcome.error().to_string().rfind("the document has no folio schema: ", 0), 0u)
      << outcome.error().to_string();
}

}  // namespace
}  // namespace quern::agent

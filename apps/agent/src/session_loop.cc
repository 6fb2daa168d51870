#include "apps/agent/src/session_loop.h"

#include "apps/agent/src/apply.h"
#include "apps/agent/src/instruction.h"
#include "apps/agent/src/planner.h"
#include "apps/agent/src/wire.h"
#include "runtime/folio/materialize.h"
#include "runtime/folio/schema.h"
#include "runtime/util/log.h"
#include "runtime/util/quote.h"

namespace quern::agent {
namespace {

constexpr std::string_view kSession = "quern_agent::session";

// Whether the event changed a replica (which, for the watched one, leads on to looking for an
// instruction).
Result<bool> handle_event(Session& session, const collab::CollabEvent& event) {
  if (const auto* request = event.get<collab::DocumentRequest>()) {
    answer_document_request(session, *request);
    return false;
  }
  if (const auto* update = event.get<collab::CatalogueUpdate>()) {
    store_catalogue(session, *update);
    return false;
  }
  if (event.is<collab::DocumentBytes>()) return apply_document_event(session, event);
  log::trace(kSession, "dropped an event", {{"message", event.name()}, {"from", event.from.name}});
  return false;
}

Result<folio::model::DocumentView> read_watched(const Replica& own) {
  auto schema = folio::model::open(own.document);
  if (!schema) return fail("the document has no folio schema: " + schema.error().to_string());
  auto view = folio::model::materialize(own.document, *schema);
  if (!view) return fail("the document has no folio schema: " + view.error().to_string());
  return std::move(*view);
}

// Whether the addressed paragraph has settled; when it has not, it is (re)noted as pending.
bool settled(Session& session, const Instruction& instruction, const std::string& text) {
  const Duration settle = session.settings.settle;
  if (settle == Duration::zero()) return true;
  const Instant now = session.clock->now();
  auto it = session.pending.find(instruction.block);
  if (it != session.pending.end() && it->second.text == text && now - it->second.seen >= settle) return true;
  session.pending.insert_or_assign(instruction.block, PendingParagraph{text, now});
  return false;
}

Result<StepOutcome> act(Session& session, const folio::model::DocumentView& view, const Instruction& instruction) {
  session.pending.erase(instruction.block);
  session.handled.insert(instruction.block);

  PlanningInput input{.settings = session.settings,
                      .decision_mode = session.decision_mode,
                      .permissions = session.permissions,
                      .instruction = instruction,
                      .view = view,
                      .paragraphs = view.body(),
                      .replicas = {},
                      .broker_catalogue = session.broker_catalogue,
                      .clock = *session.clock};
  input.replicas.push_back(PlanningReplica{&*session.own, true});
  for (const auto& [key, replica] : session.others) input.replicas.push_back(PlanningReplica{&replica, false});
  Decision decision = QUERN_TRY_CTX(session.planner->decide(input), "decide what the instruction asks for");

  log::info(kSession, decision.summary,
            {{"block", instruction.block},
             {"asked", instruction.request},
             {"steps", decision.steps.size()},
             {"offers", decision.offers},
             {"decided_by", decided_by_name(decision.decided_by)},
             {"live", session.decision_mode.live}});

  session.decision = decision;
  session.run =
      open_run(instruction.block, instruction.request, decision.summary, session.own->document, session.own->actor);
  QUERN_TRY(session.executor->carry_out(session, instruction, decision));
  return StepOutcome::CarriedOut;
}

}  // namespace

Error document_wait_failure(const SessionSettings& s) {
  const std::string record = s.record ? "record " + quote_escaped(*s.record) : "no record (an untitled document)";
  return Error("no participant answered with a document in " + std::to_string(whole_seconds(s.await_document)) +
               "s. Announced app=" + quote_escaped(s.app) + " room=" + s.workspace.to_string() + " and " + record +
               ". The broker matches all three and drops what does not match, so if the app has a file open its "
               "record is `file:<path>` and this agent must be given the same one with --record.");
}

Result<StepOutcome> step(Session& session, Duration budget) {
  if (!has_watched_document(session) && session.clock->now() - session.last_document_request >= kAskAgainInterval) {
    ask_for_document(session);
    log::debug(kSession, "asked the room for the document again");
  }
  auto event = QUERN_TRY(next_event(session, budget));
  if (!event) return StepOutcome::NothingHappened;
  const bool changed = QUERN_TRY(handle_event(session, *event));
  if (!changed || !has_watched_document(session)) return StepOutcome::NothingHappened;

  const folio::model::DocumentView view = QUERN_TRY(read_watched(*session.own));
  const auto instruction = find_instruction(view.body(), session.settings.name);
  if (!instruction || session.handled.contains(instruction->block)) return StepOutcome::NothingHappened;
  if (!settled(session, *instruction, view.body()[instruction->index].text)) return StepOutcome::NothingHappened;
  return act(session, view, *instruction);
}

Result<void> run_document_mode(Session& session) {
  const Instant start = session.clock->now();
  while (true) {
    const StepOutcome outcome = QUERN_TRY(step(session, kStepBudget));
    if (outcome == StepOutcome::CarriedOut && session.settings.once) return {};
    if (!has_watched_document(session) && session.settings.await_document != Duration::zero() &&
        session.clock->now() - start >= session.settings.await_document) {
      return fail(document_wait_failure(session.settings));
    }
  }
}

}  // namespace quern::agent

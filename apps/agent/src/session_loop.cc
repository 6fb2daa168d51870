#include "apps/agent/src/session_loop.h"

#include <variant>

#include "apps/agent/src/wire.h"
#include "runtime/util/log.h"
#include "runtime/util/quote.h"

namespace quern::agent {
namespace {

constexpr std::string_view kSession = "quern_agent::session";

// Whether the event changed the watched document (which leads on to looking for an
// instruction). This build keeps no replicas, so a document event is decoded and dropped.
Result<bool> handle_event(Session& session, const collab::CollabEvent& event) {
  if (const auto* request = event.get<collab::DocumentRequest>()) {
    answer_document_request(session, *request);
    return false;
  }
  if (const auto* update = event.get<collab::CatalogueUpdate>()) {
    store_catalogue(session, *update);
    return false;
  }
  if (event.is<collab::DocumentBytes>()) {
    const collab::DocumentMutation mutation = QUERN_TRY(event.document_mutation());
    if (std::holds_alternative<collab::NoMutation>(mutation)) return fail("document event lost its mutation");
    const auto& bytes = std::holds_alternative<collab::WholeState>(mutation)
                            ? std::get<collab::WholeState>(mutation).bytes
                            : std::get<collab::ChangeSet>(mutation).bytes;
    log::debug(kSession, "dropped a document event: no replica is kept",
               {{"from", event.from.name}, {"bytes", bytes.size()}});
    return false;
  }
  log::trace(kSession, "dropped an event", {{"message", event.name()}, {"from", event.from.name}});
  return false;
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
  // The watched document changed: the instruction is looked for, settled and carried out here.
  return StepOutcome::NothingHappened;
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

// Document mode: the outer loop that repeats one session step until the run ends, and the step
// itself. A step takes one room event; when it changed the watched document, the step looks for
// the first paragraph addressed to the agent, lets it settle, takes it, asks the session's
// planner for a decision, logs it, opens the run record and hands the decision to the session's
// executor. Session thread only.
#pragma once

#include "apps/agent/src/session.h"
#include "apps/agent/src/settings.h"
#include "runtime/util/clock.h"
#include "runtime/util/error.h"

namespace quern::agent {

inline constexpr Duration kStepBudget = std::chrono::milliseconds(100);
// How long the agent waits for an answer before asking the room for its document again.
inline constexpr Duration kAskAgainInterval = std::chrono::milliseconds(750);

enum class StepOutcome { NothingHappened, CarriedOut };

// Repeats `step` with a budget of 100 ms. Ends with the step's error; with success after an
// instruction was carried out under `once`; or with the document-wait failure once
// `await_document` (when not zero) has passed without the watched document.
Result<void> run_document_mode(Session& session);

// One step: asks for the document again when 750 ms have passed since the last request and there
// is still none, waits up to `budget` for one event and handles it; after a change to the
// watched document, finds, settles and carries out the instruction. Settling is checked only
// here: an addressed paragraph is acted on when a change arrives at least `settle` after the
// previous check that saw the same text (at once when `settle` is zero). A paragraph is taken
// at most once, whatever its text becomes, and only the first addressed paragraph of the
// document is looked at.
Result<StepOutcome> step(Session& session, Duration budget);

// "no participant answered with a document in {}s. ..." for these settings.
Error document_wait_failure(const SessionSettings& settings);

}  // namespace quern::agent

// Document mode: the outer loop that repeats one session step until the run ends, and the step
// itself. The step is where the room's traffic is taken one event at a time; it grows as the
// replicas and instruction detection join it (after the event is handled, a change to the
// watched document is what leads on to finding an instruction).
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
// is still none, waits up to `budget` for one event and handles it.
Result<StepOutcome> step(Session& session, Duration budget);

// "no participant answered with a document in {}s. ..." for these settings.
Error document_wait_failure(const SessionSettings& settings);

}  // namespace quern::agent

// Carrying a decision out in document mode: the refusal check, the steps in order (local
// operations through the action library, broker actions followed to a terminal state, the
// built-in recipes), pacing, the announcements of each operation, the stamped commits and
// change sets sent to the room, the answer written into the instruction paragraph, and the
// removal of that paragraph once everything went through. The run record is closed at the end
// whatever happened (run_record.h).
//
// Session thread only. The waits (broker answers, state polls, catalogue updates, pacing) are
// the only places outside the session step that poll the room; events they do not consume are
// put back at the front of the session's queue in the order they arrived.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "apps/agent/src/decision.h"
#include "apps/agent/src/executor.h"
#include "apps/agent/src/instruction.h"
#include "apps/agent/src/step_resolution.h"
#include "apps/word-processor/src/action.h"
#include "apps/word-processor/src/apply.h"
#include "runtime/actions/action_context.h"
#include "runtime/folio/document_view.h"
#include "runtime/util/clock.h"
#include "runtime/util/error.h"

namespace quern::agent {

struct Session;

// The waits of carrying out. The defaults are the product's; tests may shorten them.
struct CarryOutTimings {
  Duration broker_answer = std::chrono::seconds(10);    // for each answer of the broker
  Duration state_poll = std::chrono::milliseconds(50);  // between two state queries
  Duration admission = std::chrono::seconds(30);        // from admission to a terminal state
  Duration catalogue_wait = std::chrono::seconds(2);    // for an operation not yet offered
};

// What the steps of one decision share while they are carried out.
struct CarryingOut {
  Session& session;
  word_processor::WriterHandle& writer;  // for the watched replica
  const CarryOutTimings& timings;
  std::string block;                       // the instruction paragraph
  std::set<std::string> fingerprints;      // "{operation}\0{arguments}" performed so far
  std::optional<PreviousResult> produced;  // what the previous step produced
  std::size_t performed = 0;
};

// A step's verdict: done (nothing), or the reply to write over the instruction paragraph, which
// stops the decision.
using StepVerdict = std::optional<std::string>;

// How one local word-processor operation went.
enum class Performed { Changed, NoChange };

// One word-processor operation on the watched replica: announced with the run context, applied
// under the agent's actor, committed stamped, sent as a change set, its outcome announced,
// logged, and paced. A rejection of the applier is returned as its error, with nothing changed
// and the outcome announced as failed; any other error is an engine failure.
Result<Performed> perform(CarryingOut& work, const word_processor::WordProcessorAction& action);

// The watched document's body blocks, in order. "no document" without a watched replica.
Result<std::vector<folio::model::Block>> watched_paragraphs(const Session& session);

// Replaces the whole text of the instruction paragraph with `text` (nothing when the paragraph
// is gone).
Result<void> write_reply(CarryingOut& work, std::string_view text);

// The decision carried out; the report says how it ended and what was written.
Result<CarryOutReport> carry_out(Session& session, const Instruction& instruction, const Decision& decision,
                                 word_processor::WriterHandle& writer, const CarryOutTimings& timings = {});

// The reply texts.
std::string refusal_reply(std::string_view name,
                          std::string_view what);  // "{}: I can't \"{}\", so I haven't done any of it."
std::string unresolved_reply(std::string_view name, std::string_view what);      // "{}: I can't \"{}\"."
std::string step_failure_reply(std::string_view name, std::string_view reason);  // "{}: I couldn't do that - {}"
std::string error_reply(std::string_view name, std::string_view error);          // "{}: {}"

// The executor of document mode.
class CarryOutExecutor final : public Executor {
 public:
  explicit CarryOutExecutor(CarryOutTimings timings = {}) : timings_(timings) {}
  Result<CarryOutReport> carry_out(Session& session, const Instruction& instruction, const Decision& decision) override;

 private:
  CarryOutTimings timings_;
  word_processor::WriterHandle writer_;
};

std::unique_ptr<Executor> carry_out_executor(CarryOutTimings timings = {});

}  // namespace quern::agent

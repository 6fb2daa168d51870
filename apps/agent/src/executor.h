// The executor seam of document mode: carries a decision out on the replicas and answers in the
// document. The session loop calls it once per taken instruction, after logging the decision,
// storing it in the session and opening the run record (`Session::run`); whatever the executor
// reports, the loop reports that an instruction was carried out (which ends a run under
// --once). The executor closes the run record before it returns.
//
// Called on the session thread with the session itself: carrying out edits the replicas,
// sends to the room, paces, and may wait on room events (setting aside those it does not
// consume, back at the front of the session's queue).
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "apps/agent/src/decision.h"
#include "apps/agent/src/instruction.h"
#include "runtime/util/error.h"

namespace quern::agent {

struct Session;

enum class Ending {
  Completed,      // every step went through; the instruction paragraph was removed
  Refused,        // part of it was not understood; nothing was touched, the reply says which
  FailedPartWay,  // a step failed; earlier steps stay, the reply says why
  Noted,          // taken and logged only: nothing here carries steps out yet
};

struct CarryOutReport {
  Ending ending = Ending::Noted;
  std::size_t performed = 0;         // operations performed
  std::optional<std::string> reply;  // the text written over the instruction paragraph
};

class Executor {
 public:
  virtual ~Executor() = default;
  // An error ends the run (a lost connection, "no document", an engine failure); a step that
  // fails is an ending, not an error.
  virtual Result<CarryOutReport> carry_out(Session& session, const Instruction& instruction,
                                           const Decision& decision) = 0;
};

// Logs that the instruction was taken ("took the instruction; nothing carries its steps out
// yet") with `block`, `asked` and `steps`, closes the run record and reports `Noted`. Touches
// no document.
class DefaultExecutor final : public Executor {
 public:
  Result<CarryOutReport> carry_out(Session& session, const Instruction& instruction, const Decision& decision) override;
};

// The executor a session starts with: carrying out (carry_out.h).
std::unique_ptr<Executor> default_executor();

}  // namespace quern::agent

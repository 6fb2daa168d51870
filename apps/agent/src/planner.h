// The planner seam of document mode: once an instruction is taken, the session gathers what
// planning needs into a `PlanningInput` and asks its planner for a `Decision`. A model planner
// and the keyword vocabulary sit behind this interface; the session loop only logs and stores
// what comes back and hands it to the executor (executor.h).
//
// The input borrows from the session for the length of one `decide` call; nothing in it may be
// kept afterwards. Called on the session thread only. Building the catalogue of offers from the
// input (the surfaces' directories over the replicas, the synthetic "open" entries, the broker
// catalogue, the permission filter) is the planner's work; it reports how many it chose from in
// `Decision::offers`.
#pragma once

#include <memory>
#include <span>
#include <vector>

#include "apps/agent/src/decision.h"
#include "apps/agent/src/decision_mode.h"
#include "apps/agent/src/instruction.h"
#include "apps/agent/src/replica.h"
#include "apps/agent/src/settings.h"
#include "runtime/collab/messages.h"
#include "runtime/folio/document_view.h"
#include "runtime/ui/permissions.h"
#include "runtime/util/clock.h"
#include "runtime/util/error.h"

namespace quern::agent {

// The most steps one instruction may be read as asking for; a planner never returns more.
inline constexpr std::size_t kMaxPlanSteps = 8;

struct PlanningReplica {
  const Replica* replica = nullptr;  // its surface is `replica->surface`
  bool watched = false;
};

struct PlanningInput {
  const SessionSettings& settings;
  const DecisionMode& decision_mode;  // whether a model can be asked, and which
  const ui::permissions::PermissionContext& permissions;
  const Instruction& instruction;                   // the block, its index in `paragraphs`, the request
  const folio::model::DocumentView& view;           // the watched document as this step read it
  std::span<const folio::model::Block> paragraphs;  // its body blocks, in order
  std::vector<PlanningReplica> replicas;            // the watched one first, then the others by key
  const std::vector<collab::ParticipantRecord>& broker_catalogue;
  Clock& clock;  // for deadlines (the model's)
};

class Planner {
 public:
  virtual ~Planner() = default;
  // An error ends the run; a planner that cannot decide says so in a decision with no steps
  // (or with unresolved ones) instead.
  virtual Result<Decision> decide(const PlanningInput& input) = 0;
};

// Decides nothing: no steps, decided by keywords, with the verdict on the model as summary
// ("switched off" under --no-model, otherwise "no api key"). For tests of the loop alone.
class DefaultPlanner final : public Planner {
 public:
  Result<Decision> decide(const PlanningInput& input) override;
};

// The planner a session starts with: the keyword vocabulary (keywords.h).
std::unique_ptr<Planner> default_planner();

}  // namespace quern::agent

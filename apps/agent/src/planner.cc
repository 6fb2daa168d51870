#include "apps/agent/src/planner.h"

#include "apps/agent/src/keywords.h"
#include "apps/agent/src/model_planner.h"

namespace quern::agent {

Result<Decision> DefaultPlanner::decide(const PlanningInput& input) {
  Decision d;
  d.summary = input.settings.live ? "no api key" : "switched off";
  d.decided_by = DecidedBy::Keywords;
  return d;
}

// A model first; the keyword vocabulary when it does not decide.
std::unique_ptr<Planner> default_planner() { return std::make_unique<ModelPlanner>(keyword_planner()); }

}  // namespace quern::agent

#include "apps/agent/src/planner.h"

namespace quern::agent {

Result<Decision> DefaultPlanner::decide(const PlanningInput& input) {
  Decision d;
  d.summary = input.settings.live ? "no api key" : "switched off";
  d.decided_by = DecidedBy::Keywords;
  return d;
}

std::unique_ptr<Planner> default_planner() { return std::make_unique<DefaultPlanner>(); }

}  // namespace quern::agent

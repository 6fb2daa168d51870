#include "apps/agent/src/planner.h"

#include "apps/agent/src/keywords.h"

namespace quern::agent {

Result<Decision> DefaultPlanner::decide(const PlanningInput& input) {
  Decision d;
  d.summary = input.settings.live ? "no api key" : "switched off";
  d.decided_by = DecidedBy::Keywords;
  return d;
}

std::unique_ptr<Planner> default_planner() { return keyword_planner(); }

}  // namespace quern::agent

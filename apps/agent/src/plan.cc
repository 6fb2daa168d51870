#include "apps/agent/src/plan.h"

#include "runtime/util/quote.h"
#include "runtime/util/unicode.h"

namespace quern::agent {

std::expected<Plan, std::string> parse_plan(const Json& input, const ShownIds& shown, std::size_t step_cap) {
  const Json* steps = input.is_object() ? member(input, "steps") : nullptr;
  if (steps == nullptr || !steps->is_array()) return std::unexpected("the plan named no steps");
  Plan plan;
  for (const Json& element : *steps) {
    const Json* operation = element.is_object() ? member(element, "operation") : nullptr;
    if (operation == nullptr || !operation->is_string()) return std::unexpected("a step named no operation");
    const std::string id = operation->get<std::string>();
    if (!shown.contains(id)) {
      return std::unexpected("named " + quote_escaped(id) + ", which no listing in this conversation returned");
    }
    const Json* arguments = member(element, "arguments");
    if (arguments == nullptr || !arguments->is_object()) {
      return std::unexpected("step " + quote_escaped(id) + " supplied no argument object");
    }
    plan.steps.push_back(PlanStep{id, *arguments});
  }
  if (plan.steps.empty()) return std::unexpected("the plan named nothing to do");
  if (plan.steps.size() > step_cap) {
    return std::unexpected("named " + std::to_string(plan.steps.size()) + " operations, more than the " +
                           std::to_string(step_cap) + " one instruction may be read as asking for");
  }
  if (auto why = string_member(input, "why")) plan.why = std::string(unicode::first_chars(*why, kPlanWhyChars));
  if (auto then = string_member(input, "then")) {
    const std::string_view trimmed = unicode::trim(*then);
    if (!trimmed.empty()) plan.then = std::string(unicode::first_chars(trimmed, kPlanThenChars));
  }
  return plan;
}

}  // namespace quern::agent

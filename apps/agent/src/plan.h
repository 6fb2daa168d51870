// A plan as a model submits it through its `plan` tool: the steps in order (an operation id and
// an argument object each), why, and optionally what to plan next once the steps have run.
// `parse_plan` reads and bounds the tool's input; resolving the steps against the catalogue is
// step_resolution.h's work. Plain values and pure functions, safe from any thread.
#pragma once

#include <cstddef>
#include <expected>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "runtime/util/json.h"

namespace quern::agent {

inline constexpr std::size_t kPlanWhyChars = 200;
inline constexpr std::size_t kPlanThenChars = 240;

struct PlanStep {
  std::string operation;
  Json arguments = Json::object();
  bool operator==(const PlanStep&) const = default;
};

struct Plan {
  std::vector<PlanStep> steps;      // 1 to the step cap
  std::string why;                  // at most 200 characters, possibly empty
  std::optional<std::string> then;  // trimmed, non-empty, at most 240 characters
  bool operator==(const Plan&) const = default;
};

// The operation ids a conversation has shown the model ("none" always among them).
using ShownIds = std::set<std::string, std::less<>>;

// Reads the `plan` tool input: `steps` an array whose elements each have a text `operation`
// from `shown` and an object `arguments`; `why` and `then` texts, cut to their bounds. The
// first problem is the error, as the text the conversation shows:
//   "the plan named no steps", "a step named no operation",
//   "named {id}, which no listing in this conversation returned",
//   "step {id} supplied no argument object", "the plan named nothing to do",
//   "named {n} operations, more than the {cap} one instruction may be read as asking for"
// (ids quoted and escaped).
std::expected<Plan, std::string> parse_plan(const Json& input, const ShownIds& shown, std::size_t step_cap);

}  // namespace quern::agent

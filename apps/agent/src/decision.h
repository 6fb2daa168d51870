// What planning decides for one instruction: the steps to carry out, in order, who decided them
// and the summary the session logs. Plain values, made by a planner (planner.h) and consumed by
// an executor (executor.h) on the session thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "runtime/actions/contract.h"
#include "runtime/util/json.h"

namespace quern::agent {

enum class DecidedBy { Model, Keywords };
// "model", "keywords".
std::string_view decided_by_name(DecidedBy by);

// The built-in recipes the agent carries out itself.
enum class Recipe { Table, Caption, Heading };
// "table", "caption", "heading".
std::string_view recipe_name(Recipe recipe);

// An operation to perform: a local operation id ("{resource}#{action}") or a broker one
// ("broker:{participant}:{resource}#{action}"), with its argument object. Resolution against the
// catalogue adds what carrying out needs beyond the name (the entry, the confirmation given).
struct ActionStep {
  std::string operation;
  Json arguments = Json::object();
  bool consumes_content = false;       // takes the content the previous step produced
  actions::Confirmation confirmation;  // what the plan confirmed (`confirm: true`, the phrase)
  bool operator==(const ActionStep&) const = default;
};
struct RecipeStep {
  Recipe recipe = Recipe::Table;
  bool operator==(const RecipeStep&) const = default;
};
// A part of the instruction that could not be understood; the text is what the agent answers
// with.
struct UnresolvedStep {
  std::string text;
  bool operator==(const UnresolvedStep&) const = default;
};
using Step = std::variant<ActionStep, RecipeStep, UnresolvedStep>;

struct Decision {
  // The decision summary: "{model}: {why}" for a model's plan, otherwise the verdict on the
  // model ("no api key", "switched off", "the call failed: {}", "answered {}, which the app does
  // not export"). The session logs it as the decision line's message.
  std::string summary;
  DecidedBy decided_by = DecidedBy::Keywords;
  std::vector<Step> steps;
  std::size_t offers = 0;  // how many offers the decision chose from
};

}  // namespace quern::agent

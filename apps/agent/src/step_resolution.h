// Step resolution: turns a step someone planned (an operation id and perhaps an argument object)
// into something that can be carried out, checked against the catalogue of the moment: an
// invocation with its bound arguments and the confirmation given, a built-in recipe, or a
// deferral. Also the stricter check for unattended task runs and the binding of content an
// earlier step produced. Pure functions over values the caller owns; any thread.
#pragma once

#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "apps/agent/src/decision.h"
#include "apps/agent/src/plan.h"
#include "runtime/actions/contract.h"
#include "runtime/actions/outcome.h"
#include "runtime/util/json.h"

namespace quern::agent {

struct CatalogueEntry;  // catalogue.h

// The confirmation a step carries: none, `confirm: true`, or the exact phrase.
using ConfirmationGiven = actions::Confirmation;

// A step that names a catalogue entry. `entry` points into the entries `resolve_step` was given
// and is valid only while they are.
struct InvokeStep {
  std::string operation;
  const CatalogueEntry* entry = nullptr;
  Json arguments = Json::object();  // bound; without the invocation metadata members
  ConfirmationGiven confirmation;
};
struct RecipeCall {
  Recipe recipe = Recipe::Table;
};
// To be planned again, once the applications a previous step opens are publishing.
struct DeferredStep {
  std::string text;
};
using ResolvedStep = std::variant<InvokeStep, RecipeCall, DeferredStep>;

// Why a step cannot be resolved.
struct StepRefusal {
  enum class Kind { NotExported, Unusable };
  Kind kind = Kind::Unusable;
  std::string text;  // NotExported: the operation id; Unusable: the message
  // The message people see: the Unusable message, or for NotExported the operation id.
  const std::string& message() const { return text; }
  // `NotExported("x#y")`, `Unusable("...")`: the variant name and the quoted, escaped text.
  std::string debug() const;
  bool operator==(const StepRefusal&) const = default;
};

// The recipe a step name stands for ("table", "caption", "heading"), or nothing.
std::optional<Recipe> recipe_named(std::string_view name);
// The fixed description of each recipe.
std::string_view recipe_description(Recipe recipe);

// The quoted passages of an instruction: between pairs of straight double quotes (only when it
// holds an even number of them) and between U+201C and the next U+201D; trimmed, empty ones
// dropped, straight ones first.
std::vector<std::string> quoted_passages(std::string_view instruction);

// Resolves one step: "none" defers the instruction, recipe names are recipes, anything else
// must be an entry's operation id; then the argument object is worked out (the step's, or the
// single quoted passage of the instruction for an entry with one text parameter), the
// confirmation policy applied (`confirm` and `confirmation_phrase` are taken out), and the
// object bound to the parameters.
std::expected<ResolvedStep, StepRefusal> resolve_step(std::string_view operation, const std::optional<Json>& arguments,
                                                      std::string_view instruction,
                                                      std::span<const CatalogueEntry> entries);

// Resolves a plan's steps in order (the first refusal refuses the plan) and appends a deferred
// step for its `then`.
std::expected<std::vector<ResolvedStep>, StepRefusal> resolve_plan(const Plan& plan, std::string_view instruction,
                                                                   std::span<const CatalogueEntry> entries);

// The decision step a resolved step is carried out as: an action step (named by the entry's
// operation id, consuming content when the entry does), a recipe step, or for a deferral an
// unresolved step with its text.
Step to_decision_step(const ResolvedStep& step);

// What the previous action of a chain produced.
struct PreviousResult {
  std::vector<actions::ResourceRef> resources;
  std::optional<std::string> value;
};

// The argument object for a content-consuming entry: {"value": the one stored content the
// previous result names, else its value}. Unchanged for an entry that consumes nothing.
std::expected<Json, std::string> bind_produced_content(const CatalogueEntry& entry, const Json& arguments,
                                                       const std::optional<PreviousResult>& previous);
// The same for an offer's consuming flag alone.
std::expected<Json, std::string> bind_produced_content(bool consumes_produced_content, const Json& arguments,
                                                       const std::optional<PreviousResult>& previous);

// What a task run asks the broker to perform for one checked step.
struct TaskActionPlan {
  std::string app;
  std::string resource_id;
  std::string resource_kind;
  std::string resource_label;
  std::string action_name;
  std::string action_label;
  Json arguments = Json::object();
  std::uint64_t participant = 0;
  bool consumes_produced_content = false;
  bool operator==(const TaskActionPlan&) const = default;
};

// The stricter rules for unattended tasks, over the outcome of `resolve_step`; the error is the
// task's failure text.
std::expected<TaskActionPlan, std::string> check_task_step(const std::expected<ResolvedStep, StepRefusal>& resolved,
                                                           std::span<const CatalogueEntry> task_catalogue);

}  // namespace quern::agent

#include "apps/agent/src/step_resolution.h"

#include "runtime/util/quote.h"
#include "runtime/util/unicode.h"

namespace quern::agent {

std::string StepRefusal::debug() const {
  return std::string(kind == Kind::NotExported ? "NotExported" : "Unusable") + "(" + quote_escaped(text) + ")";
}

std::optional<Recipe> recipe_named(std::string_view name) {
  if (name == "table") return Recipe::Table;
  if (name == "caption") return Recipe::Caption;
  if (name == "heading") return Recipe::Heading;
  return std::nullopt;
}

std::string_view recipe_description(Recipe recipe) {
  switch (recipe) {
    case Recipe::Table: return "Turn the run of bullets immediately above the instruction into a table.";
    case Recipe::Caption: return "Add a caption paragraph underneath the first image in the document.";
    case Recipe::Heading:
      return "Give a rough draft its structure: make the first line the document's title, and promote the section "
             "labels under it to headings.";
  }
  return {};
}

std::vector<std::string> quoted_passages(std::string_view instruction) {
  std::vector<std::string> out;
  auto keep = [&](std::string_view passage) {
    passage = unicode::trim(passage);
    if (!passage.empty()) out.emplace_back(passage);
  };
  std::size_t straight = 0;
  for (char c : instruction) straight += c == '"' ? 1 : 0;
  if (straight % 2 == 0) {
    std::size_t open = std::string_view::npos;
    for (std::size_t i = 0; i < instruction.size(); ++i) {
      if (instruction[i] != '"') continue;
      if (open == std::string_view::npos) {
        open = i;
      } else {
        keep(instruction.substr(open + 1, i - open - 1));
        open = std::string_view::npos;
      }
    }
  }
  constexpr std::string_view kLeft = "\u201c", kRight = "\u201d";
  std::size_t from = 0;
  while (true) {
    const std::size_t left = instruction.find(kLeft, from);
    if (left == std::string_view::npos) break;
    const std::size_t right = instruction.find(kRight, left + kLeft.size());
    if (right == std::string_view::npos) break;
    keep(instruction.substr(left + kLeft.size(), right - left - kLeft.size()));
    from = right + kRight.size();
  }
  return out;
}

std::expected<ResolvedStep, StepRefusal> resolve_step(std::string_view operation, const std::optional<Json>&,
                                                      std::string_view instruction, std::span<const CatalogueEntry>) {
  if (operation == "none") return DeferredStep{std::string(instruction)};
  if (auto recipe = recipe_named(operation)) return RecipeCall{*recipe};
  return std::unexpected(StepRefusal{StepRefusal::Kind::NotExported, std::string(operation)});
}

std::expected<std::vector<ResolvedStep>, StepRefusal> resolve_plan(const Plan& plan, std::string_view instruction,
                                                                   std::span<const CatalogueEntry> entries) {
  std::vector<ResolvedStep> out;
  for (const PlanStep& step : plan.steps) {
    auto resolved = resolve_step(step.operation, step.arguments, instruction, entries);
    if (!resolved) return std::unexpected(resolved.error());
    out.push_back(std::move(*resolved));
  }
  if (plan.then) out.push_back(DeferredStep{*plan.then});
  return out;
}

Step to_decision_step(const ResolvedStep& step) {
  if (const auto* invoke = std::get_if<InvokeStep>(&step))
    return ActionStep{invoke->operation, invoke->arguments, false, invoke->confirmation};
  if (const auto* recipe = std::get_if<RecipeCall>(&step)) return RecipeStep{recipe->recipe};
  return UnresolvedStep{std::get<DeferredStep>(step).text};
}

std::expected<Json, std::string> bind_produced_content(bool consumes, const Json& arguments,
                                                       const std::optional<PreviousResult>& previous) {
  if (!consumes) return arguments;
  if (!previous) return std::unexpected("a content-consuming action has no preceding action result");
  std::optional<std::string> found;
  std::size_t count = 0;
  for (const auto& ref : previous->resources) {
    if (auto hash = actions::outcome::content_hash(ref)) {
      ++count;
      found = *hash;
    }
  }
  if (count > 1) return std::unexpected("the previous action produced more than one content resource");
  if (count == 0) {
    if (!previous->value) return std::unexpected("the previous action produced no content resource");
    found = *previous->value;
  }
  Json out = Json::object();
  out["value"] = *found;
  return out;
}

std::expected<Json, std::string> bind_produced_content(const CatalogueEntry&, const Json& arguments,
                                                       const std::optional<PreviousResult>&) {
  return arguments;
}

std::expected<TaskActionPlan, std::string> check_task_step(const std::expected<ResolvedStep, StepRefusal>& resolved,
                                                           std::span<const CatalogueEntry>) {
  if (!resolved) return std::unexpected("Model selected an unavailable action: " + resolved.error().debug());
  return std::unexpected("Model task plans must name broker-published actions");
}

}  // namespace quern::agent

#include "apps/agent/src/step_resolution.h"

#include "apps/agent/src/catalogue.h"
#include "runtime/actions/action_args.h"

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

namespace {

StepRefusal unusable(std::string text) { return StepRefusal{StepRefusal::Kind::Unusable, std::move(text)}; }

}  // namespace

std::expected<ResolvedStep, StepRefusal> resolve_step(std::string_view operation, const std::optional<Json>& arguments,
                                                      std::string_view instruction,
                                                      std::span<const CatalogueEntry> entries) {
  if (operation == "none") return DeferredStep{std::string(instruction)};
  if (auto recipe = recipe_named(operation)) return RecipeCall{*recipe};
  const CatalogueEntry* entry = find_entry(entries, operation);
  if (entry == nullptr) return std::unexpected(StepRefusal{StepRefusal::Kind::NotExported, std::string(operation)});
  const actions::ActionOffer& offer = entry->offer;

  Json object = Json::object();
  if (offer.consumes_produced_content() || offer.parameters.empty()) {
    if (arguments && arguments->is_object()) object = *arguments;
  } else if (arguments && arguments->is_object()) {
    object = *arguments;
  } else {
    const auto passages = quoted_passages(instruction);
    if (offer.parameters.size() == 1 && offer.parameters.front().type == actions::ParamType::Text &&
        passages.size() == 1) {
      object[offer.parameters.front().name] = passages.front();
    } else {
      return std::unexpected(unusable(offer.action_label +
                                      " requires structured arguments and neither the answer nor the instruction "
                                      "supplied a valid object"));
    }
  }

  ConfirmationGiven given;
  switch (offer.confirmation.kind) {
    case actions::Confirmation::Kind::None:
      object.erase("confirm");
      object.erase("confirmation_phrase");
      break;
    case actions::Confirmation::Kind::Confirm: {
      const Json* confirm = member(object, "confirm");
      const bool confirmed = confirm != nullptr && confirm->is_boolean() && confirm->get<bool>();
      object.erase("confirm");
      if (!confirmed) return std::unexpected(unusable(offer.action_label + " requires `confirm: true`"));
      object.erase("confirmation_phrase");
      given = actions::Confirmation::confirm();
      break;
    }
    case actions::Confirmation::Kind::Phrase: {
      const Json* phrase = member(object, "confirmation_phrase");
      const bool matches =
          phrase != nullptr && phrase->is_string() && phrase->get<std::string>() == offer.confirmation.phrase;
      object.erase("confirmation_phrase");
      if (!matches) return std::unexpected(unusable(offer.action_label + " requires the exact confirmation phrase"));
      object.erase("confirm");
      given = actions::Confirmation::with_phrase(offer.confirmation.phrase);
      break;
    }
  }

  if (!offer.consumes_produced_content()) {
    auto bound = actions::ActionArgs::bind_json(offer.parameters, object);
    if (!bound) return std::unexpected(unusable(bound.error().display()));
  }
  return InvokeStep{std::string(operation), entry, std::move(object), std::move(given)};
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

std::expected<Json, std::string> bind_produced_content(const CatalogueEntry& entry, const Json& arguments,
                                                       const std::optional<PreviousResult>& previous) {
  return bind_produced_content(entry.offer.consumes_produced_content(), arguments, previous);
}

std::expected<TaskActionPlan, std::string> check_task_step(const std::expected<ResolvedStep, StepRefusal>& resolved,
                                                           std::span<const CatalogueEntry> task_catalogue) {
  if (!resolved) return std::unexpected("Model selected an unavailable action: " + resolved.error().debug());
  const auto* invoke = std::get_if<InvokeStep>(&*resolved);
  if (invoke == nullptr) return std::unexpected("Model task plans must name broker-published actions");
  if (invoke->confirmation.kind != actions::Confirmation::Kind::None) {
    return std::unexpected("An unattended task cannot satisfy an interactive confirmation");
  }
  const CatalogueEntry* entry = find_entry(task_catalogue, invoke->operation);
  if (entry == nullptr) return std::unexpected("The planned action is no longer published");
  if (!entry->source.is_broker()) return std::unexpected("Tasks cannot invoke a local-only action");
  const actions::ActionOffer& offer = entry->offer;
  if (offer.confirmation.kind != actions::Confirmation::Kind::None) {
    return std::unexpected("Tasks cannot invoke an action requiring human confirmation");
  }
  if (!offer.consumes_produced_content()) {
    auto bound = actions::ActionArgs::bind_json(offer.parameters, invoke->arguments);
    if (!bound) return std::unexpected("The planned action arguments are invalid: " + bound.error().display());
  }
  return TaskActionPlan{entry->app,           offer.resource_id,         offer.resource_kind,
                        offer.resource_label, offer.action_name,         offer.action_label,
                        invoke->arguments,    entry->source.participant, offer.consumes_produced_content()};
}

}  // namespace quern::agent

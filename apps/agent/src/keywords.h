// The keyword vocabulary: the planner that needs no network. It splits a request into clauses,
// and for each clause picks at most one of the offers of the moment by counting the keywords
// they share; a clause it cannot settle becomes an unresolved step carrying the sentence the
// agent answers with. The same request against the same offers always yields the same steps.
//
// Besides the catalogue, the built-in recipes are offered under their step names ("table",
// "caption", "heading") with their descriptions as labels, after the catalogue's entries.
// Pure functions, any thread; `KeywordPlanner` runs on the session thread like every planner.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "apps/agent/src/decision.h"
#include "apps/agent/src/planner.h"
#include "runtime/actions/action_param.h"
#include "runtime/folio/document_view.h"

namespace quern::agent {

struct CatalogueEntry;  // catalogue.h

// The request cut at ", and then ", " and then ", ", then ", " then ", ", and ", " and " (tried
// in that order at each position) outside straight and curly double quotes; clauses trimmed.
std::vector<std::string> split_clauses(std::string_view request);

// The clause's words (runs of Unicode letters and digits), lower-cased, at least 3 characters
// long and not stop words, repeats kept.
std::vector<std::string> keywords(std::string_view clause);

// The text between the first pair of straight double quotes, else between U+201C and U+201D,
// trimmed; nothing when there is none or it is empty.
std::optional<std::string> quoted_words(std::string_view clause);

// What the vocabulary reads of one offer.
struct KeywordOffer {
  std::string name;  // the step name: "broker:{n}:{id}", the local operation id, or a recipe's
  std::string action_label;
  std::string resource_label;
  std::string resource_kind;
  std::vector<actions::ActionParam> parameters;
  bool consumes_produced_content = false;
};

// The offers of a catalogue, in order (broker entries named "broker:{}:{}"), then the recipes.
std::vector<KeywordOffer> keyword_offers(std::span<const CatalogueEntry> entries);
// The three recipes as offers: named by their step names, labelled by their descriptions.
std::vector<KeywordOffer> recipe_offers();

// One step per clause, in clause order; never fails. Action steps are resolved against
// `entries` as a model's step would be.
std::vector<Step> keyword_plan(std::string_view request, std::span<const CatalogueEntry> entries);
// The same over offers already gathered (`keyword_offers`).
std::vector<Step> keyword_plan(std::string_view request, std::span<const KeywordOffer> offers,
                               std::span<const CatalogueEntry> entries);

// The catalogue document mode plans against, built from the planning input: the broker's
// entries, then the local ones they do not duplicate.
std::vector<CatalogueEntry> keyword_catalogue(const PlanningInput& input);

// The planner of document mode when no model decides: builds the catalogue from the planning
// input, and decides by keywords with the verdict on the model as the summary ("switched off"
// under --no-model, otherwise "no api key").
class KeywordPlanner final : public Planner {
 public:
  Result<Decision> decide(const PlanningInput& input) override;
  // The same with a summary chosen by the caller (a model planner falling back).
  static Result<Decision> decide_with_summary(const PlanningInput& input, std::string summary);
};

std::unique_ptr<Planner> keyword_planner();

}  // namespace quern::agent

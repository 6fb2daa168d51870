#include "apps/agent/src/keywords.h"

#include <array>
#include <string_view>

#include "apps/agent/src/catalogue.h"
#include "apps/agent/src/step_resolution.h"
#include "runtime/util/unicode.h"

namespace quern::agent {
namespace {

constexpr std::array<std::string_view, 6> kSeparators = {", and then ", " and then ", ", then ",
                                                         " then ",      ", and ",     " and "};

constexpr std::array<std::string_view, 38> kStopWords = {
    "the",    "this", "that", "a",     "an",    "and", "or",  "to",   "of",   "in",   "on", "for",  "with",
    "please", "can",  "you",  "could", "would", "it",  "its", "my",   "our",  "me",   "us", "into", "from",
    "at",     "by",   "as",   "is",    "are",   "be",  "do",  "does", "make", "made", "up", "out"};

bool is_stop_word(std::string_view word) {
  for (std::string_view stop : kStopWords) {
    if (stop == word) return true;
  }
  return false;
}

}  // namespace

std::vector<std::string> split_clauses(std::string_view request) {
  std::vector<std::string> clauses;
  bool straight = false, curly = false;
  std::size_t start = 0, pos = 0;
  while (pos < request.size()) {
    if (!straight && !curly) {
      bool matched = false;
      for (std::string_view sep : kSeparators) {
        if (request.substr(pos).starts_with(sep)) {
          clauses.emplace_back(unicode::trim(request.substr(start, pos - start)));
          pos += sep.size();
          start = pos;
          matched = true;
          break;
        }
      }
      if (matched) continue;
    }
    std::size_t next = pos;
    const char32_t c = unicode::next_char(request, next);
    if (c == U'"') straight = !straight;
    if (c == U'\u201c') curly = true;
    if (c == U'\u201d') curly = false;
    pos = next;
  }
  clauses.emplace_back(unicode::trim(request.substr(start)));
  return clauses;
}

std::vector<std::string> keywords(std::string_view clause) {
  const std::string lower = unicode::to_lower(clause);
  std::vector<std::string> out;
  std::string word;
  std::size_t chars = 0;
  auto flush = [&] {
    if (chars >= 3 && !is_stop_word(word)) out.push_back(word);
    word.clear();
    chars = 0;
  };
  std::size_t pos = 0;
  while (pos < lower.size()) {
    const char32_t c = unicode::next_char(lower, pos);
    if (unicode::is_letter_or_digit(c)) {
      unicode::append_utf8(word, c);
      ++chars;
    } else {
      flush();
    }
  }
  flush();
  return out;
}

std::optional<std::string> quoted_words(std::string_view clause) {
  auto between = [&](std::string_view open, std::string_view close) -> std::optional<std::string> {
    const std::size_t a = clause.find(open);
    if (a == std::string_view::npos) return std::nullopt;
    const std::size_t b = clause.find(close, a + open.size());
    if (b == std::string_view::npos) return std::nullopt;
    return std::string(unicode::trim(clause.substr(a + open.size(), b - a - open.size())));
  };
  auto straight = between("\"", "\"");
  if (straight && !straight->empty()) return straight;
  auto curly = between("\u201c", "\u201d");
  if (curly && !curly->empty()) return curly;
  return std::nullopt;
}

std::vector<KeywordOffer> recipe_offers() {
  std::vector<KeywordOffer> out;
  for (Recipe recipe : {Recipe::Table, Recipe::Caption, Recipe::Heading}) {
    out.push_back(
        KeywordOffer{std::string(recipe_name(recipe)), std::string(recipe_description(recipe)), "", "", {}, false});
  }
  return out;
}

std::vector<KeywordOffer> keyword_offers(std::span<const CatalogueEntry> entries) {
  std::vector<KeywordOffer> out;
  out.reserve(entries.size() + 3);
  for (const CatalogueEntry& entry : entries) {
    const actions::ActionOffer& offer = entry.offer;
    out.push_back(KeywordOffer{entry_id(entry), offer.action_label, offer.resource_label, offer.resource_kind,
                               offer.parameters, offer.consumes_produced_content()});
  }
  for (auto& recipe : recipe_offers()) out.push_back(std::move(recipe));
  return out;
}

namespace {

bool takes_words(const KeywordOffer& offer) { return !offer.parameters.empty() && !offer.consumes_produced_content; }

std::string lower_labels(const std::vector<const KeywordOffer*>& offers) {
  std::string out;
  for (std::size_t i = 0; i < offers.size() && i < 4; ++i) {
    if (i > 0) out += " or ";
    out += unicode::to_lower(offers[i]->action_label);
  }
  return out;
}

Step plan_clause(const std::string& clause, std::span<const KeywordOffer> offers,
                 std::span<const CatalogueEntry> entries) {
  const auto words = keywords(clause);
  std::vector<const KeywordOffer*> best;
  std::size_t best_score = 0;
  for (const KeywordOffer& offer : offers) {
    const std::string action = unicode::to_lower(offer.action_label);
    const std::string resource = unicode::to_lower(offer.resource_label);
    const std::string kind = unicode::to_lower(offer.resource_kind);
    std::size_t score = 0;
    for (const auto& word : words) {
      if (action.find(word) != std::string::npos || resource.find(word) != std::string::npos ||
          kind.find(word) != std::string::npos) {
        ++score;
      }
    }
    if (score == 0 || score < best_score) continue;
    if (score > best_score) {
      best.clear();
      best_score = score;
    }
    best.push_back(&offer);
  }
  if (best.empty()) return UnresolvedStep{clause};

  const auto quoted = quoted_words(clause);
  if (best.size() > 1) {
    std::vector<const KeywordOffer*> fitting;
    for (const KeywordOffer* offer : best) {
      if (takes_words(*offer) == quoted.has_value()) fitting.push_back(offer);
    }
    if (!fitting.empty()) best = std::move(fitting);
    if (best.size() > 1)
      return UnresolvedStep{clause + " \u2014 that could mean " + lower_labels(best) + ". Which one?"};
  }

  const KeywordOffer& chosen = *best.front();
  Json arguments = Json::object();
  if (takes_words(chosen)) {
    if (chosen.parameters.size() == 1 && chosen.parameters.front().type == actions::ParamType::Text && quoted) {
      arguments[chosen.parameters.front().name] = *quoted;
    } else {
      return UnresolvedStep{clause + " \u2014 " + unicode::to_lower(chosen.action_label) +
                            " needs the words to use, in quotes"};
    }
  }
  auto resolved = resolve_step(chosen.name, arguments, clause, entries);
  if (!resolved) return UnresolvedStep{resolved.error().message()};
  return to_decision_step(*resolved);
}

}  // namespace

std::vector<Step> keyword_plan(std::string_view request, std::span<const KeywordOffer> offers,
                               std::span<const CatalogueEntry> entries) {
  std::vector<Step> steps;
  for (const auto& clause : split_clauses(request)) steps.push_back(plan_clause(clause, offers, entries));
  return steps;
}

std::vector<Step> keyword_plan(std::string_view request, std::span<const CatalogueEntry> entries) {
  const auto offers = keyword_offers(entries);
  return keyword_plan(request, offers, entries);
}

std::vector<CatalogueEntry> keyword_catalogue(const PlanningInput& input) {
  const auto documents = room_documents(input.replicas);
  const auto local = build_local_entries(documents, input.permissions);
  return planning_catalogue(broker_entries(input.broker_catalogue, input.permissions), local);
}

Result<Decision> KeywordPlanner::decide_with_summary(const PlanningInput& input, std::string summary) {
  Decision d;
  d.summary = std::move(summary);
  d.decided_by = DecidedBy::Keywords;
  const auto entries = keyword_catalogue(input);
  const auto offers = keyword_offers(entries);
  d.steps = keyword_plan(input.instruction.request, offers, entries);
  d.offers = offers.size();
  return d;
}

Result<Decision> KeywordPlanner::decide(const PlanningInput& input) {
  return decide_with_summary(input, input.settings.live ? "no api key" : "switched off");
}

std::unique_ptr<Planner> keyword_planner() { return std::make_unique<KeywordPlanner>(); }

}  // namespace quern::agent

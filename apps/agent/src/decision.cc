#include "apps/agent/src/decision.h"

namespace quern::agent {

std::string_view decided_by_name(DecidedBy by) { return by == DecidedBy::Model ? "model" : "keywords"; }

std::string_view recipe_name(Recipe recipe) {
  switch (recipe) {
    case Recipe::Table: return "table";
    case Recipe::Caption: return "caption";
    case Recipe::Heading: return "heading";
  }
  return "table";
}

}  // namespace quern::agent

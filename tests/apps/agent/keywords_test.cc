// The keyword vocabulary: clause splitting with quotes, the keyword filter, quoted words, and
// choosing one offer per clause with the exact texts of the clauses it cannot settle.
#include "apps/agent/src/keywords.h"

#include <gtest/gtest.h>

namespace quern::agent {
namespace {

using Strings = std::vector<std::string>;

TEST(SplitClauses, SeparatorsInOrderOutsideQuotes) {
  struct Case {
    std::string request;
    Strings clauses;
  };
  const std::vector<Case> cases{
      {"turn the bullets into a table, and then add a caption", {"turn the bullets into a table", "add a caption"}},
      {"a and then b, then c then d, and e and f", {"a", "b", "c", "d", "e", "f"}},
      {"  just one  ", {"just one"}},
      {"rename it to \"salt and pepper\"", {"rename it to \"salt and pepper\""}},
      {"rename it to \u201csalt, and then pepper\u201d", {"rename it to \u201csalt, and then pepper\u201d"}},
      {"say \"a and b\" and then stop", {"say \"a and b\"", "stop"}},
      {"sand and thence", {"sand", "thence"}},
      {"", {""}},
  };
  for (const auto& c : cases) EXPECT_EQ(split_clauses(c.request), c.clauses) << c.request;
}

TEST(Keywords, DropsStopWordsAndShortWordsAndKeepsRepeats) {
  struct Case {
    std::string clause;
    Strings words;
  };
  const std::vector<Case> cases{
      {"turn the bullets into a table", {"turn", "bullets", "table"}},
      {"do it", {}},
      {"Please make THE Table, table!", {"table", "table"}},
      {"Füge eine Tabelle ein", {"füge", "eine", "tabelle", "ein"}},
      {"row 12 of 2026's report", {"row", "2026", "report"}},
      {"naïve—café", {"naïve", "café"}},
  };
  for (const auto& c : cases) EXPECT_EQ(keywords(c.clause), c.words) << c.clause;
}

TEST(QuotedWords, FirstStraightPairElseCurly) {
  struct Case {
    std::string clause;
    std::optional<std::string> words;
  };
  const std::vector<Case> cases{
      {"rename to \" Salt \"", "Salt"}, {"rename to \u201c Pepper \u201d", "Pepper"},
      {"say \"a\" then \"b\"", "a"},    {"say \"\" or \u201cb\u201d", "b"},
      {"say \"unclosed", std::nullopt}, {"no quotes", std::nullopt},
      {"\"  \"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(quoted_words(c.clause), c.words) << c.clause;
}

KeywordOffer offer(std::string name, std::string label, std::vector<actions::ActionParam> params = {}) {
  return KeywordOffer{std::move(name),           std::move(label),  "the document",
                      "word_processor.document", std::move(params), false};
}

TEST(KeywordPlan, UnsettledClausesCarryTheirSentences) {
  const auto text = actions::ActionParam::text("text", true, "The words");
  const std::vector<KeywordOffer> five{offer("a#1", "Insert Row"), offer("a#2", "insert column"),
                                       offer("a#3", "insert image"), offer("a#4", "insert link"),
                                       offer("a#5", "insert note")};
  struct Case {
    std::string request;
    std::vector<KeywordOffer> offers;
    std::vector<Step> steps;
  };
  const std::vector<Case> cases{
      {"do it", five, {UnresolvedStep{"do it"}}},
      {"paint the walls", five, {UnresolvedStep{"paint the walls"}}},
      {"insert something",
       five,
       {UnresolvedStep{"insert something \u2014 that could mean insert row or insert column or insert image or "
                       "insert link. Which one?"}}},
      {"add a comment",
       {offer("c#add", "Add comment", {text})},
       {UnresolvedStep{"add a comment \u2014 add comment needs the words to use, in quotes"}}},
      {"add a comment \"x\"",
       {offer("c#add", "Add comment", {text, actions::ActionParam::text("author", false, "Who")})},
       {UnresolvedStep{"add a comment \"x\" \u2014 add comment needs the words to use, in quotes"}}},
      {"make it purple and turn the bullets into a table",
       recipe_offers(),
       {UnresolvedStep{"make it purple"}, RecipeStep{Recipe::Table}}},
  };
  for (const auto& c : cases) EXPECT_EQ(keyword_plan(c.request, c.offers, {}), c.steps) << c.request;
}

TEST(KeywordPlan, TheRecipesAreChosenByTheirDescriptions) {
  struct Case {
    std::string request;
    std::vector<Step> steps;
  };
  const std::vector<Case> cases{
      {"turn the bullets into a table", {RecipeStep{Recipe::Table}}},
      {"make a table from the bullets", {RecipeStep{Recipe::Table}}},
      {"add a caption", {RecipeStep{Recipe::Caption}}},
      {"caption the image, and then give this rough draft its structure",
       {RecipeStep{Recipe::Caption}, RecipeStep{Recipe::Heading}}},
      {"promote the section labels to headings", {RecipeStep{Recipe::Heading}}},
  };
  // The recipes after offers that share only one word with the requests.
  std::vector<KeywordOffer> offers{offer("word-processor.document#insert-table", "Insert a table"),
                                   offer("word-processor.document#add-comment", "Add a comment",
                                         {actions::ActionParam::text("text", true, "The words")})};
  for (auto& r : recipe_offers()) offers.push_back(r);
  for (const auto& c : cases) EXPECT_EQ(keyword_plan(c.request, offers, {}), c.steps) << c.request;
}

}  // namespace
}  // namespace quern::agent

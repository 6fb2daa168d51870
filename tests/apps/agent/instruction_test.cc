// Which paragraph is addressed to the agent, and what it asks.
#include "apps/agent/src/instruction.h"

#include <gtest/gtest.h>

namespace quern::agent {
namespace {

TEST(AddressedRequest, TakesOnlyTheAgentsNameAndColonAtTheStart) {
  struct Case {
    std::string_view text, name;
    std::optional<std::string_view> want;
  };
  for (const auto& c : {
           Case{"Claude: Turn the bullets into a table", "Claude", "turn the bullets into a table"},
           Case{"  claude:turn the bullets into a table", "Claude", "turn the bullets into a table"},
           Case{"Claude: Add A Caption", "Claude", "add a caption"},
           Case{"\u00a0\u2003Claude:\tdo it \u3000", "Claude", "do it"},  // Unicode white space both ends
           Case{"CLAUDE:   ", "Claude", ""},
           Case{"Claude : make a table", "Claude", std::nullopt},
           Case{"Hey Claude: make a table", "Claude", std::nullopt},
           Case{"Claudette: make a table", "Claude", std::nullopt},
           Case{"Claude make a table", "Claude", std::nullopt},
           Case{"", "Claude", std::nullopt},
           Case{"ADA: do it", "Ada", "do it"},
           Case{"Claude: do it", "Ada", std::nullopt},
           Case{"ÉLODIE: Écris-le", "Élodie", "écris-le"},
       }) {
    EXPECT_EQ(addressed_request(c.text, c.name), c.want) << c.text << " / " << c.name;
  }
}

folio::model::Block block(std::string id, std::string kind, std::string text) {
  return folio::model::Block{std::move(id), std::move(kind), std::move(text), {}, {}};
}

TEST(FindInstruction, IsTheFirstAddressedParagraphOnly) {
  struct Case {
    std::string_view name;
    std::vector<folio::model::Block> blocks;
    std::optional<Instruction> want;
  };
  const std::vector<Case> cases = {
      {"an empty body", {}, std::nullopt},
      {"headings, list items, cells and images never carry one",
       {block("h", "heading", "Claude: do it"), block("l", "list_item", "Claude: do it"),
        block("c", "cell", "Claude: do it"), block("i", "image", "Claude: do it"),
        block("q", "Paragraph", "Claude: do it")},
       std::nullopt},
      {"the first of two addressed paragraphs",
       {block("h", "heading", "Claude: not this"), block("p1", "paragraph", "intro"),
        block("p2", "paragraph", "Claude: First"), block("p3", "paragraph", "Claude: second")},
       Instruction{2, "p2", "first"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(find_instruction(c.blocks, "Claude"), c.want) << c.name;
  }
}

}  // namespace
}  // namespace quern::agent

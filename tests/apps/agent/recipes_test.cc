// The recipes' reading of a document (label-like texts, cell splitting, the bullets above the
// instruction, a draft's title and sections) as tables, and the caption recipe on a replica.
#include "apps/agent/src/recipes.h"

#include <gtest/gtest.h>

#include "apps/agent/src/session_loop.h"
#include "runtime/folio/materialize.h"
#include "runtime/folio/schema.h"
#include "tests/apps/agent/fake_room.h"
#include "tests/apps/agent/writer.h"

namespace quern::agent {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

folio::model::Block block(std::string kind, std::string text) {
  folio::model::Block b;
  b.id = kind + ":" + text;
  b.kind = std::move(kind);
  b.text = std::move(text);
  return b;
}

TEST(Recipes, LabelLikeTexts) {
  struct Case {
    std::string text;
    bool label;
  };
  const std::vector<Case> cases{{"Goals:", true},
                                {"  Goals  ", true},
                                {"Goals.", false},
                                {"Why?", false},
                                {"Now!", false},
                                {"a, b,", false},
                                {"", false},
                                {"   ", false},
                                {"one two three four five six seven eight", true},
                                {"one two three four five six seven eight nine", false},
                                {std::string(60, 'x'), true},
                                {std::string(61, 'x'), false}};
  for (const auto& c : cases) EXPECT_EQ(is_label_like(c.text), c.label) << "'" << c.text << "'";
}

TEST(Recipes, CellsSplitAtTheFirstSeparatorPreferred) {
  struct Case {
    std::string bullet;
    Strings cells;
  };
  const std::vector<Case> cases{
      {"Name: Ada", {"Name", "Ada"}},
      {"Role - Lead", {"Role", "Lead"}},
      {"Tea", {"Tea"}},
      {"a, b - c", {"a, b", "c"}},
      {"x: y \u2014 z", {"x: y", "z"}},
      {"p \u2013 q \u2013 r", {"p", "q", "r"}},
      {"  one ,  two, three ", {"one", "two", "three"}},
  };
  for (const auto& c : cases) EXPECT_EQ(split_cells(c.bullet), c.cells) << c.bullet;
  const Strings bullets{"Name: Ada", "Role - Lead", "Tea"};
  EXPECT_EQ(table_rows(bullets), (std::vector<Strings>{{"Name", "Ada"}, {"Role", "Lead"}, {"Tea", ""}}));
}

TEST(Recipes, BulletsAboveTheInstruction) {
  const std::vector<folio::model::Block> doc{block("list_item", "x"),
                                             block("paragraph", "stop"),
                                             block("list_item", "a"),
                                             block("list_item", "b"),
                                             block("paragraph", ""),
                                             block("paragraph", " "),
                                             block("paragraph", "Claude: table"),
                                             block("list_item", "after")};
  EXPECT_EQ(bullets_above(doc, 6), (std::vector<std::size_t>{2, 3}));
  EXPECT_EQ(bullets_above(doc, 2), std::vector<std::size_t>{}) << "a normal paragraph right above stops it";
  EXPECT_EQ(bullets_above(doc, 0), std::vector<std::size_t>{});
}

TEST(Recipes, DraftStructure) {
  const std::vector<folio::model::Block> doc{block("paragraph", "Plan"),
                                             block("paragraph", "Goals:"),
                                             block("paragraph", "Ship it to everyone this week."),
                                             block("paragraph", "Risks."),
                                             block("paragraph", "None known yet, we will look again."),
                                             block("cell", "Cell"),
                                             block("paragraph", "Short"),
                                             block("paragraph", "Tiny"),
                                             block("paragraph", "Claude: structure")};
  const auto s = draft_structure(doc, 8);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->title, 0u);
  EXPECT_EQ(s->sections, std::vector<std::size_t>{1}) << "'Risks.' ends with a period; 'Short' is followed by a label";
  EXPECT_FALSE(draft_structure(doc, 0));
}

SessionSettings settings() {
  SessionSettings s;
  s.app = "ix.quern.word-processor";
  s.name = "Claude";
  s.workspace = *Uuid::parse("9b2f6c1e-4a7d-4f3e-8c1a-2d5e6f708192");
  s.await_document = duration_from_millis(60000);
  s.live = false;
  return s;
}

Strings body(const crdt::Document& doc) {
  auto schema = folio::model::open(doc).value();
  Strings out;
  const auto blocks = folio::model::materialize_region(doc, schema, folio::model::Region::Body).value();
  for (const auto& b : blocks) {
    out.push_back(b.kind + ":" + b.text);
  }
  return out;
}

TEST(Recipes, TheCaptionGoesUnderTheFirstImage) {
  test::FakeSession f(settings());
  test::Writer ann;
  ann.append("Intro");
  ann.append("", "image");
  ann.append("", "image");
  ann.append("Claude: add a caption");
  f.arrive_after(0ms, ann.state_message());
  ASSERT_TRUE(step(f.session, kStepBudget));
  EXPECT_EQ(body(f.session.own->document), (Strings{"paragraph:Intro", "image:", "paragraph:Figure 1", "image:"}));

  test::FakeSession g(settings());
  test::Writer bea;
  bea.append("Claude: add a caption");
  g.arrive_after(0ms, bea.state_message());
  ASSERT_TRUE(step(g.session, kStepBudget));
  EXPECT_EQ(body(g.session.own->document),
            (Strings{"paragraph:Claude: there is no image in this document to caption."}));
}

}  // namespace
}  // namespace quern::agent

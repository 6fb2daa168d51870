// An operation applied on the agent's replica while a person edits the same block on another:
// once they exchange their changes both replicas show the same document, holding both edits.
#include <gtest/gtest.h>

#include <functional>

#include "apps/word-processor/src/apply.h"
#include "runtime/folio/lookup.h"
#include "tests/apps/word-processor/writer_doc.h"

namespace quern::word_processor {
namespace {

using test::body_texts;
using test::view_of;
using test::WriterDoc;

void exchange(crdt::Document& a, crdt::Document& b) {
  const crdt::Bytes from_a = a.save_incremental(), from_b = b.save_incremental();
  ASSERT_TRUE(b.load_incremental(from_a).has_value());
  ASSERT_TRUE(a.load_incremental(from_b).has_value());
}

std::string joined(const crdt::Document& d) {
  std::string out;
  for (const std::string& t : body_texts(d)) out += t + "|";
  return out;
}

TEST(Concurrency, TheAgentsOperationAndAPersonsEditOfTheSameBlockBothSurvive) {
  const WriterDoc w = WriterDoc::make();
  using Edit = std::function<void(folio::model::DocMut&)>;
  using Check = std::function<void(const crdt::Document&)>;
  struct Case {
    std::string what;
    WordProcessorAction agent;
    Edit person;
    Check merged;
  };
  const Edit type_at_start = [&](folio::model::DocMut& m) {
    ASSERT_TRUE(m.splice_text(w.accents, 0, 0, "X").has_value());
  };
  const Edit type_at_end = [&](folio::model::DocMut& m) {
    ASSERT_TRUE(m.splice_text(w.accents, 11, 0, "!").has_value());
  };
  const auto accents = [&](const crdt::Document& d) { return test::body_block(view_of(d), w.accents); };
  const std::vector<Case> cases = {
      {"splice text", SpliceText{Region::Body, w.accents, 11, 0, "?"}, type_at_start,
       [&](const crdt::Document& d) { EXPECT_EQ(accents(d).text, "Xcafé 🎉 text?"); }},
      {"replace a selection", ReplaceSelection{Region::Body, w.accents, 0, w.accents, 4, "Cafe"}, type_at_end,
       [&](const crdt::Document& d) { EXPECT_EQ(accents(d).text, "Cafe 🎉 text!"); }},
      {"bold", SetMark{Region::Body, {Span{w.accents, 0, 4}}, "bold", MarkValue(true), {}}, type_at_start,
       [&](const crdt::Document& d) {
         const Block b = accents(d);
         EXPECT_EQ(b.text, "Xcafé 🎉 text");
         ASSERT_EQ(b.marks.size(), 1u);
         EXPECT_EQ(std::make_pair(b.marks[0].start, b.marks[0].end), std::make_pair(std::size_t{1}, std::size_t{5}));
       }},
      {"alignment and kind", SetBlockAttr{Region::Body, {w.accents}, "align", std::string("right")},
       [&](folio::model::DocMut& m) { ASSERT_TRUE(m.set_kind(w.accents, "heading").has_value()); },
       [&](const crdt::Document& d) {
         EXPECT_EQ(accents(d).kind, "heading");
         EXPECT_EQ(*folio::model::attr_str(accents(d).attrs, "align"), "right");
       }},
      {"split", SplitBlock{Region::Body, w.accents, 5, "paragraph", std::nullopt}, type_at_start,
       [&](const crdt::Document& d) { EXPECT_NE(joined(d).find("|Xcafé |🎉 text|"), std::string::npos) << joined(d); }},
      {"page break while typing at the end", InsertPageBreak{Region::Body, w.accents, 5}, type_at_end,
       [&](const crdt::Document& d) { EXPECT_NE(joined(d).find("!"), std::string::npos) << joined(d); }},
      {"comment", AddComment{w.accents, 0, 4, "Ada", "", "Accent?"}, type_at_end,
       [&](const crdt::Document& d) {
         const DocumentView v = view_of(d);
         EXPECT_EQ(test::body_block(v, w.accents).text, "café 🎉 text!");
         bool anchored = false;
         for (const auto& c : v.comments)
           if (c.text() == "Accent?") anchored = c.anchor == folio::model::TextRange{Region::Body, w.accents, 0, 4};
         EXPECT_TRUE(anchored);
       }},
      {"paragraph after it", InsertParagraph{w.accents, "below"}, type_at_start,
       [&](const crdt::Document& d) { EXPECT_NE(joined(d).find("|Xcafé 🎉 text|below|"), std::string::npos); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    crdt::Document agent = w.fresh("agent"), person = w.fresh("person");
    ASSERT_TRUE(apply_word_processor_action(c.agent, agent).has_value());
    agent.commit();
    {
      folio::model::DocMut mut(person, *folio::model::open(person));
      c.person(mut);
      person.commit();
    }
    exchange(agent, person);
    EXPECT_EQ(view_of(agent).body(), view_of(person).body());
    c.merged(agent);
  }
}

}  // namespace
}  // namespace quern::word_processor

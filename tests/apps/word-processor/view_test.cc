// Reading a word-processor document through its view: lengths, neighbours, tables, images,
// headings, tables of contents and the texts shown for missing authors and texts.
#include "apps/word-processor/src/view.h"

#include <gtest/gtest.h>

#include "runtime/folio/doc_mut.h"
#include "runtime/folio/lookup.h"

namespace quern::word_processor {
namespace {

using folio::model::AttrValue;
using folio::model::DocMut;
using folio::model::Fragment;
using folio::model::FragmentBlock;

// A document whose body is the given fragment; returns its view.
struct Doc {
  crdt::Document doc = *folio::model::new_document(crdt::ActorId("ada"));
  folio::model::Schema schema = *folio::model::open(doc);

  std::vector<std::string> add(const Fragment& f, Region region = Region::Body) {
    DocMut mut(doc, schema);
    auto order = folio::model::blocks_in_order(doc, schema, region);
    auto after = order.empty() ? std::nullopt : std::optional<std::string>(order.back());
    auto ids = mut.insert_fragment(region, after, f);
    EXPECT_TRUE(ids.has_value());
    // Keep the table ids as given (insertion mints fresh ones), so tests can name them.
    for (std::size_t i = 0; ids && i < ids->size(); ++i)
      if (auto t = f.blocks[i].attrs.find("table"); t != f.blocks[i].attrs.end()) {
        EXPECT_TRUE(mut.set_attr(region, (*ids)[i], "table", t->second).has_value());
      }
    doc.commit();
    return ids ? *ids : std::vector<std::string>{};
  }
  DocumentView view() const { return *load_view(doc); }
};

FragmentBlock block(std::string kind, std::string text, folio::model::Attrs attrs = {}) {
  return FragmentBlock{std::move(kind), std::move(text), {}, std::move(attrs)};
}

FragmentBlock cell(AttrValue table, std::int64_t row, std::int64_t col) {
  return block("cell", "", {{"table", std::move(table)}, {"row", row}, {"col", col}});
}

TEST(View, ADocumentThatDoesNotOpenIsUnavailable) {
  crdt::Document plain(crdt::ActorId("x"));
  auto v = load_view(plain);
  ASSERT_FALSE(v.has_value());
  EXPECT_EQ(v.error().message(), kDocumentUnavailable);
  EXPECT_EQ(v.error().root_cause(), "the document has no \"folio\" schema marker");
}

TEST(View, BlockLengthsCountCharactersAndNeighboursStayInTheirRegion) {
  Doc d;
  const auto body = d.add({{block("paragraph", "café 🎉"), block("heading", "Title", {{"level", std::int64_t{2}}}),
                            block("list_item", "x", {{"level", std::int64_t{1}}, {"ordered", true}})}});
  const auto header = d.add({{block("paragraph", "head")}}, Region::Header);
  const DocumentView v = d.view();
  const auto ref = find_block(v, Region::Body, body[0]);
  ASSERT_TRUE(ref.has_value());
  EXPECT_EQ(ref->length, 6u);
  EXPECT_EQ(ref->index, 0u);
  EXPECT_TRUE(offset_valid(*ref->block, 6));
  EXPECT_FALSE(offset_valid(*ref->block, 7));
  EXPECT_EQ(find_block(v, Region::Header, body[0]), std::nullopt);
  EXPECT_EQ(find_block(v, Region::Body, "nope"), std::nullopt);
  EXPECT_EQ(block_above(v, Region::Body, body[0]), nullptr);
  EXPECT_EQ(block_above(v, Region::Body, body[1])->id, body[0]);
  EXPECT_EQ(block_below(v, Region::Body, body[1])->id, body[2]);
  EXPECT_EQ(block_below(v, Region::Body, body[2]), nullptr);
  EXPECT_EQ(block_above(v, Region::Header, header[0]), nullptr);
  EXPECT_EQ(block_below(v, Region::Header, header[0]), nullptr);
  EXPECT_EQ(body_blocks_of_kind(v, "paragraph").size(), 1u);
  const auto items = list_items(v);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].level, 1);
  EXPECT_TRUE(items[0].ordered);
  const auto hs = headings(v);
  ASSERT_EQ(hs.size(), 1u);
  EXPECT_EQ(hs[0].level, 2);
}

TEST(View, AnEmptyBodyHasNoBlocksAndNoNeighbours) {
  Doc d;
  const DocumentView v = d.view();
  EXPECT_TRUE(v.body().empty());
  EXPECT_EQ(block_above(v, Region::Body, ""), nullptr);
  EXPECT_TRUE(tables(v).empty());
  EXPECT_TRUE(images(v).empty());
}

TEST(Tables, AreRecognisedByTheirCellsAndCheckedForAFullGrid) {
  Doc d;
  d.add({{block("paragraph", "before"), cell("full", 0, 0), cell("full", 0, 1), cell("full", 1, 0), cell("full", 1, 1),
          cell(std::int64_t{7}, 0, 0),  // "table" is not a string: no table
          cell("gap", 0, 0), cell("gap", 1, 1), cell("gap", 0, 1), cell("twice", 0, 0), cell("twice", 0, 1),
          cell("twice", 1, 0), cell("twice", 0, 0),  // 4 cells, one missing
          block("cell", "", {{"table", "loose"}, {"row", "0"}, {"col", std::int64_t{0}}})}});
  const DocumentView v = d.view();
  const auto ts = tables(v);
  ASSERT_EQ(ts.size(), 4u);
  EXPECT_EQ(ts[0].id, "full");
  EXPECT_EQ(ts[0].first_index, 1u);
  EXPECT_EQ(ts[0].rows, 2);
  EXPECT_EQ(ts[0].cols, 2);
  EXPECT_TRUE(ts[0].well_formed());
  EXPECT_EQ(ts[0].cell_at(1, 0)->block->id, v.body()[3].id);
  EXPECT_EQ(ts[0].cell_at(2, 0), nullptr);
  EXPECT_EQ(ts[1].id, "gap");
  EXPECT_EQ(ts[1].first_index, 6u);
  EXPECT_FALSE(ts[1].well_formed());
  EXPECT_EQ(ts[2].id, "twice");
  EXPECT_EQ(ts[2].cells.size(), 4u);
  EXPECT_FALSE(ts[2].well_formed());
  EXPECT_EQ(ts[3].id, "loose");
  EXPECT_FALSE(ts[3].well_formed());  // its row is not an integer
  EXPECT_TRUE(find_table(v, "full").has_value());
  EXPECT_FALSE(find_table(v, "7").has_value());
}

TEST(View, ImagesAndTableOfContentsLinesCarryTheirAttributes) {
  Doc d;
  const auto ids = d.add({{block("heading", "Intro", {{"level", std::int64_t{1}}}),
                           block("paragraph", "  Intro .......... 3",
                                 {{"toc", true}, {"toc_level", std::int64_t{2}}, {"toc_heading", "h1"}}),
                           block("paragraph", "not toc", {{"toc", false}}),
                           block("image", "",
                                 {{"blob", std::string(64, 'b')},
                                  {"width", std::int64_t{640}},
                                  {"crop_left", std::int64_t{250}},
                                  {"anchor", "page"}}),
                           block("image", "")}});
  const DocumentView v = d.view();
  const auto toc = toc_lines(v);
  ASSERT_EQ(toc.size(), 1u);
  EXPECT_EQ(toc[0].level, 2);
  EXPECT_EQ(toc[0].heading, "h1");
  const auto imgs = images(v);
  ASSERT_EQ(imgs.size(), 2u);
  EXPECT_EQ(imgs[0].blob, std::string(64, 'b'));
  EXPECT_EQ(imgs[0].width, 640);
  EXPECT_EQ(imgs[0].height, std::nullopt);
  EXPECT_EQ(imgs[0].crop_left, 250);
  EXPECT_EQ(imgs[0].crop_right, 0);
  EXPECT_EQ(imgs[0].anchor, "page");
  EXPECT_EQ(imgs[1].blob, std::nullopt);
  (void)ids;
}

TEST(View, CommentsRepliesAndNotesFallBackToTheirDisplayTexts) {
  Doc d;
  const auto ids = d.add({{block("paragraph", "commented text")}});
  std::string with_text, bare;
  {
    DocMut mut(d.doc, d.schema);
    with_text = *mut.insert_comment("Ann", "");
    ASSERT_TRUE(mut.splice_comment_text(with_text, *mut.insert_comment_block(with_text), 0, 0, "Nice").has_value());
    ASSERT_TRUE(mut.add_comment_mark(with_text, ids[0], 0, 9).has_value());
    ASSERT_TRUE(mut.add_comment_reply(with_text, "  ", "", "").has_value());
    bare = *mut.insert_comment("", "");
    ASSERT_TRUE(mut.insert_note("*", "").has_value());
    ASSERT_TRUE(mut.set_style("custom", {{"bold", true}}).has_value());
    ASSERT_TRUE(mut.set_attr(Region::Body, ids[0], "style", std::string("custom")).has_value());
    d.doc.commit();
  }
  const DocumentView v = d.view();
  const auto* c = find_comment(v, with_text);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(display_author(c->author), "Ann");
  EXPECT_EQ(display_text(*c), "Nice");
  EXPECT_EQ(display_author(c->replies.at(0).author), kUnknownAuthor);
  EXPECT_EQ(display_text(c->replies.at(0)), kEmptyReply);
  const auto* b = find_comment(v, bare);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->anchor, std::nullopt);  // nothing to go to
  EXPECT_EQ(display_author(b->author), kUnknownAuthor);
  EXPECT_EQ(display_text(*b), kEmptyComment);
  EXPECT_EQ(display_text(v.notes.at(0)), kEmptyNote);
  EXPECT_EQ(find_comment(v, "nope"), nullptr);
  EXPECT_EQ(blocks_with_style(v, "custom").size(), 1u);
  EXPECT_TRUE(is_builtin_style("quote"));
  EXPECT_FALSE(is_builtin_style("custom"));
}

}  // namespace
}  // namespace quern::word_processor

// What each operation does to a document, read back through the view and the markdown export.
#include "apps/word-processor/src/apply.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <functional>

#include "runtime/folio/blobstore.h"
#include "runtime/folio/lookup.h"
#include "runtime/util/unicode.h"
#include "tests/apps/word-processor/writer_doc.h"

namespace quern::word_processor {
namespace {

using folio::model::attr_bool;
using folio::model::attr_int;
using folio::model::attr_str;
using test::apply_ok;
using test::body_block;
using test::body_texts;
using test::markdown_of;
using test::view_of;
using test::WriterDoc;

const WriterDoc& fixture() {
  static const WriterDoc w = WriterDoc::make();
  return w;
}

// The marks named `name` of a block, as (start, end) pairs.
std::vector<std::pair<std::size_t, std::size_t>> spans_of(const Block& b, std::string_view name) {
  std::vector<std::pair<std::size_t, std::size_t>> out;
  for (const crdt::MarkSpan& m : b.marks)
    if (m.name == name) out.emplace_back(m.start, m.end);
  return out;
}

std::vector<std::string> kinds(const DocumentView& v) {
  std::vector<std::string> out;
  for (const Block& b : v.body()) out.push_back(b.kind);
  return out;
}

TEST(Apply, SpliceTextCountsCharactersInEveryRegion) {
  const WriterDoc& w = fixture();
  crdt::Document d = w.fresh();
  apply_ok(d, SpliceText{Region::Body, w.accents, 5, 1, "🎈"});
  apply_ok(d, SpliceText{Region::Body, w.accents, 11, 0, "!"});
  apply_ok(d, SpliceText{Region::Header, w.header, 0, 6, "Top"});
  const DocumentView v = view_of(d);
  EXPECT_EQ(body_block(v, w.accents).text, "café 🎈 text!");
  EXPECT_EQ(v.region(Region::Header)[0].text, "Top text");
  EXPECT_NE(markdown_of(d).find("café 🎈 text!"), std::string::npos);
}

TEST(Apply, ReplaceSelectionWithinOneBlockAndAcrossThree) {
  const WriterDoc& w = fixture();
  crdt::Document d = w.fresh();
  apply_ok(d, ReplaceSelection{Region::Body, w.accents, 0, w.accents, 5, ""});  // only deletes
  EXPECT_EQ(body_block(view_of(d), w.accents).text, "🎉 text");

  // "paragraph" in the last selected block is bold; it keeps that when it joins the first.
  apply_ok(d, SetMark{Region::Body, {Span{w.styled, 7, 16}}, "bold", MarkValue(true), {}});
  apply_ok(d, ReplaceSelection{Region::Body, w.title, 2, w.styled, 6, "X"});
  const DocumentView v = view_of(d);
  EXPECT_EQ(body_texts(d).front(), "TiX paragraph");
  EXPECT_FALSE(find_block(v, Region::Body, w.accents));
  EXPECT_FALSE(find_block(v, Region::Body, w.styled));
  EXPECT_EQ(spans_of(body_block(v, w.title), "bold"), (std::vector<std::pair<std::size_t, std::size_t>>{{4, 13}}));
  EXPECT_EQ(markdown_of(d).substr(0, 21), "# TiX **paragraph**\n\n");
}

TEST(Apply, SetMarkAddsClearsAndRemoves) {
  const WriterDoc& w = fixture();
  crdt::Document d = w.fresh();
  apply_ok(d, SetMark{Region::Body, {Span{w.accents, 0, 4}, Span{w.last, 5, 10}}, "italic", MarkValue(true), {}});
  apply_ok(d, SetMark{Region::Body, {Span{w.accents, 0, 4}}, "bold", MarkValue(true), {"italic"}});
  apply_ok(d, SetMark{Region::Body, {Span{w.last, 5, 10}}, "link", MarkValue(std::string("https://example.com")), {}});
  DocumentView v = view_of(d);
  EXPECT_EQ(spans_of(body_block(v, w.accents), "italic").size(), 0u);
  EXPECT_EQ(spans_of(body_block(v, w.accents), "bold").size(), 1u);
  const std::string md = markdown_of(d);
  EXPECT_NE(md.find("**café** 🎉 text"), std::string::npos) << md;
  EXPECT_NE(md.find("[*words*](https://example.com)"), std::string::npos) << md;

  apply_ok(d, SetMark{Region::Body, {Span{w.last, 0, 10}}, "link", std::nullopt, {"italic"}});
  v = view_of(d);
  EXPECT_TRUE(spans_of(body_block(v, w.last), "link").empty());
  EXPECT_TRUE(spans_of(body_block(v, w.last), "italic").empty());
  // A header block's text is marked in the header.
  apply_ok(d, SetMark{Region::Header, {Span{w.header, 0, 6}}, "bold", MarkValue(true), {}});
  v = view_of(d);
  EXPECT_EQ(spans_of(v.region(Region::Header)[0], "bold").size(), 1u);
}

TEST(Apply, ParagraphStylesNamedStylesAndBlockAttributes) {
  const WriterDoc& w = fixture();
  crdt::Document d = w.fresh();
  apply_ok(d, SetParagraphStyle{Region::Body, {w.accents}, "heading", 2, std::nullopt});
  apply_ok(d, SetParagraphStyle{Region::Body, {w.last}, "list_item", 1, true});
  apply_ok(d, ApplyNamedStyle{Region::Body, {w.styled}, "quote", "quote", std::nullopt, std::nullopt});
  apply_ok(d, SetBlockAttr{Region::Body, {w.title, w.item}, "align", std::string("center")});
  apply_ok(d, SetBlockAttr{Region::Body, {w.item}, "first_line_indent", -12.5});
  const DocumentView v = view_of(d);
  EXPECT_EQ(body_block(v, w.accents).kind, "heading");
  EXPECT_EQ(attr_int(body_block(v, w.accents).attrs, "level"), 2);
  EXPECT_EQ(attr_bool(body_block(v, w.last).attrs, "ordered"), true);
  EXPECT_EQ(*attr_str(body_block(v, w.styled).attrs, "style"), "quote");
  EXPECT_EQ(body_block(v, w.styled).kind, "quote");
  EXPECT_EQ(*attr_str(body_block(v, w.title).attrs, "align"), "center");
  EXPECT_EQ(*attr_str(body_block(v, w.item).attrs, "align"), "center");
  EXPECT_EQ(folio::model::attr_float(body_block(v, w.item).attrs, "first_line_indent"), -12.5);
  const std::string md = markdown_of(d);
  EXPECT_NE(md.find("## café 🎉 text"), std::string::npos) << md;
  EXPECT_NE(md.find("> Second paragraph"), std::string::npos) << md;
  EXPECT_NE(md.find("    1. Last words"), std::string::npos) << md;
}

TEST(Apply, PageMarginsAreWrittenAsShortestDecimals) {
  const WriterDoc& w = fixture();
  crdt::Document d = w.fresh();
  apply_ok(d, SetPageMargins{72.0, 12.5, 4.0, 10'000.0});
  const DocumentView v = view_of(d);
  EXPECT_EQ(v.meta.at("page_margin_top"), "72");
  EXPECT_EQ(v.meta.at("page_margin_right"), "12.5");
  EXPECT_EQ(v.meta.at("page_margin_bottom"), "4");
  EXPECT_EQ(v.meta.at("page_margin_left"), "10000");
}

TEST(Apply, StylePropertiesAndDeletingAStyleWithItsFallbackBlocks) {
  const WriterDoc& w = fixture();
  crdt::Document d = w.fresh();
  apply_ok(d, SetStyleProperty{"custom", "bold", true});
  apply_ok(d, SetStyleProperty{"heading2", "color", std::string("#112233")});
  DocumentView v = view_of(d);
  EXPECT_EQ(attr_bool(v.styles.at("custom"), "bold"), true);
  EXPECT_EQ(*attr_str(v.styles.at("custom"), "name"), "Custom");  // other properties stay
  EXPECT_EQ(*attr_str(v.styles.at("heading2"), "color"), "#112233");

  apply_ok(d, DeleteStyle{"custom", {w.styled, w.styled}});
  v = view_of(d);
  EXPECT_FALSE(v.styles.contains("custom"));
  EXPECT_EQ(*attr_str(body_block(v, w.styled).attrs, "style"), "");
  EXPECT_TRUE(blocks_with_style(v, "custom").empty());
}

TEST(Apply, ImageCropSizeAndPlacement) {
  const WriterDoc& w = fixture();
  crdt::Document d = w.fresh();
  apply_ok(d, SetImageCrop{w.image, 500, 250, 4000, 0});
  apply_ok(d, SetImageSize{w.image, 640, 480});
  apply_ok(d, SetImagePlacement{w.image, "page", "none", -20, 30, 2});
  const DocumentView v = view_of(d);
  const auto imgs = images(v);
  ASSERT_EQ(imgs.size(), 1u);
  const Image& img = imgs[0];
  EXPECT_EQ(std::make_tuple(img.crop_left, img.crop_top, img.crop_right, img.crop_bottom),
            std::make_tuple(500, 250, 4000, 0));
  EXPECT_EQ(img.width, 640);
  EXPECT_EQ(img.height, 480);
  EXPECT_EQ(img.anchor, "page");
  EXPECT_EQ(img.wrap, "none");
  EXPECT_EQ(attr_int(img.block->attrs, "offset_x"), -20);
  EXPECT_EQ(attr_int(img.block->attrs, "offset_y"), 30);
  EXPECT_EQ(attr_int(img.block->attrs, "page"), 2);
}

TEST(Apply, InsertTableMakesEmptyCellsInRowMajorOrder) {
  const WriterDoc& w = fixture();
  crdt::Document d = w.fresh();
  apply_ok(d, InsertTable{w.title, 100, 100});
  const DocumentView v = view_of(d);
  const auto ts = tables(v);
  ASSERT_EQ(ts.size(), 2u);
  const Table& t = ts[0];  // right after the title, before the fixture's table
  EXPECT_NE(t.id, w.table);
  EXPECT_EQ(t.first_index, 1u);
  EXPECT_EQ(t.cells.size(), 10'000u);
  EXPECT_TRUE(t.well_formed());
  for (std::size_t i = 0; i < t.cells.size(); ++i) {
    EXPECT_EQ(t.cells[i].index, 1 + i);
    EXPECT_EQ(*t.cells[i].row, static_cast<std::int64_t>(i / 100));
    EXPECT_EQ(*t.cells[i].col, static_cast<std::int64_t>(i % 100));
    EXPECT_EQ(t.cells[i].block->text, "");
  }
  EXPECT_EQ(v.body()[10'001].id, w.accents);

  crdt::Document small = w.fresh();
  apply_ok(small, InsertTable{w.last, 2, 2});
  EXPECT_NE(markdown_of(small).find("Last words\n\n| | |\n| --- | --- |\n| | |\n"), std::string::npos)
      << markdown_of(small);
}

// The fixture's 2 x 3 table, as its grid of texts (row by row) and in document order.
struct Grid {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> order;
};
Grid grid_of(const crdt::Document& d, const std::string& table) {
  const DocumentView v = view_of(d);
  Grid g;
  auto t = find_table(v, table);
  if (!t) return g;
  EXPECT_TRUE(t->well_formed());
  for (std::int64_t r = 0; r < t->rows; ++r) {
    g.rows.emplace_back();
    for (std::int64_t c = 0; c < t->cols; ++c) g.rows.back().push_back(t->cell_at(r, c)->block->text);
  }
  for (const TableCell& c : t->cells) g.order.push_back(c.block->text);
  return g;
}

TEST(Apply, EditTableOnItsGrid) {
  const WriterDoc& w = fixture();
  using Rows = std::vector<std::vector<std::string>>;
  struct Case {
    TableEdit edit;
    Rows rows;
  };
  const std::vector<Case> cases = {
      {table_edit::InsertRow{0}, {{"", "", ""}, {"r0c0", "r0c1", "r0c2"}, {"r1c0", "r1c1", "r1c2"}}},
      {table_edit::InsertRow{1}, {{"r0c0", "r0c1", "r0c2"}, {"", "", ""}, {"r1c0", "r1c1", "r1c2"}}},
      {table_edit::InsertRow{2}, {{"r0c0", "r0c1", "r0c2"}, {"r1c0", "r1c1", "r1c2"}, {"", "", ""}}},
      {table_edit::InsertColumn{0}, {{"", "r0c0", "r0c1", "r0c2"}, {"", "r1c0", "r1c1", "r1c2"}}},
      {table_edit::InsertColumn{2}, {{"r0c0", "r0c1", "", "r0c2"}, {"r1c0", "r1c1", "", "r1c2"}}},
      {table_edit::InsertColumn{3}, {{"r0c0", "r0c1", "r0c2", ""}, {"r1c0", "r1c1", "r1c2", ""}}},
      {table_edit::DeleteRow{0}, {{"r1c0", "r1c1", "r1c2"}}},
      {table_edit::DeleteColumn{1}, {{"r0c0", "r0c2"}, {"r1c0", "r1c2"}}},
      {table_edit::Delete{}, {}},
  };
  for (const Case& c : cases) {
    crdt::Document d = w.fresh();
    apply_ok(d, EditTable{w.table, c.edit});
    const Grid g = grid_of(d, w.table);
    EXPECT_EQ(g.rows, c.rows) << variant_name(c.edit);
    // The cells stay in row-major order, right after the image.
    std::vector<std::string> row_major;
    for (const auto& row : c.rows) row_major.insert(row_major.end(), row.begin(), row.end());
    EXPECT_EQ(g.order, row_major) << variant_name(c.edit);
    const DocumentView v = view_of(d);
    const auto image = find_block(v, Region::Body, w.image);
    const auto last = find_block(v, Region::Body, w.last);
    EXPECT_EQ(last->index, image->index + 1 + row_major.size()) << variant_name(c.edit);
  }
  // A table that starts the body gets its new first row and column at the start.
  crdt::Document d = w.fresh();
  apply_ok(d, RemoveBlocks{{w.title, w.accents, w.styled, w.item, w.image}});
  apply_ok(d, EditTable{w.table, table_edit::InsertColumn{0}});
  apply_ok(d, EditTable{w.table, table_edit::InsertRow{0}});
  EXPECT_EQ(grid_of(d, w.table).order,
            (std::vector<std::string>{"", "", "", "", "", "r0c0", "r0c1", "r0c2", "", "r1c0", "r1c1", "r1c2"}));
  EXPECT_EQ(view_of(d).body().front().kind, "cell");
  EXPECT_NE(markdown_of(d).find("| | | | |\n| --- | --- | --- | --- |\n| | r0c0 | r0c1 | r0c2 |\n"), std::string::npos)
      << markdown_of(d);
}

TEST(Apply, InsertImageSplitsTheParagraphAroundTheImage) {
  const WriterDoc& w = fixture();
  const auto png = test::png_3x2();
  const std::string hash = folio::blobstore::hash_bytes(png);
  struct Case {
    std::uint64_t at;
    std::string head, tail;
  };
  for (const Case& c : {Case{0, "", "café 🎉 text"}, Case{11, "café 🎉 text", ""}, Case{5, "café ", "🎉 text"}}) {
    crdt::Document d = w.fresh();
    apply_ok(d, SetMark{Region::Body, {Span{w.accents, 7, 11}}, "bold", MarkValue(true), {}});
    apply_ok(d, InsertImage{w.accents, c.at, png, 15, std::nullopt});
    const DocumentView v = view_of(d);
    const auto ref = find_block(v, Region::Body, w.accents);
    ASSERT_TRUE(ref);
    const Block& image = v.body()[ref->index + 1];
    const Block& after = v.body()[ref->index + 2];
    EXPECT_EQ(ref->block->text, c.head) << c.at;
    EXPECT_EQ(image.kind, "image");
    EXPECT_EQ(*attr_str(image.attrs, "blob"), hash);
    EXPECT_EQ(attr_int(image.attrs, "width"), 15);
    EXPECT_FALSE(attr_int(image.attrs, "height"));
    EXPECT_EQ(after.kind, "paragraph");
    EXPECT_EQ(after.text, c.tail) << c.at;
    // "text" stays bold wherever it went.
    const Block& holder = c.tail.empty() ? *ref->block : after;
    const std::size_t text_at = unicode::char_count(holder.text) - 4;
    EXPECT_EQ(spans_of(holder, "bold"), (std::vector<std::pair<std::size_t, std::size_t>>{{text_at, text_at + 4}}));
    EXPECT_EQ(folio::model::blob_bytes(d, *folio::model::open(d), hash), png);
  }
}

TEST(Apply, InsertImageChangesNothingWhenTheBlobStoreTakesNothing) {
  const WriterDoc& w = fixture();
  crdt::Document d = w.fresh();
  const std::string saved = ::getenv("QUERN_BLOB_DIR");
  ::setenv("QUERN_BLOB_DIR", "/dev/null/blobs", 1);
  auto r = apply_word_processor_action(InsertImage{w.accents, 2, {1, 2, 3}, {}, {}}, d);
  ::setenv("QUERN_BLOB_DIR", saved.c_str(), 1);
  EXPECT_TRUE(r.has_value()) << r.error().to_string();
  EXPECT_EQ(d.pending_ops(), 0u);
}

TEST(Apply, PageBreaksAndSplitsMoveTheTailIntoANewBlock) {
  const WriterDoc& w = fixture();
  crdt::Document d = w.fresh();
  apply_ok(d, InsertPageBreak{Region::Body, w.accents, 5});
  apply_ok(d, InsertPageBreak{Region::Footer, w.footer, 7});
  apply_ok(d, SplitBlock{Region::Body, w.item, 2, "list_item", true});
  apply_ok(d, SplitBlock{Region::Body, w.last, 10, "paragraph", std::nullopt});
  const DocumentView v = view_of(d);
  const auto at = [&](std::string_view id, std::size_t d) -> const Block& {
    return v.body()[find_block(v, Region::Body, id)->index + d];
  };
  EXPECT_EQ(at(w.accents, 0).text, "café ");
  EXPECT_EQ(at(w.accents, 1).text, "🎉 text");
  EXPECT_EQ(at(w.accents, 1).kind, "paragraph");
  EXPECT_EQ(attr_bool(at(w.accents, 1).attrs, "page_break_before"), true);
  EXPECT_EQ(test::texts(v.region(Region::Footer)), (std::vector<std::string>{"Footer ", "text"}));
  EXPECT_EQ(attr_bool(v.region(Region::Footer)[1].attrs, "page_break_before"), true);
  EXPECT_EQ(at(w.item, 0).text, "It");
  EXPECT_EQ(at(w.item, 1).text, "em");
  EXPECT_EQ(at(w.item, 1).kind, "list_item");
  EXPECT_EQ(attr_bool(at(w.item, 1).attrs, "ordered"), true);
  EXPECT_FALSE(attr_bool(at(w.item, 1).attrs, "page_break_before"));
  EXPECT_EQ(at(w.last, 1).text, "");  // split at the end: an empty block after
  // The tracked insertion on "Last" stayed with its text.
  EXPECT_EQ(folio::model::change_ids(d, *folio::model::open(d), w.last), std::vector<std::string>{w.change});
}

TEST(Apply, InsertFieldPutsAPageNumberPlaceholder) {
  const WriterDoc& w = fixture();
  crdt::Document d = w.fresh();
  apply_ok(d, InsertField{Region::Header, w.header, 6, "page-number"});
  const DocumentView v = view_of(d);
  const Block& h = v.region(Region::Header)[0];
  EXPECT_EQ(h.text, "Header\uFFFC text");
  EXPECT_EQ(spans_of(h, "field"), (std::vector<std::pair<std::size_t, std::size_t>>{{6, 7}}));
}

TEST(Apply, GenerateTocReplacesTheOldTableOfContents) {
  const WriterDoc& w = fixture();
  crdt::Document d = w.fresh();
  apply_ok(d, SetParagraphStyle{Region::Body, {w.styled}, "heading", 3, std::nullopt});
  apply_ok(d, GenerateToc{{{w.title, 1, "Old", {}}}});
  apply_ok(d, GenerateToc{{{w.title, 1, "  Title  ", std::nullopt}, {w.styled, 3, "Second paragraph", 12}}});
  const DocumentView v = view_of(d);
  const auto lines = toc_lines(v);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].block, &v.body()[0]);
  EXPECT_EQ(lines[1].block, &v.body()[1]);
  EXPECT_EQ(lines[0].block->text, "Title");
  EXPECT_EQ(lines[1].block->text, "    Second paragraph .......... 12");
  EXPECT_EQ(lines[1].level, 3);
  EXPECT_EQ(lines[1].heading, w.styled);
  EXPECT_EQ(lines[0].block->kind, "paragraph");
  EXPECT_EQ(v.body()[2].id, w.title);
  EXPECT_EQ(markdown_of(d).substr(0, 7), "Title\n\n");
}

TEST(Apply, PasteFragmentIntoOneBlockAndAcrossSeveral) {
  const WriterDoc& w = fixture();
  {  // One clip block into the middle of a block: the rest stays after it.
    crdt::Document d = w.fresh();
    apply_ok(d, PasteFragment{Region::Body,
                              w.accents,
                              5,
                              w.accents,
                              6,
                              {ClipBlock{"heading", "big", {{0, 3, "bold", true}}, 1, std::nullopt, std::nullopt}},
                              false});
    const DocumentView v = view_of(d);
    const Block& b = body_block(v, w.accents);
    EXPECT_EQ(b.text, "café big text");
    EXPECT_EQ(b.kind, "paragraph");  // the first block keeps its own style unless asked
    EXPECT_EQ(spans_of(b, "bold"), (std::vector<std::pair<std::size_t, std::size_t>>{{5, 8}}));
  }
  {  // Three clip blocks over a range across two blocks, adopting the first block's style.
    crdt::Document d = w.fresh();
    apply_ok(d, PasteFragment{Region::Body,
                              w.accents,
                              4,
                              w.styled,
                              7,
                              {ClipBlock{"heading", "A", {}, 2, std::nullopt, "center"},
                               ClipBlock{"list_item", "bee", {{1, 3, "italic", true}}, 1, true, std::nullopt},
                               ClipBlock{"quote", "C", {{0, 1, "link", std::string("#intro")}}, {}, {}, "right"}},
                              true});
    const DocumentView v = view_of(d);
    const auto ref = find_block(v, Region::Body, w.accents);
    ASSERT_TRUE(ref);
    const Block& first = v.body()[ref->index];
    const Block& second = v.body()[ref->index + 1];
    const Block& third = v.body()[ref->index + 2];
    EXPECT_EQ(first.text, "caféA");
    EXPECT_EQ(first.kind, "heading");
    EXPECT_EQ(attr_int(first.attrs, "level"), 2);
    EXPECT_EQ(*attr_str(first.attrs, "align"), "center");
    EXPECT_EQ(second.text, "bee");
    EXPECT_EQ(second.kind, "list_item");
    EXPECT_EQ(attr_bool(second.attrs, "ordered"), true);
    EXPECT_EQ(spans_of(second, "italic"), (std::vector<std::pair<std::size_t, std::size_t>>{{1, 3}}));
    EXPECT_EQ(third.text, "Cparagraph");  // the rest of the end block follows the last clip block
    EXPECT_EQ(third.kind, "quote");
    EXPECT_EQ(*attr_str(third.attrs, "align"), "right");
    EXPECT_EQ(spans_of(third, "link"), (std::vector<std::pair<std::size_t, std::size_t>>{{0, 1}}));
    EXPECT_FALSE(find_block(v, Region::Body, w.styled));
    EXPECT_EQ(v.body()[ref->index + 3].id, w.item);
  }
}

TEST(Apply, InsertAndRemoveParagraphs) {
  const WriterDoc& w = fixture();
  crdt::Document d = w.fresh();
  apply_ok(d, InsertParagraph{w.title, "Intro"});
  apply_ok(d, RemoveBlocks{{w.accents, w.image}});
  EXPECT_EQ(markdown_of(d).substr(0, 34), "# Title\n\nIntro\n\nSecond paragraph\n\n");
  EXPECT_TRUE(images(view_of(d)).empty());
}

TEST(Apply, ReplaceBodyImportsMarkdownAndKeepsOnlySafeLinks) {
  const WriterDoc& w = fixture();
  crdt::Document d = w.fresh();
  apply_ok(d, ReplaceBody{"# New\n\nSee [docs](https://example.com) and [this](javascript:alert(1)).\n\n"
                          "| a | b |\n| --- | --- |\n| 1 | 2 |\n"});
  const DocumentView v = view_of(d);
  EXPECT_EQ(kinds(v), (std::vector<std::string>{"heading", "paragraph", "cell", "cell", "cell", "cell"}));
  EXPECT_EQ(v.body()[1].text, "See docs and this.");
  EXPECT_EQ(spans_of(v.body()[1], "link"), (std::vector<std::pair<std::size_t, std::size_t>>{{4, 8}}));
  EXPECT_EQ(tables(v).size(), 1u);
  EXPECT_EQ(v.region(Region::Header).size(), 1u);  // only the body is replaced
  EXPECT_EQ(markdown_of(d),
            "# New\n\nSee [docs](https://example.com) and this.\n\n| a | b |\n| --- | --- |\n| 1 | 2 |\n");

  crdt::Document empty = w.fresh();
  apply_ok(empty, ReplaceBody{""});
  EXPECT_TRUE(view_of(empty).body().empty());
}

TEST(Apply, AcceptAndRejectTrackedChanges) {
  const WriterDoc& w = fixture();
  // A second change: "words" marked as a deletion.
  const auto with_deletion = [&] {
    crdt::Document d = w.fresh();
    folio::model::DocMut mut(d, *folio::model::open(d));
    const std::string id = *mut.track_change(Region::Body, w.last, 5, 10, folio::model::ChangeKind::Deletion, "Cy", "");
    d.commit();
    return std::make_pair(std::move(d), id);
  };
  struct Case {
    bool accept;
    bool all;
    std::string text;
    std::size_t changes_left;
  };
  for (const Case& c : {Case{true, true, "Last ", 0}, Case{false, true, " words", 0},
                        Case{true, false, "Last words", 1}, Case{false, false, " words", 1}}) {
    auto [d, deletion] = with_deletion();
    const std::optional<std::string> id = c.all ? std::nullopt : std::optional<std::string>(w.change);
    if (c.accept)
      apply_ok(d, AcceptChanges{id});
    else
      apply_ok(d, RejectChanges{id});
    const DocumentView v = view_of(d);
    EXPECT_EQ(body_block(v, w.last).text, c.text) << c.accept << c.all;
    EXPECT_EQ(v.changes.size(), c.changes_left) << c.accept << c.all;
    if (c.changes_left == 1) {
      EXPECT_EQ(v.changes[0].id, deletion);
    }
  }
}

TEST(Apply, CommentsRepliesAndResolving) {
  const WriterDoc& w = fixture();
  crdt::Document d = w.fresh();
  apply_ok(d, AddComment{w.styled, 3, 10, "Grace", "2026-02-03", "Overlaps"});
  apply_ok(d, ReplyToComment{w.comment, "Bob", "", "Agreed"});
  DocumentView v = view_of(d);
  ASSERT_EQ(v.comments.size(), 2u);
  const folio::model::Comment* added = nullptr;
  for (const auto& c : v.comments)
    if (c.id != w.comment) added = &c;
  ASSERT_NE(added, nullptr);
  EXPECT_EQ(added->author, "Grace");
  EXPECT_EQ(added->date, "2026-02-03");
  EXPECT_EQ(added->text(), "Overlaps");
  EXPECT_EQ(added->anchor, (folio::model::TextRange{Region::Body, w.styled, 3, 10}));
  const folio::model::Comment* first = find_comment(v, w.comment);
  ASSERT_EQ(first->replies.size(), 1u);
  EXPECT_EQ(first->replies[0].author, "Bob");
  EXPECT_EQ(first->replies[0].text(), "Agreed");

  // Resolving the first comment leaves the overlapping one anchored where it was.
  const std::string kept = added->id;
  apply_ok(d, ResolveComment{w.comment});
  v = view_of(d);
  ASSERT_EQ(v.comments.size(), 1u);
  EXPECT_EQ(v.comments[0].id, kept);
  EXPECT_EQ(v.comments[0].anchor, (folio::model::TextRange{Region::Body, w.styled, 3, 10}));
  const auto schema = *folio::model::open(d);
  EXPECT_FALSE(d.get(schema.comments, w.comment)->has_value());  // its entry is gone too
  EXPECT_FALSE(folio::model::comment_range(d, schema, w.comment));
}

// One handle kept for a replica across many operations, commits, merges and a rollback gives
// the same document as a fresh handle for every call.
TEST(Apply, AKeptHandleAgreesWithAFreshOneAcrossCommitsMergesAndRollbacks) {
  const WriterDoc& w = fixture();
  crdt::Document kept_doc = w.fresh("agent"), fresh_doc = w.fresh("agent");
  crdt::Document peer = w.fresh("peer");
  WriterHandle handle;
  // New blocks get different ids on the two replicas: operations find them by their text.
  const auto id_of = [](const crdt::Document& d, std::string_view text) {
    const DocumentView v = view_of(d);
    for (const Block& b : v.body())
      if (b.text == text) return b.id;
    return std::string("none");
  };
  using Make = std::function<WordProcessorAction(const crdt::Document&)>;
  const auto both = [&](const Make& make) {
    auto r1 = apply_word_processor_action(make(kept_doc), kept_doc, handle);
    auto r2 = apply_word_processor_action(make(fresh_doc), fresh_doc);
    EXPECT_EQ(r1.has_value(), r2.has_value()) << variant_name(make(kept_doc));
    kept_doc.commit();
    fresh_doc.commit();
    (void)kept_doc.save_incremental();
  };
  both([&](auto&) { return InsertParagraph{w.title, "one"}; });
  both([&](auto&) { return InsertTable{w.title, 3, 3}; });
  both([&](auto& d) { return SpliceText{Region::Body, id_of(d, "one"), 3, 0, "!"}; });
  // The peer adds a block first in the body and removes "Item"; both replicas merge that.
  {
    folio::model::DocMut mut(peer, *folio::model::open(peer));
    const std::string id = *mut.insert_block(std::nullopt, "paragraph");
    ASSERT_TRUE(mut.splice_text(id, 0, 0, "from the peer").has_value());
    ASSERT_TRUE(mut.tombstone_block_in(Region::Body, w.item).has_value());
    peer.commit();
  }
  ASSERT_TRUE(kept_doc.merge(peer).has_value());
  ASSERT_TRUE(fresh_doc.merge(peer).has_value());
  both([&](auto& d) { return InsertParagraph{id_of(d, "from the peer"), "after the peer's"}; });
  both([&](auto&) { return SpliceText{Region::Body, w.item, 0, 0, "gone"}; });  // rejected by both
  // An operation applied and then rolled back on the kept replica only.
  ASSERT_TRUE(apply_word_processor_action(InsertParagraph{w.last, "rolled back"}, kept_doc, handle).has_value());
  kept_doc.rollback();
  both([&](auto& d) { return RemoveBlocks{{id_of(d, "one!")}}; });
  both([&](auto&) { return SplitBlock{Region::Body, w.last, 4, "paragraph", std::nullopt}; });
  both([&](auto& d) { return InsertPageBreak{Region::Body, id_of(d, "Last"), 2}; });
  kept_doc.set_actor(crdt::ActorId("agent-2"));
  fresh_doc.set_actor(crdt::ActorId("agent-2"));
  both([&](auto&) { return InsertTable{w.accents, 1, 2}; });
  EXPECT_EQ(body_texts(kept_doc), body_texts(fresh_doc));
  EXPECT_EQ(body_texts(kept_doc)[1], "after the peer's");
  EXPECT_EQ(markdown_of(kept_doc), markdown_of(fresh_doc));
  EXPECT_EQ(id_of(kept_doc, "rolled back"), "none");
}

}  // namespace
}  // namespace quern::word_processor

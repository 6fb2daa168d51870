// DocMut on one replica: blocks, text, attributes, marks, comments, tracked changes, styles,
// notes, bookmarks, fields, fragments and blobs, and how every call refuses bad ids and
// offsets without writing anything.
#include "runtime/folio/doc_mut.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <functional>
#include <set>

#include "runtime/folio/blobstore.h"
#include "runtime/folio/lookup.h"
#include "runtime/util/sha256.h"
#include "tests/runtime/folio/replicas.h"
#include "tests/support/temp_dir.h"

namespace quern::folio::model {
namespace {

using crdt::Document;
using test::add_paragraphs;
using test::body_texts;
using test::new_folio;
using test::schema_of;
using test::view_of;

TEST(Blocks, GoWhereTheyAreInsertedAndTombstonedOnesLeaveEveryView) {
  Document doc = new_folio();
  DocMut mut(doc, schema_of(doc));
  const std::string b = *mut.insert_block(std::nullopt, "paragraph");
  const std::string a = *mut.insert_block(std::nullopt, "heading");  // first in the body
  const std::string c = *mut.insert_block(b, "paragraph");
  const std::string between = *mut.insert_block(a, "list_item");
  ASSERT_TRUE(mut.splice_text(a, 0, 0, "A").has_value());
  ASSERT_TRUE(mut.splice_text(c, 0, 0, "C").has_value());
  EXPECT_EQ(blocks_in_order(doc, mut.schema()), (std::vector<std::string>{a, between, b, c}));

  ASSERT_TRUE(mut.tombstone_block_in(Region::Body, between).has_value());
  doc.commit();
  EXPECT_EQ(blocks_in_order(doc, mut.schema()), (std::vector<std::string>{a, b, c}));
  const Schema s = schema_of(doc);
  EXPECT_EQ(block_text(doc, s, between), std::nullopt);
  EXPECT_EQ(block_obj(doc, s, between), std::nullopt);
  EXPECT_EQ(block_text(doc, s, c), "C");
  EXPECT_EQ(view_of(doc).body().size(), 3u);
  EXPECT_EQ(view_of(doc).body()[0].kind, "heading");

  // A new DocMut sees the tombstone too, and inserting after the last block appends.
  DocMut next(doc, s);
  EXPECT_FALSE(next.splice_text(between, 0, 0, "x").has_value());
  const std::string d = *next.insert_block(c, "paragraph");
  EXPECT_EQ(blocks_in_order(doc, s).back(), d);
}

TEST(Blocks, LongRunsOfInsertionsKeepTheirOrder) {
  Document doc = new_folio();
  const std::vector<std::string> first = add_paragraphs(doc, {"head", "tail"});
  DocMut mut(doc, schema_of(doc));
  std::string prev = first[0];
  std::vector<std::string> want{first[0]};
  for (int i = 0; i < 2000; ++i) {
    prev = *mut.insert_block(prev, "cell");
    want.push_back(prev);
  }
  want.push_back(first[1]);
  EXPECT_EQ(blocks_in_order(doc, mut.schema()), want);
  std::set<std::string> unique(want.begin(), want.end());
  EXPECT_EQ(unique.size(), want.size());
}

TEST(Blocks, HeaderAndFooterAreSeparateLists) {
  Document doc = new_folio();
  DocMut mut(doc, schema_of(doc));
  const std::string h = *mut.insert_block_in(Region::Header, std::nullopt, "paragraph");
  ASSERT_TRUE(mut.splice_text_in(Region::Header, h, 0, 0, "Page header").has_value());
  ASSERT_TRUE(mut.insert_page_number_field(Region::Header, h, 4).has_value());
  EXPECT_FALSE(mut.splice_text(h, 0, 0, "x").has_value());  // not in the body
  EXPECT_FALSE(mut.insert_block_in(Region::Footer, h, "paragraph").has_value());
  doc.commit();
  const DocumentView view = view_of(doc);
  EXPECT_TRUE(view.body().empty());
  ASSERT_EQ(view.region(Region::Header).size(), 1u);
  const Block& header = view.region(Region::Header)[0];
  EXPECT_EQ(header.text, "Page\uFFFC header");
  ASSERT_EQ(header.marks.size(), 1u);
  EXPECT_EQ(header.marks[0], (crdt::MarkSpan{"field", std::string("page-number"), 4, 5}));
}

TEST(Text, OffsetsCountCharactersNotBytes) {
  Document doc = new_folio();
  const std::string id = add_paragraphs(doc, {"café 🎉!"})[0];
  DocMut mut(doc, schema_of(doc));
  ASSERT_TRUE(mut.splice_text(id, 5, 1, "🎈").has_value());  // replaces the emoji
  ASSERT_TRUE(mut.splice_text(id, 7, 0, "?").has_value());  // at the end (7 characters)
  EXPECT_FALSE(mut.splice_text(id, 9, 0, "x").has_value());
  ASSERT_TRUE(mut.splice_text(id, 3, 1, "e").has_value());
  doc.commit();
  EXPECT_EQ(body_texts(doc), std::vector<std::string>{"cafe 🎈!?"});
}

// Every call checks its ids and offsets first: a refused call leaves no operation behind.
TEST(Checks, BadIdsAndOffsetsAreRefusedWithoutWriting) {
  Document doc = new_folio();
  const auto ids = add_paragraphs(doc, {"hello", "gone"});
  const std::string& live = ids[0];
  const std::string& gone = ids[1];
  {
    DocMut mut(doc, schema_of(doc));
    ASSERT_TRUE(mut.tombstone_block_in(Region::Body, gone).has_value());
    doc.commit();
  }
  DocMut mut(doc, schema_of(doc));
  const std::string comment = *mut.insert_comment("ann", "");
  doc.commit();
  struct Case {
    std::string what;
    std::function<Result<void>()> call;
  };
  const auto as_void = [](auto r) -> Result<void> {
    if (!r) return std::unexpected(r.error());
    return {};
  };
  const std::vector<Case> cases = {
      {"splice unknown block", [&] { return mut.splice_text("nope", 0, 0, "x"); }},
      {"splice tombstoned block", [&] { return mut.splice_text(gone, 0, 0, "x"); }},
      {"splice beyond the text", [&] { return mut.splice_text(live, 6, 0, "x"); }},
      {"delete past the end", [&] { return mut.splice_text(live, 3, 3, ""); }},
      {"empty id", [&] { return mut.splice_text("", 0, 0, "x"); }},
      {"insert after unknown", [&] { return as_void(mut.insert_block("nope", "paragraph")); }},
      {"insert after tombstoned", [&] { return as_void(mut.insert_block(gone, "paragraph")); }},
      {"kind not a token", [&] { return as_void(mut.insert_block(live, "two words")); }},
      {"set kind on unknown", [&] { return mut.set_kind("nope", "heading"); }},
      {"set kind to empty", [&] { return mut.set_kind(live, ""); }},
      {"tombstone twice", [&] { return mut.tombstone_block_in(Region::Body, gone); }},
      {"attr on tombstoned", [&] { return mut.set_attr(Region::Body, gone, "align", std::string("left")); }},
      {"attr not finite", [&] { return mut.set_attr(Region::Body, live, "indent", std::nan("")); }},
      {"mark beyond the text", [&] { return mut.add_mark(Region::Body, live, 2, 6, "bold", true); }},
      {"mark empty range", [&] { return mut.add_mark(Region::Body, live, 2, 2, "bold", true); }},
      {"mark reversed", [&] { return mut.add_mark(Region::Body, live, 3, 1, "bold", true); }},
      {"mark value bytes", [&] { return mut.add_mark(Region::Body, live, 0, 1, "x", crdt::Bytes{1}); }},
      {"remove mark beyond", [&] { return mut.remove_mark(Region::Body, live, 0, 9, "bold"); }},
      {"field beyond", [&] { return mut.insert_page_number_field(Region::Body, live, 6); }},
      {"field in footer block", [&] { return mut.insert_page_number_field(Region::Footer, live, 0); }},
      {"comment mark on unknown comment", [&] { return mut.add_comment_mark("nope", live, 0, 2); }},
      {"comment mark beyond", [&] { return mut.add_comment_mark(comment, live, 0, 6); }},
      {"comment mark on tombstoned block", [&] { return mut.add_comment_mark(comment, gone, 0, 1); }},
      {"comment text in unknown block", [&] { return mut.splice_comment_text(comment, "nope", 0, 0, "x"); }},
      {"reply to unknown", [&] { return as_void(mut.add_comment_reply("nope", "a", "", "x")); }},
      {"resolve unknown", [&] { return mut.tombstone_comment("nope"); }},
      {"change beyond",
       [&] { return as_void(mut.track_change(Region::Body, live, 0, 6, ChangeKind::Insertion, "a", "")); }},
      {"accept unknown", [&] { return mut.accept_change("nope"); }},
      {"reject unknown", [&] { return mut.reject_change("nope"); }},
      {"style id not a token", [&] { return mut.set_style("my style", {}); }},
      {"delete built-in style", [&] { return mut.tombstone_style("heading2"); }},
      {"delete unknown style", [&] { return mut.tombstone_style("fancy"); }},
      {"empty blob", [&] { return as_void(mut.put_blob({})); }},
      {"bookmark name", [&] { return mut.add_bookmark("a b", live); }},
      {"bookmark on unknown", [&] { return mut.add_bookmark("here", "nope"); }},
      {"remove unknown bookmark", [&] { return mut.tombstone_bookmark("here"); }},
      {"remove unknown note", [&] { return mut.tombstone_note("nope"); }},
      {"fragment after unknown", [&] { return as_void(mut.insert_fragment(Region::Body, "nope", Fragment{})); }},
      {"fragment mark beyond",
       [&] {
         Fragment f{{FragmentBlock{"paragraph", "ab", {FragmentMark{0, 3, "bold", true}}, {}}}};
         return as_void(mut.insert_fragment(Region::Body, live, f));
       }},
  };
  for (const Case& c : cases) {
    auto r = c.call();
    EXPECT_FALSE(r.has_value()) << c.what;
    EXPECT_EQ(doc.pending_ops(), 0u) << c.what;
  }
  EXPECT_EQ(body_texts(doc), std::vector<std::string>{"hello"});
}

TEST(Attributes, KeepTheirTypesAndCanBeRemoved) {
  Document doc = new_folio();
  const std::string id = add_paragraphs(doc, {"x"})[0];
  DocMut mut(doc, schema_of(doc));
  ASSERT_TRUE(mut.set_attr(Region::Body, id, "level", std::int64_t{2}).has_value());
  ASSERT_TRUE(mut.set_attr(Region::Body, id, "ordered", true).has_value());
  ASSERT_TRUE(mut.set_attr(Region::Body, id, "indent", 12.5).has_value());
  ASSERT_TRUE(mut.set_attr(Region::Body, id, "style", std::string("quote")).has_value());
  ASSERT_TRUE(mut.set_attr(Region::Body, id, "width", std::int64_t{9}).has_value());
  ASSERT_TRUE(mut.remove_attr(Region::Body, id, "width").has_value());
  ASSERT_TRUE(mut.set_kind(id, "list_item").has_value());
  doc.commit();
  const DocumentView view = view_of(doc);
  const Block& b = view.body()[0];
  EXPECT_EQ(b.kind, "list_item");
  EXPECT_EQ(b.attrs, (Attrs{{"indent", 12.5}, {"level", std::int64_t{2}}, {"ordered", true}, {"style", "quote"}}));
  EXPECT_EQ(attr_int(b.attrs, "ordered"), std::nullopt);  // a boolean is not an integer
  EXPECT_EQ(attr_float(b.attrs, "indent"), 12.5);
}

TEST(Marks, FormattingGrowsAtItsEndLinksDoNot) {
  Document doc = new_folio();
  const std::string id = add_paragraphs(doc, {"bold link"})[0];
  DocMut mut(doc, schema_of(doc));
  ASSERT_TRUE(mut.add_mark(Region::Body, id, 0, 4, "bold", true).has_value());
  ASSERT_TRUE(mut.add_mark(Region::Body, id, 5, 9, "link", std::string("https://example.org")).has_value());
  ASSERT_TRUE(mut.splice_text(id, 9, 0, "s").has_value());   // typed after the link
  ASSERT_TRUE(mut.splice_text(id, 4, 0, "er").has_value());  // typed after the bold word
  doc.commit();
  EXPECT_EQ(view_of(doc).body()[0].marks,
            (std::vector<crdt::MarkSpan>{{"bold", true, 0, 6}, {"link", std::string("https://example.org"), 7, 11}}));

  DocMut again(doc, schema_of(doc));
  ASSERT_TRUE(again.remove_mark(Region::Body, id, 2, 4, "bold").has_value());
  ASSERT_TRUE(again.remove_mark(Region::Body, id, 0, 12, "italic").has_value());  // absent: nothing
  doc.commit();
  EXPECT_EQ(view_of(doc).body()[0].marks,
            (std::vector<crdt::MarkSpan>{
                {"bold", true, 0, 2}, {"bold", true, 4, 6}, {"link", std::string("https://example.org"), 7, 11}}));
}

TEST(Comments, CarryAuthorBodyRepliesAndAnAnchor) {
  Document doc = new_folio();
  const std::string id = add_paragraphs(doc, {"The quick brown fox"})[0];
  DocMut mut(doc, schema_of(doc));
  const std::string c = *mut.insert_comment("Ann", "2026-01-02");
  const std::string first = *mut.insert_comment_block(c);
  ASSERT_TRUE(mut.splice_comment_text(c, first, 0, 0, "Too").has_value());
  const std::string second = *mut.insert_comment_block(c);
  ASSERT_TRUE(mut.splice_comment_text(c, second, 0, 0, "slow?").has_value());
  ASSERT_TRUE(mut.add_comment_mark(c, id, 4, 9).has_value());
  const std::string r1 = *mut.add_comment_reply(c, "Bob", "2026-01-03", "Agreed");
  const std::string r2 = *mut.add_comment_reply(c, "", "", "");
  const std::string bare = *mut.insert_comment("", "");
  doc.commit();

  const Schema s = schema_of(doc);
  const DocumentView view = view_of(doc);
  ASSERT_EQ(view.comments.size(), 2u);
  const Comment& got = view.comments[0];  // anchored comments come first
  EXPECT_EQ(got.id, c);
  EXPECT_EQ(got.author, "Ann");
  EXPECT_EQ(got.date, "2026-01-02");
  EXPECT_EQ(got.text(), "Too slow?");
  EXPECT_EQ(got.anchor, (TextRange{Region::Body, id, 4, 9}));
  ASSERT_EQ(got.replies.size(), 2u);
  EXPECT_EQ(got.replies[0].id, r1);
  EXPECT_EQ(got.replies[0].text(), "Agreed");
  EXPECT_EQ(got.replies[1].author, "");
  EXPECT_EQ(view.comments[1].id, bare);
  EXPECT_EQ(view.comments[1].anchor, std::nullopt);
  EXPECT_EQ(comment_range(doc, s, c), (TextRange{Region::Body, id, 4, 9}));
  EXPECT_EQ(comment_range(doc, s, bare), std::nullopt);
  EXPECT_EQ(comment_reply_ids(doc, s, c), (std::vector<std::string>{r1, r2}));
  EXPECT_EQ(comment_reply_ids(doc, s, "nope"), std::vector<std::string>{});
  ASSERT_EQ(view.body()[0].marks.size(), 1u);
  EXPECT_EQ(view.body()[0].marks[0], (crdt::MarkSpan{"comment", c, 4, 9}));
}

// Overlapping comments share the "comment" mark; each keeps its own range, and resolving one
// leaves the other's anchor whole.
TEST(Comments, OverlapWithoutLosingAnchorsAndResolveOneAtATime) {
  Document doc = new_folio();
  const std::string id = add_paragraphs(doc, {"0123456789abcdef"})[0];
  DocMut mut(doc, schema_of(doc));
  const std::string a = *mut.insert_comment("a", "");
  const std::string b = *mut.insert_comment("b", "");
  const std::string inner = *mut.insert_comment("c", "");
  ASSERT_TRUE(mut.add_comment_mark(a, id, 2, 10).has_value());
  ASSERT_TRUE(mut.add_comment_mark(b, id, 6, 14).has_value());
  ASSERT_TRUE(mut.add_comment_mark(inner, id, 3, 5).has_value());
  doc.commit();
  const Schema s = schema_of(doc);
  EXPECT_EQ(comment_range(doc, s, a), (TextRange{Region::Body, id, 2, 10}));
  EXPECT_EQ(comment_range(doc, s, b), (TextRange{Region::Body, id, 6, 14}));
  EXPECT_EQ(comment_range(doc, s, inner), (TextRange{Region::Body, id, 3, 5}));
  std::vector<std::string> order;
  for (const Comment& c : view_of(doc).comments) order.push_back(c.id);
  EXPECT_EQ(order, (std::vector<std::string>{a, inner, b}));  // by where they start

  DocMut resolve(doc, s);
  ASSERT_TRUE(resolve.tombstone_comment(a).has_value());
  doc.commit();
  EXPECT_EQ(comment_range(doc, s, a), std::nullopt);
  EXPECT_EQ(comment_range(doc, s, b), (TextRange{Region::Body, id, 6, 14}));
  EXPECT_EQ(comment_range(doc, s, inner), (TextRange{Region::Body, id, 3, 5}));
  EXPECT_EQ(view_of(doc).comments.size(), 2u);

  // Anchoring a comment again moves it.
  DocMut move(doc, s);
  ASSERT_TRUE(move.add_comment_mark(inner, id, 12, 16).has_value());
  doc.commit();
  EXPECT_EQ(comment_range(doc, s, inner), (TextRange{Region::Body, id, 12, 16}));
  EXPECT_EQ(comment_range(doc, s, b), (TextRange{Region::Body, id, 6, 14}));
}

TEST(Comments, ResolvingRemovesTheCommentItsRepliesAndItsMark) {
  Document doc = new_folio();
  const std::string id = add_paragraphs(doc, {"hello world"})[0];
  DocMut mut(doc, schema_of(doc));
  const std::string c = *mut.insert_comment("Ann", "");
  ASSERT_TRUE(mut.add_comment_mark(c, id, 0, 5).has_value());
  const std::string r = *mut.add_comment_reply(c, "Bob", "", "ok");
  ASSERT_TRUE(mut.tombstone_comment(c).has_value());
  EXPECT_FALSE(mut.tombstone_comment(c).has_value());
  EXPECT_FALSE(mut.add_comment_reply(c, "Cy", "", "late").has_value());
  doc.commit();
  const Schema s = schema_of(doc);
  EXPECT_TRUE(view_of(doc).comments.empty());
  EXPECT_TRUE(view_of(doc).body()[0].marks.empty());
  EXPECT_EQ(comment_reply_ids(doc, s, c), std::vector<std::string>{});
  EXPECT_EQ(comment_range(doc, s, c), std::nullopt);
  (void)r;
}

// Accepting an insertion keeps its text; rejecting it deletes the text. Accepting a deletion
// deletes the text; rejecting it keeps it. The change leaves the view either way.
TEST(TrackedChanges, AcceptAndRejectFollowTheirKind) {
  struct Case {
    ChangeKind kind;
    bool accept;
    std::vector<std::string> want;
  };
  for (const Case& c : {Case{ChangeKind::Insertion, true, {"one two three", "four five"}},
                        Case{ChangeKind::Insertion, false, {"one three", "four"}},
                        Case{ChangeKind::Deletion, true, {"one three", "four"}},
                        Case{ChangeKind::Deletion, false, {"one two three", "four five"}}}) {
    Document doc = new_folio();
    const auto ids = add_paragraphs(doc, {"one two three", "four five"});
    DocMut mut(doc, schema_of(doc));
    // One change over "two " and " five": it spans two blocks.
    const std::string change = *mut.track_change(Region::Body, ids[0], 4, 8, c.kind, "Ann", "d");
    const crdt::ObjId text = *mut.text_obj(ids[1]);
    const std::string_view mark = c.kind == ChangeKind::Insertion ? "insertion" : "deletion";
    ASSERT_TRUE(doc.mark(text, 4, 9, mark, change, crdt::ExpandMark::None).has_value());
    doc.commit();
    const Schema s = schema_of(doc);
    ASSERT_EQ(view_of(doc).changes.size(), 1u);
    EXPECT_EQ(view_of(doc).changes[0].author, "Ann");
    EXPECT_EQ(change_ids(doc, s, ids[0]), std::vector<std::string>{change});
    EXPECT_EQ(change_range(doc, s, change),
              (std::vector<TextRange>{{Region::Body, ids[0], 4, 8}, {Region::Body, ids[1], 4, 9}}));

    DocMut resolve(doc, s);
    ASSERT_TRUE(c.accept ? resolve.accept_change(change).has_value() : resolve.reject_change(change).has_value());
    EXPECT_FALSE(resolve.accept_change(change).has_value());  // already resolved
    doc.commit();
    const DocumentView view = view_of(doc);
    EXPECT_EQ(test::texts(view.body()), c.want);
    EXPECT_TRUE(view.changes.empty());
    for (const Block& b : view.body()) EXPECT_TRUE(b.marks.empty());
    EXPECT_EQ(change_ids(doc, s, ids[0]), std::vector<std::string>{});
  }
}

TEST(Styles, AreCreatedUpdatedAndDeletedButBuiltinsStay) {
  Document doc = new_folio();
  DocMut mut(doc, schema_of(doc));
  ASSERT_TRUE(mut.set_style("fancy", {{"bold", true}, {"size", 13.0}}).has_value());
  ASSERT_TRUE(mut.set_style("fancy", {{"color", "#ff0000"}}).has_value());
  ASSERT_TRUE(mut.set_style("quote", {{"bold", true}}).has_value());
  doc.commit();
  EXPECT_EQ(view_of(doc).styles.at("fancy"), (Attrs{{"bold", true}, {"color", "#ff0000"}, {"size", 13.0}}));
  EXPECT_EQ(attr_bool(view_of(doc).styles.at("quote"), "bold"), true);

  DocMut del(doc, schema_of(doc));
  ASSERT_TRUE(del.tombstone_style("fancy").has_value());
  ASSERT_TRUE(del.tombstone_style("fancy").has_value());  // again: nothing to do
  EXPECT_FALSE(del.set_style("fancy", {{"bold", false}}).has_value());
  EXPECT_FALSE(del.tombstone_style("body").has_value());
  doc.commit();
  const Schema s = schema_of(doc);
  EXPECT_FALSE(view_of(doc).styles.contains("fancy"));
  EXPECT_TRUE(style_is_tombstoned(doc, s, "fancy"));
  EXPECT_FALSE(style_is_tombstoned(doc, s, "body"));
  EXPECT_FALSE(style_is_tombstoned(doc, s, "never"));
  EXPECT_EQ(style_ids(doc, s).size(), 7u);
}

TEST(Metadata, NotesAndBookmarksAppearInTheView) {
  Document doc = new_folio();
  const std::string id = add_paragraphs(doc, {"text"})[0];
  DocMut mut(doc, schema_of(doc));
  ASSERT_TRUE(mut.set_meta_str("page_margin_top", "72").has_value());
  const std::string n1 = *mut.insert_note("1", "First note");
  const std::string n2 = *mut.insert_note("2", "");
  const std::string n3 = *mut.insert_note("3", "gone");
  ASSERT_TRUE(mut.tombstone_note(n3).has_value());
  ASSERT_TRUE(mut.add_bookmark("intro", id).has_value());
  ASSERT_TRUE(mut.add_bookmark("later", id).has_value());
  ASSERT_TRUE(mut.tombstone_bookmark("later").has_value());
  doc.commit();
  const DocumentView view = view_of(doc);
  EXPECT_EQ(view.meta.at("page_margin_top"), "72");
  EXPECT_EQ(meta_str(doc, schema_of(doc), "page_margin_top"), "72");
  ASSERT_EQ(view.notes.size(), 2u);
  EXPECT_EQ(view.notes[0].id, n1);
  EXPECT_EQ(view.notes[0].marker, "1");
  EXPECT_EQ(view.notes[0].text(), "First note");
  EXPECT_EQ(view.notes[1].id, n2);
  EXPECT_EQ(view.notes[1].text(), "");
  ASSERT_EQ(view.bookmarks.size(), 1u);
  EXPECT_EQ(view.bookmarks[0].name, "intro");
  EXPECT_EQ(view.bookmarks[0].block, id);
}

TEST(Fragments, AreWrittenInOrderWithFreshTableIds) {
  Document doc = new_folio();
  const std::string first = add_paragraphs(doc, {"before"})[0];
  Fragment f;
  f.blocks.push_back(
      FragmentBlock{"heading", "Title", {FragmentMark{0, 5, "bold", true}}, {{"level", std::int64_t{1}}}});
  for (int t = 0; t < 2; ++t)
    for (int i = 0; i < 2; ++i)
      f.blocks.push_back(
          FragmentBlock{"cell", "c", {}, {{"table", "t0"}, {"row", std::int64_t{0}}, {"col", std::int64_t{i}}}});
  f.blocks[3].attrs["table"] = "t1";
  f.blocks[4].attrs["table"] = "t1";
  DocMut mut(doc, schema_of(doc));
  const auto ids = *mut.insert_fragment(Region::Body, first, f);
  doc.commit();
  ASSERT_EQ(ids.size(), 5u);
  const DocumentView view = view_of(doc);
  ASSERT_EQ(view.body().size(), 6u);
  EXPECT_EQ(view.body()[1].id, ids[0]);
  EXPECT_EQ(view.body()[1].marks, (std::vector<crdt::MarkSpan>{{"bold", true, 0, 5}}));
  const std::string t0 = *attr_str(view.body()[2].attrs, "table");
  const std::string t1 = *attr_str(view.body()[4].attrs, "table");
  EXPECT_EQ(*attr_str(view.body()[3].attrs, "table"), t0);
  EXPECT_EQ(*attr_str(view.body()[5].attrs, "table"), t1);
  EXPECT_NE(t0, t1);
  EXPECT_NE(t0, "t0");
}

class BlobDir : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("QUERN_BLOB_DIR", dir_.path().c_str(), 1); }
  void TearDown() override { ::unsetenv("QUERN_BLOB_DIR"); }
  quern::test::TempDir dir_;
};

TEST_F(BlobDir, PutBlobStoresAndEmbedsTheBytesOnce) {
  Document doc = new_folio();
  // A PNG header for a 3 x 2 picture.
  const crdt::Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13, 'I', 'H', 'D',
                           'R',  0,   0,   0,   3,    0,    0,    0,    2, 8, 6, 0,  0,   0};
  DocMut mut(doc, schema_of(doc));
  const std::string hash = *mut.put_blob(png);
  EXPECT_EQ(hash, to_hex(sha256(std::span<const std::uint8_t>(png))));
  doc.commit();
  DocMut again(doc, schema_of(doc));
  EXPECT_EQ(*again.put_blob(png), hash);
  EXPECT_EQ(doc.pending_ops(), 0u);

  const Schema s = schema_of(doc);
  EXPECT_EQ(blob_bytes(doc, s, hash), png);
  EXPECT_EQ(blob_hashes(doc, s), std::vector<std::string>{hash});
  EXPECT_EQ(blobstore::Store(dir_.path()).get(hash), png);
  const auto entry = doc.get(s.blobs, hash).value()->object()->id;
  EXPECT_EQ(*doc.get(entry, "media_type").value()->scalar()->as_str(), "image/png");
  EXPECT_EQ(*doc.get(entry, "width").value()->scalar()->as_int(), 3);

  // An entry whose bytes do not match its hash is not content.
  ASSERT_TRUE(doc.put(entry, "bytes", crdt::Bytes{1, 2, 3}).has_value());
  EXPECT_EQ(blob_bytes(doc, s, hash), std::nullopt);
}

TEST(IdGen, IdsAreShortIdentifierSafeAndDistinctAcrossWritersAndTransactions) {
  IdGen a = IdGen::create(crdt::ActorId("alice"), 1);
  IdGen b = IdGen::create(crdt::ActorId("bob"), 1);
  std::set<std::string> seen;
  for (int i = 0; i < 5000; ++i) {
    for (IdGen* g : {&a, &b}) {
      const std::string id = g->mint();
      EXPECT_TRUE(is_identifier_token(id)) << id;
      EXPECT_LE(id.size(), 20u) << id;
      EXPECT_TRUE(seen.insert(id).second) << id;
    }
  }
  EXPECT_EQ(IdGen::create(crdt::ActorId("alice"), 7).mint(), IdGen::create(crdt::ActorId("alice"), 7).mint());

  // One writer, a DocMut per transaction: each new generator starts past the last.
  Document doc = new_folio();
  std::set<std::string> ids;
  for (int t = 0; t < 20; ++t) {
    DocMut mut(doc, schema_of(doc));
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(ids.insert(*mut.insert_block(std::nullopt, "paragraph")).second);
    doc.commit();
  }
}

// A DocMut kept across transactions answers and inserts as a fresh one would, whatever
// happened to the document in between.
TEST(KeptDocMut, SeesCommitsMergesRollbacksAndActorChangesWhenRefreshed) {
  Document alice = new_folio("alice");
  const auto ids = add_paragraphs(alice, {"one", "two", "three"});
  Document bob = test::replica_of(alice, "bob");
  DocMut kept(alice, schema_of(alice));
  const std::string mine = *kept.insert_block(ids[0], "paragraph");
  ASSERT_TRUE(kept.splice_text(mine, 0, 0, "mine").has_value());
  ASSERT_TRUE(kept.add_mark(Region::Body, mine, 0, 2, "bold", true).has_value());
  alice.commit();

  // Its own commit: the caches stay and keep agreeing with the document.
  kept.refresh();
  const auto seen = kept.block(Region::Body, mine);
  ASSERT_TRUE(seen.has_value());
  EXPECT_EQ(*seen, view_of(alice).body()[1]);
  const auto info = kept.block_info(Region::Body, mine);
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->kind, "paragraph");
  EXPECT_EQ(info->length, 4u);
  EXPECT_EQ(info->obj, *block_obj(alice, kept.schema(), mine));
  EXPECT_LT(*kept.position(Region::Body, ids[0]), *kept.position(Region::Body, mine));

  // Bob adds a block first in the body and removes "two"; Alice merges.
  DocMut bobs(bob, schema_of(bob));
  const std::string first = *bobs.insert_block(std::nullopt, "heading");
  ASSERT_TRUE(bobs.tombstone_block_in(Region::Body, ids[1]).has_value());
  bob.commit();
  ASSERT_TRUE(alice.merge(bob).has_value());
  kept.refresh();
  EXPECT_TRUE(kept.block(Region::Body, first).has_value());
  EXPECT_FALSE(kept.block(Region::Body, ids[1]).has_value());
  EXPECT_FALSE(kept.block_info(Region::Body, ids[1]).has_value());
  const std::string after_three = *kept.insert_block(ids[2], "paragraph");
  EXPECT_EQ(blocks_in_order(alice, kept.schema()),
            (std::vector<std::string>{first, ids[0], mine, ids[2], after_three}));
  alice.commit();

  // A rolled-back insertion is gone from its answers.
  kept.refresh();
  const std::string dropped = *kept.insert_block(ids[0], "paragraph");
  kept.refresh();
  alice.rollback();
  kept.refresh();
  EXPECT_FALSE(kept.block(Region::Body, dropped).has_value());
  EXPECT_TRUE(kept.splice_text(dropped, 0, 0, "x").has_value() == false);

  // After the actor changes, new ids carry the new writer's tag.
  alice.set_actor(crdt::ActorId("carol"));
  kept.refresh();
  const std::string carols = *kept.insert_block(ids[2], "paragraph");
  EXPECT_EQ(carols.substr(0, carols.find('-')), IdGen::create(crdt::ActorId("carol"), 0).tag());
  alice.commit();
  EXPECT_EQ(blocks_in_order(alice, kept.schema()),
            (std::vector<std::string>{first, ids[0], mine, ids[2], carols, after_three}));
}

// Even without a refresh, the caches never put a block in the wrong place or answer "no such
// block" for one that exists: a stale order is read again.
TEST(KeptDocMut, ReadsTheRegionAgainRatherThanAnswerFromAStaleCache) {
  Document alice = new_folio("alice");
  const auto ids = add_paragraphs(alice, {"one", "two"});
  DocMut kept(alice, schema_of(alice));
  ASSERT_TRUE(kept.block(Region::Body, ids[1]).has_value());  // builds the caches
  alice.commit();
  // Another writer of the same actor slips two blocks in, against the rules.
  std::string sneaked;
  {
    DocMut other(alice, schema_of(alice));
    sneaked = *other.insert_block(std::nullopt, "paragraph");
    ASSERT_TRUE(other.tombstone_block_in(Region::Body, ids[0]).has_value());
  }
  alice.commit();
  EXPECT_TRUE(kept.block(Region::Body, sneaked).has_value());
  EXPECT_FALSE(kept.block(Region::Body, ids[0]).has_value());
  const std::string next = *kept.insert_block(ids[1], "paragraph");
  EXPECT_EQ(blocks_in_order(alice, kept.schema()), (std::vector<std::string>{sneaked, ids[1], next}));
}

TEST(IdentifierTokens, AreOneTo128SafeBytes) {
  EXPECT_TRUE(is_identifier_token("a-b_C9"));
  EXPECT_TRUE(is_identifier_token(std::string(128, 'x')));
  EXPECT_FALSE(is_identifier_token(std::string(129, 'x')));
  EXPECT_FALSE(is_identifier_token(""));
  EXPECT_FALSE(is_identifier_token("a b"));
  EXPECT_FALSE(is_identifier_token("é"));
}

}  // namespace
}  // namespace quern::folio::model

// Concurrent edits by different people on two and three replicas of one document: after they
// exchange their changes every replica shows the same document, and it is the one a person
// would expect.
#include <gtest/gtest.h>

#include <set>

#include "runtime/folio/doc_mut.h"
#include "runtime/folio/lookup.h"
#include "tests/runtime/folio/replicas.h"

namespace quern::folio::model {
namespace {

using crdt::Document;
using test::add_paragraphs;
using test::body_texts;
using test::new_folio;
using test::replica_of;
using test::schema_of;
using test::sync;
using test::view_of;

// Runs `edit` on a DocMut of `doc` and commits.
template <typename F>
void edit(Document& doc, F&& f) {
  DocMut mut(doc, schema_of(doc));
  f(mut);
  doc.commit();
}

std::vector<std::string> comment_ids(const Document& doc) {
  std::vector<std::string> out;
  for (const Comment& c : view_of(doc).comments) out.push_back(c.id);
  return out;
}

void expect_same(const std::vector<Document*>& replicas) {
  const DocumentView first = view_of(*replicas[0]);
  for (std::size_t i = 1; i < replicas.size(); ++i) {
    const DocumentView other = view_of(*replicas[i]);
    EXPECT_EQ(other.body(), first.body()) << "replica " << i;
    EXPECT_EQ(comment_ids(*replicas[i]), comment_ids(*replicas[0])) << "replica " << i;
    EXPECT_EQ(other.styles, first.styles) << "replica " << i;
  }
}

TEST(Concurrency, TwoPeopleEditingDifferentBlocksKeepBothEdits) {
  Document alice = new_folio("alice");
  const auto ids = add_paragraphs(alice, {"first", "second"});
  Document bob = replica_of(alice, "bob");
  edit(alice, [&](DocMut& m) { ASSERT_TRUE(m.splice_text(ids[0], 5, 0, " line").has_value()); });
  edit(bob, [&](DocMut& m) {
    ASSERT_TRUE(m.splice_text(ids[1], 0, 0, "the ").has_value());
    ASSERT_TRUE(m.set_kind(ids[1], "heading").has_value());
  });
  // Both also type into the same block at different places.
  edit(alice, [&](DocMut& m) { ASSERT_TRUE(m.splice_text(ids[0], 0, 0, "[").has_value()); });
  edit(bob, [&](DocMut& m) { ASSERT_TRUE(m.splice_text(ids[0], 1, 1, "I").has_value()); });
  sync({&alice, &bob});
  EXPECT_EQ(body_texts(alice), (std::vector<std::string>{"[fIrst line", "the second"}));
  EXPECT_EQ(view_of(alice).body()[1].kind, "heading");
  expect_same({&alice, &bob});
}

// A removal wins over concurrent edits of the removed block; everything else either of them did
// stays, including a block the editor added right after the removed one.
TEST(Concurrency, EditingABlockSomeoneRemovesLeavesItRemoved) {
  Document alice = new_folio("alice");
  const auto ids = add_paragraphs(alice, {"keep", "doomed", "also keep"});
  Document bob = replica_of(alice, "bob");
  edit(alice, [&](DocMut& m) {
    ASSERT_TRUE(m.tombstone_block_in(Region::Body, ids[1]).has_value());
    ASSERT_TRUE(m.splice_text(ids[0], 4, 0, "!").has_value());
  });
  std::string added;
  edit(bob, [&](DocMut& m) {
    ASSERT_TRUE(m.splice_text(ids[1], 0, 6, "rewritten").has_value());
    ASSERT_TRUE(m.set_attr(Region::Body, ids[1], "align", std::string("center")).has_value());
    ASSERT_TRUE(m.set_kind(ids[1], "heading").has_value());
    added = *m.insert_block(ids[1], "paragraph");
    ASSERT_TRUE(m.splice_text(added, 0, 0, "new after doomed").has_value());
    ASSERT_TRUE(m.splice_text(ids[2], 0, 0, "and ").has_value());
  });
  sync({&alice, &bob});
  EXPECT_EQ(body_texts(alice), (std::vector<std::string>{"keep!", "new after doomed", "and also keep"}));
  EXPECT_EQ(block_text(alice, schema_of(alice), ids[1]), std::nullopt);
  expect_same({&alice, &bob});
  // Neither can write to the removed block any more.
  edit(bob, [&](DocMut& m) { EXPECT_FALSE(m.splice_text(ids[1], 0, 0, "x").has_value()); });
}

// Blocks inserted at the same place by different people all appear, each person's blocks stay
// together in the order they typed them, and every replica agrees on the order.
TEST(Concurrency, PeopleInsertingBlocksAtTheSamePlaceKeepTheirRunsWhole) {
  Document alice = new_folio("alice");
  const auto ids = add_paragraphs(alice, {"top", "bottom"});
  Document bob = replica_of(alice, "bob");
  Document carol = replica_of(alice, "carol");
  const auto insert_run = [&](Document& doc, const std::string& who) {
    edit(doc, [&](DocMut& m) {
      std::string prev = ids[0];
      for (int i = 1; i <= 3; ++i) {
        prev = *m.insert_block(prev, "paragraph");
        ASSERT_TRUE(m.splice_text(prev, 0, 0, who + std::to_string(i)).has_value());
      }
    });
  };
  insert_run(alice, "a");
  insert_run(bob, "b");
  insert_run(carol, "c");
  // Changes travel in different orders: bob <-> carol first, then alice with each.
  sync({&bob, &carol});
  sync({&alice, &carol});
  sync({&alice, &bob});
  const std::vector<std::string> got = body_texts(alice);
  ASSERT_EQ(got.size(), 11u);
  EXPECT_EQ(got.front(), "top");
  EXPECT_EQ(got.back(), "bottom");
  for (std::size_t i = 1; i < 10; i += 3) {
    const char who = got[i][0];
    EXPECT_EQ(got[i], std::string(1, who) + "1");
    EXPECT_EQ(got[i + 1], std::string(1, who) + "2");
    EXPECT_EQ(got[i + 2], std::string(1, who) + "3");
  }
  std::set<char> people{got[1][0], got[4][0], got[7][0]};
  EXPECT_EQ(people, (std::set<char>{'a', 'b', 'c'}));
  expect_same({&alice, &bob, &carol});
}

TEST(Concurrency, ThreeReplicasMixingEditsConvergeToOneDocument) {
  Document alice = new_folio("alice");
  const auto ids = add_paragraphs(alice, {"one", "two", "three", "four"});
  Document bob = replica_of(alice, "bob");
  Document carol = replica_of(alice, "carol");
  edit(alice, [&](DocMut& m) {
    ASSERT_TRUE(m.tombstone_block_in(Region::Body, ids[3]).has_value());
    ASSERT_TRUE(m.set_attr(Region::Body, ids[0], "align", std::string("right")).has_value());
  });
  edit(bob, [&](DocMut& m) {
    ASSERT_TRUE(m.set_attr(Region::Body, ids[0], "indent", 3.0).has_value());
    ASSERT_TRUE(m.splice_text(ids[2], 5, 0, " and a half").has_value());
    ASSERT_TRUE(m.set_style("mine", {{"bold", true}}).has_value());
  });
  edit(carol, [&](DocMut& m) {
    ASSERT_TRUE(m.tombstone_block_in(Region::Body, ids[1]).has_value());
    const std::string c = *m.insert_comment("carol", "");
    ASSERT_TRUE(m.add_comment_mark(c, ids[2], 0, 5).has_value());
  });
  sync({&alice, &bob, &carol});
  EXPECT_EQ(body_texts(carol), (std::vector<std::string>{"one", "three and a half"}));
  const DocumentView view = view_of(carol);
  const Attrs& attrs = view.body()[0].attrs;
  EXPECT_EQ(*attr_str(attrs, "align"), "right");
  EXPECT_EQ(attr_float(attrs, "indent"), 3.0);
  ASSERT_EQ(view_of(carol).comments.size(), 1u);
  EXPECT_EQ(view_of(carol).comments[0].anchor->end, 5u);
  EXPECT_TRUE(view_of(alice).styles.contains("mine"));
  expect_same({&alice, &bob, &carol});
}

TEST(Concurrency, ConcurrentKindChangesPickTheSameWinnerEverywhere) {
  Document alice = new_folio("alice");
  const auto ids = add_paragraphs(alice, {"title"});
  Document bob = replica_of(alice, "bob");
  edit(alice, [&](DocMut& m) { ASSERT_TRUE(m.set_kind(ids[0], "heading").has_value()); });
  edit(bob, [&](DocMut& m) { ASSERT_TRUE(m.set_kind(ids[0], "quote").has_value()); });
  sync({&alice, &bob});
  const std::string kind = view_of(alice).body()[0].kind;
  EXPECT_TRUE(kind == "heading" || kind == "quote") << kind;
  expect_same({&alice, &bob});
}

TEST(Concurrency, CommentsAndRepliesFromDifferentPeopleAreAllKept) {
  Document alice = new_folio("alice");
  const auto ids = add_paragraphs(alice, {"a sentence to discuss"});
  std::string c;
  edit(alice, [&](DocMut& m) {
    c = *m.insert_comment("alice", "");
    ASSERT_TRUE(m.add_comment_mark(c, ids[0], 2, 10).has_value());
  });
  Document bob = replica_of(alice, "bob");
  Document carol = replica_of(alice, "carol");
  std::string bob_comment;
  edit(bob, [&](DocMut& m) {
    ASSERT_TRUE(m.add_comment_reply(c, "bob", "", "from bob").has_value());
    bob_comment = *m.insert_comment("bob", "");
    ASSERT_TRUE(m.add_comment_mark(bob_comment, ids[0], 11, 21).has_value());
  });
  edit(carol, [&](DocMut& m) { ASSERT_TRUE(m.add_comment_reply(c, "carol", "", "from carol").has_value()); });
  sync({&alice, &bob, &carol});
  const DocumentView view = view_of(alice);
  ASSERT_EQ(view.comments.size(), 2u);
  ASSERT_EQ(view.comments[0].replies.size(), 2u);
  std::set<std::string> authors{view.comments[0].replies[0].author, view.comments[0].replies[1].author};
  EXPECT_EQ(authors, (std::set<std::string>{"bob", "carol"}));
  EXPECT_EQ(view.comments[0].anchor, (TextRange{Region::Body, ids[0], 2, 10}));
  EXPECT_EQ(view.comments[1].anchor, (TextRange{Region::Body, ids[0], 11, 21}));
  expect_same({&alice, &bob, &carol});
}

TEST(Concurrency, ResolvingACommentWinsOverAConcurrentReply) {
  Document alice = new_folio("alice");
  const auto ids = add_paragraphs(alice, {"text"});
  std::string c;
  edit(alice, [&](DocMut& m) {
    c = *m.insert_comment("alice", "");
    ASSERT_TRUE(m.add_comment_mark(c, ids[0], 0, 4).has_value());
  });
  Document bob = replica_of(alice, "bob");
  edit(alice, [&](DocMut& m) { ASSERT_TRUE(m.tombstone_comment(c).has_value()); });
  edit(bob, [&](DocMut& m) { ASSERT_TRUE(m.add_comment_reply(c, "bob", "", "wait").has_value()); });
  sync({&alice, &bob});
  EXPECT_TRUE(view_of(alice).comments.empty());
  EXPECT_TRUE(view_of(alice).body()[0].marks.empty());
  expect_same({&alice, &bob});
}

TEST(Concurrency, DeletingAStyleWinsOverAConcurrentChangeOfIt) {
  Document alice = new_folio("alice");
  edit(alice, [&](DocMut& m) { ASSERT_TRUE(m.set_style("fancy", {{"bold", true}}).has_value()); });
  Document bob = replica_of(alice, "bob");
  edit(alice, [&](DocMut& m) { ASSERT_TRUE(m.tombstone_style("fancy").has_value()); });
  edit(bob, [&](DocMut& m) { ASSERT_TRUE(m.set_style("fancy", {{"italic", true}}).has_value()); });
  sync({&alice, &bob});
  EXPECT_FALSE(view_of(bob).styles.contains("fancy"));
  EXPECT_TRUE(style_is_tombstoned(bob, schema_of(bob), "fancy"));
}

TEST(Concurrency, BlockIdsMintedConcurrentlyNeverCollide) {
  Document alice = new_folio("alice");
  Document bob = replica_of(alice, "bob");
  Document carol = replica_of(alice, "carol");
  for (Document* doc : {&alice, &bob, &carol})
    for (int t = 0; t < 5; ++t)
      edit(*doc, [&](DocMut& m) {
        for (int i = 0; i < 40; ++i) ASSERT_TRUE(m.insert_block(std::nullopt, "paragraph").has_value());
      });
  sync({&alice, &bob, &carol});
  const auto ids = blocks_in_order(alice, schema_of(alice));
  EXPECT_EQ(ids.size(), 600u);
  EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), 600u);
}

}  // namespace
}  // namespace quern::folio::model

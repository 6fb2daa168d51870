// Test aid: a small word-processor document with one of everything the operations act on, and
// helpers to apply operations to fresh copies of it and read the result back.
//
// Body, in order:
//   title    heading "Title" (level 1)
//   accents  paragraph "café 🎉 text" (11 characters, 15 bytes)
//   styled   paragraph "Second paragraph", "style" = "custom", a comment on "Second"
//   item     list_item "Item" ("level" 0)
//   image    image (a 3 x 2 PNG)
//   cells    a 2 x 3 table "tbl" in row-major order, texts "r0c0" ... "r1c2"
//   last     paragraph "Last words", "Last" a tracked insertion
// Header: header "Header text"; footer: footer "Footer text". Styles: the built-ins and
// "custom".
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "apps/word-processor/src/apply.h"
#include "apps/word-processor/src/view.h"
#include "runtime/folio/codecs/markdown.h"
#include "runtime/folio/doc_mut.h"
#include "runtime/folio/lookup.h"
#include "runtime/folio/schema.h"
#include "tests/support/temp_dir.h"

namespace quern::word_processor::test {

// Points the blob store at a temporary directory for the whole test program.
class BlobStoreEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ::setenv("QUERN_BLOB_DIR", dir_.path().c_str(), 1); }
  void TearDown() override { ::unsetenv("QUERN_BLOB_DIR"); }

 private:
  quern::test::TempDir dir_;
};

// Registered once for every test program that includes this header.
inline ::testing::Environment* const kBlobStoreEnvironment =
    ::testing::AddGlobalTestEnvironment(new BlobStoreEnvironment);

// A PNG header for a 3 x 2 picture.
inline std::vector<std::uint8_t> png_3x2() {
  return {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13, 'I', 'H', 'D',
          'R',  0,   0,   0,   3,    0,    0,    0,    2, 8, 6, 0,  0,   0};
}

struct WriterDoc {
  std::string title, accents, styled, item, image, last, header, footer;
  std::string table = "tbl";
  std::vector<std::string> cells;  // row-major
  std::string comment, change;
  crdt::Bytes bytes;  // the saved document

  static WriterDoc make() {
    WriterDoc w;
    crdt::Document doc = *folio::model::new_document(crdt::ActorId("author"));
    const folio::model::Schema schema = *folio::model::open(doc);
    folio::model::DocMut mut(doc, schema);
    std::optional<std::string> prev;
    const auto add = [&](std::string_view kind, std::string_view text) {
      std::string id = *mut.insert_block(prev, kind);
      EXPECT_TRUE(mut.splice_text(id, 0, 0, text).has_value());
      prev = id;
      return id;
    };
    const auto attr = [&](const std::string& id, std::string_view key, folio::model::AttrValue v) {
      EXPECT_TRUE(mut.set_attr(Region::Body, id, key, v).has_value());
    };
    w.title = add("heading", "Title");
    attr(w.title, "level", std::int64_t{1});
    w.accents = add("paragraph", "café 🎉 text");
    w.styled = add("paragraph", "Second paragraph");
    attr(w.styled, "style", std::string("custom"));
    w.item = add("list_item", "Item");
    attr(w.item, "level", std::int64_t{0});
    w.image = add("image", "");
    attr(w.image, "blob", *mut.put_blob(png_3x2()));
    for (std::int64_t r = 0; r < 2; ++r)
      for (std::int64_t c = 0; c < 3; ++c) {
        const std::string cell = add("cell", "r" + std::to_string(r) + "c" + std::to_string(c));
        attr(cell, "table", w.table);
        attr(cell, "row", r);
        attr(cell, "col", c);
        w.cells.push_back(cell);
      }
    w.last = add("paragraph", "Last words");
    w.header = *mut.insert_block_in(Region::Header, std::nullopt, "header");
    EXPECT_TRUE(mut.splice_text_in(Region::Header, w.header, 0, 0, "Header text").has_value());
    w.footer = *mut.insert_block_in(Region::Footer, std::nullopt, "footer");
    EXPECT_TRUE(mut.splice_text_in(Region::Footer, w.footer, 0, 0, "Footer text").has_value());
    EXPECT_TRUE(mut.set_style("custom", {{"name", std::string("Custom")}, {"bold", false}}).has_value());
    w.comment = *mut.insert_comment("Ada", "2026-01-02");
    const std::string body = *mut.insert_comment_block(w.comment);
    EXPECT_TRUE(mut.splice_comment_text(w.comment, body, 0, 0, "Check this").has_value());
    EXPECT_TRUE(mut.add_comment_mark(w.comment, w.styled, 0, 6).has_value());
    w.change = *mut.track_change(Region::Body, w.last, 0, 4, folio::model::ChangeKind::Insertion, "Bob", "");
    doc.commit();
    w.bytes = doc.save();
    return w;
  }

  // A replica of the document under the agent's actor, everything committed.
  crdt::Document fresh(std::string_view actor = "agent") const {
    auto doc = crdt::Document::load(bytes);
    EXPECT_TRUE(doc.has_value());
    doc->set_actor(crdt::ActorId(actor));
    return std::move(*doc);
  }
};

inline DocumentView view_of(const crdt::Document& doc) {
  auto v = load_view(doc);
  EXPECT_TRUE(v.has_value()) << (v ? "" : v.error().to_string());
  return v ? std::move(*v) : DocumentView{};
}

inline std::string markdown_of(const crdt::Document& doc) {
  return folio::codecs::markdown::MarkdownCodec().export_document(view_of(doc));
}

inline std::vector<std::string> texts(const std::vector<Block>& blocks) {
  std::vector<std::string> out;
  for (const Block& b : blocks) out.push_back(b.text);
  return out;
}

inline std::vector<std::string> body_texts(const crdt::Document& doc) { return texts(view_of(doc).body()); }

inline const Block& body_block(const DocumentView& view, std::string_view id) {
  static const Block none;
  auto ref = find_block(view, Region::Body, id);
  EXPECT_TRUE(ref.has_value()) << "no block " << id;
  return ref ? *ref->block : none;
}

// Applies and commits; fails the test when the operation is rejected.
inline void apply_ok(crdt::Document& doc, const WordProcessorAction& action) {
  auto r = apply_word_processor_action(action, doc);
  ASSERT_TRUE(r.has_value()) << variant_name(action) << ": " << r.error().to_string();
  doc.commit();
}

// One entry of a table of accepted and rejected inputs.
struct RuleCase {
  std::string what;
  WordProcessorAction action;
  bool accepted;
};

// Applies every case to a fresh copy of the document. An accepted case must succeed; a
// rejected one must fail with exactly the stale-or-unsafe message and leave the document as
// it was.
inline void expect_rules(const WriterDoc& w, const std::vector<RuleCase>& cases) {
  for (const RuleCase& c : cases) {
    crdt::Document doc = w.fresh();
    const auto heads = doc.heads();
    auto r = apply_word_processor_action(c.action, doc);
    if (c.accepted) {
      EXPECT_TRUE(r.has_value()) << c.what << ": " << (r ? "" : r.error().to_string());
      continue;
    }
    EXPECT_FALSE(r.has_value()) << c.what << ": was accepted";
    if (!r) {
      EXPECT_EQ(r.error().message(), kStaleOrUnsafe) << c.what;
      EXPECT_EQ(r.error().chain().size(), 1u) << c.what;
      EXPECT_TRUE(is_rejection(r.error())) << c.what;
    }
    EXPECT_EQ(doc.pending_ops(), 0u) << c.what << ": a rejection wrote something";
    EXPECT_EQ(doc.heads(), heads) << c.what;
  }
}

}  // namespace quern::word_processor::test

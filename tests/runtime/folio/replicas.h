// Test aid: folio documents on several replicas, each under its own actor, that exchange
// their changes as peers do (incremental saves loaded into each other).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/crdt/document.h"
#include "runtime/folio/doc_mut.h"
#include "runtime/folio/lookup.h"
#include "runtime/folio/materialize.h"
#include "runtime/folio/schema.h"

namespace quern::folio::test {

inline crdt::Document new_folio(std::string_view actor = "alice") {
  auto doc = model::new_document(crdt::ActorId(actor));
  EXPECT_TRUE(doc.has_value());
  return std::move(*doc);
}

inline model::Schema schema_of(const crdt::Document& doc) {
  auto s = model::open(doc);
  EXPECT_TRUE(s.has_value()) << (s ? "" : s.error().to_string());
  return *s;
}

// A replica of `doc` (its whole history) under `actor`.
inline crdt::Document replica_of(crdt::Document& doc, std::string_view actor) {
  auto copy = crdt::Document::load(doc.save());
  EXPECT_TRUE(copy.has_value());
  copy->set_actor(crdt::ActorId(actor));
  return std::move(*copy);
}

// Every replica receives every other replica's changes, until all hold everything.
inline void sync(std::vector<crdt::Document*> replicas) {
  for (crdt::Document* from : replicas) {
    const crdt::Bytes bytes = from->save();
    for (crdt::Document* to : replicas)
      if (to != from) {
        ASSERT_TRUE(to->load_incremental(bytes).has_value());
      }
  }
}

inline model::DocumentView view_of(const crdt::Document& doc) {
  auto v = model::materialize(doc, schema_of(doc));
  EXPECT_TRUE(v.has_value()) << (v ? "" : v.error().to_string());
  return v ? *v : model::DocumentView{};
}

inline std::vector<std::string> texts(const std::vector<model::Block>& blocks) {
  std::vector<std::string> out;
  for (const model::Block& b : blocks) out.push_back(b.text);
  return out;
}

inline std::vector<std::string> body_texts(const crdt::Document& doc) { return texts(view_of(doc).body()); }

// Appends paragraphs with these texts to the body; returns their ids.
inline std::vector<std::string> add_paragraphs(crdt::Document& doc, const std::vector<std::string>& lines) {
  model::DocMut mut(doc, schema_of(doc));
  std::vector<std::string> ids;
  auto order = model::blocks_in_order(doc, mut.schema());
  std::optional<std::string> after = order.empty() ? std::nullopt : std::optional<std::string>(order.back());
  for (const std::string& line : lines) {
    auto id = mut.insert_block(after, "paragraph");
    EXPECT_TRUE(id.has_value());
    EXPECT_TRUE(mut.splice_text(*id, 0, 0, line).has_value());
    ids.push_back(*id);
    after = *id;
  }
  doc.commit();
  return ids;
}

}  // namespace quern::folio::test

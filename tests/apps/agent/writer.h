// Test aid: a person's replica of a folio document, edited through the document library and
// sent as a peer would send it: whole saves, and change sets (the changes since the last
// `changes()`). Other apps' documents (chat, photos) are plain engine documents built here too.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "runtime/collab/collab_event.h"
#include "runtime/collab/messages.h"
#include "runtime/crdt/document.h"
#include "runtime/folio/doc_mut.h"
#include "runtime/folio/history.h"
#include "runtime/folio/lookup.h"
#include "runtime/folio/materialize.h"
#include "runtime/folio/schema.h"
#include "runtime/util/unicode.h"

namespace quern::agent::test {

class Writer {
 public:
  // A new folio document under `actor`.
  explicit Writer(std::string_view actor = "ann") {
    auto doc = folio::model::new_document(crdt::ActorId(actor));
    EXPECT_TRUE(doc.has_value());
    doc_ = std::move(*doc);
    (void)doc_.save_incremental();
  }
  // Another replica of the same document, under `actor`.
  Writer replica(std::string_view actor) {
    auto copy = crdt::Document::load(doc_.save());
    EXPECT_TRUE(copy.has_value());
    copy->set_actor(crdt::ActorId(actor));
    return Writer(std::move(*copy));
  }

  crdt::Document& doc() { return doc_; }

  // Appends a block at the end of the body and commits; returns its id.
  std::string append(std::string_view text, std::string_view kind = "paragraph") {
    auto schema = folio::model::open(doc_);
    EXPECT_TRUE(schema.has_value());
    const auto ids = folio::model::blocks_in_order(doc_, *schema);
    return insert_after(ids.empty() ? std::nullopt : std::optional<std::string>(ids.back()), text, kind);
  }
  // Inserts a block after `after` (first in the body when nothing) and commits; returns its id.
  std::string insert_after(std::optional<std::string> after, std::string_view text,
                           std::string_view kind = "paragraph") {
    auto schema = folio::model::open(doc_);
    EXPECT_TRUE(schema.has_value());
    std::string id;
    {
      folio::model::DocMut mut(doc_, *schema);
      auto made = mut.insert_block(after ? std::optional<std::string_view>(*after) : std::nullopt, kind);
      EXPECT_TRUE(made.has_value());
      id = *made;
      EXPECT_TRUE(mut.splice_text(id, 0, 0, text).has_value());
    }
    folio::history::commit_stamped(doc_);
    return id;
  }
  // Replaces a body block's whole text and commits.
  void edit(std::string_view id, std::string_view text) {
    auto schema = folio::model::open(doc_);
    EXPECT_TRUE(schema.has_value());
    const std::string old = folio::model::block_text(doc_, *schema, id).value_or("");
    {
      folio::model::DocMut mut(doc_, *schema);
      EXPECT_TRUE(mut.splice_text(id, 0, unicode::char_count(old), text).has_value());
    }
    folio::history::commit_stamped(doc_);
  }

  crdt::Bytes changes() { return doc_.save_incremental(); }
  crdt::Bytes save() { return doc_.save(); }

  collab::DocumentBytes state_message() { return whole(save()); }
  collab::DocumentBytes changes_message() { return incremental(changes()); }

  static collab::DocumentBytes whole(crdt::Bytes bytes) {
    return collab::DocumentBytes{collab::DocumentPayload::Whole, collab::Blob::take(std::move(bytes))};
  }
  static collab::DocumentBytes incremental(crdt::Bytes bytes) {
    return collab::DocumentBytes{collab::DocumentPayload::Incremental, collab::Blob::take(std::move(bytes))};
  }

 private:
  explicit Writer(crdt::Document doc) : doc_(std::move(doc)) { (void)doc_.save_incremental(); }
  crdt::Document doc_;
};

// A chat document as the chat app seeds it (root "seeded" true), optionally also carrying the
// folio schema.
inline crdt::Document chat_document(bool with_folio = false, std::string_view actor = "chat-app") {
  crdt::Document doc{crdt::ActorId(actor)};
  if (with_folio) {
    EXPECT_TRUE(folio::model::create_schema(doc, 1).has_value());
  }
  EXPECT_TRUE(doc.put(crdt::ObjId::root(), "seeded", true).has_value());
  doc.commit();
  return doc;
}

// A photos document: a "photos_edits" map at the root.
inline crdt::Document photos_document() {
  crdt::Document doc(crdt::ActorId(std::string_view("photos-app")));
  EXPECT_TRUE(doc.put_object(crdt::ObjId::root(), "photos_edits", crdt::ObjType::Map).has_value());
  doc.commit();
  return doc;
}

// A message from a participant on `route`.
inline collab::CollabEvent from_peer(collab::Message body, collab::Route route = {}) {
  return collab::CollabEvent{collab::Sender{7, "peer", collab::ParticipantKind::App, std::move(route)}, std::nullopt,
                             std::move(body)};
}

inline std::vector<std::string> body_texts(const crdt::Document& doc) {
  std::vector<std::string> out;
  auto schema = folio::model::open(doc);
  if (!schema) return out;
  auto view = folio::model::materialize(doc, *schema);
  if (!view) return out;
  for (const auto& b : view->body()) out.push_back(b.text);
  return out;
}

}  // namespace quern::agent::test

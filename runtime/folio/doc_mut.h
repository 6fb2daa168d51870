// DocMut: the writing calls of the folio schema (layout in schema.h). Every call writes into
// the document's open transaction (the engine opens one on the first write) and never
// commits; the caller commits, usually with history::commit_stamped.
//
// Checks first, then writes: a call whose ids or offsets do not hold returns an error and has
// written nothing. An id that names nothing, or something tombstoned, is an error; offsets
// count characters and an offset beyond a text is an error, never clamped. (Only an engine
// failure after the checks, which a consistent document does not produce, could leave part of
// a call's writes in the transaction.)
//
// A DocMut lives for one transaction on the thread that owns the document. It caches the
// order of each region's block list, so while it is alive blocks must be added and removed
// only through it (attributes and marks may also be written through the engine directly). Do
// not merge or load changes into the document while a DocMut on it is in use. It owns the id
// generator the new blocks get their ids from (seeded from the document, see id_gen.h).
//
// A DocMut may also be kept across transactions, which saves rebuilding its caches (a scan of
// the region) for every edit: call `refresh()` before using it again whenever the document
// may have changed since its last call (a commit, a save, a merge or load, a rollback).
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "runtime/crdt/document.h"
#include "runtime/folio/document_view.h"
#include "runtime/folio/fragment.h"
#include "runtime/folio/id_gen.h"
#include "runtime/folio/schema.h"
#include "runtime/util/error.h"

namespace quern::folio::model {

// The largest blob `put_blob` embeds: 64 MiB.
inline constexpr std::size_t kMaxBlobBytes = 64u * 1024 * 1024;

// How a mark grows when text is typed at its edges, unless the caller says otherwise: boolean
// marks (formatting) grow at their end; marks with a string or integer value (links, comment
// anchors, tracked changes, fields) do not grow.
crdt::ExpandMark default_expand(const crdt::ScalarValue& value);

class DocMut {
 public:
  DocMut(crdt::Document& document, const Schema& schema);
  DocMut(crdt::Document& document, const Schema& schema, IdGen ids);

  crdt::Document& document() { return doc_; }
  const Schema& schema() const { return schema_; }
  IdGen& ids() { return ids_; }

  // Keeps the block caches when everything the document gained since the previous refresh
  // (or since this DocMut was made) is changes of the document's own actor, committed or
  // still open, and drops them otherwise: after another writer's changes were merged or
  // loaded, or after a rollback. Re-seeds the id generator when the document's actor changed.
  void refresh();

  // ---- Reading through the block caches: the same answers as lookup.h and materialize,
  // without scanning the region on every call.
  // The live block with this id as a view shows it (text, attributes, marks). Before saying
  // there is none, a cache built in an earlier call is read again from the document.
  std::optional<Block> block(Region region, std::string_view block);
  // What checks of an edit usually need of a live block, cheaper to read than all of it: its
  // map object, kind and length in characters. Read again like `block` before saying none.
  struct BlockInfo {
    crdt::ObjId obj;
    std::string kind;
    std::size_t length = 0;
  };
  std::optional<BlockInfo> block_info(Region region, std::string_view block);
  // The block's position in the region's list: of two blocks, the one with the smaller
  // position comes first.
  std::optional<std::size_t> position(Region region, std::string_view block);

  // ---- Text of blocks. `splice_text` acts on the body; the `_in` forms on any region.
  // Deletes `del` characters at `at` and inserts `ins` there; needs at + del <= length.
  Result<void> splice_text(std::string_view block, std::size_t at, std::size_t del, std::string_view ins);
  Result<void> splice_text_in(Region region, std::string_view block, std::size_t at, std::size_t del,
                              std::string_view ins);
  // The text object of a block (created when a block written by someone else lacks one).
  Result<crdt::ObjId> text_obj(std::string_view block);
  Result<crdt::ObjId> region_text_obj(Region region, std::string_view block);
  // Inserts a page-number field: the character U+FFFC at `at`, marked "field" = "page-number".
  Result<void> insert_page_number_field(Region region, std::string_view block, std::size_t at);

  // ---- Blocks. New blocks are empty, of `kind` (an identifier token), with an empty "attrs"
  // map; they go right after `after`, or first in the region when `after` is nothing. Returns
  // the new block's id.
  Result<std::string> insert_block(std::optional<std::string_view> after, std::string_view kind);
  Result<std::string> insert_block_in(Region region, std::optional<std::string_view> after, std::string_view kind);
  Result<void> tombstone_block_in(Region region, std::string_view block);
  Result<void> set_kind(std::string_view block, std::string_view kind);
  Result<void> set_kind(Region region, std::string_view block, std::string_view kind);
  // Block attributes: `key` is 1 to 128 bytes; a float attribute must be finite.
  Result<void> set_attr(Region region, std::string_view block, std::string_view key, const AttrValue& value);
  Result<void> remove_attr(Region region, std::string_view block, std::string_view key);
  // Writes the fragment's blocks in order, the first right after `after` (first in the region
  // when nothing). Each table of the fragment gets a fresh table id. Returns the new block ids.
  Result<std::vector<std::string>> insert_fragment(Region region, std::optional<std::string_view> after,
                                                   const Fragment& fragment);

  // ---- Marks over [start, end) of a block's text; start < end <= length. A mark value is a
  // boolean, an integer or a string.
  Result<void> add_mark(Region region, std::string_view block, std::size_t start, std::size_t end,
                        std::string_view name, const crdt::ScalarValue& value,
                        std::optional<crdt::ExpandMark> expand = std::nullopt);
  // Removes the mark `name` over the range (comment anchors too, when `name` is "comment").
  Result<void> remove_mark(Region region, std::string_view block, std::size_t start, std::size_t end,
                           std::string_view name);

  // ---- Styles and metadata.
  // Sets the given properties of a style (an identifier token), creating the style when it
  // does not exist. A deleted style is not brought back: that is an error.
  Result<void> set_style(std::string_view style, const Attrs& props);
  // Deletes a style (tombstone). Built-in styles cannot be deleted; deleting a deleted style
  // does nothing.
  Result<void> tombstone_style(std::string_view style);
  Result<void> set_meta_str(std::string_view key, std::string_view value);

  // ---- Tracked changes. `track_change` records a change (author and date as given) over
  // [start, end) of a block and returns its id. Accepting an insertion keeps its text and drops
  // its mark, rejecting it deletes the text; accepting a deletion deletes the marked text,
  // rejecting it drops the mark. Either way the change is tombstoned. Unknown or already
  // resolved ids are errors.
  Result<std::string> track_change(Region region, std::string_view block, std::size_t start, std::size_t end,
                                   ChangeKind kind, std::string_view author, std::string_view date);
  Result<void> accept_change(std::string_view change);
  Result<void> reject_change(std::string_view change);

  // ---- Blobs. Stores 1 to kMaxBlobBytes bytes in the blob store (blobstore.h) and embeds them
  // in the document's blob table with their media type and picture size, so that peers on
  // other machines can read them. Returns the content hash. Embedding bytes already in the
  // table writes nothing.
  Result<std::string> put_blob(crdt::ByteView bytes);

  // ---- Comments. `insert_comment` creates an empty comment and returns its id; its body
  // blocks are added with `insert_comment_block` (returns the block id) and filled with
  // `splice_comment_text`; `add_comment_mark` anchors it on [start, end) of a body block (a
  // comment has one anchor: anchoring again moves it). `add_comment_reply` appends a reply of
  // one paragraph and returns the reply's id. `tombstone_comment` removes the comment and its
  // replies and takes its id off the "comment" marks (other comments anchored on the same text
  // keep theirs); afterwards `comment_range` and `comment_reply_ids` give nothing for it and
  // nothing else needs removing (deleting its entries from the comment map as well is harmless).
  Result<std::string> insert_comment(std::string_view author, std::string_view date);
  Result<std::string> insert_comment_block(std::string_view comment, std::string_view kind = "paragraph");
  Result<void> splice_comment_text(std::string_view comment, std::string_view block, std::size_t at, std::size_t del,
                                   std::string_view ins);
  Result<void> add_comment_mark(std::string_view comment, std::string_view block, std::size_t start, std::size_t end);
  Result<std::string> add_comment_reply(std::string_view comment, std::string_view author, std::string_view date,
                                        std::string_view text);
  Result<void> tombstone_comment(std::string_view comment);

  // ---- Notes and bookmarks. A note is appended with one paragraph holding `text`; returns
  // its id. A bookmark name is an identifier token; adding an existing name moves it.
  Result<std::string> insert_note(std::string_view marker, std::string_view text);
  Result<void> tombstone_note(std::string_view note);
  Result<void> add_bookmark(std::string_view name, std::string_view block);
  Result<void> tombstone_bookmark(std::string_view name);

 private:
  struct Slot {
    std::string id;
    crdt::ObjId obj;
    bool live = false;
  };
  // The block order of one region as this DocMut knows it: `order` holds slot numbers in the
  // engine list's order (tombstoned blocks and foreign elements included, so positions are the
  // engine's indexes).
  struct RegionIndex {
    bool built = false;
    std::vector<std::uint32_t> order;
    std::vector<Slot> slots;
    std::unordered_map<std::string, std::uint32_t> live;  // id -> slot of the first live block
    std::size_t hint = 0;                                 // position of the last insertion
  };
  struct LiveBlock {
    crdt::ObjId obj;
    crdt::ObjId text;
    std::size_t length = 0;
  };

  RegionIndex& index(Region region);
  void drop_caches();
  bool gained_only_own_changes(const std::vector<crdt::ChangeHash>& heads) const;
  Result<crdt::ObjId> block_in(Region region, std::string_view block);
  Result<LiveBlock> live_block(Region region, std::string_view block);
  Result<std::size_t> position_of(Region region, std::string_view block);
  // Whether the engine's list holds the cached block `block` at `pos`.
  bool element_is(Region region, std::size_t pos, std::string_view block);
  Result<crdt::ObjId> ensure_text(const crdt::ObjId& block);
  Result<crdt::ObjId> ensure_attrs(const crdt::ObjId& block);
  Result<crdt::ObjId> live_comment(std::string_view comment);
  Result<void> unanchor_comment(const crdt::ObjId& comment, std::string_view id);
  Result<void> resolve_change(std::string_view change, bool accept);
  Result<crdt::ObjId> create_block(const crdt::ObjId& list, std::size_t index, const std::string& id,
                                   std::string_view kind);

  crdt::Document& doc_;
  Schema schema_;
  IdGen ids_;
  crdt::ActorId ids_actor_;
  std::array<RegionIndex, 3> regions_;
  // The document as the last call of refresh (or the constructor) saw it.
  std::vector<crdt::ChangeHash> seen_heads_;
  std::size_t seen_pending_ = 0;
};

}  // namespace quern::folio::model

// Look-ups by id on an opened folio document: one block, its text or object, the tracked
// changes in a block, the anchor of a comment, the replies of a comment, the styles, the
// blob table and the metadata. Reads only; runs on the thread that owns the document.
//
// An id that names nothing (or names something tombstoned) gives nothing or an empty list,
// never an error. Each look-up scans what it needs (a block id look-up is linear in the
// length of its region); to read many blocks, materialize once instead.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/crdt/document.h"
#include "runtime/folio/document_view.h"
#include "runtime/folio/schema.h"

namespace quern::folio::model {

// The ids of the live body blocks, in document order.
std::vector<std::string> blocks_in_order(const crdt::Document& document, const Schema& schema);
std::vector<std::string> blocks_in_order(const crdt::Document& document, const Schema& schema, Region region);

// The text of the live block with this id (body, or the given region).
std::optional<std::string> block_text(const crdt::Document& document, const Schema& schema, std::string_view id);
std::optional<std::string> block_text(const crdt::Document& document, const Schema& schema, Region region,
                                      std::string_view id);

// The map object of the live block with this id. Its "attrs" map and "text" object may be
// written through the engine directly (DocMut::set_attr and DocMut::add_mark do that with
// checks).
std::optional<crdt::ObjId> block_obj(const crdt::Document& document, const Schema& schema, std::string_view id);
std::optional<crdt::ObjId> block_obj(const crdt::Document& document, const Schema& schema, Region region,
                                     std::string_view id);

// The list object holding a region's blocks.
crdt::ObjId region_obj(const crdt::Document& document, const Schema& schema, Region region);

// The ids of the live tracked changes marked in one block's text, in order of their first
// marked character.
std::vector<std::string> change_ids(const crdt::Document& document, const Schema& schema, std::string_view block);
std::vector<std::string> change_ids(const crdt::Document& document, const Schema& schema, Region region,
                                    std::string_view block);
// Every range a live tracked change marks, in document order (body, header, footer). Empty
// when the change is unknown, tombstoned, or its text is gone.
std::vector<TextRange> change_range(const crdt::Document& document, const Schema& schema, std::string_view change);
// The kind of a live tracked change.
std::optional<ChangeKind> change_kind(const crdt::Document& document, const Schema& schema, std::string_view change);

// The body range a live comment is anchored on: from the first to the last character of its
// anchor block that carries its "comment" mark. Nothing when the comment is unknown,
// tombstoned, unanchored, or its anchor block or marked text is gone.
std::optional<TextRange> comment_range(const crdt::Document& document, const Schema& schema, std::string_view comment);
// The ids of a live comment's live replies, in reply order.
std::vector<std::string> comment_reply_ids(const crdt::Document& document, const Schema& schema,
                                           std::string_view comment);

// Every style id in the style table, tombstoned ones included, ascending.
std::vector<std::string> style_ids(const crdt::Document& document, const Schema& schema);
// Whether the style id names a deleted style (false for ids that name no style).
bool style_is_tombstoned(const crdt::Document& document, const Schema& schema, std::string_view id);

// The bytes of an embedded blob, by content hash.
std::optional<crdt::Bytes> blob_bytes(const crdt::Document& document, const Schema& schema, std::string_view hash);
std::vector<std::string> blob_hashes(const crdt::Document& document, const Schema& schema);

std::optional<std::string> meta_str(const crdt::Document& document, const Schema& schema, std::string_view key);

}  // namespace quern::folio::model

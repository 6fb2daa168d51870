// Reading helpers shared by the view, the look-ups and DocMut. Internal to runtime/folio.
// Entries that do not have the expected shape (a list element that is not a map, a block
// without an id) are treated as absent, never as errors: peers may write anything.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/crdt/document.h"
#include "runtime/folio/document_view.h"

namespace quern::folio::model::detail {

std::optional<std::string> get_str(const crdt::Document& doc, const crdt::ObjId& obj, std::string_view key);
bool get_bool(const crdt::Document& doc, const crdt::ObjId& obj, std::string_view key);
std::optional<crdt::ObjId> get_obj(const crdt::Document& doc, const crdt::ObjId& obj, std::string_view key,
                                   crdt::ObjType type);
std::optional<crdt::ObjId> element_obj(const crdt::Document& doc, const crdt::ObjId& list, std::size_t index,
                                       crdt::ObjType type);
bool is_tombstoned(const crdt::Document& doc, const crdt::ObjId& obj);

Attrs read_attrs(const crdt::Document& doc, const crdt::ObjId& map);
// The block at `obj`, or nothing when it is tombstoned or has no id.
std::optional<Block> read_block(const crdt::Document& doc, const crdt::ObjId& obj);
std::vector<Block> read_blocks(const crdt::Document& doc, const crdt::ObjId& list);

struct FoundBlock {
  crdt::ObjId obj;
  std::size_t index = 0;  // position in the engine's list (tombstoned blocks count)
};
// The first live block with exactly this id in a block list.
std::optional<FoundBlock> find_block(const crdt::Document& doc, const crdt::ObjId& list, std::string_view id);

// The ids named by a "comment" mark value (space separated).
std::vector<std::string> split_ids(std::string_view value);
std::string join_ids(const std::vector<std::string>& ids);
bool names_id(std::string_view value, std::string_view id);

}  // namespace quern::folio::model::detail

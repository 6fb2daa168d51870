#include "runtime/folio/lookup.h"

#include <algorithm>
#include <unordered_set>

#include "runtime/folio/reader.h"
#include "runtime/util/sha256.h"

namespace quern::folio::model {

using crdt::ObjId;
using crdt::ObjType;
using detail::get_obj;
using detail::get_str;

namespace {

std::optional<ObjId> live_entry(const crdt::Document& doc, const ObjId& map, std::string_view id) {
  if (id.empty()) return std::nullopt;
  auto obj = get_obj(doc, map, id, ObjType::Map);
  if (!obj || detail::is_tombstoned(doc, *obj)) return std::nullopt;
  return obj;
}

std::optional<ObjId> text_of(const crdt::Document& doc, const ObjId& block) {
  return get_obj(doc, block, keys::kText, ObjType::Text);
}

std::vector<crdt::MarkSpan> marks_of(const crdt::Document& doc, const ObjId& block) {
  auto text = text_of(doc, block);
  if (!text) return {};
  return doc.marks(*text).value_or(std::vector<crdt::MarkSpan>{});
}

bool is_change_mark(const crdt::MarkSpan& m) {
  return (m.name == keys::kInsertionMark || m.name == keys::kDeletionMark) && m.value.as_str();
}

}  // namespace

std::vector<std::string> blocks_in_order(const crdt::Document& doc, const Schema& s) {
  return blocks_in_order(doc, s, Region::Body);
}

std::vector<std::string> blocks_in_order(const crdt::Document& doc, const Schema& s, Region region) {
  std::vector<std::string> ids;
  const ObjId& list = s.region(region);
  const std::size_t n = doc.length(list).value_or(0);
  ids.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    auto obj = detail::element_obj(doc, list, i, ObjType::Map);
    if (!obj || detail::is_tombstoned(doc, *obj)) continue;
    if (auto id = get_str(doc, *obj, keys::kId)) ids.push_back(std::move(*id));
  }
  return ids;
}

std::optional<std::string> block_text(const crdt::Document& doc, const Schema& s, std::string_view id) {
  return block_text(doc, s, Region::Body, id);
}

std::optional<std::string> block_text(const crdt::Document& doc, const Schema& s, Region region, std::string_view id) {
  auto found = detail::find_block(doc, s.region(region), id);
  if (!found) return std::nullopt;
  auto text = text_of(doc, found->obj);
  if (!text) return std::string();
  return doc.text(*text).value_or("");
}

std::optional<ObjId> block_obj(const crdt::Document& doc, const Schema& s, std::string_view id) {
  return block_obj(doc, s, Region::Body, id);
}

std::optional<ObjId> block_obj(const crdt::Document& doc, const Schema& s, Region region, std::string_view id) {
  auto found = detail::find_block(doc, s.region(region), id);
  if (!found) return std::nullopt;
  return found->obj;
}

ObjId region_obj(const crdt::Document&, const Schema& s, Region region) { return s.region(region); }

std::vector<std::string> change_ids(const crdt::Document& doc, const Schema& s, std::string_view block) {
  return change_ids(doc, s, Region::Body, block);
}

std::vector<std::string> change_ids(const crdt::Document& doc, const Schema& s, Region region, std::string_view block) {
  std::vector<std::string> ids;
  auto found = detail::find_block(doc, s.region(region), block);
  if (!found) return ids;
  for (const crdt::MarkSpan& m : marks_of(doc, found->obj)) {
    if (!is_change_mark(m)) continue;
    const std::string& id = *m.value.as_str();
    if (std::find(ids.begin(), ids.end(), id) != ids.end()) continue;
    if (live_entry(doc, s.changes, id)) ids.push_back(id);
  }
  return ids;
}

std::vector<TextRange> change_range(const crdt::Document& doc, const Schema& s, std::string_view change) {
  std::vector<TextRange> ranges;
  if (!live_entry(doc, s.changes, change)) return ranges;
  for (Region r : kRegions) {
    const ObjId& list = s.region(r);
    const std::size_t n = doc.length(list).value_or(0);
    for (std::size_t i = 0; i < n; ++i) {
      auto obj = detail::element_obj(doc, list, i, ObjType::Map);
      if (!obj || detail::is_tombstoned(doc, *obj)) continue;
      auto id = get_str(doc, *obj, keys::kId);
      if (!id) continue;
      for (const crdt::MarkSpan& m : marks_of(doc, *obj)) {
        if (!is_change_mark(m) || *m.value.as_str() != change) continue;
        if (!ranges.empty() && ranges.back().region == r && ranges.back().block == *id && ranges.back().end == m.start)
          ranges.back().end = m.end;
        else
          ranges.push_back(TextRange{r, *id, m.start, m.end});
      }
    }
  }
  return ranges;
}

std::optional<ChangeKind> change_kind(const crdt::Document& doc, const Schema& s, std::string_view change) {
  auto obj = live_entry(doc, s.changes, change);
  if (!obj) return std::nullopt;
  const auto kind = get_str(doc, *obj, keys::kKind);
  if (kind == keys::kInsertion) return ChangeKind::Insertion;
  if (kind == keys::kDeletion) return ChangeKind::Deletion;
  return std::nullopt;
}

std::optional<TextRange> comment_range(const crdt::Document& doc, const Schema& s, std::string_view comment) {
  auto obj = live_entry(doc, s.comments, comment);
  if (!obj || get_str(doc, *obj, keys::kType) != keys::kTypeComment) return std::nullopt;
  auto anchor = get_str(doc, *obj, keys::kAnchor);
  if (!anchor) return std::nullopt;
  auto found = detail::find_block(doc, s.region(Region::Body), *anchor);
  if (!found) return std::nullopt;
  std::optional<TextRange> range;
  for (const crdt::MarkSpan& m : marks_of(doc, found->obj)) {
    if (m.name != keys::kCommentMark || !m.value.as_str() || !detail::names_id(*m.value.as_str(), comment)) continue;
    if (!range) range = TextRange{Region::Body, *anchor, m.start, m.end};
    range->start = std::min(range->start, m.start);
    range->end = std::max(range->end, m.end);
  }
  return range;
}

std::vector<std::string> comment_reply_ids(const crdt::Document& doc, const Schema& s, std::string_view comment) {
  std::vector<std::string> ids;
  auto obj = live_entry(doc, s.comments, comment);
  if (!obj || get_str(doc, *obj, keys::kType) != keys::kTypeComment) return ids;
  auto list = get_obj(doc, *obj, keys::kReplies, ObjType::List);
  if (!list) return ids;
  std::unordered_set<std::string> seen;
  const std::size_t n = doc.length(*list).value_or(0);
  for (std::size_t i = 0; i < n; ++i) {
    auto v = doc.get(*list, i);
    if (!v || !*v || !(*v)->scalar() || !(*v)->scalar()->as_str()) continue;
    const std::string& id = *(*v)->scalar()->as_str();
    if (!seen.insert(id).second) continue;
    auto reply = live_entry(doc, s.comments, id);
    if (reply && get_str(doc, *reply, keys::kType) == keys::kTypeReply) ids.push_back(id);
  }
  return ids;
}

std::vector<std::string> style_ids(const crdt::Document& doc, const Schema& s) {
  std::vector<std::string> ids;
  for (std::string& id : doc.keys(s.styles).value_or(std::vector<std::string>{}))
    if (get_obj(doc, s.styles, id, ObjType::Map)) ids.push_back(std::move(id));
  return ids;
}

bool style_is_tombstoned(const crdt::Document& doc, const Schema& s, std::string_view id) {
  auto obj = get_obj(doc, s.styles, id, ObjType::Map);
  return obj && detail::is_tombstoned(doc, *obj);
}

std::optional<crdt::Bytes> blob_bytes(const crdt::Document& doc, const Schema& s, std::string_view hash) {
  auto obj = get_obj(doc, s.blobs, hash, ObjType::Map);
  if (!obj) return std::nullopt;
  auto v = doc.get(*obj, keys::kBytes);
  if (!v || !*v || !(*v)->scalar() || !(*v)->scalar()->as_bytes()) return std::nullopt;
  const crdt::Bytes& bytes = *(*v)->scalar()->as_bytes();
  // An entry whose bytes do not hash to its key is damaged (or forged by a peer): not content.
  if (to_hex(sha256(std::span<const std::uint8_t>(bytes))) != hash) return std::nullopt;
  return bytes;
}

std::vector<std::string> blob_hashes(const crdt::Document& doc, const Schema& s) {
  return doc.keys(s.blobs).value_or(std::vector<std::string>{});
}

std::optional<std::string> meta_str(const crdt::Document& doc, const Schema& s, std::string_view key) {
  return get_str(doc, s.meta, key);
}

}  // namespace quern::folio::model

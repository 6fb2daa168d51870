#include "runtime/folio/doc_mut.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "runtime/folio/blobstore.h"
#include "runtime/folio/lookup.h"
#include "runtime/folio/reader.h"
#include "runtime/util/unicode.h"

namespace quern::folio::model {

using crdt::ExpandMark;
using crdt::ObjId;
using crdt::ObjType;
using crdt::ScalarValue;
using detail::get_obj;
using detail::get_str;

crdt::ExpandMark default_expand(const ScalarValue& value) {
  return value.as_bool() ? ExpandMark::After : ExpandMark::None;
}

namespace {

std::string in_quotes(std::string_view s) { return "\"" + std::string(s) + "\""; }

std::string no_block(Region region, std::string_view block) {
  return "no block " + in_quotes(block) + " in the " + std::string(to_string(region));
}

Result<void> check_splice(std::string_view block, std::size_t length, std::size_t at, std::size_t del) {
  if (at > length)
    return fail("offset " + std::to_string(at) + " is beyond the text of block " + in_quotes(block) + " (" +
                std::to_string(length) + " characters)");
  if (del > length - at)
    return fail("deleting " + std::to_string(del) + " characters at " + std::to_string(at) +
                " runs past the text of block " + in_quotes(block) + " (" + std::to_string(length) + " characters)");
  return {};
}

Result<void> check_range(std::string_view block, std::size_t length, std::size_t start, std::size_t end) {
  if (start >= end)
    return fail("the range " + std::to_string(start) + ".." + std::to_string(end) + " of block " + in_quotes(block) +
                " is empty or reversed");
  if (end > length)
    return fail("the range " + std::to_string(start) + ".." + std::to_string(end) + " is beyond the text of block " +
                in_quotes(block) + " (" + std::to_string(length) + " characters)");
  return {};
}

Result<void> check_kind(std::string_view kind) {
  if (!is_identifier_token(kind)) return fail("the block kind " + in_quotes(kind) + " is not an identifier token");
  return {};
}

Result<void> check_mark_value(const ScalarValue& value) {
  if (value.as_bool() || value.as_int() || value.as_uint() || value.as_str()) return {};
  return fail("a mark value is a boolean, an integer or a string");
}

}  // namespace

DocMut::DocMut(crdt::Document& document, const Schema& schema) : DocMut(document, schema, seeded_id_gen(document)) {}

DocMut::DocMut(crdt::Document& document, const Schema& schema, IdGen ids)
    : doc_(document),
      schema_(schema),
      ids_(std::move(ids)),
      ids_actor_(document.actor()),
      seen_heads_(document.heads()),
      seen_pending_(document.pending_ops()) {}

// ---- keeping a DocMut across transactions

void DocMut::drop_caches() { regions_ = {}; }

bool DocMut::gained_only_own_changes(const std::vector<crdt::ChangeHash>& heads) const {
  // Walk back from the new heads to the ones seen before; a short walk suffices for the
  // commits a caller makes between two uses, a long one is treated as foreign.
  constexpr std::size_t kMaxWalk = 64;
  std::vector<crdt::ChangeHash> todo;
  for (const crdt::ChangeHash& h : heads)
    if (std::find(seen_heads_.begin(), seen_heads_.end(), h) == seen_heads_.end()) todo.push_back(h);
  std::vector<crdt::ChangeHash> done;
  while (!todo.empty()) {
    const crdt::ChangeHash h = todo.back();
    todo.pop_back();
    if (std::find(done.begin(), done.end(), h) != done.end()) continue;
    if (done.size() == kMaxWalk) return false;
    done.push_back(h);
    const auto change = doc_.get_change_by_hash(h);
    if (!change || change->actor != doc_.actor()) return false;
    for (const crdt::ChangeHash& dep : change->deps)
      if (std::find(seen_heads_.begin(), seen_heads_.end(), dep) == seen_heads_.end()) todo.push_back(dep);
  }
  return true;
}

void DocMut::refresh() {
  if (doc_.actor() != ids_actor_) {
    ids_ = seeded_id_gen(doc_);
    ids_actor_ = doc_.actor();
  }
  std::vector<crdt::ChangeHash> heads = doc_.heads();
  const std::size_t pending = doc_.pending_ops();
  const bool keep = heads == seen_heads_ ? pending >= seen_pending_ : gained_only_own_changes(heads);
  if (!keep) drop_caches();
  seen_heads_ = std::move(heads);
  seen_pending_ = pending;
}

std::optional<Block> DocMut::block(Region region, std::string_view block) {
  // A cache built earlier may miss a block someone else added, or still hold one they removed:
  // before answering "no such block" from it, read the region again.
  for (int attempt = 0; attempt < 2; ++attempt) {
    RegionIndex& ix = regions_[static_cast<std::size_t>(region)];
    const bool fresh = !ix.built;
    if (auto obj = block_in(region, block))
      if (auto b = detail::read_block(doc_, *obj); b && b->id == block) return b;
    if (fresh) break;
    ix = RegionIndex{};
  }
  return std::nullopt;
}

std::optional<DocMut::BlockInfo> DocMut::block_info(Region region, std::string_view block) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    RegionIndex& ix = regions_[static_cast<std::size_t>(region)];
    const bool fresh = !ix.built;
    if (auto obj = block_in(region, block)) {
      if (get_str(doc_, *obj, keys::kId) == block && !detail::is_tombstoned(doc_, *obj)) {
        BlockInfo info{*obj, get_str(doc_, *obj, keys::kKind).value_or("paragraph"), 0};
        if (auto text = get_obj(doc_, *obj, keys::kText, ObjType::Text)) info.length = doc_.length(*text).value_or(0);
        return info;
      }
    }
    if (fresh) break;
    ix = RegionIndex{};
  }
  return std::nullopt;
}

std::optional<std::size_t> DocMut::position(Region region, std::string_view block) {
  auto pos = position_of(region, block);
  if (!pos) return std::nullopt;
  return *pos;
}

// ---- block index

DocMut::RegionIndex& DocMut::index(Region region) {
  RegionIndex& ix = regions_[static_cast<std::size_t>(region)];
  if (ix.built) return ix;
  ix.built = true;
  const ObjId& list = schema_.region(region);
  const std::size_t n = doc_.length(list).value_or(0);
  ix.order.reserve(n);
  ix.slots.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    Slot slot;
    if (auto obj = detail::element_obj(doc_, list, i, ObjType::Map)) {
      slot.obj = std::move(*obj);
      if (auto id = get_str(doc_, slot.obj, keys::kId)) {
        slot.id = std::move(*id);
        slot.live = !detail::is_tombstoned(doc_, slot.obj);
      }
    }
    const auto s = static_cast<std::uint32_t>(ix.slots.size());
    if (slot.live) ix.live.try_emplace(slot.id, s);
    ix.slots.push_back(std::move(slot));
    ix.order.push_back(s);
  }
  return ix;
}

Result<ObjId> DocMut::block_in(Region region, std::string_view block) {
  RegionIndex& ix = index(region);
  auto it = ix.live.find(std::string(block));
  if (it == ix.live.end()) return fail(no_block(region, block));
  return ix.slots[it->second].obj;
}

Result<std::size_t> DocMut::position_of(Region region, std::string_view block) {
  RegionIndex& ix = index(region);
  auto it = ix.live.find(std::string(block));
  if (it == ix.live.end()) return fail(no_block(region, block));
  const std::uint32_t slot = it->second;
  // Runs of insertions go one after another: look where the last one went first.
  for (std::size_t p : {ix.hint, ix.hint + 1})
    if (p < ix.order.size() && ix.order[p] == slot) return p;
  auto pos = std::find(ix.order.begin(), ix.order.end(), slot);
  return static_cast<std::size_t>(pos - ix.order.begin());
}

bool DocMut::element_is(Region region, std::size_t pos, std::string_view block) {
  RegionIndex& ix = index(region);
  if (pos >= ix.order.size()) return false;
  auto element = detail::element_obj(doc_, schema_.region(region), pos, ObjType::Map);
  return element && *element == ix.slots[ix.order[pos]].obj && ix.slots[ix.order[pos]].id == block;
}

Result<ObjId> DocMut::ensure_text(const ObjId& block) {
  if (auto text = get_obj(doc_, block, keys::kText, ObjType::Text)) return *text;
  return doc_.put_object(block, keys::kText, ObjType::Text);
}

Result<ObjId> DocMut::ensure_attrs(const ObjId& block) {
  if (auto attrs = get_obj(doc_, block, keys::kAttrs, ObjType::Map)) return *attrs;
  return doc_.put_object(block, keys::kAttrs, ObjType::Map);
}

Result<DocMut::LiveBlock> DocMut::live_block(Region region, std::string_view block) {
  LiveBlock b;
  b.obj = QUERN_TRY(block_in(region, block));
  if (auto text = get_obj(doc_, b.obj, keys::kText, ObjType::Text)) {
    b.text = *text;
    b.length = QUERN_TRY(doc_.length(b.text));
  }
  return b;
}

Result<ObjId> DocMut::create_block(const ObjId& list, std::size_t index, const std::string& id, std::string_view kind) {
  const ObjId obj = QUERN_TRY(doc_.insert_object(list, index, ObjType::Map));
  QUERN_TRY(doc_.put(obj, keys::kId, id));
  QUERN_TRY(doc_.put(obj, keys::kKind, kind));
  QUERN_TRY(doc_.put_object(obj, keys::kText, ObjType::Text));
  QUERN_TRY(doc_.put_object(obj, keys::kAttrs, ObjType::Map));
  return obj;
}

// ---- text

Result<void> DocMut::splice_text(std::string_view block, std::size_t at, std::size_t del, std::string_view ins) {
  return splice_text_in(Region::Body, block, at, del, ins);
}

Result<void> DocMut::splice_text_in(Region region, std::string_view block, std::size_t at, std::size_t del,
                                    std::string_view ins) {
  LiveBlock b = QUERN_TRY(live_block(region, block));
  QUERN_TRY(check_splice(block, b.length, at, del));
  if (del == 0 && ins.empty()) return {};
  if (b.text.is_root()) b.text = QUERN_TRY(ensure_text(b.obj));
  return doc_.splice_text(b.text, at, del, ins);
}

Result<ObjId> DocMut::text_obj(std::string_view block) { return region_text_obj(Region::Body, block); }

Result<ObjId> DocMut::region_text_obj(Region region, std::string_view block) {
  const ObjId obj = QUERN_TRY(block_in(region, block));
  return ensure_text(obj);
}

Result<void> DocMut::insert_page_number_field(Region region, std::string_view block, std::size_t at) {
  LiveBlock b = QUERN_TRY(live_block(region, block));
  QUERN_TRY(check_splice(block, b.length, at, 0));
  if (b.text.is_root()) b.text = QUERN_TRY(ensure_text(b.obj));
  std::string field;
  unicode::append_utf8(field, kFieldChar);
  QUERN_TRY(doc_.splice_text(b.text, at, 0, field));
  return doc_.mark(b.text, at, at + 1, keys::kFieldMark, std::string(keys::kPageNumberField), ExpandMark::None);
}

// ---- blocks

Result<std::string> DocMut::insert_block(std::optional<std::string_view> after, std::string_view kind) {
  return insert_block_in(Region::Body, after, kind);
}

Result<std::string> DocMut::insert_block_in(Region region, std::optional<std::string_view> after,
                                            std::string_view kind) {
  QUERN_TRY(check_kind(kind));
  std::size_t pos = after ? QUERN_TRY(position_of(region, *after)) + 1 : 0;
  if (after && !element_is(region, pos - 1, *after)) {
    // The cached order no longer matches the list (a caller broke the rules above): read it again.
    drop_caches();
    pos = QUERN_TRY(position_of(region, *after)) + 1;
  }
  RegionIndex& ix = index(region);
  std::string id = ids_.mint();
  const ObjId obj = QUERN_TRY(create_block(schema_.region(region), pos, id, kind));
  const auto s = static_cast<std::uint32_t>(ix.slots.size());
  ix.slots.push_back(Slot{id, obj, true});
  ix.live.try_emplace(id, s);
  ix.order.insert(ix.order.begin() + static_cast<std::ptrdiff_t>(pos), s);
  ix.hint = pos;
  return id;
}

Result<void> DocMut::tombstone_block_in(Region region, std::string_view block) {
  const ObjId obj = QUERN_TRY(block_in(region, block));
  QUERN_TRY(doc_.put(obj, keys::kTombstone, true));
  RegionIndex& ix = index(region);
  auto it = ix.live.find(std::string(block));
  ix.slots[it->second].live = false;
  ix.live.erase(it);
  return {};
}

Result<void> DocMut::set_kind(std::string_view block, std::string_view kind) {
  return set_kind(Region::Body, block, kind);
}

Result<void> DocMut::set_kind(Region region, std::string_view block, std::string_view kind) {
  QUERN_TRY(check_kind(kind));
  const ObjId obj = QUERN_TRY(block_in(region, block));
  if (get_str(doc_, obj, keys::kKind) == kind) return {};
  return doc_.put(obj, keys::kKind, kind);
}

Result<void> DocMut::set_attr(Region region, std::string_view block, std::string_view key, const AttrValue& value) {
  if (key.empty() || key.size() > 128) return fail("an attribute name is 1 to 128 bytes");
  if (const double* d = std::get_if<double>(&value); d && !std::isfinite(*d))
    return fail("the attribute " + in_quotes(key) + " must be a finite number");
  const ObjId obj = QUERN_TRY(block_in(region, block));
  const ObjId attrs = QUERN_TRY(ensure_attrs(obj));
  return doc_.put(attrs, key, to_scalar(value));
}

Result<void> DocMut::remove_attr(Region region, std::string_view block, std::string_view key) {
  const ObjId obj = QUERN_TRY(block_in(region, block));
  auto attrs = get_obj(doc_, obj, keys::kAttrs, ObjType::Map);
  if (!attrs) return {};
  return doc_.delete_key(*attrs, key);
}

Result<std::vector<std::string>> DocMut::insert_fragment(Region region, std::optional<std::string_view> after,
                                                         const Fragment& fragment) {
  // Check everything first so that a bad fragment writes nothing.
  if (after) QUERN_TRY(block_in(region, *after));
  for (const FragmentBlock& fb : fragment.blocks) {
    QUERN_TRY(check_kind(fb.kind));
    const std::size_t length = unicode::char_count(fb.text);
    for (const FragmentMark& m : fb.marks) {
      QUERN_TRY(check_mark_value(m.value));
      if (m.name.empty()) return fail("a mark has no name");
      QUERN_TRY(check_range("of the fragment", length, m.start, m.end));
    }
    for (const auto& [key, value] : fb.attrs)
      if (const double* d = std::get_if<double>(&value); key.empty() || (d && !std::isfinite(*d)))
        return fail("the fragment has an attribute that cannot be stored");
  }
  std::vector<std::string> ids;
  std::map<std::string, std::string> tables;  // fragment table id -> minted id
  std::optional<std::string> prev = after ? std::optional<std::string>(*after) : std::nullopt;
  for (const FragmentBlock& fb : fragment.blocks) {
    std::string id = QUERN_TRY(insert_block_in(region, prev, fb.kind));
    const ObjId obj = QUERN_TRY(block_in(region, id));
    const ObjId text = QUERN_TRY(ensure_text(obj));
    if (!fb.text.empty()) QUERN_TRY(doc_.splice_text(text, 0, 0, fb.text));
    for (const FragmentMark& m : fb.marks)
      QUERN_TRY(doc_.mark(text, m.start, m.end, m.name, m.value, default_expand(m.value)));
    const ObjId attrs = QUERN_TRY(ensure_attrs(obj));
    for (const auto& [key, value] : fb.attrs) {
      if (key == "table" && std::holds_alternative<std::string>(value)) {
        auto [it, added] = tables.try_emplace(std::get<std::string>(value));
        if (added) it->second = ids_.mint();
        QUERN_TRY(doc_.put(attrs, key, it->second));
      } else {
        QUERN_TRY(doc_.put(attrs, key, to_scalar(value)));
      }
    }
    ids.push_back(id);
    prev = std::move(id);
  }
  return ids;
}

// ---- marks

Result<void> DocMut::add_mark(Region region, std::string_view block, std::size_t start, std::size_t end,
                              std::string_view name, const ScalarValue& value, std::optional<ExpandMark> expand) {
  if (name.empty()) return fail("a mark has no name");
  QUERN_TRY(check_mark_value(value));
  LiveBlock b = QUERN_TRY(live_block(region, block));
  QUERN_TRY(check_range(block, b.length, start, end));
  return doc_.mark(b.text, start, end, name, value, expand.value_or(default_expand(value)));
}

Result<void> DocMut::remove_mark(Region region, std::string_view block, std::size_t start, std::size_t end,
                                 std::string_view name) {
  if (name.empty()) return fail("a mark has no name");
  LiveBlock b = QUERN_TRY(live_block(region, block));
  QUERN_TRY(check_range(block, b.length, start, end));
  // Only where the mark is present, so that removing an absent mark writes nothing.
  for (const crdt::MarkSpan& m : QUERN_TRY(doc_.marks(b.text))) {
    if (m.name != name) continue;
    const std::size_t s = std::max(m.start, start), e = std::min(m.end, end);
    if (s < e) QUERN_TRY(doc_.unmark(b.text, s, e, name, ExpandMark::None));
  }
  return {};
}

// ---- styles and metadata

Result<void> DocMut::set_style(std::string_view style, const Attrs& props) {
  if (!is_identifier_token(style)) return fail("the style id " + in_quotes(style) + " is not an identifier token");
  for (const auto& [key, value] : props)
    if (const double* d = std::get_if<double>(&value); key.empty() || (d && !std::isfinite(*d)))
      return fail("the style property " + in_quotes(key) + " cannot be stored");
  auto obj = get_obj(doc_, schema_.styles, style, ObjType::Map);
  if (obj && detail::is_tombstoned(doc_, *obj)) return fail("the style " + in_quotes(style) + " was deleted");
  if (!obj) obj = QUERN_TRY(doc_.put_object(schema_.styles, style, ObjType::Map));
  auto p = get_obj(doc_, *obj, keys::kProps, ObjType::Map);
  if (!p) p = QUERN_TRY(doc_.put_object(*obj, keys::kProps, ObjType::Map));
  for (const auto& [key, value] : props) QUERN_TRY(doc_.put(*p, key, to_scalar(value)));
  return {};
}

Result<void> DocMut::tombstone_style(std::string_view style) {
  if (is_builtin_style(style)) return fail("the built-in style " + in_quotes(style) + " cannot be deleted");
  auto obj = get_obj(doc_, schema_.styles, style, ObjType::Map);
  if (!obj) return fail("no style " + in_quotes(style));
  if (detail::is_tombstoned(doc_, *obj)) return {};
  return doc_.put(*obj, keys::kTombstone, true);
}

Result<void> DocMut::set_meta_str(std::string_view key, std::string_view value) {
  if (key.empty()) return fail("a metadata key is not empty");
  if (get_str(doc_, schema_.meta, key) == value) return {};
  return doc_.put(schema_.meta, key, value);
}

// ---- tracked changes

Result<std::string> DocMut::track_change(Region region, std::string_view block, std::size_t start, std::size_t end,
                                         ChangeKind kind, std::string_view author, std::string_view date) {
  LiveBlock b = QUERN_TRY(live_block(region, block));
  QUERN_TRY(check_range(block, b.length, start, end));
  std::string id = ids_.mint();
  const ObjId entry = QUERN_TRY(doc_.put_object(schema_.changes, id, ObjType::Map));
  QUERN_TRY(doc_.put(entry, keys::kId, id));
  QUERN_TRY(doc_.put(entry, keys::kKind, to_string(kind)));
  QUERN_TRY(doc_.put(entry, keys::kAuthor, author));
  QUERN_TRY(doc_.put(entry, keys::kDate, date));
  const std::string_view mark = kind == ChangeKind::Insertion ? keys::kInsertionMark : keys::kDeletionMark;
  QUERN_TRY(doc_.mark(b.text, start, end, mark, id, ExpandMark::None));
  return id;
}

Result<void> DocMut::accept_change(std::string_view change) { return resolve_change(change, true); }
Result<void> DocMut::reject_change(std::string_view change) { return resolve_change(change, false); }

Result<void> DocMut::resolve_change(std::string_view change, bool accept) {
  const auto kind = change_kind(doc_, schema_, change);
  if (!kind) return fail("no tracked change " + in_quotes(change));
  const auto entry = *get_obj(doc_, schema_.changes, change, ObjType::Map);
  const bool delete_text = (*kind == ChangeKind::Insertion) != accept;
  const std::string_view mark = *kind == ChangeKind::Insertion ? keys::kInsertionMark : keys::kDeletionMark;
  std::vector<TextRange> ranges = change_range(doc_, schema_, change);
  // Later ranges first, so that deleting text does not move the ranges still to do.
  for (auto it = ranges.rbegin(); it != ranges.rend(); ++it) {
    const ObjId text = QUERN_TRY(region_text_obj(it->region, it->block));
    if (delete_text)
      QUERN_TRY(doc_.splice_text(text, it->start, it->end - it->start, ""));
    else
      QUERN_TRY(doc_.unmark(text, it->start, it->end, mark, ExpandMark::None));
  }
  return doc_.put(entry, keys::kTombstone, true);
}

// ---- blobs

Result<std::string> DocMut::put_blob(crdt::ByteView bytes) {
  if (bytes.empty()) return fail("a blob holds at least one byte");
  if (bytes.size() > kMaxBlobBytes)
    return fail("a blob of " + std::to_string(bytes.size()) + " bytes is larger than the " +
                std::to_string(kMaxBlobBytes) + " bytes a document embeds");
  const std::string hash = QUERN_TRY_CTX(blobstore::put(bytes), "store the blob");
  if (blob_bytes(doc_, schema_, hash)) return hash;
  const blobstore::MediaInfo media = blobstore::sniff(bytes);
  const ObjId entry = QUERN_TRY(doc_.put_object(schema_.blobs, hash, ObjType::Map));
  QUERN_TRY(doc_.put(entry, keys::kBytes, crdt::Bytes(bytes.begin(), bytes.end())));
  QUERN_TRY(doc_.put(entry, keys::kMediaType, media.media_type));
  QUERN_TRY(doc_.put(entry, keys::kSize, static_cast<std::int64_t>(bytes.size())));
  QUERN_TRY(doc_.put(entry, keys::kWidth, static_cast<std::int64_t>(media.width)));
  QUERN_TRY(doc_.put(entry, keys::kHeight, static_cast<std::int64_t>(media.height)));
  return hash;
}

// ---- comments

Result<ObjId> DocMut::live_comment(std::string_view comment) {
  auto obj = comment.empty() ? std::nullopt : get_obj(doc_, schema_.comments, comment, ObjType::Map);
  if (!obj || detail::is_tombstoned(doc_, *obj) || get_str(doc_, *obj, keys::kType) != keys::kTypeComment)
    return fail("no comment " + in_quotes(comment));
  return *obj;
}

Result<std::string> DocMut::insert_comment(std::string_view author, std::string_view date) {
  std::string id = ids_.mint();
  const ObjId entry = QUERN_TRY(doc_.put_object(schema_.comments, id, ObjType::Map));
  QUERN_TRY(doc_.put(entry, keys::kType, keys::kTypeComment));
  QUERN_TRY(doc_.put(entry, keys::kId, id));
  QUERN_TRY(doc_.put(entry, keys::kAuthor, author));
  QUERN_TRY(doc_.put(entry, keys::kDate, date));
  QUERN_TRY(doc_.put_object(entry, keys::kBlocks, ObjType::List));
  QUERN_TRY(doc_.put_object(entry, keys::kReplies, ObjType::List));
  return id;
}

Result<std::string> DocMut::insert_comment_block(std::string_view comment, std::string_view kind) {
  QUERN_TRY(check_kind(kind));
  const ObjId entry = QUERN_TRY(live_comment(comment));
  auto blocks = get_obj(doc_, entry, keys::kBlocks, ObjType::List);
  if (!blocks) blocks = QUERN_TRY(doc_.put_object(entry, keys::kBlocks, ObjType::List));
  std::string id = ids_.mint();
  QUERN_TRY(create_block(*blocks, QUERN_TRY(doc_.length(*blocks)), id, kind));
  return id;
}

Result<void> DocMut::splice_comment_text(std::string_view comment, std::string_view block, std::size_t at,
                                         std::size_t del, std::string_view ins) {
  const ObjId entry = QUERN_TRY(live_comment(comment));
  auto blocks = get_obj(doc_, entry, keys::kBlocks, ObjType::List);
  auto found = blocks ? detail::find_block(doc_, *blocks, block) : std::nullopt;
  if (!found) return fail("no block " + in_quotes(block) + " in comment " + in_quotes(comment));
  const ObjId text = QUERN_TRY(ensure_text(found->obj));
  QUERN_TRY(check_splice(block, QUERN_TRY(doc_.length(text)), at, del));
  if (del == 0 && ins.empty()) return {};
  return doc_.splice_text(text, at, del, ins);
}

Result<void> DocMut::unanchor_comment(const ObjId& comment, std::string_view id) {
  auto anchor = get_str(doc_, comment, keys::kAnchor);
  if (!anchor) return {};
  auto obj = block_in(Region::Body, *anchor);
  if (!obj) return {};  // the anchor block is gone: nothing left to unmark
  auto text = get_obj(doc_, *obj, keys::kText, ObjType::Text);
  if (!text) return {};
  for (const crdt::MarkSpan& m : QUERN_TRY(doc_.marks(*text))) {
    if (m.name != keys::kCommentMark || !m.value.as_str()) continue;
    std::vector<std::string> ids = detail::split_ids(*m.value.as_str());
    const auto before = ids.size();
    std::erase(ids, std::string(id));
    if (ids.size() == before) continue;
    if (ids.empty())
      QUERN_TRY(doc_.unmark(*text, m.start, m.end, keys::kCommentMark, ExpandMark::None));
    else
      QUERN_TRY(doc_.mark(*text, m.start, m.end, keys::kCommentMark, detail::join_ids(ids), ExpandMark::None));
  }
  return {};
}

Result<void> DocMut::add_comment_mark(std::string_view comment, std::string_view block, std::size_t start,
                                      std::size_t end) {
  const ObjId entry = QUERN_TRY(live_comment(comment));
  LiveBlock b = QUERN_TRY(live_block(Region::Body, block));
  QUERN_TRY(check_range(block, b.length, start, end));
  if (b.text.is_root()) b.text = QUERN_TRY(ensure_text(b.obj));
  QUERN_TRY(unanchor_comment(entry, comment));
  // The "comment" mark holds every comment anchored on a character: split the range where the
  // comments already there change, and add this one to each piece.
  std::map<std::size_t, std::vector<std::string>> pieces{{start, {}}};
  for (const crdt::MarkSpan& m : QUERN_TRY(doc_.marks(b.text))) {
    if (m.name != keys::kCommentMark || !m.value.as_str() || m.end <= start || m.start >= end) continue;
    const std::size_t s = std::max(m.start, start), e = std::min(m.end, end);
    pieces[s] = detail::split_ids(*m.value.as_str());
    pieces.try_emplace(e);
  }
  pieces.erase(end);
  for (auto it = pieces.begin(); it != pieces.end(); ++it) {
    const std::size_t s = it->first;
    const std::size_t e = std::next(it) == pieces.end() ? end : std::next(it)->first;
    std::vector<std::string> ids = it->second;
    ids.emplace_back(comment);
    QUERN_TRY(doc_.mark(b.text, s, e, keys::kCommentMark, detail::join_ids(ids), ExpandMark::None));
  }
  return doc_.put(entry, keys::kAnchor, block);
}

Result<std::string> DocMut::add_comment_reply(std::string_view comment, std::string_view author, std::string_view date,
                                              std::string_view text) {
  const ObjId parent = QUERN_TRY(live_comment(comment));
  auto replies = get_obj(doc_, parent, keys::kReplies, ObjType::List);
  if (!replies) replies = QUERN_TRY(doc_.put_object(parent, keys::kReplies, ObjType::List));
  std::string id = ids_.mint();
  const ObjId entry = QUERN_TRY(doc_.put_object(schema_.comments, id, ObjType::Map));
  QUERN_TRY(doc_.put(entry, keys::kType, keys::kTypeReply));
  QUERN_TRY(doc_.put(entry, keys::kId, id));
  QUERN_TRY(doc_.put(entry, keys::kParent, comment));
  QUERN_TRY(doc_.put(entry, keys::kAuthor, author));
  QUERN_TRY(doc_.put(entry, keys::kDate, date));
  const ObjId blocks = QUERN_TRY(doc_.put_object(entry, keys::kBlocks, ObjType::List));
  const ObjId block = QUERN_TRY(create_block(blocks, 0, ids_.mint(), "paragraph"));
  if (!text.empty()) QUERN_TRY(doc_.splice_text(QUERN_TRY(ensure_text(block)), 0, 0, text));
  QUERN_TRY(doc_.insert(*replies, QUERN_TRY(doc_.length(*replies)), id));
  return id;
}

Result<void> DocMut::tombstone_comment(std::string_view comment) {
  const ObjId entry = QUERN_TRY(live_comment(comment));
  QUERN_TRY(unanchor_comment(entry, comment));
  for (const std::string& reply : comment_reply_ids(doc_, schema_, comment))
    if (auto r = get_obj(doc_, schema_.comments, reply, ObjType::Map)) QUERN_TRY(doc_.put(*r, keys::kTombstone, true));
  return doc_.put(entry, keys::kTombstone, true);
}

// ---- notes and bookmarks

Result<std::string> DocMut::insert_note(std::string_view marker, std::string_view text) {
  std::string id = ids_.mint();
  const ObjId entry = QUERN_TRY(doc_.insert_object(schema_.notes, QUERN_TRY(doc_.length(schema_.notes)), ObjType::Map));
  QUERN_TRY(doc_.put(entry, keys::kId, id));
  QUERN_TRY(doc_.put(entry, keys::kMarkerText, marker));
  const ObjId blocks = QUERN_TRY(doc_.put_object(entry, keys::kBlocks, ObjType::List));
  const ObjId block = QUERN_TRY(create_block(blocks, 0, ids_.mint(), "paragraph"));
  if (!text.empty()) QUERN_TRY(doc_.splice_text(QUERN_TRY(ensure_text(block)), 0, 0, text));
  return id;
}

Result<void> DocMut::tombstone_note(std::string_view note) {
  const std::size_t n = QUERN_TRY(doc_.length(schema_.notes));
  for (std::size_t i = 0; i < n; ++i) {
    auto obj = detail::element_obj(doc_, schema_.notes, i, ObjType::Map);
    if (!obj || get_str(doc_, *obj, keys::kId) != note || detail::is_tombstoned(doc_, *obj)) continue;
    return doc_.put(*obj, keys::kTombstone, true);
  }
  return fail("no note " + in_quotes(note));
}

Result<void> DocMut::add_bookmark(std::string_view name, std::string_view block) {
  if (!is_identifier_token(name)) return fail("the bookmark name " + in_quotes(name) + " is not an identifier token");
  QUERN_TRY(block_in(Region::Body, block));
  auto obj = get_obj(doc_, schema_.bookmarks, name, ObjType::Map);
  if (!obj || detail::is_tombstoned(doc_, *obj))
    obj = QUERN_TRY(doc_.put_object(schema_.bookmarks, name, ObjType::Map));
  QUERN_TRY(doc_.put(*obj, keys::kName, name));
  return doc_.put(*obj, keys::kBlock, block);
}

Result<void> DocMut::tombstone_bookmark(std::string_view name) {
  auto obj = get_obj(doc_, schema_.bookmarks, name, ObjType::Map);
  if (!obj || detail::is_tombstoned(doc_, *obj)) return fail("no bookmark " + in_quotes(name));
  return doc_.put(*obj, keys::kTombstone, true);
}

}  // namespace quern::folio::model

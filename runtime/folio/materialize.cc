#include "runtime/folio/materialize.h"

#include <algorithm>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

#include "runtime/folio/reader.h"

namespace quern::folio::model {

using crdt::ObjId;
using crdt::ObjType;
using detail::get_obj;
using detail::get_str;

namespace {

std::optional<ChangeKind> parse_change_kind(std::string_view kind) {
  if (kind == keys::kInsertion) return ChangeKind::Insertion;
  if (kind == keys::kDeletion) return ChangeKind::Deletion;
  return std::nullopt;
}

std::vector<Reply> read_replies(const crdt::Document& doc, const Schema& s, const ObjId& comment,
                                std::string_view comment_id) {
  std::vector<Reply> out;
  auto list = get_obj(doc, comment, keys::kReplies, ObjType::List);
  if (!list) return out;
  std::unordered_set<std::string> seen;
  const std::size_t n = doc.length(*list).value_or(0);
  for (std::size_t i = 0; i < n; ++i) {
    auto v = doc.get(*list, i);
    if (!v || !*v || !(*v)->scalar() || !(*v)->scalar()->as_str()) continue;
    const std::string& id = *(*v)->scalar()->as_str();
    if (!seen.insert(id).second) continue;
    auto reply = get_obj(doc, s.comments, id, ObjType::Map);
    if (!reply || detail::is_tombstoned(doc, *reply)) continue;
    if (get_str(doc, *reply, keys::kType) != keys::kTypeReply) continue;
    if (auto parent = get_str(doc, *reply, keys::kParent); parent && *parent != comment_id) continue;
    Reply r;
    r.id = id;
    r.author = get_str(doc, *reply, keys::kAuthor).value_or("");
    r.date = get_str(doc, *reply, keys::kDate).value_or("");
    if (auto blocks = get_obj(doc, *reply, keys::kBlocks, ObjType::List)) r.blocks = detail::read_blocks(doc, *blocks);
    out.push_back(std::move(r));
  }
  return out;
}

// The hull of the "comment" spans of `block` that name `id`.
std::optional<TextRange> anchor_in(const Block& block, std::string_view id) {
  std::optional<TextRange> range;
  for (const crdt::MarkSpan& m : block.marks) {
    if (m.name != keys::kCommentMark || !m.value.as_str() || !detail::names_id(*m.value.as_str(), id)) continue;
    if (!range) range = TextRange{Region::Body, block.id, m.start, m.end};
    range->start = std::min(range->start, m.start);
    range->end = std::max(range->end, m.end);
  }
  return range;
}

}  // namespace

Result<std::vector<Block>> materialize_region(const crdt::Document& doc, const Schema& s, Region region) {
  QUERN_TRY(doc.object_type(s.region(region)));
  return detail::read_blocks(doc, s.region(region));
}

Result<DocumentView> materialize(const crdt::Document& doc, const Schema& s) {
  DocumentView view;
  for (Region r : kRegions) view.regions[static_cast<std::size_t>(r)] = QUERN_TRY(materialize_region(doc, s, r));
  const std::vector<Block>& body = view.body();
  std::unordered_map<std::string_view, std::size_t> body_index;
  body_index.reserve(body.size());
  for (std::size_t i = 0; i < body.size(); ++i) body_index.emplace(body[i].id, i);

  // Notes.
  const std::size_t note_count = QUERN_TRY(doc.length(s.notes));
  for (std::size_t i = 0; i < note_count; ++i) {
    auto obj = detail::element_obj(doc, s.notes, i, ObjType::Map);
    if (!obj || detail::is_tombstoned(doc, *obj)) continue;
    auto id = get_str(doc, *obj, keys::kId);
    if (!id) continue;
    Note n;
    n.id = std::move(*id);
    n.marker = get_str(doc, *obj, keys::kMarkerText).value_or("");
    if (auto blocks = get_obj(doc, *obj, keys::kBlocks, ObjType::List)) n.blocks = detail::read_blocks(doc, *blocks);
    view.notes.push_back(std::move(n));
  }

  // Comments, ordered by anchor position; unanchored ones last.
  struct Placed {
    std::size_t block, start;
  };
  std::vector<std::pair<Comment, std::optional<Placed>>> comments;
  for (const std::string& id : QUERN_TRY(doc.keys(s.comments))) {
    auto obj = get_obj(doc, s.comments, id, ObjType::Map);
    if (!obj || detail::is_tombstoned(doc, *obj)) continue;
    if (get_str(doc, *obj, keys::kType) != keys::kTypeComment) continue;
    Comment c;
    c.id = id;
    c.author = get_str(doc, *obj, keys::kAuthor).value_or("");
    c.date = get_str(doc, *obj, keys::kDate).value_or("");
    if (auto blocks = get_obj(doc, *obj, keys::kBlocks, ObjType::List)) c.blocks = detail::read_blocks(doc, *blocks);
    c.replies = read_replies(doc, s, *obj, id);
    std::optional<Placed> placed;
    if (auto anchor = get_str(doc, *obj, keys::kAnchor)) {
      if (auto it = body_index.find(*anchor); it != body_index.end()) {
        c.anchor = anchor_in(body[it->second], id);
        if (c.anchor) placed = Placed{it->second, c.anchor->start};
      }
    }
    comments.emplace_back(std::move(c), placed);
  }
  std::stable_sort(comments.begin(), comments.end(), [](const auto& a, const auto& b) {
    if (a.second.has_value() != b.second.has_value()) return a.second.has_value();
    if (a.second && (a.second->block != b.second->block || a.second->start != b.second->start))
      return std::tie(a.second->block, a.second->start) < std::tie(b.second->block, b.second->start);
    return a.first.id < b.first.id;
  });
  view.comments.reserve(comments.size());
  for (auto& [c, placed] : comments) view.comments.push_back(std::move(c));

  // Tracked changes, ordered by their first marked character.
  std::unordered_map<std::string, std::size_t> first_seen;
  std::size_t position = 0;
  for (const auto& blocks : view.regions)
    for (const Block& b : blocks)
      for (const crdt::MarkSpan& m : b.marks) {
        if ((m.name == keys::kInsertionMark || m.name == keys::kDeletionMark) && m.value.as_str())
          first_seen.try_emplace(*m.value.as_str(), position);
        ++position;
      }
  std::vector<std::pair<TrackedChange, std::size_t>> changes;
  for (const std::string& id : QUERN_TRY(doc.keys(s.changes))) {
    auto obj = get_obj(doc, s.changes, id, ObjType::Map);
    if (!obj || detail::is_tombstoned(doc, *obj)) continue;
    auto kind = parse_change_kind(get_str(doc, *obj, keys::kKind).value_or(""));
    if (!kind) continue;
    TrackedChange c{id, *kind, get_str(doc, *obj, keys::kAuthor).value_or(""),
                    get_str(doc, *obj, keys::kDate).value_or("")};
    auto it = first_seen.find(id);
    changes.emplace_back(std::move(c), it == first_seen.end() ? SIZE_MAX : it->second);
  }
  std::stable_sort(changes.begin(), changes.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
  for (auto& [c, pos] : changes) view.changes.push_back(std::move(c));

  // Bookmarks, styles, metadata.
  for (const std::string& name : QUERN_TRY(doc.keys(s.bookmarks))) {
    auto obj = get_obj(doc, s.bookmarks, name, ObjType::Map);
    if (!obj || detail::is_tombstoned(doc, *obj)) continue;
    view.bookmarks.push_back(Bookmark{name, get_str(doc, *obj, keys::kBlock).value_or("")});
  }
  for (const std::string& id : QUERN_TRY(doc.keys(s.styles))) {
    auto obj = get_obj(doc, s.styles, id, ObjType::Map);
    if (!obj || detail::is_tombstoned(doc, *obj)) continue;
    auto props = get_obj(doc, *obj, keys::kProps, ObjType::Map);
    view.styles.emplace(id, props ? detail::read_attrs(doc, *props) : Attrs{});
  }
  for (const std::string& key : QUERN_TRY(doc.keys(s.meta)))
    if (auto v = get_str(doc, s.meta, key)) view.meta.emplace(key, std::move(*v));
  return view;
}

}  // namespace quern::folio::model

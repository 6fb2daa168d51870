#include "runtime/folio/reader.h"

#include <limits>

namespace quern::folio::model::detail {

using crdt::ObjId;
using crdt::ObjType;

std::optional<std::string> get_str(const crdt::Document& doc, const ObjId& obj, std::string_view key) {
  auto v = doc.get(obj, key);
  if (!v || !*v) return std::nullopt;
  const crdt::ScalarValue* s = (*v)->scalar();
  if (!s || !s->as_str()) return std::nullopt;
  return *s->as_str();
}

bool get_bool(const crdt::Document& doc, const ObjId& obj, std::string_view key) {
  auto v = doc.get(obj, key);
  if (!v || !*v) return false;
  const crdt::ScalarValue* s = (*v)->scalar();
  return s && s->as_bool() && *s->as_bool();
}

std::optional<ObjId> get_obj(const crdt::Document& doc, const ObjId& obj, std::string_view key, ObjType type) {
  auto v = doc.get(obj, key);
  if (!v || !*v) return std::nullopt;
  const crdt::ObjectValue* o = (*v)->object();
  if (!o || o->type != type) return std::nullopt;
  return o->id;
}

std::optional<ObjId> element_obj(const crdt::Document& doc, const ObjId& list, std::size_t index, ObjType type) {
  auto v = doc.get(list, index);
  if (!v || !*v) return std::nullopt;
  const crdt::ObjectValue* o = (*v)->object();
  if (!o || o->type != type) return std::nullopt;
  return o->id;
}

bool is_tombstoned(const crdt::Document& doc, const ObjId& obj) { return get_bool(doc, obj, keys::kTombstone); }

Attrs read_attrs(const crdt::Document& doc, const ObjId& map) {
  Attrs attrs;
  auto names = doc.keys(map);
  if (!names) return attrs;
  for (std::string& name : *names) {
    auto v = doc.get(map, name);
    if (!v || !*v || !(*v)->scalar()) continue;
    if (auto a = to_attr(*(*v)->scalar())) attrs.emplace(std::move(name), std::move(*a));
  }
  return attrs;
}

std::optional<Block> read_block(const crdt::Document& doc, const ObjId& obj) {
  if (is_tombstoned(doc, obj)) return std::nullopt;
  auto id = get_str(doc, obj, keys::kId);
  if (!id) return std::nullopt;
  Block b;
  b.id = std::move(*id);
  b.kind = get_str(doc, obj, keys::kKind).value_or("paragraph");
  if (auto text = get_obj(doc, obj, keys::kText, ObjType::Text)) {
    if (auto t = doc.text(*text)) b.text = std::move(*t);
    if (auto m = doc.marks(*text)) b.marks = std::move(*m);
  }
  if (auto attrs = get_obj(doc, obj, keys::kAttrs, ObjType::Map)) b.attrs = read_attrs(doc, *attrs);
  return b;
}

std::vector<Block> read_blocks(const crdt::Document& doc, const ObjId& list) {
  std::vector<Block> out;
  const std::size_t n = doc.length(list).value_or(0);
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    auto obj = element_obj(doc, list, i, ObjType::Map);
    if (!obj) continue;
    if (auto b = read_block(doc, *obj)) out.push_back(std::move(*b));
  }
  return out;
}

std::optional<FoundBlock> find_block(const crdt::Document& doc, const ObjId& list, std::string_view id) {
  if (id.empty()) return std::nullopt;
  const std::size_t n = doc.length(list).value_or(0);
  for (std::size_t i = 0; i < n; ++i) {
    auto obj = element_obj(doc, list, i, ObjType::Map);
    if (!obj) continue;
    auto bid = get_str(doc, *obj, keys::kId);
    if (!bid || *bid != id || is_tombstoned(doc, *obj)) continue;
    return FoundBlock{std::move(*obj), i};
  }
  return std::nullopt;
}

std::vector<std::string> split_ids(std::string_view value) {
  std::vector<std::string> ids;
  std::size_t pos = 0;
  while (pos < value.size()) {
    const std::size_t end = std::min(value.find(' ', pos), value.size());
    if (end > pos) ids.emplace_back(value.substr(pos, end - pos));
    pos = end + 1;
  }
  return ids;
}

std::string join_ids(const std::vector<std::string>& ids) {
  std::string out;
  for (const std::string& id : ids) {
    if (!out.empty()) out.push_back(' ');
    out += id;
  }
  return out;
}

bool names_id(std::string_view value, std::string_view id) {
  for (const std::string& x : split_ids(value))
    if (x == id) return true;
  return false;
}

}  // namespace quern::folio::model::detail

namespace quern::folio::model {

std::optional<bool> attr_bool(const Attrs& attrs, std::string_view key) {
  auto it = attrs.find(key);
  if (it == attrs.end()) return std::nullopt;
  if (const bool* b = std::get_if<bool>(&it->second)) return *b;
  return std::nullopt;
}

std::optional<std::int64_t> attr_int(const Attrs& attrs, std::string_view key) {
  auto it = attrs.find(key);
  if (it == attrs.end()) return std::nullopt;
  if (const std::int64_t* i = std::get_if<std::int64_t>(&it->second)) return *i;
  return std::nullopt;
}

std::optional<double> attr_float(const Attrs& attrs, std::string_view key) {
  auto it = attrs.find(key);
  if (it == attrs.end()) return std::nullopt;
  if (const double* d = std::get_if<double>(&it->second)) return *d;
  return std::nullopt;
}

const std::string* attr_str(const Attrs& attrs, std::string_view key) {
  auto it = attrs.find(key);
  if (it == attrs.end()) return nullptr;
  return std::get_if<std::string>(&it->second);
}

crdt::ScalarValue to_scalar(const AttrValue& value) {
  return std::visit([](const auto& v) { return crdt::ScalarValue(v); }, value);
}

std::optional<AttrValue> to_attr(const crdt::ScalarValue& value) {
  using T = crdt::ScalarType;
  switch (value.type()) {
    case T::Bool: return AttrValue(*value.as_bool());
    case T::Int: return AttrValue(*value.as_int());
    case T::Uint:
      if (*value.as_uint() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
      return AttrValue(static_cast<std::int64_t>(*value.as_uint()));
    case T::F64: return AttrValue(*value.as_f64());
    case T::Str: return AttrValue(*value.as_str());
    case T::Timestamp: return AttrValue(value.as_timestamp()->ms);
    case T::Counter: return AttrValue(value.as_counter()->value);
    case T::Null:
    case T::Bytes: return std::nullopt;
  }
  return std::nullopt;
}

std::string join_texts(const std::vector<Block>& blocks) {
  std::string out;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    if (i > 0) out.push_back(' ');
    out += blocks[i].text;
  }
  return out;
}

std::string Reply::text() const { return join_texts(blocks); }
std::string Comment::text() const { return join_texts(blocks); }
std::string Note::text() const { return join_texts(blocks); }

std::string_view to_string(ChangeKind kind) {
  return kind == ChangeKind::Insertion ? keys::kInsertion : keys::kDeletion;
}

}  // namespace quern::folio::model

#include "apps/word-processor/src/action_json.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace quern::word_processor {

namespace {

// ---- The fields of each record, in declaration order. `each(record, f)` calls
// f(name, member) for every field; one list serves writing (const) and reading.
#define QUERN_RECORD_FIELDS(Type, ...) \
  template <typename F>                \
  void each(const Type& s, F&& f) {    \
    __VA_ARGS__                        \
  }                                    \
  template <typename F>                \
  void each(Type& s, F&& f) {          \
    __VA_ARGS__                        \
  }

QUERN_RECORD_FIELDS(Span, f("block", s.block); f("start", s.start); f("end", s.end);)
QUERN_RECORD_FIELDS(MarkSpan, f("start", s.start); f("end", s.end); f("name", s.name); f("value", s.value);)
QUERN_RECORD_FIELDS(ClipBlock, f("kind", s.kind); f("text", s.text); f("marks", s.marks); f("level", s.level);
                    f("ordered", s.ordered); f("align", s.align);)
QUERN_RECORD_FIELDS(TocTarget, f("heading", s.heading); f("level", s.level); f("text", s.text); f("page", s.page);)
QUERN_RECORD_FIELDS(table_edit::InsertRow, f("at", s.at);)
QUERN_RECORD_FIELDS(table_edit::InsertColumn, f("at", s.at);)
QUERN_RECORD_FIELDS(table_edit::DeleteRow, f("row", s.row);)
QUERN_RECORD_FIELDS(table_edit::DeleteColumn, f("column", s.column);)
QUERN_RECORD_FIELDS(table_edit::Delete, (void)s; (void)f;)

QUERN_RECORD_FIELDS(SpliceText, f("region", s.region); f("block", s.block); f("at", s.at); f("del", s.del);
                    f("ins", s.ins);)
QUERN_RECORD_FIELDS(ReplaceSelection, f("region", s.region); f("start_block", s.start_block); f("start", s.start);
                    f("end_block", s.end_block); f("end", s.end); f("ins", s.ins);)
QUERN_RECORD_FIELDS(SetMark, f("region", s.region); f("spans", s.spans); f("name", s.name); f("value", s.value);
                    f("also_clear", s.also_clear);)
QUERN_RECORD_FIELDS(SetParagraphStyle, f("region", s.region); f("blocks", s.blocks); f("kind", s.kind);
                    f("level", s.level); f("ordered", s.ordered);)
QUERN_RECORD_FIELDS(ApplyNamedStyle, f("region", s.region); f("blocks", s.blocks); f("style", s.style);
                    f("kind", s.kind); f("level", s.level); f("ordered", s.ordered);)
QUERN_RECORD_FIELDS(SetBlockAttr, f("region", s.region); f("blocks", s.blocks); f("key", s.key); f("value", s.value);)
QUERN_RECORD_FIELDS(SetPageMargins, f("top", s.top); f("right", s.right); f("bottom", s.bottom); f("left", s.left);)
QUERN_RECORD_FIELDS(SetStyleProperty, f("style", s.style); f("key", s.key); f("value", s.value);)
QUERN_RECORD_FIELDS(DeleteStyle, f("style", s.style); f("fallback_blocks", s.fallback_blocks);)
QUERN_RECORD_FIELDS(SetImageCrop, f("block", s.block); f("left", s.left); f("top", s.top); f("right", s.right);
                    f("bottom", s.bottom);)
QUERN_RECORD_FIELDS(SetImageSize, f("block", s.block); f("width", s.width); f("height", s.height);)
QUERN_RECORD_FIELDS(SetImagePlacement, f("block", s.block); f("anchor", s.anchor); f("wrap", s.wrap); f("x", s.x);
                    f("y", s.y); f("page", s.page);)
QUERN_RECORD_FIELDS(InsertTable, f("after", s.after); f("rows", s.rows); f("cols", s.cols);)
QUERN_RECORD_FIELDS(EditTable, f("table", s.table); f("edit", s.edit);)
QUERN_RECORD_FIELDS(InsertImage, f("block", s.block); f("at", s.at); f("bytes", s.bytes); f("width", s.width);
                    f("height", s.height);)
QUERN_RECORD_FIELDS(InsertPageBreak, f("region", s.region); f("block", s.block); f("at", s.at);)
QUERN_RECORD_FIELDS(SplitBlock, f("region", s.region); f("block", s.block); f("at", s.at); f("kind", s.kind);
                    f("ordered", s.ordered);)
QUERN_RECORD_FIELDS(InsertField, f("region", s.region); f("block", s.block); f("at", s.at); f("field", s.field);)
QUERN_RECORD_FIELDS(GenerateToc, f("entries", s.entries);)
QUERN_RECORD_FIELDS(PasteFragment, f("region", s.region); f("start_block", s.start_block); f("start", s.start);
                    f("end_block", s.end_block); f("end", s.end); f("blocks", s.blocks);
                    f("adopt_first_style", s.adopt_first_style);)
QUERN_RECORD_FIELDS(InsertParagraph, f("after", s.after); f("text", s.text);)
QUERN_RECORD_FIELDS(RemoveBlocks, f("blocks", s.blocks);)
QUERN_RECORD_FIELDS(ReplaceBody, f("markdown", s.markdown);)
QUERN_RECORD_FIELDS(AcceptChanges, f("id", s.id);)
QUERN_RECORD_FIELDS(RejectChanges, f("id", s.id);)
QUERN_RECORD_FIELDS(ResolveComment, f("id", s.id);)
QUERN_RECORD_FIELDS(AddComment, f("block", s.block); f("start", s.start); f("end", s.end); f("author", s.author);
                    f("date", s.date); f("text", s.text);)
QUERN_RECORD_FIELDS(ReplyToComment, f("comment", s.comment); f("author", s.author); f("date", s.date);
                    f("text", s.text);)

#undef QUERN_RECORD_FIELDS

template <typename T>
struct IsOptional : std::false_type {};
template <typename T>
struct IsOptional<std::optional<T>> : std::true_type {};
template <typename T>
struct IsVector : std::false_type {};
template <typename T>
struct IsVector<std::vector<T>> : std::true_type {};

template <typename T>
concept Record = requires(const T& t) {
  each(t, [](std::string_view, const auto&) {});
};

// ---- Writing

Json write(const std::string& v) { return Json(v); }
Json write(std::uint64_t v) { return Json(v); }
Json write(std::int64_t v) { return Json(v); }
Json write(std::uint8_t v) { return Json(static_cast<std::uint64_t>(v)); }
Json write(bool v) { return Json(v); }
Json write(double v) { return std::isfinite(v) ? Json(v) : Json(nullptr); }
Json write(Region v) { return Json(std::string(folio::model::to_string(v))); }
Json write(const MarkValue& v);
Json write(const AttrValue& v);
Json write(const TableEdit& v);
template <Record T>
Json write(const T& record);

template <typename T>
Json write(const std::optional<T>& v) {
  return v ? write(*v) : Json(nullptr);
}
template <typename T>
Json write(const std::vector<T>& v) {
  Json out = Json::array();
  for (const T& e : v) out.push_back(write(e));
  return out;
}

template <Record T>
Json write(const T& record) {
  Json out = Json::object();
  each(record, [&](std::string_view name, const auto& member) { out[std::string(name)] = write(member); });
  return out;
}

Json one_member(std::string_view name, Json value) {
  Json out = Json::object();
  out[std::string(name)] = std::move(value);
  return out;
}

Json write(const MarkValue& v) {
  return std::visit(
      [](const auto& x) -> Json {
        using X = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<X, bool>) return one_member("Bool", write(x));
        if constexpr (std::is_same_v<X, std::int64_t>) return one_member("Int", write(x));
        if constexpr (std::is_same_v<X, std::string>) return one_member("Str", write(x));
      },
      v);
}

Json write(const AttrValue& v) {
  return std::visit(
      [](const auto& x) -> Json {
        using X = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<X, bool>) return one_member("Bool", write(x));
        if constexpr (std::is_same_v<X, std::int64_t>) return one_member("Int", write(x));
        if constexpr (std::is_same_v<X, double>) return one_member("Float", write(x));
        if constexpr (std::is_same_v<X, std::string>) return one_member("Str", write(x));
      },
      v);
}

Json write(const TableEdit& v) {
  if (std::holds_alternative<table_edit::Delete>(v)) return Json(std::string(table_edit::Delete::kName));
  return std::visit([](const auto& e) { return one_member(std::decay_t<decltype(e)>::kName, write(e)); }, v);
}

// ---- Reading. `where` names the value for errors ("SpliceText.at", "SetMark.spans[2].end").

std::string_view kind_of(const Json& j) {
  switch (j.type()) {
    case Json::value_t::null: return "null";
    case Json::value_t::boolean: return "a boolean";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned: return "an integer";
    case Json::value_t::number_float: return "a float";
    case Json::value_t::string: return "a string";
    case Json::value_t::array: return "an array";
    case Json::value_t::object: return "an object";
    default: return "another kind of value";
  }
}

std::unexpected<Error> wrong(const std::string& where, std::string_view expected, const Json& j) {
  return fail(where + ": expected " + std::string(expected) + ", found " + std::string(kind_of(j)));
}

template <typename T>
struct Tag {};

Result<void> read(const Json& j, std::string& out, const std::string& where, Tag<std::string>) {
  if (!j.is_string()) return wrong(where, "a string", j);
  out = j.get<std::string>();
  return {};
}

Result<void> read(const Json& j, std::uint64_t& out, const std::string& where, Tag<std::uint64_t>) {
  if (j.is_number_unsigned()) {
    out = j.get<std::uint64_t>();
    return {};
  }
  if (j.is_number_integer() && j.get<std::int64_t>() >= 0) {
    out = static_cast<std::uint64_t>(j.get<std::int64_t>());
    return {};
  }
  return wrong(where, "an unsigned integer", j);
}

Result<void> read(const Json& j, std::int64_t& out, const std::string& where, Tag<std::int64_t>) {
  if (j.is_number_unsigned()) {
    const auto u = j.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      return fail(where + ": the integer is out of the signed 64-bit range");
    out = static_cast<std::int64_t>(u);
    return {};
  }
  if (j.is_number_integer()) {
    out = j.get<std::int64_t>();
    return {};
  }
  return wrong(where, "a signed integer", j);
}

Result<void> read(const Json& j, std::uint8_t& out, const std::string& where, Tag<std::uint8_t>) {
  if (!j.is_number_integer() || j.get<std::int64_t>() < 0 || j.get<std::int64_t>() > 255)
    return fail(where + ": expected an integer 0 to 255");
  out = static_cast<std::uint8_t>(j.get<std::int64_t>());
  return {};
}

Result<void> read(const Json& j, bool& out, const std::string& where, Tag<bool>) {
  if (!j.is_boolean()) return wrong(where, "a boolean", j);
  out = j.get<bool>();
  return {};
}

Result<void> read(const Json& j, double& out, const std::string& where, Tag<double>) {
  if (j.is_null()) {
    out = std::numeric_limits<double>::quiet_NaN();
    return {};
  }
  if (!j.is_number()) return wrong(where, "a number", j);
  out = j.get<double>();
  return {};
}

Result<void> read(const Json& j, Region& out, const std::string& where, Tag<Region>) {
  if (!j.is_string()) return wrong(where, "\"Body\", \"Header\" or \"Footer\"", j);
  auto r = folio::model::parse_region(j.get_ref<const std::string&>());
  if (!r)
    return fail(where + ": \"" + j.get<std::string>() + "\" is not a region (\"Body\", \"Header\" or \"Footer\")");
  out = *r;
  return {};
}

template <typename T>
Result<void> read_value(const Json& j, T& out, const std::string& where);

template <typename T>
Result<void> read(const Json& j, std::vector<T>& out, const std::string& where, Tag<std::vector<T>>) {
  if (!j.is_array()) return wrong(where, "an array", j);
  out.clear();
  out.reserve(j.size());
  for (std::size_t i = 0; i < j.size(); ++i) {
    T element{};
    QUERN_TRY(read_value(j[i], element, where + "[" + std::to_string(i) + "]"));
    out.push_back(std::move(element));
  }
  return {};
}

template <typename T>
Result<void> read(const Json& j, std::optional<T>& out, const std::string& where, Tag<std::optional<T>>) {
  if (j.is_null()) {
    out.reset();
    return {};
  }
  T value{};
  QUERN_TRY(read_value(j, value, where));
  out = std::move(value);
  return {};
}

// The single member of a one-member object: its name and value.
Result<std::pair<std::string, const Json*>> single_member(const Json& j, const std::string& where,
                                                          std::string_view expected) {
  if (!j.is_object() || j.size() != 1)
    return fail(where + ": expected an object with exactly one member (" + std::string(expected) + ")");
  return std::pair<std::string, const Json*>(j.begin().key(), &j.begin().value());
}

Result<void> read(const Json& j, MarkValue& out, const std::string& where, Tag<MarkValue>) {
  auto [name, value] = QUERN_TRY(single_member(j, where, "\"Bool\", \"Int\" or \"Str\""));
  if (name == "Bool") return read_value(*value, out.emplace<bool>(), where + ".Bool");
  if (name == "Int") return read_value(*value, out.emplace<std::int64_t>(), where + ".Int");
  if (name == "Str") return read_value(*value, out.emplace<std::string>(), where + ".Str");
  return fail(where + ": \"" + name + "\" is not a mark value (\"Bool\", \"Int\" or \"Str\")");
}

Result<void> read(const Json& j, AttrValue& out, const std::string& where, Tag<AttrValue>) {
  auto [name, value] = QUERN_TRY(single_member(j, where, "\"Bool\", \"Int\", \"Float\" or \"Str\""));
  if (name == "Bool") return read_value(*value, out.emplace<bool>(), where + ".Bool");
  if (name == "Int") return read_value(*value, out.emplace<std::int64_t>(), where + ".Int");
  if (name == "Float") return read_value(*value, out.emplace<double>(), where + ".Float");
  if (name == "Str") return read_value(*value, out.emplace<std::string>(), where + ".Str");
  return fail(where + ": \"" + name + "\" is not an attribute value (\"Bool\", \"Int\", \"Float\" or \"Str\")");
}

template <Record T>
Result<void> read(const Json& j, T& out, const std::string& where, Tag<T>) {
  if (!j.is_object()) return wrong(where, "an object", j);
  Result<void> status;
  each(out, [&](std::string_view name, auto& member) {
    if (!status) return;
    using M = std::decay_t<decltype(member)>;
    const std::string at = where + "." + std::string(name);
    auto it = j.find(name);
    if (it == j.end()) {
      if constexpr (!IsOptional<M>::value) status = fail(at + ": the member is missing");
      return;
    }
    status = read_value(*it, member, at);
  });
  return status;
}

// Reads `value` into the alternative of `out` named `name` (alternatives are records with a
// `kName`); false when no alternative has that name.
template <typename V, std::size_t I = 0>
Result<bool> read_alternative(const std::string& name, const Json& value, V& out, const std::string& where) {
  if constexpr (I == std::variant_size_v<V>) {
    return false;
  } else {
    using A = std::variant_alternative_t<I, V>;
    if (name != A::kName) return read_alternative<V, I + 1>(name, value, out, where);
    QUERN_TRY(read_value(value, out.template emplace<I>(), where.empty() ? name : where + "." + name));
    return true;
  }
}

Result<void> read(const Json& j, TableEdit& out, const std::string& where, Tag<TableEdit>) {
  if (j.is_string() && j.get_ref<const std::string&>() == table_edit::Delete::kName) {
    out = table_edit::Delete{};
    return {};
  }
  auto [name, value] = QUERN_TRY(
      single_member(j, where, "\"InsertRow\", \"InsertColumn\", \"DeleteRow\", \"DeleteColumn\"; or \"Delete\""));
  if (name != table_edit::Delete::kName && QUERN_TRY(read_alternative(name, *value, out, where))) return {};
  return fail(where + ": \"" + name + "\" is not a table edit");
}

template <typename T>
Result<void> read_value(const Json& j, T& out, const std::string& where) {
  return read(j, out, where, Tag<T>{});
}

template <typename T>
Result<T> read_top(const Json& j, std::string_view name) {
  T out{};
  QUERN_TRY(read_value(j, out, std::string(name)));
  return out;
}

}  // namespace

Json to_json(const WordProcessorAction& action) {
  return std::visit([](const auto& a) { return one_member(std::decay_t<decltype(a)>::kName, write(a)); }, action);
}
Json to_json(const Span& span) { return write(span); }
Json to_json(const MarkSpan& mark) { return write(mark); }
Json to_json(const ClipBlock& block) { return write(block); }
Json to_json(const TocTarget& target) { return write(target); }
Json to_json(const TableEdit& edit) { return write(edit); }
Json mark_value_to_json(const MarkValue& value) { return write(value); }
Json attr_value_to_json(const AttrValue& value) { return write(value); }

Result<WordProcessorAction> action_from_json(const Json& json) {
  const std::string where = "word-processor action";
  auto [name, value] = QUERN_TRY(single_member(json, where, "named after the operation"));
  WordProcessorAction action;
  if (!QUERN_TRY(read_alternative(name, *value, action, std::string())))
    return fail("\"" + name + "\" is not a word-processor action");
  return action;
}

Result<WordProcessorAction> parse_action(std::string_view text) {
  const Json json = QUERN_TRY_CTX(parse_json(text), "read a word-processor action");
  return action_from_json(json);
}

Result<Span> span_from_json(const Json& json) { return read_top<Span>(json, "Span"); }
Result<MarkSpan> mark_span_from_json(const Json& json) { return read_top<MarkSpan>(json, "MarkSpan"); }
Result<ClipBlock> clip_block_from_json(const Json& json) { return read_top<ClipBlock>(json, "ClipBlock"); }
Result<TocTarget> toc_target_from_json(const Json& json) { return read_top<TocTarget>(json, "TocTarget"); }
Result<TableEdit> table_edit_from_json(const Json& json) { return read_top<TableEdit>(json, "TableEdit"); }
Result<MarkValue> mark_value_from_json(const Json& json) { return read_top<MarkValue>(json, "MarkValue"); }
Result<AttrValue> attr_value_from_json(const Json& json) { return read_top<AttrValue>(json, "AttrValue"); }

}  // namespace quern::word_processor

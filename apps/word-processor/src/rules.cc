#include "apps/word-processor/src/rules.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <unordered_set>

#include "apps/word-processor/src/hyperlink.h"
#include "runtime/folio/doc_mut.h"
#include "runtime/folio/id_gen.h"
#include "runtime/folio/lookup.h"
#include "runtime/util/unicode.h"

namespace quern::word_processor {

using folio::model::attr_str;
using folio::model::is_identifier_token;

namespace {

constexpr std::array<std::string_view, 4> kAlignments = {"left", "center", "right", "justify"};
constexpr std::size_t kMaxAttrStrBytes = 4096;
constexpr std::size_t kMaxStyleNameChars = 256;
constexpr std::size_t kMaxStyleIdBytes = 128;
constexpr std::int64_t kMaxLevel = 9;
constexpr std::int64_t kMaxImageSide = 100'000;
constexpr std::int64_t kMinImageSizeSide = 16;
constexpr std::int64_t kMaxCropInset = 9'500;
constexpr std::int64_t kMaxOffset = 100'000;
constexpr std::int64_t kMaxPage = 10'000;
constexpr std::int64_t kMaxTocPage = 100'000;
constexpr double kMinMargin = 4.0;
constexpr double kMaxGeometry = 10'000.0;

Result<void> rule(bool holds, std::string_view what) {
  if (holds) return {};
  return fail(std::string(what));
}

template <std::size_t N>
bool one_of(std::string_view value, const std::array<std::string_view, N>& words) {
  return std::find(words.begin(), words.end(), value) != words.end();
}

const std::string* as_str(const AttrValue& v) { return std::get_if<std::string>(&v); }
const std::int64_t* as_int(const AttrValue& v) { return std::get_if<std::int64_t>(&v); }
bool is_bool(const AttrValue& v) { return std::holds_alternative<bool>(v); }
bool float_in(const AttrValue& v, double lo, double hi) {
  const double* d = std::get_if<double>(&v);
  return d && std::isfinite(*d) && *d >= lo && *d <= hi;
}
bool int_in(const AttrValue& v, std::int64_t lo, std::int64_t hi) {
  const std::int64_t* i = as_int(v);
  return i && *i >= lo && *i <= hi;
}
bool in_range(std::int64_t v, std::int64_t lo, std::int64_t hi) { return v >= lo && v <= hi; }
bool level_ok(const std::optional<std::int64_t>& level) { return !level || in_range(*level, 0, kMaxLevel); }

// ---- Shared checks

// The block of `region` with this id, or an error.
Result<const DocState::BlockInfo*> found(DocState& st, Region region, std::string_view id) {
  const DocState::BlockInfo* b = st.block(region, id);
  if (!b) return fail("no block \"" + std::string(id) + "\" in the " + std::string(folio::model::to_string(region)));
  return b;
}

Result<const DocState::BlockInfo*> found_image(DocState& st, std::string_view id) {
  const DocState::BlockInfo* b = QUERN_TRY(found(st, Region::Body, id));
  QUERN_TRY(rule(b->kind == "image", "the block is not an image"));
  return b;
}

Result<void> offset_within(const DocState::BlockInfo& block, std::uint64_t at) {
  return rule(at <= block.length, "the offset is beyond the block's text");
}

Result<void> block_list(DocState& st, Region region, const std::vector<std::string>& blocks) {
  QUERN_TRY(rule(!blocks.empty(), "the block list is empty"));
  std::unordered_set<std::string_view> seen;
  for (const std::string& id : blocks) {
    QUERN_TRY(found(st, region, id));
    QUERN_TRY(rule(seen.insert(id).second, "a block is listed twice"));
  }
  return {};
}

Result<void> range(DocState& st, Region region, const std::string& start_block, std::uint64_t start,
                   const std::string& end_block, std::uint64_t end) {
  const DocState::BlockInfo* a = QUERN_TRY(found(st, region, start_block));
  const DocState::BlockInfo* b = QUERN_TRY(found(st, region, end_block));
  QUERN_TRY(rule(start <= a->length, "the start is beyond its block's text"));
  QUERN_TRY(rule(end <= b->length, "the end is beyond its block's text"));
  if (start_block == end_block) return rule(start <= end, "the range ends before it starts");
  const auto pa = st.position(region, start_block), pb = st.position(region, end_block);
  return rule(pa && pb && *pa < *pb, "the start block comes after the end block");
}

Result<void> text(std::string_view t) { return rule(within_text_limit(t), "a text is longer than the limit"); }

Result<void> mark_value(std::string_view name, const MarkValue& value) {
  const std::string* s = std::get_if<std::string>(&value);
  if (name == folio::model::keys::kLinkMark)
    return rule(s && is_safe_hyperlink_target(*s), "the hyperlink target is not a safe one");
  if (s) return text(*s);
  return {};
}

// ---- Per operation

Result<void> check(const SpliceText& a, DocState& st) {
  const DocState::BlockInfo* b = QUERN_TRY(found(st, a.region, a.block));
  const std::size_t length = b->length;
  QUERN_TRY(rule(a.at <= length, "the offset is beyond the block's text"));
  QUERN_TRY(rule(a.del <= length - a.at, "the deletion runs past the block's text"));
  return text(a.ins);
}

Result<void> check(const ReplaceSelection& a, DocState& st) {
  QUERN_TRY(range(st, a.region, a.start_block, a.start, a.end_block, a.end));
  return text(a.ins);
}

Result<void> check(const SetMark& a, DocState& st) {
  QUERN_TRY(rule(is_identifier_token(a.name), "the mark name is not an identifier token"));
  for (const std::string& name : a.also_clear)
    QUERN_TRY(rule(is_identifier_token(name), "a mark to clear is not an identifier token"));
  QUERN_TRY(rule(!a.spans.empty() && a.spans.size() <= kMaxListItems, "the span count is out of range"));
  for (const Span& span : a.spans) {
    const DocState::BlockInfo* b = QUERN_TRY(found(st, a.region, span.block));
    QUERN_TRY(rule(span.start < span.end && span.end <= b->length, "a span is empty or beyond its block"));
  }
  if (a.value) QUERN_TRY(mark_value(a.name, *a.value));
  return {};
}

Result<void> check(const SetParagraphStyle& a, DocState& st) {
  QUERN_TRY(block_list(st, a.region, a.blocks));
  QUERN_TRY(rule(is_identifier_token(a.kind), "the kind is not an identifier token"));
  return rule(level_ok(a.level), "the level is out of range");
}

Result<void> check(const ApplyNamedStyle& a, DocState& st) {
  QUERN_TRY(block_list(st, a.region, a.blocks));
  QUERN_TRY(rule(!a.style.empty() && a.style.size() <= kMaxStyleIdBytes, "the style id is empty or too long"));
  QUERN_TRY(rule(!a.kind || is_identifier_token(*a.kind), "the kind is not an identifier token"));
  return rule(level_ok(a.level), "the level is out of range");
}

Result<void> check(const SetBlockAttr& a, DocState& st) {
  QUERN_TRY(block_list(st, a.region, a.blocks));
  return rule(block_attr_passes(a.key, a.value), "the attribute is not one Writer sets, or its value is out of range");
}

Result<void> check(const SetPageMargins& a, DocState&) {
  for (double m : {a.top, a.right, a.bottom, a.left})
    QUERN_TRY(rule(std::isfinite(m) && m >= kMinMargin && m <= kMaxGeometry, "a margin is out of range"));
  return {};
}

Result<void> check(const SetStyleProperty& a, DocState& st) {
  QUERN_TRY(rule(is_identifier_token(a.style), "the style id is not an identifier token"));
  QUERN_TRY(rule(!folio::model::style_is_tombstoned(st.document(), st.schema(), a.style), "the style was deleted"));
  return rule(style_property_passes(a.key, a.value),
              "the property is not one Writer sets, or its value is out of range");
}

Result<void> check(const DeleteStyle& a, DocState& st) {
  QUERN_TRY(rule(is_identifier_token(a.style), "the style id is not an identifier token"));
  QUERN_TRY(rule(!is_builtin_style(a.style), "built-in styles are never deleted"));
  const auto ids = folio::model::style_ids(st.document(), st.schema());
  QUERN_TRY(rule(std::find(ids.begin(), ids.end(), a.style) != ids.end(), "the document has no such style"));
  for (const std::string& id : a.fallback_blocks) {
    const auto b = st.whole_block(Region::Body, id);
    QUERN_TRY(rule(b.has_value(), "a fallback block does not exist"));
    const std::string* style = attr_str(b->attrs, "style");
    QUERN_TRY(rule(style && *style == a.style, "a fallback block does not use the style"));
  }
  return {};
}

Result<void> check(const SetImageCrop& a, DocState& st) {
  QUERN_TRY(found_image(st, a.block));
  for (std::int64_t inset : {a.left, a.top, a.right, a.bottom})
    QUERN_TRY(rule(in_range(inset, 0, kMaxCropInset), "a crop inset is out of range"));
  QUERN_TRY(rule(a.left + a.right <= kMaxCropInset, "the crop leaves too little width"));
  return rule(a.top + a.bottom <= kMaxCropInset, "the crop leaves too little height");
}

Result<void> check(const SetImageSize& a, DocState& st) {
  QUERN_TRY(found_image(st, a.block));
  return rule(
      in_range(a.width, kMinImageSizeSide, kMaxImageSide) && in_range(a.height, kMinImageSizeSide, kMaxImageSide),
      "the image size is out of range");
}

Result<void> check(const SetImagePlacement& a, DocState& st) {
  QUERN_TRY(found_image(st, a.block));
  QUERN_TRY(rule(one_of(a.anchor, std::array<std::string_view, 3>{"inline", "paragraph", "page"}),
                 "the anchor is not one Writer knows"));
  QUERN_TRY(rule(one_of(a.wrap, std::array<std::string_view, 4>{"none", "left", "right", "both"}),
                 "the wrap is not one Writer knows"));
  QUERN_TRY(rule(in_range(a.x, -kMaxOffset, kMaxOffset) && in_range(a.y, -kMaxOffset, kMaxOffset),
                 "the image offset is out of range"));
  return rule(in_range(a.page, 0, kMaxPage), "the page is out of range");
}

Result<void> check(const InsertTable& a, DocState& st) {
  QUERN_TRY(found(st, Region::Body, a.after));
  return rule(a.rows >= 1 && a.rows <= kMaxTableSide && a.cols >= 1 && a.cols <= kMaxTableSide,
              "the table size is out of range");
}

Result<void> check(const EditTable& a, DocState& st) {
  const DocumentView* view = QUERN_TRY(st.view());
  const auto table = find_table(*view, a.table);
  QUERN_TRY(rule(table && table->well_formed(), "the table does not exist or its cells do not fill its grid"));
  const auto rows = static_cast<std::uint64_t>(table->rows), cols = static_cast<std::uint64_t>(table->cols);
  return std::visit(
      [&](const auto& e) -> Result<void> {
        using E = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<E, table_edit::InsertRow>)
          return rule(e.at <= rows && rows < kMaxTableSide, "the row cannot be inserted there");
        if constexpr (std::is_same_v<E, table_edit::InsertColumn>)
          return rule(e.at <= cols && cols < kMaxTableSide, "the column cannot be inserted there");
        if constexpr (std::is_same_v<E, table_edit::DeleteRow>) return rule(e.row < rows, "there is no such row");
        if constexpr (std::is_same_v<E, table_edit::DeleteColumn>)
          return rule(e.column < cols, "there is no such column");
        return {};
      },
      a.edit);
}

Result<void> check(const InsertImage& a, DocState& st) {
  const DocState::BlockInfo* b = QUERN_TRY(found(st, Region::Body, a.block));
  QUERN_TRY(offset_within(*b, a.at));
  QUERN_TRY(rule(!a.bytes.empty() && a.bytes.size() <= folio::model::kMaxBlobBytes,
                 "the image size in bytes is out of range"));
  for (const auto& side : {a.width, a.height})
    QUERN_TRY(rule(!side || in_range(*side, 1, kMaxImageSide), "the image size is out of range"));
  return {};
}

Result<void> check(const InsertPageBreak& a, DocState& st) {
  return offset_within(*QUERN_TRY(found(st, a.region, a.block)), a.at);
}

Result<void> check(const SplitBlock& a, DocState& st) {
  QUERN_TRY(offset_within(*QUERN_TRY(found(st, a.region, a.block)), a.at));
  return rule(a.kind == "paragraph" || a.kind == "list_item", "a block splits into a paragraph or a list item");
}

Result<void> check(const InsertField& a, DocState& st) {
  QUERN_TRY(offset_within(*QUERN_TRY(found(st, a.region, a.block)), a.at));
  return rule(a.field == folio::model::keys::kPageNumberField, "the field is not one Writer knows");
}

Result<void> check(const GenerateToc& a, DocState& st) {
  QUERN_TRY(rule(!a.entries.empty() && a.entries.size() <= kMaxListItems, "the entry count is out of range"));
  std::unordered_set<std::string_view> headings;
  for (const TocTarget& e : a.entries) {
    QUERN_TRY(rule(headings.insert(e.heading).second, "two entries name the same heading"));
    QUERN_TRY(rule(in_range(e.level, 1, kMaxLevel), "an entry's level is out of range"));
    QUERN_TRY(text(e.text));
    QUERN_TRY(rule(!e.page || in_range(*e.page, 0, kMaxTocPage), "an entry's page is out of range"));
    const DocState::BlockInfo* b = QUERN_TRY(found(st, Region::Body, e.heading));
    QUERN_TRY(rule(b->kind == "heading", "an entry does not name a heading"));
  }
  return {};
}

Result<void> check(const PasteFragment& a, DocState& st) {
  QUERN_TRY(range(st, a.region, a.start_block, a.start, a.end_block, a.end));
  QUERN_TRY(rule(!a.blocks.empty() && a.blocks.size() <= kMaxListItems, "the clip block count is out of range"));
  for (const ClipBlock& clip : a.blocks) {
    QUERN_TRY(text(clip.text));
    QUERN_TRY(rule(is_identifier_token(clip.kind), "a clip block's kind is not an identifier token"));
    QUERN_TRY(rule(level_ok(clip.level), "a clip block's level is out of range"));
    const std::size_t length = unicode::char_count(clip.text);
    for (const MarkSpan& m : clip.marks) {
      QUERN_TRY(rule(is_identifier_token(m.name), "a clip mark's name is not an identifier token"));
      QUERN_TRY(rule(m.start < m.end && m.end <= length, "a clip mark is empty or beyond its text"));
      // Pasted links pass the same check as links set directly.
      QUERN_TRY(mark_value(m.name, m.value));
    }
  }
  return {};
}

Result<void> check(const InsertParagraph& a, DocState& st) {
  QUERN_TRY(found(st, Region::Body, a.after));
  return text(a.text);
}

Result<void> check(const RemoveBlocks& a, DocState& st) { return block_list(st, Region::Body, a.blocks); }

Result<void> check(const ReplaceBody& a, DocState&) { return text(a.markdown); }

Result<void> change_check(const std::optional<std::string>& id, DocState& st) {
  if (!id) return {};
  const DocumentView* view = QUERN_TRY(st.view());
  return rule(find_change(*view, *id) != nullptr, "there is no such tracked change");
}
Result<void> check(const AcceptChanges& a, DocState& st) { return change_check(a.id, st); }
Result<void> check(const RejectChanges& a, DocState& st) { return change_check(a.id, st); }

Result<void> check(const ResolveComment& a, DocState& st) {
  QUERN_TRY(rule(!a.id.empty(), "the comment id is empty"));
  const DocumentView* view = QUERN_TRY(st.view());
  return rule(find_comment(*view, a.id) != nullptr, "there is no such comment");
}

Result<void> check(const AddComment& a, DocState& st) {
  const DocState::BlockInfo* b = QUERN_TRY(found(st, Region::Body, a.block));
  QUERN_TRY(rule(a.start < a.end && a.end <= b->length, "the commented range is empty or beyond the text"));
  QUERN_TRY(rule(is_valid_author(a.author), "the author is empty or too long"));
  QUERN_TRY(rule(is_valid_date(a.date), "the date is too long"));
  return text(a.text);
}

Result<void> check(const ReplyToComment& a, DocState& st) {
  const DocumentView* view = QUERN_TRY(st.view());
  QUERN_TRY(rule(find_comment(*view, a.comment) != nullptr, "there is no such comment"));
  QUERN_TRY(rule(is_valid_author(a.author), "the author is empty or too long"));
  QUERN_TRY(rule(is_valid_date(a.date), "the date is too long"));
  return text(a.text);
}

}  // namespace

bool within_text_limit(std::string_view t) {
  // Cheap first: a text of at most kTextLimit bytes has at most that many characters.
  return t.size() <= kTextLimit || unicode::char_count(t) <= kTextLimit;
}

bool is_valid_author(std::string_view author) {
  return !unicode::trim(author).empty() && unicode::char_count(author) <= kMaxAuthorChars;
}

bool is_valid_date(std::string_view date) { return unicode::char_count(date) <= kMaxDateChars; }

bool block_attr_passes(std::string_view key, const AttrValue& value) {
  if (key == "align") return as_str(value) && one_of(*as_str(value), kAlignments);
  if (key == "page_break_before" || key == "flip_h" || key == "flip_v") return is_bool(value);
  if (key == "indent" || key == "line_spacing") return float_in(value, 0.0, kMaxGeometry);
  if (key == "first_line_indent") return float_in(value, -kMaxGeometry, kMaxGeometry);
  if (key == "tab_stops" || key == "style") return as_str(value) && as_str(value)->size() <= kMaxAttrStrBytes;
  if (key == "width" || key == "height") return int_in(value, 1, kMaxImageSide);
  return false;
}

bool style_property_passes(std::string_view key, const AttrValue& value) {
  const std::string* s = as_str(value);
  if (key == "name") return s && unicode::char_count(*s) <= kMaxStyleNameChars;
  if (key == "font") return s && one_of(*s, std::array<std::string_view, 3>{"sans", "serif", "mono"});
  if (key == "size") return float_in(value, 6.0, 200.0);
  if (key == "bold" || key == "italic") return is_bool(value);
  if (key == "color") return s && s->size() == 7 && s->front() == '#';
  if (key == "align") return s && one_of(*s, kAlignments);
  if (key == "space_before" || key == "space_after" || key == "indent") return float_in(value, 0.0, kMaxGeometry);
  return false;
}

Result<void> check_action(const WordProcessorAction& action, DocState& state) {
  return std::visit([&](const auto& a) { return check(a, state); }, action);
}

}  // namespace quern::word_processor

// WordProcessorAction: one change to a word-processor document, as the keyword planner builds
// it and as the action directory carries it (operation type "word-processor.action"). Plain
// values with their supporting records; the JSON form is in action_json.h, the checks in
// rules.h, the applier in apply.h.
//
// Offsets (`at`, `del`, `start`, `end`) count characters of a block's text. Block ids are the
// document library's ids. Operations without a `region` act on the body.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "runtime/folio/document_view.h"
#include "runtime/folio/schema.h"

namespace quern::word_processor {

using folio::model::Region;

// A block attribute or style property value: Bool, Int, Float or Str (in that order).
using AttrValue = folio::model::AttrValue;
// A mark value: Bool, Int or Str.
using MarkValue = std::variant<bool, std::int64_t, std::string>;

struct Span {
  std::string block;
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  bool operator==(const Span&) const = default;
};

// A mark over [start, end) of the text of the block (or clip block) that carries it.
struct MarkSpan {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  std::string name;
  MarkValue value;
  bool operator==(const MarkSpan&) const = default;
};

// One block of a pasted fragment.
struct ClipBlock {
  std::string kind;
  std::string text;
  std::vector<MarkSpan> marks;  // offsets into `text`
  std::optional<std::int64_t> level;
  std::optional<bool> ordered;
  std::optional<std::string> align;
  bool operator==(const ClipBlock&) const = default;
};

// One line of a table of contents.
struct TocTarget {
  std::string heading;  // block id of a heading
  std::int64_t level = 1;
  std::string text;
  std::optional<std::int64_t> page;
  bool operator==(const TocTarget&) const = default;
};

namespace table_edit {
struct InsertRow {
  static constexpr std::string_view kName = "InsertRow";
  std::uint64_t at = 0;
  bool operator==(const InsertRow&) const = default;
};
struct InsertColumn {
  static constexpr std::string_view kName = "InsertColumn";
  std::uint64_t at = 0;
  bool operator==(const InsertColumn&) const = default;
};
struct DeleteRow {
  static constexpr std::string_view kName = "DeleteRow";
  std::uint64_t row = 0;
  bool operator==(const DeleteRow&) const = default;
};
struct DeleteColumn {
  static constexpr std::string_view kName = "DeleteColumn";
  std::uint64_t column = 0;
  bool operator==(const DeleteColumn&) const = default;
};
struct Delete {
  static constexpr std::string_view kName = "Delete";
  bool operator==(const Delete&) const = default;
};
}  // namespace table_edit
using TableEdit = std::variant<table_edit::InsertRow, table_edit::InsertColumn, table_edit::DeleteRow,
                               table_edit::DeleteColumn, table_edit::Delete>;

// ---- The 28 variants, in declaration order.

struct SpliceText {
  static constexpr std::string_view kName = "SpliceText";
  Region region = Region::Body;
  std::string block;
  std::uint64_t at = 0;
  std::uint64_t del = 0;
  std::string ins;
  bool operator==(const SpliceText&) const = default;
};

struct ReplaceSelection {
  static constexpr std::string_view kName = "ReplaceSelection";
  Region region = Region::Body;
  std::string start_block;
  std::uint64_t start = 0;
  std::string end_block;
  std::uint64_t end = 0;
  std::string ins;
  bool operator==(const ReplaceSelection&) const = default;
};

struct SetMark {
  static constexpr std::string_view kName = "SetMark";
  Region region = Region::Body;
  std::vector<Span> spans;
  std::string name;
  std::optional<MarkValue> value;  // nothing: remove the mark
  std::vector<std::string> also_clear;
  bool operator==(const SetMark&) const = default;
};

struct SetParagraphStyle {
  static constexpr std::string_view kName = "SetParagraphStyle";
  Region region = Region::Body;
  std::vector<std::string> blocks;
  std::string kind;
  std::optional<std::int64_t> level;
  std::optional<bool> ordered;
  bool operator==(const SetParagraphStyle&) const = default;
};

struct ApplyNamedStyle {
  static constexpr std::string_view kName = "ApplyNamedStyle";
  Region region = Region::Body;
  std::vector<std::string> blocks;
  std::string style;
  std::optional<std::string> kind;
  std::optional<std::int64_t> level;
  std::optional<bool> ordered;
  bool operator==(const ApplyNamedStyle&) const = default;
};

struct SetBlockAttr {
  static constexpr std::string_view kName = "SetBlockAttr";
  Region region = Region::Body;
  std::vector<std::string> blocks;
  std::string key;
  AttrValue value;
  bool operator==(const SetBlockAttr&) const = default;
};

struct SetPageMargins {
  static constexpr std::string_view kName = "SetPageMargins";
  double top = 0, right = 0, bottom = 0, left = 0;
  bool operator==(const SetPageMargins&) const = default;
};

struct SetStyleProperty {
  static constexpr std::string_view kName = "SetStyleProperty";
  std::string style;
  std::string key;
  AttrValue value;
  bool operator==(const SetStyleProperty&) const = default;
};

struct DeleteStyle {
  static constexpr std::string_view kName = "DeleteStyle";
  std::string style;
  std::vector<std::string> fallback_blocks;
  bool operator==(const DeleteStyle&) const = default;
};

struct SetImageCrop {
  static constexpr std::string_view kName = "SetImageCrop";
  std::string block;
  std::int64_t left = 0, top = 0, right = 0, bottom = 0;  // ten-thousandths of the width / height
  bool operator==(const SetImageCrop&) const = default;
};

struct SetImageSize {
  static constexpr std::string_view kName = "SetImageSize";
  std::string block;
  std::int64_t width = 0, height = 0;
  bool operator==(const SetImageSize&) const = default;
};

struct SetImagePlacement {
  static constexpr std::string_view kName = "SetImagePlacement";
  std::string block;
  std::string anchor;
  std::string wrap;
  std::int64_t x = 0, y = 0;
  std::int64_t page = 0;
  bool operator==(const SetImagePlacement&) const = default;
};

struct InsertTable {
  static constexpr std::string_view kName = "InsertTable";
  std::string after;
  std::uint64_t rows = 0;
  std::uint64_t cols = 0;
  bool operator==(const InsertTable&) const = default;
};

struct EditTable {
  static constexpr std::string_view kName = "EditTable";
  std::string table;
  TableEdit edit;
  bool operator==(const EditTable&) const = default;
};

struct InsertImage {
  static constexpr std::string_view kName = "InsertImage";
  std::string block;
  std::uint64_t at = 0;
  std::vector<std::uint8_t> bytes;
  std::optional<std::int64_t> width;
  std::optional<std::int64_t> height;
  bool operator==(const InsertImage&) const = default;
};

struct InsertPageBreak {
  static constexpr std::string_view kName = "InsertPageBreak";
  Region region = Region::Body;
  std::string block;
  std::uint64_t at = 0;
  bool operator==(const InsertPageBreak&) const = default;
};

struct SplitBlock {
  static constexpr std::string_view kName = "SplitBlock";
  Region region = Region::Body;
  std::string block;
  std::uint64_t at = 0;
  std::string kind;
  std::optional<bool> ordered;
  bool operator==(const SplitBlock&) const = default;
};

struct InsertField {
  static constexpr std::string_view kName = "InsertField";
  Region region = Region::Body;
  std::string block;
  std::uint64_t at = 0;
  std::string field;
  bool operator==(const InsertField&) const = default;
};

struct GenerateToc {
  static constexpr std::string_view kName = "GenerateToc";
  std::vector<TocTarget> entries;
  bool operator==(const GenerateToc&) const = default;
};

struct PasteFragment {
  static constexpr std::string_view kName = "PasteFragment";
  Region region = Region::Body;
  std::string start_block;
  std::uint64_t start = 0;
  std::string end_block;
  std::uint64_t end = 0;
  std::vector<ClipBlock> blocks;
  bool adopt_first_style = false;
  bool operator==(const PasteFragment&) const = default;
};

struct InsertParagraph {
  static constexpr std::string_view kName = "InsertParagraph";
  std::string after;
  std::string text;
  bool operator==(const InsertParagraph&) const = default;
};

struct RemoveBlocks {
  static constexpr std::string_view kName = "RemoveBlocks";
  std::vector<std::string> blocks;
  bool operator==(const RemoveBlocks&) const = default;
};

struct ReplaceBody {
  static constexpr std::string_view kName = "ReplaceBody";
  std::string markdown;
  bool operator==(const ReplaceBody&) const = default;
};

struct AcceptChanges {
  static constexpr std::string_view kName = "AcceptChanges";
  std::optional<std::string> id;  // nothing: every change of the body
  bool operator==(const AcceptChanges&) const = default;
};

struct RejectChanges {
  static constexpr std::string_view kName = "RejectChanges";
  std::optional<std::string> id;
  bool operator==(const RejectChanges&) const = default;
};

struct ResolveComment {
  static constexpr std::string_view kName = "ResolveComment";
  std::string id;
  bool operator==(const ResolveComment&) const = default;
};

struct AddComment {
  static constexpr std::string_view kName = "AddComment";
  std::string block;
  std::uint64_t start = 0, end = 0;
  std::string author;
  std::string date;
  std::string text;
  bool operator==(const AddComment&) const = default;
};

struct ReplyToComment {
  static constexpr std::string_view kName = "ReplyToComment";
  std::string comment;
  std::string author;
  std::string date;
  std::string text;
  bool operator==(const ReplyToComment&) const = default;
};

using WordProcessorAction =
    std::variant<SpliceText, ReplaceSelection, SetMark, SetParagraphStyle, ApplyNamedStyle, SetBlockAttr,
                 SetPageMargins, SetStyleProperty, DeleteStyle, SetImageCrop, SetImageSize, SetImagePlacement,
                 InsertTable, EditTable, InsertImage, InsertPageBreak, SplitBlock, InsertField, GenerateToc,
                 PasteFragment, InsertParagraph, RemoveBlocks, ReplaceBody, AcceptChanges, RejectChanges,
                 ResolveComment, AddComment, ReplyToComment>;

// The variant's name ("SpliceText", ...), which is also its JSON member name.
std::string_view variant_name(const WordProcessorAction& action);
// The variant names in declaration order.
const std::vector<std::string_view>& variant_names();

// The names of the table edits ("InsertRow", ..., "Delete").
std::string_view variant_name(const TableEdit& edit);

}  // namespace quern::word_processor

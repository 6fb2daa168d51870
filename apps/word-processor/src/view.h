// How the word-processor surface reads a folio document view (runtime/folio/document_view.h):
// finding and measuring blocks, neighbours, paragraphs and list items, tables with their grid
// and well-formedness, images, headings, table-of-contents lines, and the texts shown for
// comments, replies and notes that have no author or text.
//
// Everything here reads a view the caller holds and returns pointers into it: a result is
// valid while that view is. No state, no I/O; call from any thread that owns the view.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/crdt/document.h"
#include "runtime/folio/document_view.h"
#include "runtime/folio/schema.h"
#include "runtime/util/error.h"

namespace quern::word_processor {

using folio::model::Block;
using folio::model::DocumentView;
using folio::model::Region;

// The message an operation reports when the document does not open as a folio document.
inline constexpr std::string_view kDocumentUnavailable = "Writer document is unavailable or has not been initialized";

// Opens the document under the folio schema and materializes it. On failure the error's
// message is kDocumentUnavailable and its cause the library's reason.
Result<DocumentView> load_view(const crdt::Document& document);

// ---- Blocks.
// The number of characters (Unicode scalar values) of the block's text.
std::size_t char_length(const Block& block);
// An offset is valid when it is at most the block's length.
inline bool offset_valid(const Block& block, std::size_t offset) { return offset <= char_length(block); }

struct BlockRef {
  const Block* block = nullptr;
  std::size_t index = 0;   // position in its region's list
  std::size_t length = 0;  // characters of its text
};
// The block of `region` with exactly this id; nothing when no block has it.
std::optional<BlockRef> find_block(const DocumentView& view, Region region, std::string_view id);
// The previous and next entries of the same region's list (never blocks of other regions).
const Block* block_above(const DocumentView& view, Region region, std::string_view id);
const Block* block_below(const DocumentView& view, Region region, std::string_view id);

// Body blocks of one kind, in document order ("paragraph" for paragraphs).
std::vector<const Block*> body_blocks_of_kind(const DocumentView& view, std::string_view kind);

struct ListItem {
  const Block* block = nullptr;
  std::int64_t level = 0;  // "level", 0 when absent
  bool ordered = false;    // "ordered" true: numbered
};
std::vector<ListItem> list_items(const DocumentView& view);

// ---- Headings and tables of contents.
struct Heading {
  const Block* block = nullptr;
  std::optional<std::int64_t> level;  // "level"; nothing when absent or not an integer
};
std::vector<Heading> headings(const DocumentView& view);

struct TocLine {
  const Block* block = nullptr;
  std::optional<std::int64_t> level;   // "toc_level"
  std::optional<std::string> heading;  // "toc_heading": the heading's block id
};
// Body blocks whose "toc" attribute is true.
std::vector<TocLine> toc_lines(const DocumentView& view);

// ---- Images.
struct Image {
  const Block* block = nullptr;
  std::optional<std::string> blob;  // "blob": the blob store hash of the picture
  std::optional<std::int64_t> width, height;
  std::int64_t crop_left = 0, crop_top = 0, crop_right = 0, crop_bottom = 0;  // absent: 0
  std::optional<std::string> anchor, wrap;
};
// Body blocks of kind "image", in document order.
std::vector<Image> images(const DocumentView& view);

// ---- Tables. A table is the set of body blocks of kind "cell" whose "table" attribute is the
// same string (a cell whose "table" is not a string belongs to no table).
struct TableCell {
  const Block* block = nullptr;
  std::size_t index = 0;                 // position in the body
  std::optional<std::int64_t> row, col;  // "row", "col"; nothing when absent or not integers
};
struct Table {
  std::string id;
  std::size_t first_index = 0;   // body position of its first cell: the table's position
  std::vector<TableCell> cells;  // in document order
  std::int64_t rows = 0;         // one more than the largest row (0 without any)
  std::int64_t cols = 0;         // one more than the largest column

  // Every cell has a row and a column of at least 0, no two cells share a place, and the cell
  // count is rows × columns: the cells fill the grid exactly.
  bool well_formed() const;
  const TableCell* cell_at(std::int64_t row, std::int64_t col) const;
};
// The document's tables, in the order of their first cells.
std::vector<Table> tables(const DocumentView& view);
std::optional<Table> find_table(const DocumentView& view, std::string_view id);

// ---- Comments, changes, notes, styles.
const folio::model::Comment* find_comment(const DocumentView& view, std::string_view id);
const folio::model::TrackedChange* find_change(const DocumentView& view, std::string_view id);

inline constexpr std::string_view kUnknownAuthor = "Unknown author";
inline constexpr std::string_view kEmptyComment = "Empty comment";
inline constexpr std::string_view kEmptyReply = "Empty reply";
inline constexpr std::string_view kEmptyNote = "Empty note";
// The author as shown: kUnknownAuthor when it is empty or only white space.
std::string display_author(std::string_view author);
// The text as shown (blocks joined by single spaces), or the fallback when there is none.
std::string display_text(const folio::model::Comment& comment);
std::string display_text(const folio::model::Reply& reply);
std::string display_text(const folio::model::Note& note);

// Whether the style id is one of the built-in styles, which are never deleted.
bool is_builtin_style(std::string_view id);
// Body blocks whose "style" attribute is exactly `style`.
std::vector<const Block*> blocks_with_style(const DocumentView& view, std::string_view style);

}  // namespace quern::word_processor

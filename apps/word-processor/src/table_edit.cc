#include "apps/word-processor/src/table_edit.h"

namespace quern::word_processor {

namespace {

using folio::model::DocMut;
using std::optional;
using std::string;

constexpr std::string_view kCell = "cell";

optional<string> block_before(const DocumentView& view, const Table& table) {
  if (table.first_index == 0) return std::nullopt;
  return view.body()[table.first_index - 1].id;
}

const string& id_at(const Table& table, std::int64_t row, std::int64_t col) {
  return table.cell_at(row, col)->block->id;
}

// A new empty cell after `anchor` (first in the body when nothing); returns its id.
Result<string> new_cell(DocMut& mut, const optional<string>& anchor, const Table& table, std::int64_t row,
                        std::int64_t col) {
  string id = QUERN_TRY(mut.insert_block(anchor ? optional<std::string_view>(*anchor) : std::nullopt, kCell));
  QUERN_TRY(number_cell(mut, id, table.id, row, col));
  return id;
}

Result<void> renumber(DocMut& mut, const TableCell& cell, std::string_view key, std::int64_t value) {
  return mut.set_attr(Region::Body, cell.block->id, key, value);
}

Result<void> insert_row(DocMut& mut, const DocumentView& view, const Table& t, std::int64_t at) {
  optional<string> anchor = at == 0 ? block_before(view, t) : optional<string>(id_at(t, at - 1, t.cols - 1));
  for (const TableCell& c : t.cells)
    if (*c.row >= at) QUERN_TRY(renumber(mut, c, "row", *c.row + 1));
  for (std::int64_t col = 0; col < t.cols; ++col) anchor = QUERN_TRY(new_cell(mut, anchor, t, at, col));
  return {};
}

Result<void> insert_column(DocMut& mut, const DocumentView& view, const Table& t, std::int64_t at) {
  // The anchors are read from the grid before it is renumbered.
  std::vector<optional<string>> anchors;
  for (std::int64_t row = 0; row < t.rows; ++row) {
    if (at > 0)
      anchors.emplace_back(id_at(t, row, at - 1));
    else if (row > 0)
      anchors.emplace_back(id_at(t, row - 1, t.cols - 1));
    else
      anchors.push_back(block_before(view, t));
  }
  for (const TableCell& c : t.cells)
    if (*c.col >= at) QUERN_TRY(renumber(mut, c, "col", *c.col + 1));
  for (std::int64_t row = 0; row < t.rows; ++row) QUERN_TRY(new_cell(mut, anchors[row], t, row, at));
  return {};
}

// Deletes the cells whose `key` ("row" or "col") is `which` and moves the later ones down.
Result<void> delete_line(DocMut& mut, const Table& t, std::string_view key, std::int64_t which) {
  for (const TableCell& c : t.cells) {
    const std::int64_t place = key == "row" ? *c.row : *c.col;
    if (place == which)
      QUERN_TRY(mut.tombstone_block_in(Region::Body, c.block->id));
    else if (place > which)
      QUERN_TRY(renumber(mut, c, key, place - 1));
  }
  return {};
}

}  // namespace

Result<void> number_cell(DocMut& mut, std::string_view cell, const std::string& table, std::int64_t row,
                         std::int64_t col) {
  QUERN_TRY(mut.set_attr(Region::Body, cell, "table", table));
  QUERN_TRY(mut.set_attr(Region::Body, cell, "row", row));
  return mut.set_attr(Region::Body, cell, "col", col);
}

Result<void> edit_table(DocMut& mut, const DocumentView& view, const Table& table, const TableEdit& edit) {
  return std::visit(
      [&](const auto& e) -> Result<void> {
        using E = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<E, table_edit::InsertRow>)
          return insert_row(mut, view, table, static_cast<std::int64_t>(e.at));
        if constexpr (std::is_same_v<E, table_edit::InsertColumn>)
          return insert_column(mut, view, table, static_cast<std::int64_t>(e.at));
        if constexpr (std::is_same_v<E, table_edit::DeleteRow>)
          return delete_line(mut, table, "row", static_cast<std::int64_t>(e.row));
        if constexpr (std::is_same_v<E, table_edit::DeleteColumn>)
          return delete_line(mut, table, "col", static_cast<std::int64_t>(e.column));
        if constexpr (std::is_same_v<E, table_edit::Delete>) {
          for (const TableCell& c : table.cells) QUERN_TRY(mut.tombstone_block_in(Region::Body, c.block->id));
          return {};
        }
      },
      edit);
}

}  // namespace quern::word_processor

// Editing a table on its grid: inserting and deleting rows and columns, and deleting the whole
// table. A table is a run of body blocks of kind "cell" sharing the string attribute "table"
// and numbered by "row" and "col" (view.h); editing renumbers the cells it moves and inserts
// new empty cells next to the cells they follow, so a table made in row-major order stays so.
// Called by the applier after its checks, on its DocMut, in its transaction.
#pragma once

#include "apps/word-processor/src/action.h"
#include "apps/word-processor/src/view.h"
#include "runtime/folio/doc_mut.h"

namespace quern::word_processor {

// `table` is well-formed and was read from `view`, the document's state before this call;
// the edit was checked against it (rows and columns in range).
Result<void> edit_table(folio::model::DocMut& mut, const DocumentView& view, const Table& table, const TableEdit& edit);

// Sets "table", "row" and "col" on a new cell.
Result<void> number_cell(folio::model::DocMut& mut, std::string_view cell, const std::string& table, std::int64_t row,
                         std::int64_t col);

}  // namespace quern::word_processor

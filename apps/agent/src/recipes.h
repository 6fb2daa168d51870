// The built-in recipes: requests the agent carries out with its own code rather than one
// published operation. "table" turns the bullets right above the instruction into a table,
// "caption" captions the first image, "heading" gives a rough draft its title and section
// headings. Every edit is one word-processor operation performed through `perform`
// (carry_out.h), so it is paced, announced, committed and sent like any other. Removing the
// instruction paragraph afterwards is carrying out's work. Session thread only.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "apps/agent/src/carry_out.h"
#include "runtime/folio/document_view.h"

namespace quern::agent {

// Cell separators, in order of preference.
inline constexpr std::string_view kCellSeparators[] = {" \u2014 ", " \u2013 ", " - ", ": ", ", "};

// Trimmed, non-empty, at most 60 characters and 8 words, not ending in ".", "?", "!" or ",".
bool is_label_like(std::string_view text);

// One bullet's cells: split at every occurrence of the first separator it holds, each trimmed;
// the whole trimmed text when it holds none.
std::vector<std::string> split_cells(std::string_view bullet);

// The rows of the table for these bullets, padded at the end to the widest row (at least one
// column).
std::vector<std::vector<std::string>> table_rows(std::span<const std::string> bullets);

// The positions of the bullets for the table recipe: the run of list items right above the
// instruction at `position`, passing over blank paragraphs directly above it; in document
// order, empty when there are none.
std::vector<std::size_t> bullets_above(std::span<const folio::model::Block> paragraphs, std::size_t position);

// The title and the section labels for the heading recipe, as positions in `paragraphs`:
// nothing when nothing above the instruction has text.
struct DraftStructure {
  std::size_t title = 0;
  std::vector<std::size_t> sections;
};
std::optional<DraftStructure> draft_structure(std::span<const folio::model::Block> paragraphs, std::size_t position);

// Each runs its operations through `perform` on the watched replica. The verdict is done (no
// reply) or the reply to write over the instruction; an error ends the run.
Result<StepVerdict> table_recipe(CarryingOut& work, std::span<const folio::model::Block> paragraphs,
                                 std::size_t position);
Result<StepVerdict> caption_recipe(CarryingOut& work, std::span<const folio::model::Block> paragraphs);
Result<StepVerdict> heading_recipe(CarryingOut& work, std::span<const folio::model::Block> paragraphs,
                                   std::size_t position);

}  // namespace quern::agent

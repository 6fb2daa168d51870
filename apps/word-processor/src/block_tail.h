// Moving the end of a block's text to another block with its formatting, links, fields and
// tracked-change marks, as splitting a block, inserting an image or a page break, and joining
// two blocks do. Comment anchors are not carried: a comment stays anchored where its block
// was, on what remains of its text there. Calls on the applier's DocMut, in its transaction.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/crdt/types.h"
#include "runtime/folio/doc_mut.h"

namespace quern::word_processor {

struct BlockTail {
  std::string text;                   // the characters from the cut to the end
  std::size_t chars = 0;              // how many
  std::vector<crdt::MarkSpan> marks;  // their marks, offsets from the cut
  bool empty() const { return chars == 0; }
};

// The tail of `block` from character `at` (at most the block's length).
BlockTail tail_of(const folio::model::Block& block, std::size_t at);

// Inserts the tail at character `at` of `block` and gives it its own marks: formatting that
// grew into it from the text before `at` is taken off again.
Result<void> put_tail(folio::model::DocMut& mut, folio::model::Region region, std::string_view block, std::size_t at,
                      const BlockTail& tail);

}  // namespace quern::word_processor

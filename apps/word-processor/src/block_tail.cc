#include "apps/word-processor/src/block_tail.h"

#include <algorithm>

#include "runtime/folio/schema.h"
#include "runtime/util/unicode.h"

namespace quern::word_processor {

BlockTail tail_of(const folio::model::Block& block, std::size_t at) {
  BlockTail tail;
  const std::size_t from = unicode::byte_offset(block.text, at).value_or(block.text.size());
  tail.text = block.text.substr(from);
  tail.chars = unicode::char_count(tail.text);
  for (const crdt::MarkSpan& m : block.marks) {
    if (m.end <= at || m.name == folio::model::keys::kCommentMark) continue;
    const bool markable = m.value.as_bool() || m.value.as_int() || m.value.as_uint() || m.value.as_str();
    if (!markable) continue;
    crdt::MarkSpan moved = m;
    moved.start = std::max(m.start, at) - at;
    moved.end = m.end - at;
    tail.marks.push_back(std::move(moved));
  }
  return tail;
}

Result<void> put_tail(folio::model::DocMut& mut, folio::model::Region region, std::string_view block, std::size_t at,
                      const BlockTail& tail) {
  if (tail.empty()) return {};
  QUERN_TRY(mut.splice_text_in(region, block, at, 0, tail.text));
  const std::size_t end = at + tail.chars;
  // Formatting marks grow at their end: text inserted right after bold text turns bold.
  if (auto now = mut.block(region, block)) {
    for (const crdt::MarkSpan& m : now->marks) {
      if (!m.value.as_bool() || m.end <= at || m.start >= end) continue;
      QUERN_TRY(mut.remove_mark(region, block, std::max(m.start, at), std::min(m.end, end), m.name));
    }
  }
  for (const crdt::MarkSpan& m : tail.marks)
    QUERN_TRY(mut.add_mark(region, block, at + m.start, at + m.end, m.name, m.value));
  return {};
}

}  // namespace quern::word_processor

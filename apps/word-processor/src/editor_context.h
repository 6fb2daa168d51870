// Where an editor stands in a word-processor document when it asks for the action directory:
// the caret, the region it is in, the blocks block-level actions apply to, the selected text
// and range, and the current search hits. The word processor's own editor fills it from its
// view; the agent, which has no view, fills it with `with_agent_defaults`. A plain value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "apps/word-processor/src/action.h"
#include "runtime/crdt/document.h"
#include "runtime/folio/document_view.h"

namespace quern::word_processor {

// A selected range: from `start` in `start_block` to `end` in `end_block`, in characters.
struct Selection {
  std::string start_block;
  std::uint64_t start = 0;
  std::string end_block;
  std::uint64_t end = 0;
  bool operator==(const Selection&) const = default;
};

// One search result: characters `start` to `end` of `block`.
struct SearchHit {
  std::string block;
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  bool operator==(const SearchHit&) const = default;
};

struct EditorContext {
  std::string caret_block;  // empty: no caret
  std::uint64_t caret_offset = 0;
  Region region = Region::Body;     // of the caret and the selection
  std::vector<std::string> blocks;  // the blocks block-level actions apply to
  std::vector<Span> spans;          // the selected text, one span per block
  std::optional<Selection> selection;
  std::vector<SearchHit> search_hits;
  bool operator==(const EditorContext&) const = default;
};

// The context the agent asks with: `context` as given, except that an empty caret block
// becomes the document's first body block (empty when the document does not open or its body
// is empty), empty blocks become the caret block alone (none when the caret block is empty),
// and the search hits are always empty. Reads the document; same thread as its owner.
EditorContext with_agent_defaults(const crdt::Document& document, EditorContext context);
// The same over the view of a document that opened (no view: the document did not open).
EditorContext with_agent_defaults(const folio::model::DocumentView* view, EditorContext context);

}  // namespace quern::word_processor

#include "apps/word-processor/src/editor_context.h"

#include "apps/word-processor/src/view.h"

namespace quern::word_processor {

EditorContext with_agent_defaults(const crdt::Document& document, EditorContext context) {
  if (context.caret_block.empty()) {
    if (auto view = load_view(document); view && !view->body().empty()) context.caret_block = view->body().front().id;
  }
  if (context.blocks.empty() && !context.caret_block.empty()) context.blocks.push_back(context.caret_block);
  context.search_hits.clear();
  return context;
}

}  // namespace quern::word_processor

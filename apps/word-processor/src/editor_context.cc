#include "apps/word-processor/src/editor_context.h"

#include "apps/word-processor/src/view.h"

namespace quern::word_processor {

EditorContext with_agent_defaults(const crdt::Document& document, EditorContext context) {
  if (!context.caret_block.empty()) return with_agent_defaults(nullptr, std::move(context));
  auto view = load_view(document);
  return with_agent_defaults(view ? &*view : nullptr, std::move(context));
}

EditorContext with_agent_defaults(const folio::model::DocumentView* view, EditorContext context) {
  if (context.caret_block.empty() && view != nullptr && !view->body().empty()) {
    context.caret_block = view->body().front().id;
  }
  if (context.blocks.empty() && !context.caret_block.empty()) context.blocks.push_back(context.caret_block);
  context.search_hits.clear();
  return context;
}

}  // namespace quern::word_processor

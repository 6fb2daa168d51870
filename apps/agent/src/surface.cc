#include "apps/agent/src/surface.h"

#include "apps/chat/src/doc.h"
#include "apps/photos/src/doc.h"
#include "apps/word-processor/src/directory.h"
#include "apps/word-processor/src/editor_context.h"
#include "apps/word-processor/src/view.h"
#include "runtime/folio/schema.h"
#include "runtime/util/log.h"

namespace quern::agent {
namespace {

constexpr std::string_view kSurface = "quern_agent::surface";

class WordProcessorSurface final : public Surface {
 public:
  WordProcessorSurface() : Surface(kWordProcessorApp, "the word processor", "word-processor", true) {}

  bool claims(const crdt::Document& document) const override { return folio::model::open(document).has_value(); }

  // The tree rooted at "word-processor.document", built with the agent's editing context and
  // the editor defaults (caret on the first body block, blocks the caret block, no search hits).
  actions::Directory document_directory(const crdt::Document& document, const EditingContext& context) const override {
    auto view = word_processor::load_view(document);
    return directory_over(document, view ? &*view : nullptr, context);
  }

  Result<void> register_operation_type(actions::ActionRegistry& registry) const override {
    return word_processor::register_action_type(registry);
  }

  // The document's single image, when there is exactly one, as stored in the blob store.
  std::optional<std::string> content(const crdt::Document& document) const override {
    auto view = word_processor::load_view(document);
    if (!view) return std::nullopt;
    return content_over(document, *view);
  }

  DocumentSurvey survey(const crdt::Document& document, const EditingContext& context) const override {
    auto view = word_processor::load_view(document);
    if (!view) return {directory_over(document, nullptr, context), std::nullopt};
    return {directory_over(document, &*view, context), content_over(document, *view)};
  }

 private:
  static actions::Directory directory_over(const crdt::Document& document, const folio::model::DocumentView* view,
                                           const EditingContext& context) {
    word_processor::EditorContext editor;
    editor.caret_block = context.caret_block.value_or("");
    editor.blocks = context.blocks;
    editor = word_processor::with_agent_defaults(view, std::move(editor));
    if (view == nullptr) return {word_processor::directory(document, editor)};
    return {word_processor::directory(document, *view, editor)};
  }

  static std::optional<std::string> content_over(const crdt::Document& document,
                                                 const folio::model::DocumentView& view) {
    auto content = word_processor::single_image_content(document, view);
    if (content) return *content;
    log::warn(kSurface, "cannot store the document's image in the blob store",
              {{"error", content.error().to_string()}});
    return std::nullopt;
  }
};

// The chat and photos surfaces recognise their documents; their directories, operation types
// and content arrive with the apps' own models.
class ChatSurface final : public Surface {
 public:
  ChatSurface() : Surface(kChatApp, "the conversation", "chat", false) {}
  bool claims(const crdt::Document& document) const override { return chat::is_chat_document(document); }
  actions::Directory document_directory(const crdt::Document&, const EditingContext&) const override { return {}; }
  Result<void> register_operation_type(actions::ActionRegistry&) const override { return {}; }
  std::optional<std::string> content(const crdt::Document&) const override { return std::nullopt; }
};

class PhotosSurface final : public Surface {
 public:
  PhotosSurface() : Surface(kPhotosApp, "the photo editor", "photos", false) {}
  bool claims(const crdt::Document& document) const override { return photos::is_photos_document(document); }
  actions::Directory document_directory(const crdt::Document&, const EditingContext&) const override { return {}; }
  Result<void> register_operation_type(actions::ActionRegistry&) const override { return {}; }
  std::optional<std::string> content(const crdt::Document&) const override { return std::nullopt; }
};

const WordProcessorSurface kWordProcessor;
const ChatSurface kChat;
const PhotosSurface kPhotos;
const Surface* const kTable[] = {&kWordProcessor, &kChat, &kPhotos};

}  // namespace

std::span<const Surface* const> surface_table() { return kTable; }
const Surface& word_processor_surface() { return kWordProcessor; }
const Surface& chat_surface() { return kChat; }
const Surface& photos_surface() { return kPhotos; }

const Surface* surface_for_app(std::string_view app) {
  for (const Surface* s : kTable) {
    if (s->app() == app) return s;
  }
  return nullptr;
}

const Surface* claiming_surface(const crdt::Document& document) {
  for (const bool last : {false, true}) {
    for (const Surface* s : kTable) {
      if (s->claimed_last() == last && s->claims(document)) return s;
    }
  }
  return nullptr;
}

const Surface* claiming_surface(crdt::ByteView bytes) {
  auto scratch = crdt::Document::load(bytes);
  if (!scratch) return nullptr;
  return claiming_surface(*scratch);
}

Result<actions::ActionRegistry> surface_registry() {
  actions::ActionRegistry registry;
  for (const Surface* s : kTable) {
    QUERN_TRY_CTX(s->register_operation_type(registry), "register the operations of " + std::string(s->label()));
  }
  return registry;
}

}  // namespace quern::agent

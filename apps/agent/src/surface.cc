#include "apps/agent/src/surface.h"

#include "apps/chat/src/doc.h"
#include "apps/photos/src/doc.h"
#include "apps/word-processor/src/view.h"
#include "runtime/folio/blobstore.h"
#include "runtime/folio/lookup.h"
#include "runtime/folio/schema.h"
#include "runtime/util/log.h"

namespace quern::agent {
namespace {

constexpr std::string_view kSurface = "quern_agent::surface";

class WordProcessorSurface final : public Surface {
 public:
  WordProcessorSurface() : Surface(kWordProcessorApp, "the word processor", "word-processor", true) {}

  bool claims(const crdt::Document& document) const override { return folio::model::open(document).has_value(); }

  // Built by the word processor's action directory; until it exists the app publishes nothing
  // here, so planning sees no local word-processor offers.
  actions::Directory document_directory(const crdt::Document&, const EditingContext&) const override { return {}; }

  // The "word-processor.action" type joins with the word processor's operations and their
  // applier; until then nothing is registered.
  Result<void> register_operation_type(actions::ActionRegistry&) const override { return {}; }

  // The document's single image, when there is exactly one: its bytes as embedded in the
  // document, put into the blob store, or the blob store's copy when the document does not
  // embed them.
  std::optional<std::string> content(const crdt::Document& document) const override {
    auto schema = folio::model::open(document);
    if (!schema) return std::nullopt;
    auto view = word_processor::load_view(document);
    if (!view) return std::nullopt;
    const auto pictures = word_processor::images(*view);
    if (pictures.size() != 1 || !pictures.front().blob) return std::nullopt;
    const std::string& hash = *pictures.front().blob;
    if (auto bytes = folio::model::blob_bytes(document, *schema, hash)) {
      auto stored = folio::blobstore::put(*bytes);
      if (stored) return *stored;
      log::warn(kSurface, "cannot store the document's image in the blob store",
                {{"blob", hash}, {"error", stored.error().to_string()}});
      return std::nullopt;
    }
    if (folio::blobstore::get(hash)) return hash;
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

// The app surfaces: the fixed table of the apps the agent speaks to, and the interface each
// implements. A surface names its app (package id, the label used in sentences, the short name
// that keys other-app replicas), recognises the app's documents, and gives planning and carrying
// out their way in: the action directory over a document, the app's operation type for an action
// registry, and the content a document denotes.
//
// The table is compiled in and never changes; its surfaces hold no state, so they may be used
// from any thread. The hooks read the document they are given and run on the thread that owns it.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/actions/action_registry.h"
#include "runtime/actions/resource.h"
#include "runtime/crdt/document.h"
#include "runtime/util/error.h"

namespace quern::agent {

inline constexpr std::string_view kWordProcessorApp = "ix.quern.word-processor";
inline constexpr std::string_view kChatApp = "ix.quern.chat";
inline constexpr std::string_view kPhotosApp = "ix.quern.photos";

// Where the agent stands in a document when it asks for the document's directory. Each surface
// turns it into its app's own context and fills in its defaults (the word processor's caret is
// the first body block when none is named).
struct EditingContext {
  std::optional<std::string> caret_block;
  std::vector<std::string> blocks;  // the blocks block-level actions apply to; empty: the caret block
};

// A document's directory and the content it denotes, read together.
struct DocumentSurvey {
  actions::Directory directory;
  std::optional<std::string> content;
};

class Surface {
 public:
  virtual ~Surface() = default;

  // The app's manifest package id, e.g. "ix.quern.photos".
  std::string_view app() const { return app_; }
  // How the agent names the app in sentences: "the photo editor".
  std::string_view label() const { return label_; }
  // Keys the other-app replicas and forms their actor ("{name}#{short}"): "photos".
  std::string_view short_name() const { return short_; }
  // Consulted only after every other surface declined (its test is the most general).
  bool claimed_last() const { return claimed_last_; }

  // Whether the document is one of this app's.
  virtual bool claims(const crdt::Document& document) const = 0;
  // The app's action directory over the document; empty when the app publishes nothing there.
  virtual actions::Directory document_directory(const crdt::Document& document,
                                                const EditingContext& context) const = 0;
  // Enters the app's operation type, with the decoder of its payload and its applier, into the
  // registry.
  virtual Result<void> register_operation_type(actions::ActionRegistry& registry) const = 0;
  // The content hash (in the blob store) of the content the document denotes, for a step that
  // consumes what an earlier one produced; nothing when it denotes none.
  virtual std::optional<std::string> content(const crdt::Document& document) const = 0;
  // Both of the above, as one read of the document where the surface can share it.
  virtual DocumentSurvey survey(const crdt::Document& document, const EditingContext& context) const {
    return {document_directory(document, context), content(document)};
  }

 protected:
  Surface(std::string_view app, std::string_view label, std::string_view short_name, bool claimed_last)
      : app_(app), label_(label), short_(short_name), claimed_last_(claimed_last) {}

 private:
  std::string_view app_;
  std::string_view label_;
  std::string_view short_;
  bool claimed_last_;
};

// The table in its order: the word processor, chat, photos.
std::span<const Surface* const> surface_table();
const Surface& word_processor_surface();
const Surface& chat_surface();
const Surface& photos_surface();

// The surface whose app id equals `app` exactly (no trimming, no case folding), or nothing.
const Surface* surface_for_app(std::string_view app);
// Two passes over the table, each in table order: the surfaces not claimed last, then those
// claimed last; the first that claims the document. Nothing when none does.
const Surface* claiming_surface(const crdt::Document& document);
// The same for saved bytes, loaded into a scratch document first; bytes that do not load are
// claimed by nobody.
const Surface* claiming_surface(crdt::ByteView bytes);

// A fresh registry holding every surface's operation type, in table order.
Result<actions::ActionRegistry> surface_registry();

}  // namespace quern::agent

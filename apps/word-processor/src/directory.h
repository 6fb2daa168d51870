// The word processor's action directory: for one document and one editor context, the tree of
// resources rooted at "word-processor.document" with the actions the word processor publishes
// on each (view commands, edits of the document, comments, review, revisions, images, tables,
// sections). Invoking an action runs its encoder, which gives an encoded action of the type
// "word-processor.action" (a WordProcessorAction in its JSON form, applied by
// `apply_word_processor_action`) or "word-processor.operation" (a WordProcessorCommand for the
// application), or an argument error with the code "quern.invalid_arguments".
//
// The directory is built afresh on every call from the document as it is then and holds no
// state; an action whose target went stale before it was invoked still encodes, and the applier
// then rejects it. Building reads the document on the caller's thread; the built directory is a
// plain value that may be read from anywhere (the place-image encoder reads the blob store).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "apps/word-processor/src/editor_context.h"
#include "runtime/actions/action_registry.h"
#include "runtime/actions/resource.h"
#include "runtime/crdt/document.h"
#include "runtime/folio/document_view.h"
#include "runtime/util/error.h"

namespace quern::word_processor {

inline constexpr std::string_view kDocumentResourceId = "word-processor.document";
// The most search hits and revisions the directory lists.
inline constexpr std::size_t kMaxListedSearchHits = 64;
inline constexpr std::size_t kMaxListedRevisions = 64;
// Labels built from document text are cut to this many characters.
inline constexpr std::size_t kMaxExcerptChars = 48;
// The most characters of a comment or reply text the encoders accept.
inline constexpr std::size_t kMaxCommentTextChars = 1'000'000;

// The root resource with its actions and children. A document that does not open gives the
// root with the view commands, "insert-table" and the context actions only, and no children.
actions::Resource directory(const crdt::Document& document, const EditorContext& context);
// The same for a document that opened, over its view as `load_view` gave it (so that a caller
// which also needs the view reads the document once).
actions::Resource directory(const crdt::Document& document, const folio::model::DocumentView& view,
                            const EditorContext& context);

// A label made from document text: white space runs become one space, the ends are trimmed,
// an empty result is `fallback`, and one over 48 characters is its first 45 and "…".
std::string excerpt(std::string_view text, std::string_view fallback);

// Enters "word-processor.action" into the registry: its payload is read with
// `action_from_json` and applied with `apply_word_processor_action` inside the caller's open
// transaction (the caller sets the actor before and commits after).
Result<void> register_action_type(actions::ActionRegistry& registry);

// The content hash of the document's single image, put into the blob store: nothing unless the
// document opens and its body holds exactly one image whose bytes are embedded in the document
// or already in the store. An error only when the store refuses embedded bytes.
Result<std::optional<std::string>> single_image_content(const crdt::Document& document);
// The same over the document's view as `load_view` gave it.
Result<std::optional<std::string>> single_image_content(const crdt::Document& document,
                                                        const folio::model::DocumentView& view);

}  // namespace quern::word_processor

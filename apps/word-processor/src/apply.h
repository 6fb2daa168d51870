// The applier of word-processor operations: checks one WordProcessorAction against the
// current state of a document replica and, only if every rule holds, makes the operation's
// changes through the document library. Used by the code that carries out steps, on the
// thread that owns the replica.
//
// It works inside the caller's open transaction and never commits: the caller sets the actor,
// notes the heads, applies, then commits (with a message) and saves incrementally. It returns
// success, or a rejection whose message is exactly one of
//   kDocumentUnavailable  the document does not open under the folio schema;
//   kStaleOrUnsafe        a rule failed (an id that no longer exists, an offset beyond a text,
//                         a value out of range, ...); the message never says which.
// A rejection leaves the document unchanged. After the check the changes are made in the
// order the operation defines; where the library yields nothing (an image the blob store does
// not take) the steps that need it are skipped and the call still succeeds. Any other error
// after the check is an engine failure, which a consistent document does not produce; it is
// returned as it is, with the writes made before it left in the transaction.
#pragma once

#include <optional>

#include "apps/word-processor/src/action.h"
#include "apps/word-processor/src/rules.h"
#include "apps/word-processor/src/view.h"
#include "runtime/crdt/document.h"
#include "runtime/folio/doc_mut.h"
#include "runtime/util/error.h"

namespace quern::word_processor {

// What the applier keeps for one replica between calls: the document library's writer
// (DocMut) with its block caches, so that a small edit of a large document costs what it
// touches. Keep one next to the replica and pass it to every call for that replica; it notices
// on its own when the replica changed in between (commits, merges, loads, another replica
// object) and reads what it must again. Same thread as the replica.
class WriterHandle {
 public:
  WriterHandle() = default;

 private:
  friend Result<void> apply_word_processor_action(const WordProcessorAction&, crdt::Document&, WriterHandle&);
  folio::model::DocMut& bind(crdt::Document& document, const folio::model::Schema& schema);
  std::optional<folio::model::DocMut> mut_;
};

Result<void> apply_word_processor_action(const WordProcessorAction& action, crdt::Document& document,
                                         WriterHandle& handle);
// The same with a handle for this call only (reads the blocks it needs from scratch).
Result<void> apply_word_processor_action(const WordProcessorAction& action, crdt::Document& document);

// Whether an error of the applier is one of its two rejections (nothing was changed).
bool is_rejection(const Error& error);

}  // namespace quern::word_processor

// A CRDT document: a root map holding maps, lists and text objects nested anywhere, with a
// history of changes identified by SHA-256 hashes. Replicas edit independently and converge
// when they exchange changes (`merge`, `save_incremental`/`load_incremental`, `save`/`load`).
//
// Thread-safety: a Document is used by one thread at a time; distinct documents are
// independent. Nothing here logs or does I/O.
//
// Editing: every write adds operations to the open transaction (opened implicitly by the first
// write); reads see those operations too. `commit` closes the transaction into one change;
// `rollback` drops it. `save`, `save_incremental`, `merge` and `load_incremental` commit an open
// transaction first (no message, the current wall-clock time); `merge` does so for both
// documents.
//
// Conflicts: every map key and list element is a multi-value register. `get_all` returns the
// concurrent values in ascending order of the id of the operation that wrote them (Lamport
// counter, then actor bytes); `get` returns the last of them, so every replica picks the same
// winner. Positions and lengths of text count Unicode scalar values; positions out of range are
// errors, never clamped.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/crdt/types.h"
#include "runtime/util/error.h"

namespace quern::crdt {

class DocumentImpl;

class Document {
 public:
  Document();  // empty, with a random actor
  explicit Document(ActorId actor);
  ~Document();
  Document(Document&&) noexcept;
  Document& operator=(Document&&) noexcept;
  Document(const Document&) = delete;
  Document& operator=(const Document&) = delete;

  // A copy of this document (history and state) under a new random actor; the open
  // transaction is committed first.
  Document fork();

  // Commits an open transaction first, under the old actor.
  void set_actor(ActorId actor);
  const ActorId& actor() const;

  // ---- Reads. An unknown object or one of the wrong kind is an error; a missing key or an
  // index past the end is nothing.
  Result<std::optional<Value>> get(const ObjId& obj, std::string_view key) const;
  Result<std::optional<Value>> get(const ObjId& obj, std::size_t index) const;
  Result<std::vector<Value>> get_all(const ObjId& obj, std::string_view key) const;
  Result<std::vector<Value>> get_all(const ObjId& obj, std::size_t index) const;
  // Map keys in ascending byte order.
  Result<std::vector<std::string>> keys(const ObjId& obj) const;
  // Keys of a map, elements of a list, characters of a text.
  Result<std::size_t> length(const ObjId& obj) const;
  Result<ObjType> object_type(const ObjId& obj) const;
  Result<std::string> text(const ObjId& obj) const;
  // The marks of a text as spans with a value (removed ranges are left out), ordered by start,
  // then name. Adjacent ranges with the same name and value form one span.
  Result<std::vector<MarkSpan>> marks(const ObjId& obj) const;

  // ---- Writes (into the open transaction).
  Result<void> put(const ObjId& obj, std::string_view key, ScalarValue value);
  Result<ObjId> put_object(const ObjId& obj, std::string_view key, ObjType type);
  // Deleting a missing key does nothing.
  Result<void> delete_key(const ObjId& obj, std::string_view key);
  // `index` may equal the length (append).
  Result<void> insert(const ObjId& obj, std::size_t index, ScalarValue value);
  Result<ObjId> insert_object(const ObjId& obj, std::size_t index, ObjType type);
  Result<void> set(const ObjId& obj, std::size_t index, ScalarValue value);
  Result<ObjId> set_object(const ObjId& obj, std::size_t index, ObjType type);
  Result<void> delete_at(const ObjId& obj, std::size_t index);
  // Deletes `del` elements at `pos` of a list, then inserts `values` there.
  Result<void> splice(const ObjId& obj, std::size_t pos, std::size_t del, std::span<const ScalarValue> values);
  // Deletes `del` characters at `pos` of a text, then inserts `text` (UTF-8) there.
  Result<void> splice_text(const ObjId& obj, std::size_t pos, std::size_t del, std::string_view text);
  // Adds `by` to the counter under a map key or in a list element.
  Result<void> increment(const ObjId& obj, std::string_view key, std::int64_t by);
  Result<void> increment(const ObjId& obj, std::size_t index, std::int64_t by);
  // Marks characters [start, end) of a text with a named value (bool, integer or string).
  // `start == end` marks nothing. A later mark of the same name wins where they overlap.
  Result<void> mark(const ObjId& obj, std::size_t start, std::size_t end, std::string_view name, ScalarValue value,
                    ExpandMark expand);
  Result<void> unmark(const ObjId& obj, std::size_t start, std::size_t end, std::string_view name, ExpandMark expand);

  // ---- Transactions.
  // Closes the open transaction into a change and returns its hash; nothing when there is no
  // open transaction or it made no operation. `time` defaults to 0 (no time).
  std::optional<ChangeHash> commit(std::optional<std::string> message = std::nullopt,
                                   std::optional<std::int64_t> time = std::nullopt);
  // Drops the open transaction; returns the number of operations dropped.
  std::size_t rollback();
  std::size_t pending_ops() const;

  // ---- History and sync.
  // The hashes of the changes no other change depends on, ascending.
  std::vector<ChangeHash> heads() const;
  // Every applied change, parents before children.
  std::vector<Change> get_changes() const;
  std::optional<Change> get_change_by_hash(const ChangeHash& hash) const;
  // The hashes among `heads` this document lacks, and the dependencies of queued changes
  // (received, waiting for their dependencies) that are neither applied nor queued; ascending.
  std::vector<ChangeHash> get_missing_deps(std::span<const ChangeHash> heads) const;

  // The whole document.
  Bytes save();
  // Accepts the output of `save` or `save_incremental` (or several concatenated). Any input
  // either loads or is an error.
  static Result<Document> load(ByteView bytes);
  // The changes applied since the previous `save_incremental` (or since `load`); empty when
  // there are none.
  Bytes save_incremental();
  // Applies the changes in `bytes` (output of `save` or `save_incremental`): what can be applied
  // is applied, changes whose dependencies are missing wait until they arrive, duplicates are
  // ignored. Returns how many changes were applied (queued ones that became applicable count).
  // On an error nothing of `bytes` is applied.
  Result<std::size_t> load_incremental(ByteView bytes);
  // Applies every change of `other` this document lacks; returns how many.
  Result<std::size_t> merge(Document& other);

 private:
  explicit Document(std::unique_ptr<DocumentImpl> impl);
  std::unique_ptr<DocumentImpl> impl_;
};

}  // namespace quern::crdt

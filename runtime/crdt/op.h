// Operations as the engine stores and applies them. Internal to runtime/crdt.
// An operation id is (Lamport counter, actor); actors are indexes into the owning document's
// actor table, so ids are only meaningful together with that table.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "runtime/crdt/types.h"

namespace quern::crdt::detail {

struct OpId {
  std::uint64_t counter = 0;  // 0: no id (the root object, or "no neighbour")
  std::uint32_t actor = 0;

  bool is_null() const { return counter == 0; }
  OpId plus(std::uint64_t n) const { return {counter + n, actor}; }
  bool operator==(const OpId&) const = default;
};

// Orders by actor, then counter: how an actor's ids are grouped in indexes.
struct ActorMajorLess {
  bool operator()(const OpId& a, const OpId& b) const {
    return a.actor != b.actor ? a.actor < b.actor : a.counter < b.counter;
  }
};

struct OpIdHasher {
  std::size_t operator()(const OpId& id) const { return std::hash<std::uint64_t>()(id.counter * 1000003u ^ id.actor); }
};

enum class OpKind : std::uint8_t {
  MapPut = 0,            // key, pred, value
  MapPutObject = 1,      // key, pred, obj_type
  MapDelete = 2,         // key, pred
  MapIncrement = 3,      // key, pred (the counter), by
  ListInsert = 4,        // elem (origin left), origin_right, value
  ListInsertObject = 5,  // elem (origin left), origin_right, obj_type
  ListSet = 6,           // elem, pred, value
  ListSetObject = 7,     // elem, pred, obj_type
  ListDelete = 8,        // elem, pred
  ListIncrement = 9,     // elem, pred (the counter), by
  TextInsert = 10,       // elem (origin left), origin_right, text (len characters)
  TextDelete = 11,       // elem (first id), len: deletes ids elem .. elem+len-1
  Mark = 12,             // start, end anchors, key (name), value (null: unmark)
  kLast = Mark,
};

// Where a mark boundary sits: at the start or end of the text, or on one side of a character.
struct Anchor {
  enum class Kind : std::uint8_t { Start = 0, End = 1, Before = 2, After = 3 };
  Kind kind = Kind::Start;
  OpId elem;  // Before/After only
  bool operator==(const Anchor&) const = default;
};

struct Op {
  OpKind kind = OpKind::MapPut;
  OpId obj;                         // null: the root map
  std::string key;                  // map ops; mark name
  OpId elem;                        // see OpKind
  OpId origin_right;                // inserts
  std::vector<OpId> pred;           // the values this op overwrites or adds to
  ScalarValue value;                // puts, sets, list inserts, marks
  ObjType obj_type = ObjType::Map;  // object-creating ops
  std::int64_t by = 0;              // increments
  std::u32string text;              // TextInsert
  std::uint64_t len = 0;            // TextDelete
  Anchor start, end;                // Mark

  // How many counters the op uses: one per inserted or deleted character, else one.
  std::uint64_t width() const {
    if (kind == OpKind::TextInsert) return text.size();
    if (kind == OpKind::TextDelete) return len;
    return 1;
  }
  bool creates_object() const {
    return kind == OpKind::MapPutObject || kind == OpKind::ListInsertObject || kind == OpKind::ListSetObject;
  }
};

// A change as decoded: its metadata (actor as an index of the document's table) and ops.
struct DecodedChange {
  std::uint32_t actor = 0;
  std::uint64_t seq = 0;
  std::uint64_t start_op = 0;
  std::int64_t time = 0;
  std::optional<std::string> message;
  std::vector<ChangeHash> deps;
  std::vector<Op> ops;
  std::uint64_t width = 0;  // sum of op widths
  // Filled by encoding and decoding: the other actors the ops name (document indexes, in the
  // change's order) and where the ops start in the canonical bytes.
  std::vector<std::uint32_t> others;
  std::size_t ops_offset = 0;
};

}  // namespace quern::crdt::detail

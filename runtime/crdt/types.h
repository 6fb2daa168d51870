// The value types of the document engine: actors, change hashes, object ids, scalar values,
// the values a read returns, mark spans and change metadata. Plain values: copy them freely
// and use them from any thread.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "runtime/util/error.h"

namespace quern::crdt {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// Who made a change: arbitrary bytes (often a name or 16 random bytes). Empty is allowed but
// two replicas editing under the same actor at the same time is a caller error.
class ActorId {
 public:
  ActorId() = default;
  explicit ActorId(ByteView bytes) : bytes_(bytes.begin(), bytes.end()) {}
  explicit ActorId(std::string_view bytes) : bytes_(bytes.begin(), bytes.end()) {}
  static ActorId random();  // 16 random bytes
  static Result<ActorId> from_hex(std::string_view hex);

  const Bytes& bytes() const { return bytes_; }
  std::string to_hex_string() const;

  // Byte-wise order (shorter prefix first).
  auto operator<=>(const ActorId&) const = default;
  bool operator==(const ActorId&) const = default;

 private:
  Bytes bytes_;
};

// The SHA-256 of a change's canonical encoding.
struct ChangeHash {
  std::array<std::uint8_t, 32> bytes{};

  std::string to_hex_string() const;
  static Result<ChangeHash> from_hex(std::string_view hex);
  auto operator<=>(const ChangeHash&) const = default;
  bool operator==(const ChangeHash&) const = default;
};

struct ChangeHashHasher {
  std::size_t operator()(const ChangeHash& h) const {
    std::size_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | h.bytes[i];
    return v;
  }
};

enum class ObjType : std::uint8_t { Map = 0, List = 1, Text = 2 };
std::string_view to_string(ObjType type);

// Names an object: the root map, or the id of the operation that created the object (its
// Lamport counter and actor). The same object has the same id on every replica.
class ObjId {
 public:
  ObjId() = default;  // the root map
  ObjId(std::uint64_t counter, ActorId actor) : counter_(counter), actor_(std::move(actor)) {}
  static ObjId root() { return {}; }

  bool is_root() const { return counter_ == 0; }
  std::uint64_t counter() const { return counter_; }
  const ActorId& actor() const { return actor_; }
  // "root", or "<counter>@<actor hex>".
  std::string to_string() const;
  static Result<ObjId> parse(std::string_view text);

  auto operator<=>(const ObjId&) const = default;
  bool operator==(const ObjId&) const = default;

 private:
  std::uint64_t counter_ = 0;
  ActorId actor_;
};

struct Null {
  bool operator==(const Null&) const = default;
};
struct Timestamp {
  std::int64_t ms = 0;  // milliseconds since the Unix epoch
  bool operator==(const Timestamp&) const = default;
};
struct Counter {
  std::int64_t value = 0;
  bool operator==(const Counter&) const = default;
};

enum class ScalarType : std::uint8_t { Null, Bool, Int, Uint, F64, Str, Bytes, Timestamp, Counter };

// A scalar stored in a map key or list element. Built explicitly from each type, so a string
// literal is a string and an `int` is a signed integer.
class ScalarValue {
 public:
  using Variant = std::variant<Null, bool, std::int64_t, std::uint64_t, double, std::string, Bytes, Timestamp, Counter>;

  ScalarValue() = default;
  ScalarValue(Null) {}
  ScalarValue(bool v) : v_(v) {}
  ScalarValue(int v) : v_(static_cast<std::int64_t>(v)) {}
  ScalarValue(long v) : v_(static_cast<std::int64_t>(v)) {}
  ScalarValue(long long v) : v_(static_cast<std::int64_t>(v)) {}
  ScalarValue(unsigned v) : v_(static_cast<std::uint64_t>(v)) {}
  ScalarValue(unsigned long v) : v_(static_cast<std::uint64_t>(v)) {}
  ScalarValue(unsigned long long v) : v_(static_cast<std::uint64_t>(v)) {}
  ScalarValue(double v) : v_(v) {}
  ScalarValue(const char* v) : v_(std::string(v)) {}
  ScalarValue(std::string_view v) : v_(std::string(v)) {}
  ScalarValue(std::string v) : v_(std::move(v)) {}
  ScalarValue(Bytes v) : v_(std::move(v)) {}
  ScalarValue(Timestamp v) : v_(v) {}
  ScalarValue(Counter v) : v_(v) {}

  ScalarType type() const { return static_cast<ScalarType>(v_.index()); }
  const Variant& variant() const { return v_; }

  bool is_null() const { return type() == ScalarType::Null; }
  const bool* as_bool() const { return std::get_if<bool>(&v_); }
  const std::int64_t* as_int() const { return std::get_if<std::int64_t>(&v_); }
  const std::uint64_t* as_uint() const { return std::get_if<std::uint64_t>(&v_); }
  const double* as_f64() const { return std::get_if<double>(&v_); }
  const std::string* as_str() const { return std::get_if<std::string>(&v_); }
  const Bytes* as_bytes() const { return std::get_if<Bytes>(&v_); }
  const Timestamp* as_timestamp() const { return std::get_if<Timestamp>(&v_); }
  const Counter* as_counter() const { return std::get_if<Counter>(&v_); }

  // A short readable form for logs and test failures, e.g. `"text"`, `42`, `counter(3)`.
  std::string to_string() const;

  // Same type and value; doubles compare bitwise so NaN equals itself and -0 differs from 0.
  bool operator==(const ScalarValue& other) const;

 private:
  Variant v_;
};

// An object reference as a read returns it.
struct ObjectValue {
  ObjType type = ObjType::Map;
  ObjId id;
  bool operator==(const ObjectValue&) const = default;
};

// What a map key or list element holds: a nested object or a scalar.
class Value {
 public:
  Value(ScalarValue scalar) : v_(std::move(scalar)) {}
  Value(ObjectValue object) : v_(std::move(object)) {}

  bool is_object() const { return v_.index() == 1; }
  bool is_scalar() const { return v_.index() == 0; }
  const ScalarValue* scalar() const { return std::get_if<ScalarValue>(&v_); }
  const ObjectValue* object() const { return std::get_if<ObjectValue>(&v_); }
  std::string to_string() const;
  bool operator==(const Value&) const = default;

 private:
  std::variant<ScalarValue, ObjectValue> v_;
};

// Whether text inserted at a mark's edges joins the mark: `Before` grows it at its start,
// `After` at its end, `Both` at either, `None` at neither.
enum class ExpandMark : std::uint8_t { None = 0, Before = 1, After = 2, Both = 3 };

// One span of a mark in the current text: [start, end) in characters.
struct MarkSpan {
  std::string name;
  ScalarValue value;
  std::size_t start = 0;
  std::size_t end = 0;
  bool operator==(const MarkSpan&) const = default;
};

// The metadata of one change of the history.
struct Change {
  ActorId actor;
  std::uint64_t seq = 0;         // 1 for an actor's first change
  std::uint64_t start_op = 0;    // counter of the change's first operation
  std::vector<ChangeHash> deps;  // ascending
  std::int64_t time = 0;         // ms since the Unix epoch; 0 when none was given
  std::optional<std::string> message;
  ChangeHash hash;
  std::size_t op_count = 0;  // counters the change uses (one per character inserted or deleted)
};

}  // namespace quern::crdt

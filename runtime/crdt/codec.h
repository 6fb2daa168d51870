// Byte-level encoding of the engine: LEB128 writers and bounds-checked readers, the canonical
// encoding of one change (what its hash is taken over), and the framing of saved chunks (magic,
// version, kind, optional zstd compression, CRC-32). Internal to runtime/crdt.
//
// Readers never trust their input: every count is bounded by the bytes left, every length is
// checked before use, and a failed read leaves the reader failed (all later reads give zero).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/crdt/op.h"
#include "runtime/crdt/types.h"
#include "runtime/util/error.h"

namespace quern::crdt::detail {

class Writer {
 public:
  void u8(std::uint8_t v) { out_.push_back(v); }
  void uleb(std::uint64_t v);
  void sleb(std::int64_t v);
  void f64(double v);
  void raw(ByteView bytes) { out_.insert(out_.end(), bytes.begin(), bytes.end()); }
  void raw(std::string_view s) { out_.insert(out_.end(), s.begin(), s.end()); }
  void bytes(ByteView b) {
    uleb(b.size());
    raw(b);
  }
  void str(std::string_view s) {
    uleb(s.size());
    raw(s);
  }
  Bytes& out() { return out_; }
  void clear() { out_.clear(); }
  std::size_t size() const { return out_.size(); }

 private:
  Bytes out_;
};

class Reader {
 public:
  explicit Reader(ByteView in) : in_(in) {}
  std::uint8_t u8();
  std::uint64_t uleb();
  std::int64_t sleb();
  double f64();
  // A length-prefixed byte string (empty on failure).
  ByteView bytes();
  std::string str();
  ByteView raw(std::size_t n);
  // A count of items each taking at least `min_item_bytes`; fails when the rest cannot hold it.
  std::uint64_t count(std::size_t min_item_bytes = 1);

  bool ok() const { return ok_; }
  void fail() { ok_ = false; }
  std::size_t remaining() const { return ok_ ? in_.size() - pos_ : 0; }
  bool at_end() const { return remaining() == 0; }
  std::size_t pos() const { return pos_; }

 private:
  ByteView in_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

void write_scalar(Writer& w, const ScalarValue& v);
ScalarValue read_scalar(Reader& r);

// Maps actor bytes to the document's actor index, adding it when new.
using InternActor = std::function<std::uint32_t(const ActorId&)>;

// The canonical bytes of a change; `actors` is the document's table its ids index.
// Sets `others` and `ops_offset` of the change.
Bytes encode_change(DecodedChange& change, const std::vector<ActorId>& actors);
// The same into `out` (cleared first), for callers that reuse one buffer.
void encode_change_into(DecodedChange& change, const std::vector<ActorId>& actors, Writer& out);

// The header of a change's canonical bytes; the operations follow it from `ops_offset`.
struct ChangeHeader {
  ByteView actor;
  std::uint64_t seq = 0;
  std::uint64_t start_op = 0;
  std::int64_t time = 0;
  std::optional<std::string> message;
  std::vector<ChangeHash> deps;
  std::vector<ByteView> others;  // the other actors the operations name, in their order
  std::size_t ops_offset = 0;
};
Result<ChangeHeader> read_change_header(ByteView bytes);
void write_change_header(Writer& w, ByteView actor, std::uint64_t seq, std::uint64_t start_op, std::int64_t time,
                         const std::optional<std::string>& message, std::span<const ChangeHash> deps,
                         std::span<const ByteView> others);

// SHA-256 of a change's canonical bytes.
ChangeHash hash_change(ByteView raw);
// Decodes and checks one change (ops in the document's actor indexes, through `intern`).
Result<DecodedChange> decode_change(ByteView bytes, const InternActor& intern);
// The same into `out`, reusing its buffers.
Result<void> decode_change_into(ByteView bytes, const InternActor& intern, DecodedChange& out);

enum class ChunkKind : std::uint8_t { Document = 0, Changes = 1 };
struct Chunk {
  ChunkKind kind;
  Bytes payload;
};

// `level`: the zstd level used when compressing pays.
Bytes frame_chunk(ChunkKind kind, ByteView payload, int level = 3);
// Splits concatenated chunks, checking each one's checksum and decompressing it.
Result<std::vector<Chunk>> parse_chunks(ByteView bytes);

}  // namespace quern::crdt::detail

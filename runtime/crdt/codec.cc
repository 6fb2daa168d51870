#include "runtime/crdt/codec.h"

#include <openssl/evp.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <unordered_map>

#include "runtime/util/unicode.h"

namespace quern::crdt::detail {

namespace {

constexpr std::uint8_t kChangeFormat = 2;
constexpr std::uint8_t kChunkVersion = 2;
constexpr std::uint8_t kMagic[4] = {'Q', 'C', 'R', 'D'};
constexpr std::uint8_t kFlagZstd = 1;
// Decompressed payloads may be at most this many times their compressed size (and at most
// kMaxPayload), which bounds what a forged length can make us allocate.
constexpr std::uint64_t kMaxRatio = 4096;
constexpr std::uint64_t kMaxPayload = std::uint64_t{1} << 31;
constexpr std::uint64_t kMaxRunChars = std::uint64_t{1} << 30;

enum ScalarTag : std::uint8_t { kNull, kFalse, kTrue, kInt, kUint, kF64, kStr, kBytes, kTimestamp, kCounter };

}  // namespace

void Writer::uleb(std::uint64_t v) {
  while (v >= 0x80) {
    out_.push_back(static_cast<std::uint8_t>(v | 0x80));
    v >>= 7;
  }
  out_.push_back(static_cast<std::uint8_t>(v));
}

void Writer::sleb(std::int64_t v) {
  bool more = true;
  while (more) {
    std::uint8_t b = v & 0x7f;
    v >>= 7;  // arithmetic shift
    if ((v == 0 && !(b & 0x40)) || (v == -1 && (b & 0x40))) {
      more = false;
    } else {
      b |= 0x80;
    }
    out_.push_back(b);
  }
}

void Writer::f64(double v) {
  const auto bits = std::bit_cast<std::uint64_t>(v);
  for (int i = 0; i < 8; ++i) out_.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
}

std::uint8_t Reader::u8() {
  if (!ok_ || pos_ >= in_.size()) {
    ok_ = false;
    return 0;
  }
  return in_[pos_++];
}

std::uint64_t Reader::uleb() {
  std::uint64_t v = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    const std::uint8_t b = u8();
    if (!ok_) return 0;
    if (shift == 63 && (b & 0x7e)) break;  // overflows 64 bits
    v |= static_cast<std::uint64_t>(b & 0x7f) << shift;
    if (!(b & 0x80)) {
      if (b == 0 && shift > 0) break;  // not the shortest form
      return v;
    }
  }
  ok_ = false;
  return 0;
}

std::int64_t Reader::sleb() {
  std::uint64_t v = 0;
  int shift = 0;
  std::uint8_t b = 0, prev = 0;
  do {
    if (shift >= 70) {
      ok_ = false;
      return 0;
    }
    prev = b;
    b = u8();
    if (!ok_) return 0;
    if (shift == 63 && b != 0 && b != 0x7f) {
      ok_ = false;
      return 0;
    }
    if (shift < 64) v |= static_cast<std::uint64_t>(b & 0x7f) << shift;
    shift += 7;
  } while (b & 0x80);
  // Only the shortest form is accepted: change hashes are taken over these bytes, and a whole
  // save writes them again in the shortest form.
  if (shift > 7 && ((b == 0 && !(prev & 0x40)) || (b == 0x7f && (prev & 0x40)))) {
    ok_ = false;
    return 0;
  }
  if (shift < 64 && (b & 0x40)) v |= ~std::uint64_t{0} << shift;
  return static_cast<std::int64_t>(v);
}

double Reader::f64() {
  ByteView b = raw(8);
  if (!ok_) return 0;
  std::uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) bits |= static_cast<std::uint64_t>(b[i]) << (8 * i);
  return std::bit_cast<double>(bits);
}

ByteView Reader::raw(std::size_t n) {
  if (!ok_ || n > in_.size() - pos_) {
    ok_ = false;
    return {};
  }
  ByteView v = in_.subspan(pos_, n);
  pos_ += n;
  return v;
}

ByteView Reader::bytes() {
  const std::uint64_t n = uleb();
  if (!ok_ || n > remaining()) {
    ok_ = false;
    return {};
  }
  return raw(static_cast<std::size_t>(n));
}

std::string Reader::str() {
  ByteView b = bytes();
  return std::string(b.begin(), b.end());
}

std::uint64_t Reader::count(std::size_t min_item_bytes) {
  const std::uint64_t n = uleb();
  if (!ok_) return 0;
  if (min_item_bytes > 0 && n > remaining() / min_item_bytes) {
    ok_ = false;
    return 0;
  }
  return n;
}

void write_scalar(Writer& w, const ScalarValue& v) {
  switch (v.type()) {
    case ScalarType::Null: w.u8(kNull); break;
    case ScalarType::Bool: w.u8(*v.as_bool() ? kTrue : kFalse); break;
    case ScalarType::Int:
      w.u8(kInt);
      w.sleb(*v.as_int());
      break;
    case ScalarType::Uint:
      w.u8(kUint);
      w.uleb(*v.as_uint());
      break;
    case ScalarType::F64:
      w.u8(kF64);
      w.f64(*v.as_f64());
      break;
    case ScalarType::Str:
      w.u8(kStr);
      w.str(*v.as_str());
      break;
    case ScalarType::Bytes:
      w.u8(kBytes);
      w.bytes(*v.as_bytes());
      break;
    case ScalarType::Timestamp:
      w.u8(kTimestamp);
      w.sleb(v.as_timestamp()->ms);
      break;
    case ScalarType::Counter:
      w.u8(kCounter);
      w.sleb(v.as_counter()->value);
      break;
  }
}

ScalarValue read_scalar(Reader& r) {
  switch (r.u8()) {
    case kNull: return Null{};
    case kFalse: return false;
    case kTrue: return true;
    case kInt: return r.sleb();
    case kUint: return static_cast<std::uint64_t>(r.uleb());
    case kF64: return r.f64();
    case kStr: return r.str();
    case kBytes: {
      ByteView b = r.bytes();
      return Bytes(b.begin(), b.end());
    }
    case kTimestamp: return Timestamp{r.sleb()};
    case kCounter: return Counter{r.sleb()};
    default: r.fail(); return Null{};
  }
}

namespace {

// Ids inside a change name actors by their index in the change's own table: 0 is the change's
// actor, then the others in order of first use.
class ActorMap {
 public:
  ActorMap(std::uint32_t own, const std::vector<ActorId>& actors) : actors_(actors) {
    order_.reserve(4);
    local(own);
  }
  std::uint32_t local(std::uint32_t doc_index) {
    for (std::size_t i = 0; i < order_.size(); ++i)
      if (order_[i] == doc_index) return static_cast<std::uint32_t>(i);
    order_.push_back(doc_index);
    return static_cast<std::uint32_t>(order_.size() - 1);
  }
  const std::vector<std::uint32_t>& order() const { return order_; }
  const ActorId& actor(std::uint32_t doc_index) const { return actors_[doc_index]; }

 private:
  const std::vector<ActorId>& actors_;
  std::vector<std::uint32_t> order_;  // few actors per change: a linear search is fastest
};

// Ids an operation refers to are written relative to the operation's own counter (the element
// typed just before is 1 back), with the actor as its local index plus one (0: no id).
void write_id(Writer& w, ActorMap& m, OpId id, std::uint64_t own) {
  if (id.is_null()) {
    w.uleb(0);
    return;
  }
  w.uleb(std::uint64_t{m.local(id.actor)} + 1);
  w.sleb(static_cast<std::int64_t>(own - id.counter));
}

void write_obj(Writer& w, ActorMap& m, OpId id) {
  w.uleb(id.counter);
  if (id.counter != 0) w.uleb(m.local(id.actor));
}

void write_anchor(Writer& w, ActorMap& m, const Anchor& a, std::uint64_t own) {
  w.u8(static_cast<std::uint8_t>(a.kind));
  if (a.kind == Anchor::Kind::Before || a.kind == Anchor::Kind::After) write_id(w, m, a.elem, own);
}

void write_preds(Writer& w, ActorMap& m, const std::vector<OpId>& pred, std::uint64_t own) {
  w.uleb(pred.size());
  for (const OpId& p : pred) write_id(w, m, p, own);
}

// Text inserted goes to `text`, after all the operations, so that it compresses as text.
void write_op(Writer& w, Writer& text, ActorMap& m, const Op& op, std::uint64_t own) {
  w.u8(static_cast<std::uint8_t>(op.kind));
  write_obj(w, m, op.obj);
  switch (op.kind) {
    case OpKind::MapPut:
      w.str(op.key);
      write_preds(w, m, op.pred, own);
      write_scalar(w, op.value);
      break;
    case OpKind::MapPutObject:
      w.str(op.key);
      write_preds(w, m, op.pred, own);
      w.u8(static_cast<std::uint8_t>(op.obj_type));
      break;
    case OpKind::MapDelete:
      w.str(op.key);
      write_preds(w, m, op.pred, own);
      break;
    case OpKind::MapIncrement:
      w.str(op.key);
      write_preds(w, m, op.pred, own);
      w.sleb(op.by);
      break;
    case OpKind::ListInsert:
      write_id(w, m, op.elem, own);
      write_id(w, m, op.origin_right, own);
      write_scalar(w, op.value);
      break;
    case OpKind::ListInsertObject:
      write_id(w, m, op.elem, own);
      write_id(w, m, op.origin_right, own);
      w.u8(static_cast<std::uint8_t>(op.obj_type));
      break;
    case OpKind::ListSet:
      write_id(w, m, op.elem, own);
      write_preds(w, m, op.pred, own);
      write_scalar(w, op.value);
      break;
    case OpKind::ListSetObject:
      write_id(w, m, op.elem, own);
      write_preds(w, m, op.pred, own);
      w.u8(static_cast<std::uint8_t>(op.obj_type));
      break;
    case OpKind::ListDelete:
      write_id(w, m, op.elem, own);
      write_preds(w, m, op.pred, own);
      break;
    case OpKind::ListIncrement:
      write_id(w, m, op.elem, own);
      write_preds(w, m, op.pred, own);
      w.sleb(op.by);
      break;
    case OpKind::TextInsert: {
      write_id(w, m, op.elem, own);
      write_id(w, m, op.origin_right, own);
      const std::size_t before = text.size();
      std::string utf8;
      for (char32_t ch : op.text) {
        if (ch < 0x80) {
          text.u8(static_cast<std::uint8_t>(ch));
        } else {
          utf8.clear();
          unicode::append_utf8(utf8, ch);
          text.raw(utf8);
        }
      }
      w.uleb(text.size() - before);
      break;
    }
    case OpKind::TextDelete:
      write_id(w, m, op.elem, own);
      w.uleb(op.len);
      break;
    case OpKind::Mark:
      write_anchor(w, m, op.start, own);
      write_anchor(w, m, op.end, own);
      w.str(op.key);
      write_scalar(w, op.value);
      break;
  }
}

}  // namespace

void write_change_header(Writer& w, ByteView actor, std::uint64_t seq, std::uint64_t start_op, std::int64_t time,
                         const std::optional<std::string>& message, std::span<const ChangeHash> deps,
                         std::span<const ByteView> others) {
  w.u8(kChangeFormat);
  w.bytes(actor);
  w.uleb(seq);
  w.uleb(start_op);
  w.sleb(time);
  w.u8(message ? 1 : 0);
  if (message) w.str(*message);
  w.uleb(deps.size());
  for (const ChangeHash& d : deps) w.raw(d.bytes);
  w.uleb(others.size());
  for (ByteView o : others) w.bytes(o);
}

void encode_change_into(DecodedChange& c, const std::vector<ActorId>& actors, Writer& w) {
  ActorMap m(c.actor, actors);
  thread_local Writer ops, text;
  ops.clear();
  text.clear();
  std::uint64_t own = c.start_op;
  for (const Op& op : c.ops) {
    write_op(ops, text, m, op, own);
    own += op.width();
  }
  std::vector<ByteView> others;
  c.others.clear();
  for (std::size_t i = 1; i < m.order().size(); ++i) {
    others.push_back(m.actor(m.order()[i]).bytes());
    c.others.push_back(m.order()[i]);
  }
  w.clear();
  write_change_header(w, actors[c.actor].bytes(), c.seq, c.start_op, c.time, c.message, c.deps, others);
  c.ops_offset = w.size();
  w.uleb(c.ops.size());
  w.uleb(text.size());
  w.raw(ops.out());
  w.raw(text.out());
}

Bytes encode_change(DecodedChange& c, const std::vector<ActorId>& actors) {
  Writer w;
  encode_change_into(c, actors, w);
  return std::move(w.out());
}

Result<ChangeHeader> read_change_header(ByteView bytes) {
  Reader r(bytes);
  ChangeHeader h;
  if (r.u8() != kChangeFormat) return fail("unknown change format");
  h.actor = r.bytes();
  h.seq = r.uleb();
  h.start_op = r.uleb();
  h.time = r.sleb();
  const std::uint8_t has_message = r.u8();
  if (has_message > 1) return fail("malformed change header");
  if (has_message) h.message = r.str();
  const std::uint64_t ndeps = r.count(32);
  h.deps.reserve(ndeps);
  for (std::uint64_t i = 0; i < ndeps && r.ok(); ++i) {
    ByteView d = r.raw(32);
    if (!r.ok()) break;
    ChangeHash hash;
    std::copy(d.begin(), d.end(), hash.bytes.begin());
    if (!h.deps.empty() && !(h.deps.back() < hash)) return fail("change dependencies are not in order");
    h.deps.push_back(hash);
  }
  const std::uint64_t nothers = r.count(1);
  for (std::uint64_t i = 0; i < nothers && r.ok(); ++i) h.others.push_back(r.bytes());
  if (!r.ok() || h.seq == 0 || h.start_op == 0 || h.start_op > (std::uint64_t{1} << 62))
    return fail("malformed change header");
  h.ops_offset = r.pos();
  return h;
}

ChangeHash hash_change(ByteView raw) {
  // One digest context per thread, set up once: fetching the digest per call costs more than
  // hashing a small change.
  struct Ctx {
    EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~Ctx() {
      EVP_MD_CTX_free(ctx);
      EVP_MD_free(md);
    }
  };
  thread_local Ctx c;
  ChangeHash h;
  unsigned int len = 0;
  EVP_DigestInit_ex(c.ctx, c.md, nullptr);
  EVP_DigestUpdate(c.ctx, raw.data(), raw.size());
  EVP_DigestFinal_ex(c.ctx, h.bytes.data(), &len);
  return h;
}

namespace {

struct ChangeReader {
  Reader& r;
  Reader& text;
  std::vector<std::uint32_t> actors;  // change-local index -> document index
  std::uint64_t own = 0;              // counter of the operation being read

  OpId id() {
    const std::uint64_t a = r.uleb();
    if (a == 0) return {};
    if (a > actors.size()) {
      r.fail();
      return {};
    }
    const std::int64_t back = r.sleb();
    const std::uint64_t counter = own - static_cast<std::uint64_t>(back);
    if (counter == 0 || counter > (std::uint64_t{1} << 62)) {
      r.fail();
      return {};
    }
    return OpId{counter, actors[a - 1]};
  }
  OpId obj() {
    OpId v;
    v.counter = r.uleb();
    if (v.counter != 0) {
      const std::uint64_t a = r.uleb();
      if (a >= actors.size()) {
        r.fail();
        return {};
      }
      v.actor = actors[a];
    }
    return v;
  }
  Anchor anchor() {
    Anchor a;
    const std::uint8_t k = r.u8();
    if (k > 3) {
      r.fail();
      return a;
    }
    a.kind = static_cast<Anchor::Kind>(k);
    if (a.kind == Anchor::Kind::Before || a.kind == Anchor::Kind::After) {
      a.elem = id();
      if (a.elem.is_null()) r.fail();
    }
    return a;
  }
  std::vector<OpId> preds() {
    const std::uint64_t n = r.count(1);
    std::vector<OpId> v;
    v.reserve(n);
    for (std::uint64_t i = 0; i < n && r.ok(); ++i) {
      v.push_back(id());
      if (v.back().is_null()) r.fail();
    }
    return v;
  }
  ObjType obj_type() {
    const std::uint8_t t = r.u8();
    if (t > 2) r.fail();
    return static_cast<ObjType>(t);
  }
  bool op(Op& op) {
    const std::uint8_t kind = r.u8();
    if (kind > static_cast<std::uint8_t>(OpKind::kLast)) return false;
    op.kind = static_cast<OpKind>(kind);
    op.obj = obj();
    switch (op.kind) {
      case OpKind::MapPut:
        op.key = r.str();
        op.pred = preds();
        op.value = read_scalar(r);
        break;
      case OpKind::MapPutObject:
        op.key = r.str();
        op.pred = preds();
        op.obj_type = obj_type();
        break;
      case OpKind::MapDelete:
        op.key = r.str();
        op.pred = preds();
        break;
      case OpKind::MapIncrement:
        op.key = r.str();
        op.pred = preds();
        op.by = r.sleb();
        break;
      case OpKind::ListInsert:
        op.elem = id();
        op.origin_right = id();
        op.value = read_scalar(r);
        break;
      case OpKind::ListInsertObject:
        op.elem = id();
        op.origin_right = id();
        op.obj_type = obj_type();
        break;
      case OpKind::ListSet:
        op.elem = id();
        op.pred = preds();
        op.value = read_scalar(r);
        break;
      case OpKind::ListSetObject:
        op.elem = id();
        op.pred = preds();
        op.obj_type = obj_type();
        break;
      case OpKind::ListDelete:
        op.elem = id();
        op.pred = preds();
        break;
      case OpKind::ListIncrement:
        op.elem = id();
        op.pred = preds();
        op.by = r.sleb();
        break;
      case OpKind::TextInsert: {
        op.elem = id();
        op.origin_right = id();
        const std::uint64_t n = r.uleb();
        ByteView b = text.raw(static_cast<std::size_t>(std::min<std::uint64_t>(n, SIZE_MAX)));
        if (!r.ok() || !text.ok()) return false;
        const std::string_view s(reinterpret_cast<const char*>(b.data()), b.size());
        if (s.empty() || !unicode::is_valid_utf8(s)) return false;
        op.text = unicode::decode(s);
        if (op.text.size() > kMaxRunChars) return false;
        break;
      }
      case OpKind::TextDelete:
        op.elem = id();
        op.len = r.uleb();
        if (op.len == 0 || op.len > kMaxRunChars || op.elem.is_null()) return false;
        break;
      case OpKind::Mark:
        op.start = anchor();
        op.end = anchor();
        op.key = r.str();
        op.value = read_scalar(r);
        break;
    }
    return r.ok();
  }
};

}  // namespace

Result<DecodedChange> decode_change(ByteView bytes, const InternActor& intern) {
  DecodedChange c;
  QUERN_TRY(decode_change_into(bytes, intern, c));
  return c;
}

Result<void> decode_change_into(ByteView bytes, const InternActor& intern, DecodedChange& c) {
  ChangeHeader h = QUERN_TRY(read_change_header(bytes));
  c.ops.clear();
  c.width = 0;
  c.seq = h.seq;
  c.start_op = h.start_op;
  c.time = h.time;
  c.message = std::move(h.message);
  c.deps = std::move(h.deps);
  // Collect the actor table before interning anything, so a bad change adds no actor.
  std::vector<ActorId> table{ActorId(h.actor)};
  for (ByteView o : h.others) {
    table.emplace_back(o);
    if (table.back() == table.front()) return fail("malformed change header");
  }
  Reader head(bytes.subspan(h.ops_offset));
  const std::uint64_t nops = head.count(2);
  const std::uint64_t text_len = head.uleb();
  if (!head.ok() || text_len > head.remaining()) return fail("malformed change header");
  ByteView rest = bytes.subspan(h.ops_offset + head.pos());
  Reader r(rest.first(rest.size() - text_len));
  Reader text(rest.last(text_len));

  ChangeReader cr{r, text, {}};
  cr.actors.resize(table.size());
  for (std::size_t i = 0; i < table.size(); ++i) cr.actors[i] = static_cast<std::uint32_t>(i);
  c.ops.reserve(nops);
  for (std::uint64_t i = 0; i < nops; ++i) {
    Op op;
    cr.own = c.start_op + c.width;
    if (!cr.op(op)) return fail("malformed operation");
    c.width += op.width();
    if (c.width > (std::uint64_t{1} << 40)) return fail("malformed operation");
    c.ops.push_back(std::move(op));
  }
  if (!r.at_end() || !r.ok() || !text.at_end() || !text.ok()) return fail("trailing bytes after a change");

  // Rewrite actor indexes from the change's table to the document's.
  std::vector<std::uint32_t> to_doc(table.size());
  for (std::size_t i = 0; i < table.size(); ++i) to_doc[i] = intern(table[i]);
  c.actor = to_doc[0];
  c.others.assign(to_doc.begin() + 1, to_doc.end());
  c.ops_offset = h.ops_offset;
  const auto fix = [&](OpId& id) {
    if (!id.is_null()) id.actor = to_doc[id.actor];
  };
  for (Op& op : c.ops) {
    fix(op.obj);
    fix(op.elem);
    fix(op.origin_right);
    fix(op.start.elem);
    fix(op.end.elem);
    for (OpId& p : op.pred) fix(p);
  }
  return {};
}

Bytes frame_chunk(ChunkKind kind, ByteView payload, int level) {
  Bytes compressed;
  std::uint8_t flags = 0;
  if (payload.size() > 256) {
    compressed.resize(ZSTD_compressBound(payload.size()));
    const std::size_t n = ZSTD_compress(compressed.data(), compressed.size(), payload.data(), payload.size(), level);
    if (!ZSTD_isError(n) && n < payload.size()) {
      compressed.resize(n);
      flags |= kFlagZstd;
    }
  }
  ByteView stored = (flags & kFlagZstd) ? ByteView(compressed) : payload;
  Writer w;
  w.raw(ByteView(kMagic, 4));
  w.u8(kChunkVersion);
  w.u8(static_cast<std::uint8_t>(kind));
  w.u8(flags);
  w.uleb(payload.size());
  w.uleb(stored.size());
  w.raw(stored);
  const uLong crc = crc32(0L, w.out().data(), static_cast<uInt>(w.out().size()));
  for (int i = 0; i < 4; ++i) w.u8(static_cast<std::uint8_t>(crc >> (8 * i)));
  return std::move(w.out());
}

Result<std::vector<Chunk>> parse_chunks(ByteView bytes) {
  std::vector<Chunk> chunks;
  Reader r(bytes);
  if (bytes.empty()) return fail("no document data");
  while (!r.at_end()) {
    const std::size_t start = r.pos();
    ByteView magic = r.raw(4);
    if (!r.ok() || !std::equal(magic.begin(), magic.end(), kMagic)) return fail("not a document or change set");
    const std::uint8_t version = r.u8();
    const std::uint8_t kind = r.u8();
    const std::uint8_t flags = r.u8();
    const std::uint64_t raw_len = r.uleb();
    const std::uint64_t stored_len = r.uleb();
    if (!r.ok()) return fail("truncated chunk header");
    if (version != kChunkVersion) return fail("unsupported format version " + std::to_string(version));
    if (kind > 1 || (flags & ~kFlagZstd)) return fail("unknown chunk kind");
    ByteView stored = r.raw(static_cast<std::size_t>(std::min<std::uint64_t>(stored_len, SIZE_MAX)));
    if (!r.ok() || stored_len != stored.size()) return fail("truncated chunk");
    ByteView crc_bytes = r.raw(4);
    if (!r.ok()) return fail("truncated chunk");
    const uLong want = crc32(0L, bytes.data() + start, static_cast<uInt>(r.pos() - 4 - start));
    std::uint32_t got = 0;
    for (int i = 0; i < 4; ++i) got |= static_cast<std::uint32_t>(crc_bytes[i]) << (8 * i);
    if (got != static_cast<std::uint32_t>(want)) return fail("checksum mismatch: the data is corrupted");
    Chunk chunk{static_cast<ChunkKind>(kind), {}};
    if (flags & kFlagZstd) {
      if (raw_len > kMaxPayload || raw_len > stored_len * kMaxRatio) return fail("implausible chunk size");
      const unsigned long long frame = ZSTD_getFrameContentSize(stored.data(), stored.size());
      if (frame != raw_len) return fail("corrupted compressed chunk");
      chunk.payload.resize(static_cast<std::size_t>(raw_len));
      const std::size_t n = ZSTD_decompress(chunk.payload.data(), chunk.payload.size(), stored.data(), stored.size());
      if (ZSTD_isError(n) || n != raw_len) return fail("corrupted compressed chunk");
    } else {
      if (raw_len != stored_len) return fail("corrupted chunk header");
      chunk.payload.assign(stored.begin(), stored.end());
    }
    chunks.push_back(std::move(chunk));
  }
  return chunks;
}

}  // namespace quern::crdt::detail

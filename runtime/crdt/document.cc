#include "runtime/crdt/document.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <unordered_map>

#include "runtime/crdt/codec.h"
#include "runtime/crdt/op.h"
#include "runtime/crdt/sequence.h"
#include "runtime/util/unicode.h"

namespace quern::crdt {

using detail::Anchor;
using detail::DecodedChange;
using detail::Op;
using detail::OpId;
using detail::OpKind;
using detail::Sequence;

namespace {

constexpr OpId kRoot{};

struct RegValue {
  OpId id;
  bool is_obj = false;
  ObjType obj_type = ObjType::Map;
  ScalarValue value;
  std::int64_t inc = 0;  // increments applied to a counter
};
// The live values of a map key or list element, ascending by op id.
using Register = std::vector<RegValue>;

struct MarkOp {
  OpId id;
  Anchor start, end;
  std::string name;
  ScalarValue value;
};

struct Object {
  ObjType type = ObjType::Map;
  std::map<std::string, Register, std::less<>> map;
  std::unique_ptr<Sequence> seq;
  std::vector<Register> elems;  // list elements by content slot
  std::vector<MarkOp> marks;
};

// One change of the history. Variable-length parts live in the history's arenas.
struct StoredChange {
  std::uint32_t actor = 0;
  std::uint32_t ops_offset = 0;  // where the ops start in the canonical bytes
  std::uint64_t seq = 0;
  std::uint64_t start_op = 0;
  std::int64_t time = 0;
  std::uint64_t width = 0;
  ChangeHash hash;
  std::uint64_t raw_offset = 0;
  std::uint32_t raw_len = 0;
  std::uint32_t deps_offset = 0;  // the deps, as indexes of earlier changes
  std::uint32_t deps_count = 0;
  std::uint32_t others_offset = 0;  // see DecodedChange::others
  std::uint32_t others_count = 0;
  std::uint32_t message = 0;  // 0: none; else 1 + index into the messages
};

// The applied changes in order, with their canonical bytes, and an index by hash (open
// addressing over change indexes).
class History {
 public:
  std::size_t size() const { return changes_.size(); }
  const StoredChange& at(std::size_t i) const { return changes_[i]; }
  ByteView raw(std::size_t i) const { return ByteView(raw_.data() + changes_[i].raw_offset, changes_[i].raw_len); }
  std::span<const std::uint32_t> deps(std::size_t i) const {
    return {deps_.data() + changes_[i].deps_offset, changes_[i].deps_count};
  }
  std::span<const std::uint32_t> others(std::size_t i) const {
    return {others_.data() + changes_[i].others_offset, changes_[i].others_count};
  }
  const std::string* message(std::size_t i) const {
    return changes_[i].message ? &messages_[changes_[i].message - 1] : nullptr;
  }

  std::optional<std::size_t> find(const ChangeHash& h) const {
    if (slots_.empty()) return std::nullopt;
    for (std::size_t k = slot_of(h);; k = (k + 1) & (slots_.size() - 1)) {
      const std::uint32_t v = slots_[k];
      if (v == 0) return std::nullopt;
      if (changes_[v - 1].hash == h) return v - 1;
    }
  }
  bool contains(const ChangeHash& h) const { return find(h).has_value(); }

  // Precondition: every dep is in the history.
  void append(const DecodedChange& c, const ChangeHash& h, ByteView raw) {
    StoredChange s;
    s.actor = c.actor;
    s.ops_offset = static_cast<std::uint32_t>(c.ops_offset);
    s.seq = c.seq;
    s.start_op = c.start_op;
    s.time = c.time;
    s.width = c.width;
    s.hash = h;
    s.raw_offset = raw_.size();
    s.raw_len = static_cast<std::uint32_t>(raw.size());
    raw_.insert(raw_.end(), raw.begin(), raw.end());
    s.deps_offset = static_cast<std::uint32_t>(deps_.size());
    s.deps_count = static_cast<std::uint32_t>(c.deps.size());
    for (const ChangeHash& d : c.deps) deps_.push_back(static_cast<std::uint32_t>(*find(d)));
    s.others_offset = static_cast<std::uint32_t>(others_.size());
    s.others_count = static_cast<std::uint32_t>(c.others.size());
    others_.insert(others_.end(), c.others.begin(), c.others.end());
    if (c.message) {
      messages_.push_back(*c.message);
      s.message = static_cast<std::uint32_t>(messages_.size());
    }
    changes_.push_back(s);
    if ((changes_.size() + 1) * 2 > slots_.size()) {
      grow();
    } else {
      insert_slot(changes_.size() - 1);
    }
  }

  // Room for `changes` more changes of `bytes` bytes in all. Grows geometrically, so that many
  // small batches (one change each) still cost amortised constant time.
  void reserve(std::size_t changes, std::size_t bytes) {
    grow_to(changes_, changes_.size() + changes);
    grow_to(raw_, raw_.size() + bytes);
    grow_to(deps_, deps_.size() + changes);
    if ((changes_.size() + changes + 1) * 2 > slots_.size()) {
      std::size_t n = std::max<std::size_t>(16, slots_.size());
      while ((changes_.size() + changes + 1) * 2 > n) n *= 2;
      slots_.assign(n, 0);
      for (std::size_t i = 0; i < changes_.size(); ++i) insert_slot(i);
    }
  }

  // Moves the whole history out (for a rebuild), leaving this one empty.
  History take() {
    History h = std::move(*this);
    *this = History();
    return h;
  }

 private:
  std::size_t slot_of(const ChangeHash& h) const {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | h.bytes[i];
    return static_cast<std::size_t>(v) & (slots_.size() - 1);
  }
  void insert_slot(std::size_t i) {
    std::size_t k = slot_of(changes_[i].hash);
    while (slots_[k] != 0) k = (k + 1) & (slots_.size() - 1);
    slots_[k] = static_cast<std::uint32_t>(i + 1);
  }
  template <typename V>
  static void grow_to(V& v, std::size_t n) {
    if (v.capacity() < n) v.reserve(std::max(n, 2 * v.capacity()));
  }
  void grow() {
    slots_.assign(std::max<std::size_t>(16, slots_.size() * 2), 0);
    for (std::size_t i = 0; i < changes_.size(); ++i) insert_slot(i);
  }

  std::vector<StoredChange> changes_;
  Bytes raw_;
  std::vector<std::uint32_t> deps_;
  std::vector<std::uint32_t> others_;
  std::vector<std::string> messages_;
  std::vector<std::uint32_t> slots_;  // 0: empty; else 1 + change index
};

struct Pending {
  Bytes raw;
  DecodedChange change;
};

struct Transaction {
  std::uint64_t seq = 0;
  std::uint64_t start_op = 0;
  std::vector<ChangeHash> deps;
  std::vector<Op> ops;
  std::uint64_t width = 0;
};

ChangeHash hash_of(ByteView raw) { return detail::hash_change(raw); }

constexpr std::uint64_t kDocumentFormat = 2;

std::int64_t wall_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool valid_mark_value(const ScalarValue& v) {
  switch (v.type()) {
    case ScalarType::Bool:
    case ScalarType::Int:
    case ScalarType::Uint:
    case ScalarType::Str: return true;
    default: return false;
  }
}

}  // namespace

class DocumentImpl {
 public:
  explicit DocumentImpl(ActorId actor) : actor_(std::move(actor)) { reset_state(); }

  // ---- actors and ids
  std::uint32_t intern(const ActorId& a) {
    auto [it, added] = actor_index_.try_emplace(a.bytes(), static_cast<std::uint32_t>(actors_.size()));
    if (added) actors_.push_back(a);
    return it->second;
  }
  bool lamport_less(const OpId& a, const OpId& b) const {
    if (a.counter != b.counter) return a.counter < b.counter;
    return actors_[a.actor] < actors_[b.actor];
  }
  // The tie-break between elements inserted concurrently at one place: the later (higher
  // counter) first, then by actor. Newest-first makes a burst of inserts at one place (which
  // arrive in ascending counters) place each at once instead of walking past the others.
  bool sibling_first(const OpId& a, const OpId& b) const {
    if (a.counter != b.counter) return a.counter > b.counter;
    return actors_[a.actor] < actors_[b.actor];
  }
  ObjId to_obj_id(OpId id) const { return id.is_null() ? ObjId::root() : ObjId(id.counter, actors_[id.actor]); }
  Result<OpId> to_op_id(const ObjId& obj) const {
    if (obj.is_root()) return kRoot;
    auto it = actor_index_.find(obj.actor().bytes());
    if (it == actor_index_.end()) return fail("unknown object " + obj.to_string());
    return OpId{obj.counter(), it->second};
  }

  // ---- objects
  Result<const Object*> object(const ObjId& obj) const {
    const OpId id = QUERN_TRY(to_op_id(obj));
    auto it = objects_.find(id);
    if (it == objects_.end()) return fail("unknown object " + obj.to_string());
    return &it->second;
  }
  Result<std::pair<OpId, Object*>> object_of(const ObjId& obj, ObjType a, std::optional<ObjType> b = std::nullopt) {
    const OpId id = QUERN_TRY(to_op_id(obj));
    auto it = objects_.find(id);
    if (it == objects_.end()) return fail("unknown object " + obj.to_string());
    if (it->second.type != a && (!b || it->second.type != *b))
      return fail("object " + obj.to_string() + " is a " + std::string(to_string(it->second.type)) + ", not a " +
                  std::string(to_string(a)));
    return std::pair{id, &it->second};
  }

  Value to_value(const RegValue& v) const {
    if (v.is_obj) return ObjectValue{v.obj_type, to_obj_id(v.id)};
    if (const Counter* c = v.value.as_counter()) return ScalarValue(Counter{c->value + v.inc});
    return v.value;
  }

  void reset_state() {
    objects_.clear();
    objects_[kRoot].type = ObjType::Map;
    max_op_ = 0;
  }

  // ---- applying operations (local and remote alike)
  void insert_value(Register& reg, RegValue v) {
    auto pos = std::find_if(reg.begin(), reg.end(), [&](const RegValue& x) { return lamport_less(v.id, x.id); });
    reg.insert(pos, std::move(v));
  }
  static void remove_preds(Register& reg, const std::vector<OpId>& pred) {
    if (pred.empty()) return;
    std::erase_if(reg, [&](const RegValue& v) { return std::find(pred.begin(), pred.end(), v.id) != pred.end(); });
  }
  RegValue new_value(const Op& op, OpId id) {
    RegValue v;
    v.id = id;
    if (op.creates_object()) {
      v.is_obj = true;
      v.obj_type = op.obj_type;
    } else {
      v.value = op.value;
    }
    return v;
  }
  void create_object(OpId id, ObjType type) {
    Object& o = objects_[id];
    o.type = type;
    if (type != ObjType::Map) o.seq = std::make_unique<Sequence>();
  }
  Result<Register*> list_element(Object& o, OpId elem, std::optional<Sequence::Cursor>& cursor) {
    cursor = o.seq->find(elem);
    if (!cursor) return fail("an operation names an unknown list element");
    return &o.elems[o.seq->content_at(*cursor)];
  }

  Result<void> apply_op(const Op& op, OpId id) {
    auto it = objects_.find(op.obj);
    if (it == objects_.end()) return fail("an operation names an unknown object");
    Object& o = it->second;
    const auto want = [&](ObjType t) -> Result<void> {
      if (o.type != t) return fail("an operation does not fit its object's kind");
      return {};
    };
    switch (op.kind) {
      case OpKind::MapPut:
      case OpKind::MapPutObject: {
        QUERN_TRY(want(ObjType::Map));
        if (op.creates_object() && objects_.contains(id)) return fail("an object id is used twice");
        Register& reg = o.map[op.key];
        remove_preds(reg, op.pred);
        insert_value(reg, new_value(op, id));
        if (op.creates_object()) create_object(id, op.obj_type);
        return {};
      }
      case OpKind::MapDelete: {
        QUERN_TRY(want(ObjType::Map));
        auto k = o.map.find(op.key);
        if (k == o.map.end()) return {};
        remove_preds(k->second, op.pred);
        if (k->second.empty()) o.map.erase(k);
        return {};
      }
      case OpKind::MapIncrement: {
        QUERN_TRY(want(ObjType::Map));
        auto k = o.map.find(op.key);
        if (k == o.map.end()) return {};
        increment_values(k->second, op);
        return {};
      }
      case OpKind::ListInsert:
      case OpKind::ListInsertObject: {
        QUERN_TRY(want(ObjType::List));
        if (op.creates_object() && objects_.contains(id)) return fail("an object id is used twice");
        const auto slot = static_cast<std::uint32_t>(o.elems.size());
        o.elems.push_back(Register{new_value(op, id)});
        auto r = o.seq->integrate(id, op.elem, op.origin_right, &slot, 1,
                                  [this](const OpId& a, const OpId& b) { return sibling_first(a, b); });
        if (!r) {
          o.elems.pop_back();
          return r;
        }
        if (op.creates_object()) create_object(id, op.obj_type);
        return {};
      }
      case OpKind::ListSet:
      case OpKind::ListSetObject:
      case OpKind::ListDelete:
      case OpKind::ListIncrement: {
        QUERN_TRY(want(ObjType::List));
        if (op.creates_object() && objects_.contains(id)) return fail("an object id is used twice");
        std::optional<Sequence::Cursor> cursor;
        Register* reg = QUERN_TRY(list_element(o, op.elem, cursor));
        if (op.kind == OpKind::ListIncrement) {
          increment_values(*reg, op);
          return {};
        }
        const bool was_visible = !reg->empty();
        remove_preds(*reg, op.pred);
        if (op.kind != OpKind::ListDelete) insert_value(*reg, new_value(op, id));
        if (op.creates_object()) create_object(id, op.obj_type);
        const bool visible = !reg->empty();
        if (visible != was_visible) QUERN_TRY(o.seq->set_deleted(op.elem, 1, !visible));
        return {};
      }
      case OpKind::TextInsert: {
        QUERN_TRY(want(ObjType::Text));
        const auto* chars = reinterpret_cast<const std::uint32_t*>(op.text.data());
        return o.seq->integrate(id, op.elem, op.origin_right, chars, static_cast<std::uint32_t>(op.text.size()),
                                [this](const OpId& a, const OpId& b) { return sibling_first(a, b); });
      }
      case OpKind::TextDelete: QUERN_TRY(want(ObjType::Text)); return o.seq->set_deleted(op.elem, op.len, true);
      case OpKind::Mark: {
        QUERN_TRY(want(ObjType::Text));
        for (const Anchor* a : {&op.start, &op.end})
          if ((a->kind == Anchor::Kind::Before || a->kind == Anchor::Kind::After) && !o.seq->find(a->elem))
            return fail("a mark is anchored to an unknown character");
        o.marks.push_back(MarkOp{id, op.start, op.end, op.key, op.value});
        return {};
      }
    }
    return fail("unknown operation");
  }

  static void increment_values(Register& reg, const Op& op) {
    for (RegValue& v : reg)
      if (v.value.as_counter() && std::find(op.pred.begin(), op.pred.end(), v.id) != op.pred.end())
        v.inc = static_cast<std::int64_t>(static_cast<std::uint64_t>(v.inc) + static_cast<std::uint64_t>(op.by));
  }

  // ---- local transaction
  std::uint32_t own_actor() { return intern(actor_); }

  // Opens the transaction when needed and reserves `width` counters; returns the first id.
  OpId next_id(std::uint64_t width) {
    if (!tx_) {
      const std::uint32_t a = own_actor();
      auto st = actor_state_.find(a);
      tx_.open(st == actor_state_.end() ? 1 : st->second.seq + 1, max_op_ + 1, heads_);
    }
    const OpId id{max_op_ + 1, own_actor()};
    max_op_ += width;
    return id;
  }
  OpId last_op_id() const {
    return {tx_->start_op + tx_->width - tx_->ops.back().width(), actor_index_.at(actor_.bytes())};
  }

  Result<void> local(Op op, std::uint64_t width = 1) {
    const OpId id = next_id(width);
    auto r = apply_op(op, id);
    if (!r) {
      max_op_ -= width;
      if (tx_->ops.empty()) tx_.reset();
      return r;
    }
    record(std::move(op));
    return {};
  }
  void record(Op op) {
    tx_->width += op.width();
    tx_->ops.push_back(std::move(op));
  }

  std::optional<ChangeHash> commit(std::optional<std::string> message, std::int64_t time) {
    if (!tx_) return std::nullopt;
    if (tx_->ops.empty()) {
      tx_.reset();
      return std::nullopt;
    }
    // The change borrows the transaction's buffers and hands them back, so that a commit per
    // keystroke allocates nothing for them.
    DecodedChange& c = commit_change_;
    c.actor = own_actor();
    c.seq = tx_->seq;
    c.start_op = tx_->start_op;
    c.time = time;
    c.message = std::move(message);
    c.width = tx_->width;
    std::swap(c.deps, tx_->deps);
    std::swap(c.ops, tx_->ops);
    detail::encode_change_into(c, actors_, scratch_);
    const ChangeHash h = hash_of(scratch_.out());
    record_change(c, h, scratch_.out());
    std::swap(c.deps, tx_->deps);
    std::swap(c.ops, tx_->ops);
    tx_.reset();
    return h;
  }
  void commit_open() {
    if (tx_) commit(std::nullopt, wall_ms());
  }

  std::size_t rollback() {
    if (!tx_) return 0;
    const std::size_t n = tx_->width;
    tx_.reset();
    rebuild();
    return n;
  }

  // ---- history
  void record_change(const DecodedChange& c, const ChangeHash& h, ByteView raw) {
    history_.append(c, h, raw);
    if (!c.deps.empty())
      std::erase_if(heads_, [&](const ChangeHash& x) { return std::binary_search(c.deps.begin(), c.deps.end(), x); });
    heads_.insert(std::upper_bound(heads_.begin(), heads_.end(), h), h);
    auto& st = actor_state_[c.actor];
    st.seq = c.seq;
    st.max_op = c.start_op + c.width - 1;
    max_op_ = std::max(max_op_, c.start_op + c.width - 1);
  }

  // Applies a decoded remote change whose dependencies are all present.
  Result<void> apply_change(const DecodedChange& c, const ChangeHash& h, ByteView raw) {
    auto st = actor_state_.find(c.actor);
    const std::uint64_t expect_seq = st == actor_state_.end() ? 1 : st->second.seq + 1;
    if (c.seq != expect_seq) return fail("a change is out of sequence for its actor");
    if (st != actor_state_.end() && c.start_op <= st->second.max_op)
      return fail("a change reuses operation ids of its actor");
    std::uint64_t off = 0;
    for (const Op& op : c.ops) {
      QUERN_TRY(apply_op(op, OpId{c.start_op + off, c.actor}));
      off += op.width();
    }
    record_change(c, h, raw);
    return {};
  }

  Change public_change(std::size_t i) const {
    const StoredChange& s = history_.at(i);
    Change c;
    c.actor = actors_[s.actor];
    c.seq = s.seq;
    c.start_op = s.start_op;
    for (std::uint32_t d : history_.deps(i)) c.deps.push_back(history_.at(d).hash);
    c.time = s.time;
    if (const std::string* m = history_.message(i)) c.message = *m;
    c.hash = s.hash;
    c.op_count = s.width;
    return c;
  }

  // Re-derives the state and the history from the first `keep` changes (after a rollback, or
  // an error halfway through applying received changes).
  void rebuild(std::size_t keep) {
    History old = history_.take();
    heads_.clear();
    actor_state_.clear();
    reset_state();
    for (std::size_t i = 0; i < keep && i < old.size(); ++i) {
      auto c = detail::decode_change(old.raw(i), [this](const ActorId& a) { return intern(a); });
      // These changes were applied before, so they apply again.
      if (!c || !apply_change(*c, old.at(i).hash, old.raw(i))) break;
    }
  }
  void rebuild() { rebuild(history_.size()); }

  // Applies the changes of the chunks in order (queueing those whose dependencies are missing).
  // On an error the document is as before.
  Result<std::size_t> receive(ByteView bytes) {
    auto chunks = QUERN_TRY(detail::parse_chunks(bytes));
    // Changes of document chunks are rebuilt into one buffer; views into it are taken once it
    // no longer grows.
    struct Incoming {
      ByteView raw;
      std::size_t offset = 0, len = 0;
      bool rebuilt = false;
      std::optional<ChangeHash> hash;
    };
    std::vector<Incoming> incoming;
    detail::Writer arena;
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    std::vector<ChangeHash> hashes;
    for (const auto& chunk : chunks) {
      if (chunk.kind == detail::ChunkKind::Document) {
        const std::size_t first = spans.size();
        QUERN_TRY(decode_document(chunk.payload, arena, spans, hashes));
        incoming.reserve(incoming.size() + spans.size() - first);
        for (std::size_t i = first; i < spans.size(); ++i)
          incoming.push_back(Incoming{{}, spans[i].first, spans[i].second, true, hashes[i]});
        continue;
      }
      detail::Reader r(chunk.payload);
      const std::uint64_t n = r.count(1);
      for (std::uint64_t i = 0; i < n && r.ok(); ++i) {
        ByteView raw = r.bytes();
        if (r.ok()) incoming.push_back(Incoming{raw, 0, 0, false, std::nullopt});
      }
      if (!r.ok() || !r.at_end()) return fail("malformed change list");
    }
    std::size_t total = 0;
    for (Incoming& in : incoming) {
      if (in.rebuilt) in.raw = ByteView(arena.out().data() + in.offset, in.len);
      total += in.raw.size();
    }
    history_.reserve(incoming.size(), total);
    const std::size_t before = history_.size();
    auto saved_queue = queue_;
    auto saved_waiting = waiting_;
    std::size_t applied = 0;
    for (const Incoming& in : incoming) {
      auto r = offer_raw(in.raw, in.hash);
      if (!r) {
        queue_ = std::move(saved_queue);
        waiting_ = std::move(saved_waiting);
        rebuild(before);
        return fail(std::move(r).error());
      }
      applied += *r;
    }
    return applied;
  }

  // Hashes, decodes and offers one change's canonical bytes.
  Result<std::size_t> offer_raw(ByteView raw, std::optional<ChangeHash> known = std::nullopt) {
    const ChangeHash h = known ? *known : hash_of(raw);
    if (history_.contains(h) || queue_.contains(h)) return 0;
    DecodedChange& c = decode_scratch_;
    auto d = detail::decode_change_into(
        raw, [this](const ActorId& a) { return intern(a); }, c);
    if (!d) return fail(std::move(d).error().with_context("decode a change"));
    auto r = offer(h, raw, c);
    if (!r) return fail(std::move(r).error().with_context("apply a change"));
    return r;
  }

  // Applies the change if its dependencies are present (then any queued change that waited for
  // it), else queues it. Returns how many changes were applied.
  // `c` is left valid but unspecified when the change is queued.
  Result<std::size_t> offer(const ChangeHash& h, ByteView raw, DecodedChange& c) {
    if (history_.contains(h) || queue_.contains(h)) return 0;
    std::vector<ChangeHash> missing;
    for (const ChangeHash& d : c.deps)
      if (!history_.contains(d)) missing.push_back(d);
    if (!missing.empty()) {
      for (const ChangeHash& d : missing) waiting_[d].push_back(h);
      queue_.emplace(h, Pending{Bytes(raw.begin(), raw.end()), std::move(c)});
      return 0;
    }
    QUERN_TRY(apply_change(c, h, raw));
    std::size_t applied = 1;
    if (waiting_.empty()) return applied;
    std::vector<ChangeHash> work{h};
    while (!work.empty()) {
      const ChangeHash done = work.back();
      work.pop_back();
      auto w = waiting_.find(done);
      if (w == waiting_.end()) continue;
      std::vector<ChangeHash> candidates = std::move(w->second);
      waiting_.erase(w);
      for (const ChangeHash& q : candidates) {
        auto p = queue_.find(q);
        if (p == queue_.end()) continue;
        const auto& deps = p->second.change.deps;
        if (!std::all_of(deps.begin(), deps.end(), [&](const ChangeHash& d) { return history_.contains(d); })) continue;
        Pending pending = std::move(p->second);
        queue_.erase(p);
        QUERN_TRY(apply_change(pending.change, q, pending.raw));
        ++applied;
        work.push_back(q);
      }
    }
    return applied;
  }

  Bytes save_changes(std::size_t from) const {
    detail::Writer w;
    w.uleb(history_.size() - from);
    for (std::size_t i = from; i < history_.size(); ++i) w.bytes(history_.raw(i));
    return detail::frame_chunk(detail::ChunkKind::Changes, w.out());
  }

  // The whole history without hashes (they are recomputed on load): the actor table, then
  // columns over the changes: actor index, start op and time as deltas, message, dependencies
  // as distances back in the list, other actors, the operations and the inserted text, each
  // column in one run of bytes so that it compresses well.
  enum Column { kActor, kStart, kTime, kMessage, kDeps, kOthers, kOps, kText, kColumns };

  Bytes save_document() const {
    detail::Writer w, col[kColumns];
    w.uleb(kDocumentFormat);
    w.uleb(actors_.size());
    for (const ActorId& a : actors_) w.bytes(a.bytes());
    w.uleb(history_.size());
    std::uint64_t prev_start = 0;
    std::int64_t prev_time = 0;
    for (std::size_t i = 0; i < history_.size(); ++i) {
      const StoredChange& c = history_.at(i);
      col[kActor].uleb(c.actor);
      col[kStart].sleb(static_cast<std::int64_t>(c.start_op - prev_start));
      col[kTime].sleb(
          static_cast<std::int64_t>(static_cast<std::uint64_t>(c.time) - static_cast<std::uint64_t>(prev_time)));
      prev_start = c.start_op;
      prev_time = c.time;
      const std::string* message = history_.message(i);
      col[kMessage].u8(message ? 1 : 0);
      if (message) col[kMessage].str(*message);
      col[kDeps].uleb(c.deps_count);
      for (std::uint32_t d : history_.deps(i)) col[kDeps].uleb(i - d);
      col[kOthers].uleb(c.others_count);
      for (std::uint32_t o : history_.others(i)) col[kOthers].uleb(o);
      // The ops section is: op count, text length, the ops, the text.
      ByteView section = history_.raw(i).subspan(c.ops_offset);
      detail::Reader r(section);
      r.uleb();
      const std::uint64_t text_len = r.uleb();
      col[kOps].bytes(section.first(section.size() - text_len));
      col[kText].raw(section.last(text_len));
    }
    for (auto& c : col) w.bytes(c.out());
    return detail::frame_chunk(detail::ChunkKind::Document, w.out(), 6);
  }

  // Rebuilds the canonical bytes of every change of a document chunk.
  // Appends each change's bytes to `arena`, its place to `spans` and its hash to `out_hashes`.
  static Result<void> decode_document(ByteView payload, detail::Writer& arena,
                                      std::vector<std::pair<std::size_t, std::size_t>>& spans,
                                      std::vector<ChangeHash>& out_hashes) {
    detail::Reader r(payload);
    if (r.uleb() != kDocumentFormat) return fail("unsupported document format");
    const std::uint64_t nactors = r.count(1);
    std::vector<ByteView> actors;
    for (std::uint64_t i = 0; i < nactors && r.ok(); ++i) actors.push_back(r.bytes());
    const std::uint64_t n = r.count(1);
    std::vector<detail::Reader> col;
    for (int i = 0; i < kColumns; ++i) col.emplace_back(r.bytes());
    if (!r.ok() || !r.at_end()) return fail("malformed document");
    std::vector<std::uint64_t> seq(actors.size(), 0);
    const std::size_t base = out_hashes.size();
    std::uint64_t start = 0;
    std::int64_t time = 0;
    std::vector<ChangeHash> deps;
    std::vector<ByteView> others;
    std::optional<std::string> message;
    for (std::uint64_t i = 0; i < n; ++i) {
      const std::uint64_t a = col[kActor].uleb();
      start += static_cast<std::uint64_t>(col[kStart].sleb());
      time =
          static_cast<std::int64_t>(static_cast<std::uint64_t>(time) + static_cast<std::uint64_t>(col[kTime].sleb()));
      const std::uint8_t has_message = col[kMessage].u8();
      message.reset();
      if (has_message == 1) message = col[kMessage].str();
      detail::Reader& dr = col[kDeps];
      const std::uint64_t ndeps = dr.count(1);
      deps.clear();
      for (std::uint64_t k = 0; k < ndeps && dr.ok(); ++k) {
        const std::uint64_t back = dr.uleb();
        if (back == 0 || back > i) dr.fail();
        if (dr.ok()) deps.push_back(out_hashes[base + i - back]);
      }
      std::sort(deps.begin(), deps.end());
      detail::Reader& orr = col[kOthers];
      const std::uint64_t nothers = orr.count(1);
      others.clear();
      for (std::uint64_t k = 0; k < nothers && orr.ok(); ++k) {
        const std::uint64_t o = orr.uleb();
        if (o >= actors.size()) orr.fail();
        if (orr.ok()) others.push_back(actors[o]);
      }
      ByteView ops = col[kOps].bytes();
      detail::Reader head(ops);
      head.uleb();
      const std::uint64_t text_len = head.uleb();
      ByteView text = col[kText].raw(static_cast<std::size_t>(std::min<std::uint64_t>(text_len, SIZE_MAX)));
      if (a >= actors.size() || has_message > 1 || !head.ok() ||
          std::any_of(col.begin(), col.end(), [](const detail::Reader& c) { return !c.ok(); }))
        return fail("malformed document");
      const std::size_t at = arena.size();
      detail::write_change_header(arena, actors[a], ++seq[a], start, time, message, deps, others);
      arena.raw(ops);
      arena.raw(text);
      spans.emplace_back(at, arena.size() - at);
      out_hashes.push_back(hash_of(ByteView(arena.out()).subspan(at)));
    }
    if (std::any_of(col.begin(), col.end(), [](const detail::Reader& c) { return !c.at_end(); }))
      return fail("malformed document");
    return {};
  }

  // ---- reads
  std::optional<Value> winner(const Register& reg) const {
    if (reg.empty()) return std::nullopt;
    return to_value(reg.back());
  }
  std::vector<Value> all(const Register& reg) const {
    std::vector<Value> out;
    out.reserve(reg.size());
    for (const RegValue& v : reg) out.push_back(to_value(v));
    return out;
  }
  std::size_t anchor_pos(const Object& o, const Anchor& a) const {
    switch (a.kind) {
      case Anchor::Kind::Start: return 0;
      case Anchor::Kind::End: return o.seq->visible();
      case Anchor::Kind::Before:
      case Anchor::Kind::After: {
        auto c = o.seq->find(a.elem);
        if (!c) return 0;
        const auto [total, visible] = o.seq->rank(*c);
        (void)total;
        return visible + (a.kind == Anchor::Kind::After && !o.seq->deleted_at(*c) ? 1 : 0);
      }
    }
    return 0;
  }
  std::vector<MarkSpan> mark_spans(const Object& o) const {
    std::vector<const MarkOp*> ops;
    for (const MarkOp& m : o.marks) ops.push_back(&m);
    std::sort(ops.begin(), ops.end(), [&](const MarkOp* a, const MarkOp* b) { return lamport_less(a->id, b->id); });
    // Per name: position -> value from there on (null: unmarked).
    std::map<std::string, std::map<std::size_t, ScalarValue>> painted;
    for (const MarkOp* m : ops) {
      const std::size_t s = anchor_pos(o, m->start), e = anchor_pos(o, m->end);
      if (s >= e) continue;
      auto& line = painted[m->name];
      if (line.empty()) line[0] = Null{};
      auto at_e = std::prev(line.upper_bound(e));
      ScalarValue after = at_e->second;
      line.erase(line.lower_bound(s), line.upper_bound(e));
      line[s] = m->value;
      line[e] = after;
    }
    const std::size_t len = o.seq->visible();
    std::vector<MarkSpan> spans;
    for (const auto& [name, line] : painted) {
      for (auto it = line.begin(); it != line.end(); ++it) {
        if (it->second.is_null()) continue;
        const std::size_t start = it->first;
        const std::size_t end = std::next(it) == line.end() ? len : std::next(it)->first;
        if (start >= end) continue;
        if (!spans.empty() && spans.back().name == name && spans.back().end == start &&
            spans.back().value == it->second)
          spans.back().end = end;
        else
          spans.push_back(MarkSpan{name, it->second, start, end});
      }
    }
    std::stable_sort(spans.begin(), spans.end(), [](const MarkSpan& a, const MarkSpan& b) {
      return a.start != b.start ? a.start < b.start : a.name < b.name;
    });
    return spans;
  }

  ActorId actor_;
  std::vector<ActorId> actors_;
  std::map<Bytes, std::uint32_t, std::less<>> actor_index_;
  std::unordered_map<OpId, Object, detail::OpIdHasher> objects_;
  std::uint64_t max_op_ = 0;

  struct ActorState {
    std::uint64_t seq = 0;
    std::uint64_t max_op = 0;
  };
  History history_;
  std::vector<ChangeHash> heads_;  // ascending
  std::unordered_map<std::uint32_t, ActorState> actor_state_;
  std::unordered_map<ChangeHash, Pending, ChangeHashHasher> queue_;
  std::unordered_map<ChangeHash, std::vector<ChangeHash>, ChangeHashHasher> waiting_;
  std::size_t incremental_mark_ = 0;
  // The open transaction; its buffers are kept between transactions.
  class TxSlot {
   public:
    explicit operator bool() const { return open_; }
    Transaction* operator->() { return &t_; }
    const Transaction* operator->() const { return &t_; }
    void open(std::uint64_t seq, std::uint64_t start_op, const std::vector<ChangeHash>& deps) {
      t_.seq = seq;
      t_.start_op = start_op;
      t_.deps.assign(deps.begin(), deps.end());
      t_.ops.clear();
      t_.width = 0;
      open_ = true;
    }
    void reset() {
      open_ = false;
      t_.ops.clear();
      t_.deps.clear();
      t_.width = 0;
    }

   private:
    Transaction t_;
    bool open_ = false;
  };
  TxSlot tx_;
  DecodedChange commit_change_;
  DecodedChange decode_scratch_;
  detail::Writer scratch_;  // reused for encoding commits
};

// ---------------------------------------------------------------------------------------------

Document::Document() : Document(ActorId::random()) {}
Document::Document(ActorId actor) : impl_(std::make_unique<DocumentImpl>(std::move(actor))) {}
Document::Document(std::unique_ptr<DocumentImpl> impl) : impl_(std::move(impl)) {}
Document::~Document() = default;
Document::Document(Document&&) noexcept = default;
Document& Document::operator=(Document&&) noexcept = default;

Document Document::fork() {
  auto doc = load(save());
  // A document just saved always loads.
  Document out = doc ? std::move(*doc) : Document();
  out.set_actor(ActorId::random());
  return out;
}

void Document::set_actor(ActorId actor) {
  impl_->commit_open();
  impl_->actor_ = std::move(actor);
}
const ActorId& Document::actor() const { return impl_->actor_; }

Result<std::optional<Value>> Document::get(const ObjId& obj, std::string_view key) const {
  const Object* o = QUERN_TRY(impl_->object(obj));
  if (o->type != ObjType::Map) return fail("object " + obj.to_string() + " is not a map");
  auto it = o->map.find(key);
  if (it == o->map.end()) return std::nullopt;
  return impl_->winner(it->second);
}

Result<std::optional<Value>> Document::get(const ObjId& obj, std::size_t index) const {
  const Object* o = QUERN_TRY(impl_->object(obj));
  if (o->type == ObjType::Map) return fail("object " + obj.to_string() + " is not a list");
  if (index >= o->seq->visible()) return std::nullopt;
  const auto c = o->seq->at_visible(index);
  if (o->type == ObjType::Text) {
    std::string s;
    unicode::append_utf8(s, static_cast<char32_t>(o->seq->content_at(c)));
    return Value(ScalarValue(std::move(s)));
  }
  return impl_->winner(o->elems[o->seq->content_at(c)]);
}

Result<std::vector<Value>> Document::get_all(const ObjId& obj, std::string_view key) const {
  const Object* o = QUERN_TRY(impl_->object(obj));
  if (o->type != ObjType::Map) return fail("object " + obj.to_string() + " is not a map");
  auto it = o->map.find(key);
  if (it == o->map.end()) return std::vector<Value>{};
  return impl_->all(it->second);
}

Result<std::vector<Value>> Document::get_all(const ObjId& obj, std::size_t index) const {
  const Object* o = QUERN_TRY(impl_->object(obj));
  if (o->type == ObjType::Map) return fail("object " + obj.to_string() + " is not a list");
  if (index >= o->seq->visible()) return std::vector<Value>{};
  if (o->type == ObjType::Text) {
    auto v = QUERN_TRY(get(obj, index));
    return std::vector<Value>{*v};
  }
  return impl_->all(o->elems[o->seq->content_at(o->seq->at_visible(index))]);
}

Result<std::vector<std::string>> Document::keys(const ObjId& obj) const {
  const Object* o = QUERN_TRY(impl_->object(obj));
  if (o->type != ObjType::Map) return fail("object " + obj.to_string() + " is not a map");
  std::vector<std::string> out;
  out.reserve(o->map.size());
  for (const auto& [k, reg] : o->map) out.push_back(k);
  return out;
}

Result<std::size_t> Document::length(const ObjId& obj) const {
  const Object* o = QUERN_TRY(impl_->object(obj));
  if (o->type == ObjType::Map) return o->map.size();
  return static_cast<std::size_t>(o->seq->visible());
}

Result<ObjType> Document::object_type(const ObjId& obj) const {
  const Object* o = QUERN_TRY(impl_->object(obj));
  return o->type;
}

Result<std::string> Document::text(const ObjId& obj) const {
  const Object* o = QUERN_TRY(impl_->object(obj));
  if (o->type != ObjType::Text) return fail("object " + obj.to_string() + " is not a text");
  std::string out;
  out.reserve(o->seq->visible());
  o->seq->for_each_visible([&](const std::uint32_t* chars, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i) {
      const std::uint32_t c = chars[i];
      if (c < 0x80)
        out.push_back(static_cast<char>(c));
      else
        unicode::append_utf8(out, static_cast<char32_t>(c));
    }
  });
  return out;
}

Result<std::vector<MarkSpan>> Document::marks(const ObjId& obj) const {
  const Object* o = QUERN_TRY(impl_->object(obj));
  if (o->type != ObjType::Text) return fail("object " + obj.to_string() + " is not a text");
  return impl_->mark_spans(*o);
}

// ---- writes

namespace {
Op map_op(OpKind kind, OpId obj, std::string_view key, const Register* reg) {
  Op op;
  op.kind = kind;
  op.obj = obj;
  op.key = std::string(key);
  if (reg)
    for (const RegValue& v : *reg) op.pred.push_back(v.id);
  return op;
}
}  // namespace

Result<void> Document::put(const ObjId& obj, std::string_view key, ScalarValue value) {
  auto [id, o] = QUERN_TRY(impl_->object_of(obj, ObjType::Map));
  auto it = o->map.find(key);
  Op op = map_op(OpKind::MapPut, id, key, it == o->map.end() ? nullptr : &it->second);
  op.value = std::move(value);
  return impl_->local(std::move(op));
}

Result<ObjId> Document::put_object(const ObjId& obj, std::string_view key, ObjType type) {
  auto [id, o] = QUERN_TRY(impl_->object_of(obj, ObjType::Map));
  auto it = o->map.find(key);
  Op op = map_op(OpKind::MapPutObject, id, key, it == o->map.end() ? nullptr : &it->second);
  op.obj_type = type;
  QUERN_TRY(impl_->local(std::move(op)));
  return impl_->to_obj_id(impl_->last_op_id());
}

Result<void> Document::delete_key(const ObjId& obj, std::string_view key) {
  auto [id, o] = QUERN_TRY(impl_->object_of(obj, ObjType::Map));
  auto it = o->map.find(key);
  if (it == o->map.end()) return {};
  return impl_->local(map_op(OpKind::MapDelete, id, key, &it->second));
}

namespace {
Result<void> check_index(std::size_t index, std::uint64_t limit, std::string_view what) {
  if (index > limit)
    return fail(std::string(what) + " " + std::to_string(index) + " is past the end (" + std::to_string(limit) + ")");
  return {};
}
}  // namespace

Result<void> Document::insert(const ObjId& obj, std::size_t index, ScalarValue value) {
  auto [id, o] = QUERN_TRY(impl_->object_of(obj, ObjType::List));
  QUERN_TRY(check_index(index, o->seq->visible(), "index"));
  Op op;
  op.kind = OpKind::ListInsert;
  op.obj = id;
  op.value = std::move(value);
  const OpId elem = impl_->next_id(1);
  const auto slot = static_cast<std::uint32_t>(o->elems.size());
  o->elems.push_back(Register{impl_->new_value(op, elem)});
  o->seq->insert_local(index, elem, &slot, 1, op.elem, op.origin_right);
  impl_->record(std::move(op));
  return {};
}

Result<ObjId> Document::insert_object(const ObjId& obj, std::size_t index, ObjType type) {
  auto [id, o] = QUERN_TRY(impl_->object_of(obj, ObjType::List));
  QUERN_TRY(check_index(index, o->seq->visible(), "index"));
  Op op;
  op.kind = OpKind::ListInsertObject;
  op.obj = id;
  op.obj_type = type;
  const OpId elem = impl_->next_id(1);
  const auto slot = static_cast<std::uint32_t>(o->elems.size());
  o->elems.push_back(Register{impl_->new_value(op, elem)});
  o->seq->insert_local(index, elem, &slot, 1, op.elem, op.origin_right);
  impl_->create_object(elem, type);
  impl_->record(std::move(op));
  return impl_->to_obj_id(elem);
}

namespace {
// The op that changes the element at `index` of a list, with the element's values as preds.
Result<Op> element_op(DocumentImpl& d, const ObjId& obj, std::size_t index, OpKind kind) {
  auto [id, o] = QUERN_TRY(d.object_of(obj, ObjType::List));
  if (index >= o->seq->visible())
    return fail("index " + std::to_string(index) + " is past the end (" + std::to_string(o->seq->visible()) + ")");
  const auto c = o->seq->at_visible(index);
  Op op;
  op.kind = kind;
  op.obj = id;
  op.elem = o->seq->id_at(c);
  for (const RegValue& v : o->elems[o->seq->content_at(c)]) op.pred.push_back(v.id);
  return op;
}
}  // namespace

Result<void> Document::set(const ObjId& obj, std::size_t index, ScalarValue value) {
  Op op = QUERN_TRY(element_op(*impl_, obj, index, OpKind::ListSet));
  op.value = std::move(value);
  return impl_->local(std::move(op));
}

Result<ObjId> Document::set_object(const ObjId& obj, std::size_t index, ObjType type) {
  Op op = QUERN_TRY(element_op(*impl_, obj, index, OpKind::ListSetObject));
  op.obj_type = type;
  QUERN_TRY(impl_->local(std::move(op)));
  return impl_->to_obj_id(impl_->last_op_id());
}

Result<void> Document::delete_at(const ObjId& obj, std::size_t index) {
  Op op = QUERN_TRY(element_op(*impl_, obj, index, OpKind::ListDelete));
  return impl_->local(std::move(op));
}

Result<void> Document::splice(const ObjId& obj, std::size_t pos, std::size_t del, std::span<const ScalarValue> values) {
  auto [id, o] = QUERN_TRY(impl_->object_of(obj, ObjType::List));
  (void)id;
  QUERN_TRY(check_index(pos, o->seq->visible(), "position"));
  if (del > o->seq->visible() - pos) return fail("the deletion runs past the end of the list");
  for (std::size_t i = 0; i < del; ++i) QUERN_TRY(delete_at(obj, pos));
  for (std::size_t i = 0; i < values.size(); ++i) QUERN_TRY(insert(obj, pos + i, values[i]));
  return {};
}

Result<void> Document::splice_text(const ObjId& obj, std::size_t pos, std::size_t del, std::string_view text) {
  auto [id, o] = QUERN_TRY(impl_->object_of(obj, ObjType::Text));
  const std::uint64_t len = o->seq->visible();
  QUERN_TRY(check_index(pos, len, "position"));
  if (del > len - pos) return fail("the deletion runs past the end of the text");
  DocumentImpl& d = *impl_;
  if (del > 0) {
    o->seq->delete_visible(pos, del, [&](OpId first, std::uint64_t n) {
      d.next_id(n);
      auto& ops = d.tx_->ops;
      if (!ops.empty()) {
        Op& last = ops.back();
        if (last.kind == OpKind::TextDelete && last.obj == id && last.elem.actor == first.actor) {
          if (last.elem.counter + last.len == first.counter) {
            last.len += n;
            d.tx_->width += n;
            return;
          }
          if (first.counter + n == last.elem.counter) {
            last.elem = first;
            last.len += n;
            d.tx_->width += n;
            return;
          }
        }
      }
      Op op;
      op.kind = OpKind::TextDelete;
      op.obj = id;
      op.elem = first;
      op.len = n;
      d.record(std::move(op));
    });
  }
  if (text.empty()) return {};
  std::u32string chars = unicode::decode(text);
  const auto n = static_cast<std::uint32_t>(chars.size());
  const OpId first = d.next_id(n);
  OpId origin_left, origin_right;
  o->seq->insert_local(pos, first, reinterpret_cast<const std::uint32_t*>(chars.data()), n, origin_left, origin_right);
  auto& ops = d.tx_->ops;
  if (!ops.empty()) {
    Op& last = ops.back();
    if (last.kind == OpKind::TextInsert && last.obj == id && last.origin_right == origin_right &&
        d.last_op_id().plus(last.text.size() - 1) == origin_left &&
        d.last_op_id().counter + last.text.size() == first.counter) {
      last.text += chars;
      d.tx_->width += n;
      return {};
    }
  }
  Op op;
  op.kind = OpKind::TextInsert;
  op.obj = id;
  op.elem = origin_left;
  op.origin_right = origin_right;
  op.text = std::move(chars);
  d.record(std::move(op));
  return {};
}

Result<void> Document::increment(const ObjId& obj, std::string_view key, std::int64_t by) {
  auto [id, o] = QUERN_TRY(impl_->object_of(obj, ObjType::Map));
  auto it = o->map.find(key);
  if (it == o->map.end() || it->second.empty() || !it->second.back().value.as_counter() || it->second.back().is_obj)
    return fail("the value under \"" + std::string(key) + "\" is not a counter");
  Op op = map_op(OpKind::MapIncrement, id, key, nullptr);
  op.pred.push_back(it->second.back().id);
  op.by = by;
  return impl_->local(std::move(op));
}

Result<void> Document::increment(const ObjId& obj, std::size_t index, std::int64_t by) {
  Op op = QUERN_TRY(element_op(*impl_, obj, index, OpKind::ListIncrement));
  auto [id, o] = QUERN_TRY(impl_->object_of(obj, ObjType::List));
  (void)id;
  const Register& reg = o->elems[o->seq->content_at(o->seq->at_visible(index))];
  if (reg.back().is_obj || !reg.back().value.as_counter())
    return fail("the element at " + std::to_string(index) + " is not a counter");
  op.pred = {reg.back().id};
  op.by = by;
  return impl_->local(std::move(op));
}

Result<void> Document::mark(const ObjId& obj, std::size_t start, std::size_t end, std::string_view name,
                            ScalarValue value, ExpandMark expand) {
  auto [id, o] = QUERN_TRY(impl_->object_of(obj, ObjType::Text));
  const std::uint64_t len = o->seq->visible();
  if (start > end || end > len)
    return fail("the mark range " + std::to_string(start) + ".." + std::to_string(end) + " is outside the text (" +
                std::to_string(len) + ")");
  if (!value.is_null() && !valid_mark_value(value)) return fail("a mark value is a boolean, an integer or a string");
  if (start == end) return {};
  Op op;
  op.kind = OpKind::Mark;
  op.obj = id;
  op.key = std::string(name);
  op.value = std::move(value);
  const bool before = expand == ExpandMark::Before || expand == ExpandMark::Both;
  const bool after = expand == ExpandMark::After || expand == ExpandMark::Both;
  if (before)
    op.start = start == 0 ? Anchor{Anchor::Kind::Start, {}}
                          : Anchor{Anchor::Kind::After, o->seq->id_at(o->seq->at_visible(start - 1))};
  else
    op.start = Anchor{Anchor::Kind::Before, o->seq->id_at(o->seq->at_visible(start))};
  if (after)
    op.end = end == len ? Anchor{Anchor::Kind::End, {}}
                        : Anchor{Anchor::Kind::Before, o->seq->id_at(o->seq->at_visible(end))};
  else
    op.end = Anchor{Anchor::Kind::After, o->seq->id_at(o->seq->at_visible(end - 1))};
  return impl_->local(std::move(op));
}

Result<void> Document::unmark(const ObjId& obj, std::size_t start, std::size_t end, std::string_view name,
                              ExpandMark expand) {
  return mark(obj, start, end, name, Null{}, expand);
}

// ---- transactions

std::optional<ChangeHash> Document::commit(std::optional<std::string> message, std::optional<std::int64_t> time) {
  return impl_->commit(std::move(message), time.value_or(0));
}

std::size_t Document::rollback() { return impl_->rollback(); }

std::size_t Document::pending_ops() const { return impl_->tx_ ? impl_->tx_->width : 0; }

// ---- history and sync

std::vector<ChangeHash> Document::heads() const { return {impl_->heads_.begin(), impl_->heads_.end()}; }

std::vector<Change> Document::get_changes() const {
  std::vector<Change> out;
  out.reserve(impl_->history_.size());
  for (std::size_t i = 0; i < impl_->history_.size(); ++i) out.push_back(impl_->public_change(i));
  return out;
}

std::optional<Change> Document::get_change_by_hash(const ChangeHash& hash) const {
  auto i = impl_->history_.find(hash);
  if (!i) return std::nullopt;
  return impl_->public_change(*i);
}

std::vector<ChangeHash> Document::get_missing_deps(std::span<const ChangeHash> heads) const {
  std::set<ChangeHash> missing;
  const auto known = [&](const ChangeHash& h) { return impl_->history_.contains(h) || impl_->queue_.contains(h); };
  for (const auto& [h, p] : impl_->queue_)
    for (const ChangeHash& d : p.change.deps)
      if (!known(d)) missing.insert(d);
  for (const ChangeHash& h : heads)
    if (!known(h)) missing.insert(h);
  return {missing.begin(), missing.end()};
}

Bytes Document::save() {
  impl_->commit_open();
  return impl_->save_document();
}

Result<Document> Document::load(ByteView bytes) {
  auto impl = std::make_unique<DocumentImpl>(ActorId::random());
  QUERN_TRY_CTX(impl->receive(bytes), "load a document");
  impl->incremental_mark_ = impl->history_.size();
  return Document(std::move(impl));
}

Bytes Document::save_incremental() {
  impl_->commit_open();
  if (impl_->incremental_mark_ >= impl_->history_.size()) return {};
  Bytes out = impl_->save_changes(impl_->incremental_mark_);
  impl_->incremental_mark_ = impl_->history_.size();
  return out;
}

Result<std::size_t> Document::load_incremental(ByteView bytes) {
  impl_->commit_open();
  if (bytes.empty()) return 0;
  auto r = impl_->receive(bytes);
  if (!r) return fail(std::move(r).error().with_context("load changes"));
  return r;
}

Result<std::size_t> Document::merge(Document& other) {
  impl_->commit_open();
  other.impl_->commit_open();
  DocumentImpl& d = *impl_;
  const DocumentImpl& o = *other.impl_;
  const std::size_t before = d.history_.size();
  auto saved_queue = d.queue_;
  auto saved_waiting = d.waiting_;
  std::size_t applied = 0;
  for (std::size_t i = 0; i < o.history_.size(); ++i) {
    const ChangeHash& h = o.history_.at(i).hash;
    if (d.history_.contains(h) || d.queue_.contains(h)) continue;
    auto r = d.offer_raw(o.history_.raw(i));
    if (!r) {
      d.queue_ = std::move(saved_queue);
      d.waiting_ = std::move(saved_waiting);
      d.rebuild(before);
      return fail(std::move(r).error().with_context("merge a document"));
    }
    applied += *r;
  }
  return applied;
}

}  // namespace quern::crdt

// The ordered elements of a list or text object, with the deleted ones kept as tombstones.
// Internal to runtime/crdt; owned by one document and used by its thread.
//
// Elements are stored in runs: consecutive ids of one actor, each element inserted right after
// the previous one, sharing one right neighbour at insertion time, all deleted or all not. Runs
// sit in the leaves of a B-tree whose nodes count the elements (all and visible) below them, so
// finding the i-th visible element, the rank of an element and edits are logarithmic. An index
// from run start ids to leaves finds an element by id.
//
// Concurrent inserts are ordered by each element's left and right origins (the neighbours it
// was inserted between) with a total order on ids as the tie-break; runs typed concurrently at
// one place stay whole, in either direction of typing.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "runtime/crdt/op.h"
#include "runtime/util/error.h"

namespace quern::crdt::detail {

struct Run {
  OpId id;            // the first element's id; element k has id.counter + k
  OpId origin_left;   // left neighbour of the first element when inserted; null: the start
  OpId origin_right;  // right neighbour of every element when inserted; null: the end
  std::uint32_t len = 0;
  std::uint32_t content = 0;  // offset of the first element's content in the arena
  bool deleted = false;
};

class Sequence {
 public:
  // True when the first of two elements inserted concurrently between the same neighbours goes
  // before the second (a strict total order on ids, the same on every replica).
  using IdLess = std::function<bool(const OpId&, const OpId&)>;

  Sequence();
  ~Sequence();
  Sequence(const Sequence&) = delete;
  Sequence& operator=(const Sequence&) = delete;

  std::uint64_t visible() const;
  std::uint64_t total() const;

  struct Leaf;
  struct Cursor {
    Leaf* leaf = nullptr;
    std::uint32_t idx = 0;  // run in the leaf
    std::uint32_t off = 0;  // element in the run
  };

  // The element at visible index `i` (precondition: i < visible()).
  Cursor at_visible(std::uint64_t i) const;
  std::optional<Cursor> find(OpId id) const;
  const Run& run(const Cursor& c) const;
  OpId id_at(const Cursor& c) const { return run(c).id.plus(c.off); }
  std::uint32_t content_at(const Cursor& c) const { return content_[run(c).content + c.off]; }
  bool deleted_at(const Cursor& c) const { return run(c).deleted; }
  // Elements before the one at `c`: (all, visible).
  std::pair<std::uint64_t, std::uint64_t> rank(const Cursor& c) const;

  // Inserts elements with ids [id, id + n) and the given contents before visible index `pos`
  // (pos <= visible()), right after the visible element before it. Reports the origins used.
  void insert_local(std::uint64_t pos, OpId id, const std::uint32_t* content, std::uint32_t n, OpId& origin_left,
                    OpId& origin_right);
  // Places remote elements [id, id + n) by their origins. Errors when an origin is unknown or
  // the origins are out of order; then nothing changed.
  Result<void> integrate(OpId id, OpId origin_left, OpId origin_right, const std::uint32_t* content, std::uint32_t n,
                         const IdLess& less);
  // Marks the elements [id, id + n) deleted (or visible again). Errors when an id is unknown;
  // the elements before it have been changed then.
  Result<void> set_deleted(OpId id, std::uint64_t n, bool deleted);
  // Deletes `n` visible elements from `pos` (pos + n <= visible()); calls `emit(first id,
  // count)` for each run of consecutive ids deleted, in order.
  void delete_visible(std::uint64_t pos, std::uint64_t n, const std::function<void(OpId, std::uint64_t)>& emit);

  // Calls f(contents, count) for every run of visible elements, in order.
  template <typename F>
  void for_each_visible(F&& f) const {
    for (const Leaf* l = first_leaf_; l; l = l->next)
      for (std::uint32_t i = 0; i < l->n; ++i)
        if (!l->runs[i].deleted) f(&content_[l->runs[i].content], l->runs[i].len);
  }

  static constexpr std::uint32_t kLeafCap = 32;
  static constexpr std::uint32_t kFan = 32;

  struct Internal;
  struct Node {
    Internal* parent = nullptr;
    std::uint64_t total = 0;
    std::uint64_t visible = 0;
    bool leaf = true;
  };
  struct Leaf : Node {
    Leaf* next = nullptr;
    std::uint32_t n = 0;
    Run runs[kLeafCap];
  };
  // Each child's counts are mirrored here so that a descent reads one node, not every child.
  struct Internal : Node {
    std::uint32_t n = 0;
    Node* child[kFan];
    std::uint64_t child_total[kFan];
    std::uint64_t child_visible[kFan];
  };

 private:
  Leaf* new_leaf();
  Internal* new_internal();
  static void add_counts(Node* node, std::int64_t total, std::int64_t visible);
  static std::uint32_t child_index(const Internal* parent, const Node* child);
  // Splits a full leaf in two; returns the new right half.
  Leaf* split_leaf(Leaf* l);
  void insert_child(Internal* parent, std::uint32_t at, Node* child);
  static void recount(Internal* node);
  // Makes room for one more run in `l`. `i` is a run index (`is_run`) or an insertion point;
  // both follow the run or point into the half it lands in.
  void ensure_room(Leaf*& l, std::uint32_t& i, bool is_run);
  // Splits the run at c.idx before element c.off (0 < off < len); c then names the right part.
  void split_run(Cursor& c);
  // Inserts a new run with new elements before run index `at` of `l` (at <= n).
  void insert_run(Leaf* l, std::uint32_t at, const Run& r);
  // The element after `c`, or nothing at the end.
  std::optional<Cursor> next_item(const Cursor& c) const;
  std::optional<Cursor> first_item() const;
  // Moves `c` forward by `k` elements (k not beyond the end).
  void advance(Cursor& c, std::uint64_t k) const;
  // Inserts the run before `c` (or at the end when `c` is nothing); extends the run before the
  // insertion point instead when the new elements continue it.
  void place(std::optional<Cursor> c, const Run& r, std::optional<Cursor> left);
  std::uint32_t append_content(const std::uint32_t* content, std::uint32_t n);
  void isolate_and_set(Cursor c, std::uint32_t k, bool deleted);

  std::deque<Leaf> leaves_;
  std::deque<Internal> internals_;
  Node* root_ = nullptr;
  Leaf* first_leaf_ = nullptr;
  Leaf* last_leaf_ = nullptr;
  // Run start id -> leaf. Runs split off another keep no entry of their own while they stay in
  // its leaf: the entry with the greatest id at or below an element's always names the leaf
  // holding the element (pieces of one run keep their order, and a leaf split gives every run
  // it moves an entry).
  std::map<OpId, Leaf*, ActorMajorLess> index_;
  std::vector<std::uint32_t> content_;
  mutable Cursor hint_;  // a run found or extended lately; checked before use
};

}  // namespace quern::crdt::detail

#include "runtime/crdt/sequence.h"

#include <algorithm>
#include <cassert>

namespace quern::crdt::detail {

Sequence::Sequence() {
  Leaf* l = new_leaf();
  root_ = l;
  first_leaf_ = last_leaf_ = l;
}

Sequence::~Sequence() = default;

std::uint64_t Sequence::visible() const { return root_->visible; }
std::uint64_t Sequence::total() const { return root_->total; }

Sequence::Leaf* Sequence::new_leaf() {
  leaves_.emplace_back();
  return &leaves_.back();
}

Sequence::Internal* Sequence::new_internal() {
  internals_.emplace_back();
  Internal* n = &internals_.back();
  n->leaf = false;
  return n;
}

void Sequence::add_counts(Node* node, std::int64_t total, std::int64_t visible) {
  node->total += total;
  node->visible += visible;
  for (Internal* p = node->parent; p; node = p, p = p->parent) {
    const std::uint32_t i = child_index(p, node);
    p->child_total[i] += total;
    p->child_visible[i] += visible;
    p->total += total;
    p->visible += visible;
  }
}

std::uint32_t Sequence::child_index(const Internal* parent, const Node* child) {
  for (std::uint32_t i = 0; i < parent->n; ++i)
    if (parent->child[i] == child) return i;
  assert(false);
  return 0;
}

void Sequence::recount(Internal* node) {
  node->total = node->visible = 0;
  for (std::uint32_t i = 0; i < node->n; ++i) {
    node->child_total[i] = node->child[i]->total;
    node->child_visible[i] = node->child[i]->visible;
    node->total += node->child[i]->total;
    node->visible += node->child[i]->visible;
  }
}

Sequence::Leaf* Sequence::split_leaf(Leaf* l) {
  Leaf* r = new_leaf();
  const std::uint32_t half = l->n / 2;
  for (std::uint32_t i = half; i < l->n; ++i) {
    r->runs[i - half] = l->runs[i];
    const Run& run = l->runs[i];
    r->total += run.len;
    if (!run.deleted) r->visible += run.len;
    index_[run.id] = r;
  }
  r->n = l->n - half;
  l->n = half;
  l->total -= r->total;
  l->visible -= r->visible;
  r->next = l->next;
  l->next = r;
  if (last_leaf_ == l) last_leaf_ = r;
  if (!l->parent) {
    Internal* root = new_internal();
    root->child[0] = l;
    root->n = 1;
    l->parent = root;
    root->total = l->total + r->total;
    root->visible = l->visible + r->visible;
    root_ = root;
  }
  insert_child(l->parent, child_index(l->parent, l) + 1, r);
  // Internal nodes' own counts are right; the mirrored child counts on both paths are not.
  for (Internal* p = l->parent; p; p = p->parent) recount(p);
  for (Internal* p = r->parent; p; p = p->parent) recount(p);
  return r;
}

// The counts of `child` are already part of `parent` and its ancestors (it was split off a
// sibling); only the nodes a split creates need their counts rebuilt.
void Sequence::insert_child(Internal* parent, std::uint32_t at, Node* child) {
  if (parent->n == kFan) {
    Internal* q = new_internal();
    const std::uint32_t half = parent->n / 2;
    for (std::uint32_t i = half; i < parent->n; ++i) {
      q->child[i - half] = parent->child[i];
      parent->child[i]->parent = q;
    }
    q->n = parent->n - half;
    parent->n = half;
    const std::uint64_t total = parent->total, visible = parent->visible;
    if (!parent->parent) {
      Internal* root = new_internal();
      root->child[0] = parent;
      root->n = 1;
      parent->parent = root;
      root->total = total;
      root->visible = visible;
      root_ = root;
    }
    // The child's counts are inside `parent`'s old counts; place it, then rebuild both halves.
    Internal* target = parent;
    if (at > half) {
      target = q;
      at -= half;
    }
    std::copy_backward(target->child + at, target->child + target->n, target->child + target->n + 1);
    target->child[at] = child;
    target->n++;
    child->parent = target;
    recount(parent);
    recount(q);
    // `child` was counted in `parent` before; if it moved to q, parent's recount already
    // excludes it. Insert q into the grandparent (its counts are part of the grandparent's).
    insert_child(parent->parent, child_index(parent->parent, parent) + 1, q);
    return;
  }
  std::copy_backward(parent->child + at, parent->child + parent->n, parent->child + parent->n + 1);
  parent->child[at] = child;
  parent->n++;
  child->parent = parent;
}

void Sequence::ensure_room(Leaf*& l, std::uint32_t& i, bool is_run) {
  if (l->n < kLeafCap) return;
  Leaf* r = split_leaf(l);
  if (is_run ? i >= l->n : i > l->n) {
    i -= l->n;
    l = r;
  }
}

void Sequence::split_run(Cursor& c) {
  ensure_room(c.leaf, c.idx, true);
  Leaf* l = c.leaf;
  Run& left = l->runs[c.idx];
  Run right = left;
  right.id = left.id.plus(c.off);
  right.origin_left = left.id.plus(c.off - 1);
  right.len = left.len - c.off;
  right.content = left.content + c.off;
  left.len = c.off;
  std::copy_backward(l->runs + c.idx + 1, l->runs + l->n, l->runs + l->n + 1);
  l->runs[c.idx + 1] = right;
  l->n++;
  // No index entry: the right part is found through the left part's, in the same leaf.
  c.idx++;
  c.off = 0;
}

void Sequence::insert_run(Leaf* l, std::uint32_t at, const Run& r) {
  ensure_room(l, at, false);
  std::copy_backward(l->runs + at, l->runs + l->n, l->runs + l->n + 1);
  l->runs[at] = r;
  l->n++;
  index_[r.id] = l;
  add_counts(l, r.len, r.deleted ? 0 : r.len);
  hint_ = {l, at, 0};
}

Sequence::Cursor Sequence::at_visible(std::uint64_t i) const {
  const Node* node = root_;
  while (!node->leaf) {
    const Internal* in = static_cast<const Internal*>(node);
    std::uint32_t k = 0;
    for (; k + 1 < in->n; ++k) {
      if (i < in->child_visible[k]) break;
      i -= in->child_visible[k];
    }
    node = in->child[k];
  }
  Leaf* l = const_cast<Leaf*>(static_cast<const Leaf*>(node));
  for (std::uint32_t k = 0; k < l->n; ++k) {
    const Run& r = l->runs[k];
    if (r.deleted) continue;
    if (i < r.len) return {l, k, static_cast<std::uint32_t>(i)};
    i -= r.len;
  }
  assert(false);
  return {l, 0, 0};
}

std::optional<Sequence::Cursor> Sequence::find(OpId id) const {
  // Edits mostly continue where the previous one was: try the run found last time first.
  if (hint_.leaf && hint_.idx < hint_.leaf->n) {
    const Run& r = hint_.leaf->runs[hint_.idx];
    if (r.id.actor == id.actor && id.counter >= r.id.counter && id.counter - r.id.counter < r.len)
      return Cursor{hint_.leaf, hint_.idx, static_cast<std::uint32_t>(id.counter - r.id.counter)};
  }
  auto it = index_.upper_bound(id);
  if (it == index_.begin()) return std::nullopt;
  --it;
  if (it->first.actor != id.actor) return std::nullopt;
  Leaf* l = it->second;
  for (std::uint32_t k = 0; k < l->n; ++k) {
    const Run& r = l->runs[k];
    if (r.id.actor == id.actor && id.counter >= r.id.counter && id.counter - r.id.counter < r.len) {
      hint_ = Cursor{l, k, 0};
      return Cursor{l, k, static_cast<std::uint32_t>(id.counter - r.id.counter)};
    }
  }
  return std::nullopt;
}

const Run& Sequence::run(const Cursor& c) const { return c.leaf->runs[c.idx]; }

std::pair<std::uint64_t, std::uint64_t> Sequence::rank(const Cursor& c) const {
  std::uint64_t total = c.off, visible = c.leaf->runs[c.idx].deleted ? 0 : c.off;
  for (std::uint32_t k = 0; k < c.idx; ++k) {
    total += c.leaf->runs[k].len;
    if (!c.leaf->runs[k].deleted) visible += c.leaf->runs[k].len;
  }
  const Node* node = c.leaf;
  while (node->parent) {
    const Internal* p = node->parent;
    for (std::uint32_t k = 0; p->child[k] != node; ++k) {
      total += p->child_total[k];
      visible += p->child_visible[k];
    }
    node = p;
  }
  return {total, visible};
}

std::optional<Sequence::Cursor> Sequence::next_item(const Cursor& c) const {
  Cursor n = c;
  if (n.off + 1 < run(n).len) {
    n.off++;
    return n;
  }
  n.off = 0;
  n.idx++;
  while (n.idx >= n.leaf->n) {
    n.leaf = n.leaf->next;
    n.idx = 0;
    if (!n.leaf) return std::nullopt;
  }
  return n;
}

std::optional<Sequence::Cursor> Sequence::first_item() const {
  for (Leaf* l = first_leaf_; l; l = l->next)
    if (l->n > 0) return Cursor{l, 0, 0};
  return std::nullopt;
}

void Sequence::advance(Cursor& c, std::uint64_t k) const {
  while (k > 0) {
    const std::uint64_t left = run(c).len - c.off;
    if (k < left) {
      c.off += static_cast<std::uint32_t>(k);
      return;
    }
    k -= left;
    c.off = 0;
    c.idx++;
    while (c.idx >= c.leaf->n && c.leaf->next) {
      c.leaf = c.leaf->next;
      c.idx = 0;
    }
    if (c.idx >= c.leaf->n) return;  // the end
  }
}

std::uint32_t Sequence::append_content(const std::uint32_t* content, std::uint32_t n) {
  const auto at = static_cast<std::uint32_t>(content_.size());
  content_.insert(content_.end(), content, content + n);
  return at;
}

void Sequence::place(std::optional<Cursor> c, const Run& r, std::optional<Cursor> left) {
  // Continue the run on the left when the new elements extend it.
  if (left) {
    Run& lr = left->leaf->runs[left->idx];
    if (left->off + 1 == lr.len && !lr.deleted && lr.id.actor == r.id.actor && lr.id.counter + lr.len == r.id.counter &&
        lr.origin_right == r.origin_right && r.origin_left == lr.id.plus(lr.len - 1) &&
        lr.content + lr.len == r.content && static_cast<std::uint64_t>(lr.len) + r.len < (1u << 31)) {
      lr.len += r.len;
      add_counts(left->leaf, r.len, r.len);
      hint_ = {left->leaf, left->idx, 0};
      return;
    }
  }
  if (!c) {
    insert_run(last_leaf_, last_leaf_->n, r);
    return;
  }
  Cursor at = *c;
  if (at.off > 0) {
    split_run(at);
    insert_run(at.leaf, at.idx, r);
    return;
  }
  // Prefer the leaf of the left neighbour when the point is the start of the next leaf.
  if (at.idx == 0 && left && left->leaf != at.leaf) {
    insert_run(left->leaf, left->leaf->n, r);
    return;
  }
  insert_run(at.leaf, at.idx, r);
}

void Sequence::insert_local(std::uint64_t pos, OpId id, const std::uint32_t* content, std::uint32_t n,
                            OpId& origin_left, OpId& origin_right) {
  std::optional<Cursor> left, right;
  if (pos == 0) {
    right = first_item();
  } else {
    left = at_visible(pos - 1);
    right = next_item(*left);
  }
  origin_left = left ? id_at(*left) : OpId{};
  origin_right = right ? id_at(*right) : OpId{};
  Run r{id, origin_left, origin_right, n, append_content(content, n), false};
  place(right, r, left);
}

Result<void> Sequence::integrate(OpId id, OpId origin_left, OpId origin_right, const std::uint32_t* content,
                                 std::uint32_t n, const IdLess& less) {
  // The caller guarantees the ids are new (each actor's counters only grow).
  if (n == 0) return {};
  std::optional<Cursor> left, cur;
  if (!origin_left.is_null()) {
    left = find(origin_left);
    if (!left) return fail("an insert follows an unknown element");
    cur = next_item(*left);
  } else {
    cur = first_item();
  }
  // Nothing was inserted between the origins since: no concurrent elements to order against.
  if (cur ? id_at(*cur) == origin_right : origin_right.is_null()) {
    place(cur, Run{id, origin_left, origin_right, n, append_content(content, n), false}, left);
    return {};
  }
  const std::uint64_t left_pos = left ? rank(*left).first + 1 : 0;
  std::uint64_t right_pos = total();
  if (!origin_right.is_null()) {
    auto r = find(origin_right);
    if (!r) return fail("an insert precedes an unknown element");
    right_pos = rank(*r).first;
    if (right_pos < left_pos) return fail("an insert's neighbours are out of order");
  }

  std::uint64_t pos = left_pos;
  std::optional<Cursor> scan_start;
  std::uint64_t scan_pos = 0;
  bool scanning = false;
  std::optional<Cursor> prev = left;  // the element before `cur`
  std::optional<Cursor> scan_prev;
  while (pos < right_pos && cur) {
    const Run& r = run(*cur);
    const OpId other = r.id.plus(cur->off);
    std::uint64_t other_left_pos;
    if (cur->off > 0) {
      other_left_pos = pos;
    } else if (r.origin_left.is_null()) {
      other_left_pos = 0;
    } else {
      auto ol = find(r.origin_left);
      other_left_pos = ol ? rank(*ol).first + 1 : 0;
    }
    if (other_left_pos < left_pos) break;
    std::uint64_t step = 1;
    if (other_left_pos == left_pos) {
      if (r.origin_right == origin_right) {
        if (less(id, other)) break;
        scanning = false;
      } else {
        std::uint64_t other_right_pos = total();
        if (!r.origin_right.is_null()) {
          auto orr = find(r.origin_right);
          if (orr) other_right_pos = rank(*orr).first;
        }
        if (other_right_pos < right_pos) {
          if (!scanning) {
            scanning = true;
            scan_start = cur;
            scan_pos = pos;
            scan_prev = prev;
          }
        } else {
          scanning = false;
        }
      }
    } else {
      step = r.len - cur->off;  // the rest of this run descends from an element after our origin
    }
    step = std::min(step, right_pos - pos);
    Cursor last = *cur;
    advance(last, step - 1);
    prev = last;
    cur = next_item(last);
    pos += step;
  }
  if (scanning) {
    cur = scan_start;
    pos = scan_pos;
    prev = scan_prev;
  }
  (void)pos;
  Run nr{id, origin_left, origin_right, n, append_content(content, n), false};
  place(cur, nr, prev);
  return {};
}

void Sequence::isolate_and_set(Cursor c, std::uint32_t k, bool deleted) {
  if (c.off + k < run(c).len) {
    Cursor after = c;
    after.off += k;
    split_run(after);  // the left part stays just before the right part, in the same leaf
    c = {after.leaf, after.idx - 1, c.off};
  }
  if (c.off > 0) split_run(c);
  Run& r = c.leaf->runs[c.idx];
  r.deleted = deleted;
  add_counts(c.leaf, 0, deleted ? -static_cast<std::int64_t>(r.len) : static_cast<std::int64_t>(r.len));
}

Result<void> Sequence::set_deleted(OpId id, std::uint64_t n, bool deleted) {
  while (n > 0) {
    auto c = find(id);
    if (!c) return fail("a deletion names an unknown element");
    const Run& r = run(*c);
    const std::uint64_t k = std::min<std::uint64_t>(r.len - c->off, n);
    if (r.deleted != deleted) isolate_and_set(*c, static_cast<std::uint32_t>(k), deleted);
    id.counter += k;
    n -= k;
  }
  return {};
}

void Sequence::delete_visible(std::uint64_t pos, std::uint64_t n,
                              const std::function<void(OpId, std::uint64_t)>& emit) {
  while (n > 0) {
    Cursor c = at_visible(pos);
    const Run& r = run(c);
    const std::uint64_t k = std::min<std::uint64_t>(r.len - c.off, n);
    emit(r.id.plus(c.off), k);
    isolate_and_set(c, static_cast<std::uint32_t>(k), true);
    n -= k;
  }
}

}  // namespace quern::crdt::detail

// A bounded first-in first-out channel between threads, with a capacity in items and in bytes
// (as a cost function reports them). Producers either try (never blocking) or wait for room;
// consumers wait for an item or take everything there is. Once closed, pushes fail and
// consumers drain what is left. Safe to use from any number of threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

namespace quern::collab {

template <typename T>
class BoundedChannel {
 public:
  BoundedChannel(std::size_t max_items, std::size_t max_bytes) : max_items_(max_items), max_bytes_(max_bytes) {}

  // False when full or closed; the item is not taken then.
  bool try_push(T& item, std::size_t bytes = 0) {
    std::lock_guard lock(mu_);
    if (closed_ || !has_room(bytes)) return false;
    put(item, bytes);
    return true;
  }

  // Waits for room; false when the channel is closed.
  bool push(T item, std::size_t bytes = 0) {
    std::unique_lock lock(mu_);
    not_full_.wait(lock, [&] { return closed_ || has_room(bytes); });
    if (closed_) return false;
    put(item, bytes);
    return true;
  }

  // Waits for an item; nothing once the channel is closed and empty.
  std::optional<T> pop() {
    std::unique_lock lock(mu_);
    not_empty_.wait(lock, [&] { return closed_ || !items_.empty(); });
    if (items_.empty()) return std::nullopt;
    return take_front();
  }

  // Everything queued now, without waiting.
  std::vector<T> drain() {
    std::lock_guard lock(mu_);
    std::vector<T> out;
    out.reserve(items_.size());
    while (!items_.empty()) out.push_back(take_front());
    return out;
  }

  // Waits until an item is there, the channel is closed, or the timeout passes; true when an
  // item is there.
  template <typename Rep, typename Period>
  bool wait_for_item(std::chrono::duration<Rep, Period> timeout) {
    std::unique_lock lock(mu_);
    not_empty_.wait_for(lock, timeout, [&] { return closed_ || !items_.empty(); });
    return !items_.empty();
  }

  // Waits until the channel is empty or the timeout passes; true when empty.
  template <typename Rep, typename Period>
  bool wait_until_empty(std::chrono::duration<Rep, Period> timeout) {
    std::unique_lock lock(mu_);
    return emptied_.wait_for(lock, timeout, [&] { return items_.empty() && busy_ == 0; });
  }

  // Like `pop`, but the item counts as still in the channel for `wait_until_empty` until the
  // consumer calls `done`.
  std::optional<T> pop_for_work() {
    std::unique_lock lock(mu_);
    not_empty_.wait(lock, [&] { return closed_ || !items_.empty(); });
    if (items_.empty()) return std::nullopt;
    ++busy_;
    return take_front();
  }
  void done() {
    std::lock_guard lock(mu_);
    if (busy_ > 0) --busy_;
    if (items_.empty() && busy_ == 0) emptied_.notify_all();
  }

  void close() {
    std::lock_guard lock(mu_);
    closed_ = true;
    not_full_.notify_all();
    not_empty_.notify_all();
    emptied_.notify_all();
  }

  bool closed() const {
    std::lock_guard lock(mu_);
    return closed_;
  }

 private:
  struct Entry {
    T item;
    std::size_t bytes;
  };

  bool has_room(std::size_t bytes) const {
    if (items_.empty()) return true;  // one item always fits, however large
    return items_.size() < max_items_ && bytes_ + bytes <= max_bytes_;
  }
  void put(T& item, std::size_t bytes) {
    items_.push_back(Entry{std::move(item), bytes});
    bytes_ += bytes;
    not_empty_.notify_one();
  }
  T take_front() {
    Entry e = std::move(items_.front());
    items_.pop_front();
    bytes_ -= e.bytes;
    not_full_.notify_one();
    if (items_.empty() && busy_ == 0) emptied_.notify_all();
    return std::move(e.item);
  }

  const std::size_t max_items_;
  const std::size_t max_bytes_;
  mutable std::mutex mu_;
  std::condition_variable not_full_;
  std::condition_variable not_empty_;
  std::condition_variable emptied_;
  std::deque<Entry> items_;
  std::size_t bytes_ = 0;
  std::size_t busy_ = 0;
  bool closed_ = false;
};

}  // namespace quern::collab

// Frames on a stream socket: the Cap'n Proto stream framing (a segment table, then the
// segments), read incrementally and bounded, and written whole.
//
// A frame over `kMaxFrameBytes` (segment table included) or with more than `kMaxSegments`
// segments is refused as soon as its segment table has arrived, before anything is allocated
// for it; the stream is unusable afterwards and its owner closes it.
//
// `FrameReader` and `OutQueue` belong to one thread (the client's reader or writer thread, or
// the broker's loop); `RawFrame` and `OutFrame` are immutable once made and may be handed on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <vector>

#include "runtime/util/error.h"

namespace quern::collab {

// 80 MiB: a 64 MiB document save with ample room for the frame around it.
inline constexpr std::size_t kMaxFrameBytes = 80u * 1024u * 1024u;
inline constexpr std::size_t kMaxSegments = 512;

// One whole frame as it came off the wire, 8-byte aligned. Copies share the bytes.
class RawFrame {
 public:
  RawFrame() = default;
  explicit RawFrame(std::vector<std::uint64_t> words);
  // Room for `words` words, not initialised; for the reader to fill before anyone else sees it.
  static RawFrame allocate(std::size_t words);

  std::span<const std::uint64_t> words() const { return {words_.get(), count_}; }
  std::span<const std::uint8_t> bytes() const {
    return {reinterpret_cast<const std::uint8_t*>(words_.get()), count_ * 8};
  }
  std::size_t size() const { return count_ * 8; }
  // What keeps the bytes alive, for views into them.
  std::shared_ptr<const void> storage() const { return words_; }

 private:
  friend class FrameReader;
  friend RawFrame flatten(const struct OutFrame& frame);
  std::uint8_t* writable() { return reinterpret_cast<std::uint8_t*>(words_.get()); }

  std::shared_ptr<std::uint64_t[]> words_;
  std::size_t count_ = 0;
};

// The pieces of one frame, in order, and whatever keeps them alive.
struct OutFrame {
  std::vector<std::span<const std::uint8_t>> pieces;
  std::shared_ptr<const void> owner;

  std::size_t size() const;
  // Forwards a received frame as it is.
  static OutFrame of(const RawFrame& frame);
};

enum class ReadStatus {
  Open,     // the read got bytes; there may be more
  Drained,  // a non-blocking socket has nothing more to read for now
  Closed,   // the peer closed (or reset) the stream between two frames
};

class FrameReader {
 public:
  explicit FrameReader(std::size_t max_frame_bytes = kMaxFrameBytes);

  // Reads from `fd` once and appends every frame completed so far to `out`. Fails when the
  // stream ends inside a frame, when a frame breaks the bounds, or when the read fails.
  Result<ReadStatus> read_from(int fd, std::vector<RawFrame>& out);

  // Whether the last read filled all the room it had: the socket may well hold more.
  bool last_read_filled() const { return last_read_filled_; }

  // Bytes received that do not yet form a whole frame.
  bool mid_frame() const { return current_.size() != 0 || begin_ != end_; }

 private:
  Result<void> parse(std::vector<RawFrame>& out);
  std::uint8_t* staging() { return reinterpret_cast<std::uint8_t*>(staging_.data()); }

  std::size_t max_frame_bytes_;
  std::vector<std::uint64_t> staging_;  // small frames and segment tables
  std::size_t begin_ = 0;               // unread bytes of staging_: [begin_, end_)
  std::size_t end_ = 0;
  RawFrame current_;  // a large frame being read in place (empty when none is)
  std::size_t filled_ = 0;
  std::size_t total_ = 0;
  bool last_read_filled_ = false;
};

// Writes the whole frame to a blocking socket. A peer that went away is an error, never a
// SIGPIPE; `os_error`, when given, receives the system's error number of a failed write.
Result<void> write_frame(int fd, const OutFrame& frame, int* os_error = nullptr);

// Frames waiting for a non-blocking socket, written in order.
class OutQueue {
 public:
  void push(OutFrame frame);
  // Writes what the socket takes now; true when nothing is left queued.
  Result<bool> flush(int fd);
  std::size_t queued_bytes() const { return queued_bytes_; }
  bool empty() const { return frames_.empty(); }

 private:
  void skip_written();
  void consume(std::size_t n);

  std::deque<OutFrame> frames_;
  std::size_t piece_ = 0;   // in the front frame
  std::size_t offset_ = 0;  // in that piece
  std::size_t queued_bytes_ = 0;
};

}  // namespace quern::collab

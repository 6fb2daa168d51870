#include "runtime/collab/frame.h"

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "runtime/collab/unix_socket.h"

namespace quern::collab {
namespace {

constexpr std::size_t kStagingBytes = 64 * 1024;
constexpr std::size_t kMaxIov = 64;

std::uint32_t load_u32(const std::uint8_t* p) {
  std::uint32_t v = 0;
  std::memcpy(&v, p, sizeof v);  // the framing is little-endian, as is every target we build for
  return v;
}

}  // namespace

RawFrame::RawFrame(std::vector<std::uint64_t> words) : RawFrame(allocate(words.size())) {
  if (!words.empty()) std::memcpy(words_.get(), words.data(), words.size() * 8);
}

RawFrame RawFrame::allocate(std::size_t words) {
  RawFrame f;
  if (words == 0) return f;
  f.words_ = std::make_shared_for_overwrite<std::uint64_t[]>(words);
  f.count_ = words;
  return f;
}

std::size_t OutFrame::size() const {
  std::size_t n = 0;
  for (const auto& p : pieces) n += p.size();
  return n;
}

OutFrame OutFrame::of(const RawFrame& frame) {
  OutFrame out;
  out.pieces.push_back(frame.bytes());
  out.owner = frame.storage();
  return out;
}

FrameReader::FrameReader(std::size_t max_frame_bytes)
    : max_frame_bytes_(max_frame_bytes), staging_(kStagingBytes / 8) {}

Result<void> FrameReader::parse(std::vector<RawFrame>& out) {
  while (true) {
    const std::size_t avail = end_ - begin_;
    if (avail < 4) return {};
    const std::uint8_t* p = staging() + begin_;
    const std::uint64_t segments = std::uint64_t{load_u32(p)} + 1;
    if (segments > kMaxSegments) {
      return fail("a frame of " + std::to_string(segments) + " segments is more than the " +
                  std::to_string(kMaxSegments) + " allowed");
    }
    const std::size_t table = static_cast<std::size_t>((4 * (segments + 1) + 7) / 8 * 8);
    if (avail < table) return {};
    std::uint64_t words = 0;
    for (std::uint64_t i = 0; i < segments; ++i) words += load_u32(p + 4 + 4 * i);
    const std::uint64_t total = table + words * 8;
    if (total > max_frame_bytes_) {
      return fail("a frame of " + std::to_string(total) + " bytes is larger than the limit of " +
                  std::to_string(max_frame_bytes_) + " bytes");
    }
    const auto size = static_cast<std::size_t>(total);
    if (avail >= size) {
      RawFrame frame = RawFrame::allocate(size / 8);
      std::memcpy(frame.writable(), p, size);
      out.push_back(std::move(frame));
      begin_ += size;
      continue;
    }
    if (size > staging_.size() * 8 / 2) {
      // Large: read the rest straight into the frame's own buffer.
      current_ = RawFrame::allocate(size / 8);
      std::memcpy(current_.writable(), p, avail);
      filled_ = avail;
      total_ = size;
      begin_ = end_ = 0;
      return {};
    }
    if (begin_ + size > staging_.size() * 8) {
      std::memmove(staging(), p, avail);
      begin_ = 0;
      end_ = avail;
    }
    return {};
  }
}

Result<ReadStatus> FrameReader::read_from(int fd, std::vector<RawFrame>& out) {
  while (true) {
    std::uint8_t* dst = nullptr;
    std::size_t room = 0;
    if (current_.size() != 0) {
      dst = current_.writable() + filled_;
      room = total_ - filled_;
    } else {
      if (begin_ == end_) begin_ = end_ = 0;
      if (end_ == staging_.size() * 8) {
        std::memmove(staging(), staging() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
      }
      dst = staging() + end_;
      room = staging_.size() * 8 - end_;
    }
    const ssize_t n = ::read(fd, dst, room);
    last_read_filled_ = n > 0 && static_cast<std::size_t>(n) == room;
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return ReadStatus::Drained;
      // A peer that went away with our frames unread resets the connection: between frames that
      // is an end like any other.
      if (errno == ECONNRESET && !mid_frame()) return ReadStatus::Closed;
      return fail(os_error_text(errno));
    }
    if (n == 0) {
      if (!mid_frame()) return ReadStatus::Closed;
      return fail("the connection closed in the middle of a frame");
    }
    const auto got = static_cast<std::size_t>(n);
    if (current_.size() != 0) {
      filled_ += got;
      if (filled_ == total_) {
        out.push_back(std::move(current_));
        current_ = RawFrame();
        filled_ = total_ = 0;
      }
      return ReadStatus::Open;
    }
    end_ += got;
    QUERN_TRY(parse(out));
    return ReadStatus::Open;
  }
}

Result<void> write_frame(int fd, const OutFrame& frame, int* os_error) {
  std::size_t piece = 0;
  std::size_t offset = 0;
  while (piece < frame.pieces.size()) {
    iovec iov[kMaxIov];
    std::size_t count = 0;
    for (std::size_t i = piece; i < frame.pieces.size() && count < kMaxIov; ++i) {
      const auto& p = frame.pieces[i];
      const std::size_t skip = i == piece ? offset : 0;
      if (p.size() == skip) continue;
      iov[count].iov_base = const_cast<std::uint8_t*>(p.data() + skip);
      iov[count].iov_len = p.size() - skip;
      ++count;
    }
    if (count == 0) break;
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = count;
    const ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (os_error != nullptr) *os_error = errno;
      return fail(os_error_text(errno));
    }
    auto left = static_cast<std::size_t>(n);
    while (left > 0 && piece < frame.pieces.size()) {
      const std::size_t rest = frame.pieces[piece].size() - offset;
      if (left >= rest) {
        left -= rest;
        ++piece;
        offset = 0;
      } else {
        offset += left;
        left = 0;
      }
    }
    while (piece < frame.pieces.size() && frame.pieces[piece].size() == offset) {
      ++piece;
      offset = 0;
    }
  }
  return {};
}

void OutQueue::push(OutFrame frame) {
  queued_bytes_ += frame.size();
  frames_.push_back(std::move(frame));
}

void OutQueue::skip_written() {
  while (!frames_.empty()) {
    const auto& pieces = frames_.front().pieces;
    while (piece_ < pieces.size() && pieces[piece_].size() == offset_) {
      ++piece_;
      offset_ = 0;
    }
    if (piece_ < pieces.size()) return;
    frames_.pop_front();
    piece_ = offset_ = 0;
  }
}

void OutQueue::consume(std::size_t n) {
  queued_bytes_ -= n;
  while (n > 0) {
    skip_written();
    const std::size_t rest = frames_.front().pieces[piece_].size() - offset_;
    const std::size_t take = rest < n ? rest : n;
    offset_ += take;
    n -= take;
  }
  skip_written();
}

Result<bool> OutQueue::flush(int fd) {
  skip_written();
  while (!frames_.empty()) {
    iovec iov[kMaxIov];
    std::size_t count = 0;
    for (std::size_t f = 0; f < frames_.size() && count < kMaxIov; ++f) {
      const auto& pieces = frames_[f].pieces;
      for (std::size_t i = f == 0 ? piece_ : 0; i < pieces.size() && count < kMaxIov; ++i) {
        const std::size_t skip = (f == 0 && i == piece_) ? offset_ : 0;
        if (pieces[i].size() == skip) continue;
        iov[count].iov_base = const_cast<std::uint8_t*>(pieces[i].data() + skip);
        iov[count].iov_len = pieces[i].size() - skip;
        ++count;
      }
    }
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = count;
    const ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
      return fail(os_error_text(errno));
    }
    consume(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace quern::collab

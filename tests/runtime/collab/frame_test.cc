// Framing on real sockets: frames come back whole whatever pieces the stream delivers them in,
// the bound is enforced from the segment table alone, and the ends of a stream are told apart.
#include "runtime/collab/frame.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "runtime/collab/codec.h"
#include "tests/runtime/collab/socket_pair.h"

namespace quern::collab {
namespace {

using test::socket_pair;

RawFrame document_frame(std::size_t size, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
  return flatten(
      encode(Delivery{Sender{}, std::nullopt, DocumentBytes{DocumentPayload::Whole, Blob::take(std::move(bytes))}}));
}

std::vector<std::uint8_t> to_vector(std::span<const std::uint8_t> s) { return {s.begin(), s.end()}; }

void write_all(int fd, const std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    ASSERT_GT(w, 0);
    p += w;
    n -= static_cast<std::size_t>(w);
  }
}

// Reads frames from a blocking fd until `count` have come or the stream ends.
std::vector<RawFrame> read_frames(int fd, std::size_t count, FrameReader& reader) {
  std::vector<RawFrame> out;
  while (out.size() < count) {
    auto status = reader.read_from(fd, out);
    if (!status || *status == ReadStatus::Closed) break;
  }
  return out;
}

TEST(FrameReader, AssemblesFramesWhateverPiecesTheyArriveIn) {
  const std::vector<RawFrame> all = {document_frame(0, 1), document_frame(10'000, 2), document_frame(300'000, 3),
                                     document_frame(17, 4), document_frame(70'000, 5)};
  const std::vector<RawFrame> few(all.begin(), all.begin() + 2);
  struct Case {
    const std::vector<RawFrame>* frames;
    std::size_t chunk;  // bytes per write on the sending side
  };
  for (const auto& c : {Case{&few, 1}, Case{&few, 3}, Case{&all, 8}, Case{&all, 4093}, Case{&all, 65536},
                        Case{&all, 200'000}, Case{&all, SIZE_MAX}}) {
    std::vector<std::uint8_t> stream;
    for (const auto& f : *c.frames) stream.insert(stream.end(), f.bytes().begin(), f.bytes().end());
    auto pair = socket_pair();
    std::thread writer([&, fd = pair.a.get()] {
      for (std::size_t at = 0; at < stream.size(); at += std::min(c.chunk, stream.size() - at)) {
        write_all(fd, stream.data() + at, std::min(c.chunk, stream.size() - at));
      }
    });
    FrameReader reader;
    const auto got = read_frames(pair.b.get(), c.frames->size(), reader);
    writer.join();
    ASSERT_EQ(got.size(), c.frames->size()) << "chunk " << c.chunk;
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(to_vector(got[i].bytes()), to_vector((*c.frames)[i].bytes())) << "chunk " << c.chunk << " frame " << i;
    }
    EXPECT_FALSE(reader.mid_frame());
  }
}

TEST(FrameReader, RefusesAnOversizedFrameFromItsSegmentTableAlone) {
  struct Case {
    std::vector<std::uint32_t> table;  // the first word: segment count - 1
    std::string_view error;
  };
  const std::uint32_t over = static_cast<std::uint32_t>(kMaxFrameBytes / 8);  // one word too many with the table
  for (const auto& c : {Case{{0, over}, "larger than the limit of 83886080 bytes"},
                        Case{{1, over / 2, over / 2 + 1}, "larger than the limit"},
                        Case{{600}, "segments is more than the 512 allowed"},
                        Case{{0xffffffffu}, "segments is more than the 512 allowed"}}) {
    auto pair = socket_pair();
    std::vector<std::uint32_t> table = c.table;
    if (table.size() % 2 == 1) table.push_back(0);
    // Only the table is sent: the reader must refuse without waiting for (or allocating) a body.
    write_all(pair.a.get(), reinterpret_cast<const std::uint8_t*>(table.data()), table.size() * 4);
    FrameReader reader;
    std::vector<RawFrame> out;
    Result<ReadStatus> status = ReadStatus::Open;
    for (int i = 0; i < 4 && status && out.empty(); ++i) status = reader.read_from(pair.b.get(), out);
    ASSERT_FALSE(status) << c.error;
    EXPECT_NE(status.error().to_string().find(c.error), std::string::npos) << status.error().to_string();
  }
}

TEST(FrameReader, AdmitsAFrameHoldingA64MiBDocument) {
  const RawFrame frame = document_frame(64u << 20, 9);
  ASSERT_LE(frame.size(), kMaxFrameBytes);
  auto pair = socket_pair();
  std::thread writer([&] { ASSERT_TRUE(write_frame(pair.a.get(), OutFrame::of(frame))); });
  FrameReader reader;
  const auto got = read_frames(pair.b.get(), 1, reader);
  writer.join();
  ASSERT_EQ(got.size(), 1u);
  auto decoded = decode(got[0]);
  ASSERT_TRUE(decoded) << decoded.error().to_string();
  EXPECT_EQ(std::get<DocumentBytes>(decoded->body).bytes.size(), 64u << 20);
}

TEST(FrameReader, TellsACleanEndFromOneInsideAFrame) {
  const RawFrame small = document_frame(100, 1);
  const RawFrame large = document_frame(200'000, 2);
  struct Case {
    const RawFrame* frame;
    std::size_t cut;  // bytes of the frame written before the close
    bool clean;
  };
  for (const auto& c : {Case{&small, small.size(), true}, Case{&small, 0, true}, Case{&small, 3, false},
                        Case{&small, 40, false}, Case{&large, 100'000, false}}) {
    auto pair = socket_pair();
    std::thread writer([&, fd = pair.a.get()] {
      write_all(fd, c.frame->bytes().data(), c.cut);
      pair.a.reset();
    });
    FrameReader reader;
    std::vector<RawFrame> out;
    Result<ReadStatus> status = ReadStatus::Open;
    while (status && *status == ReadStatus::Open) status = reader.read_from(pair.b.get(), out);
    writer.join();
    if (c.clean) {
      ASSERT_TRUE(status) << status.error().to_string();
      EXPECT_EQ(*status, ReadStatus::Closed);
      EXPECT_EQ(out.size(), c.cut == 0 ? 0u : 1u);
    } else {
      ASSERT_FALSE(status) << "cut at " << c.cut;
      EXPECT_EQ(status.error().to_string(), "the connection closed in the middle of a frame");
    }
  }
}

TEST(OutQueue, WritesQueuedFramesInOrderThroughAFullSocket) {
  auto pair = socket_pair(SOCK_NONBLOCK);
  int small = 4096;
  ::setsockopt(pair.a.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  const std::vector<RawFrame> frames = {document_frame(10, 1), document_frame(1 << 20, 2), document_frame(3, 3),
                                        document_frame(50'000, 4)};
  OutQueue queue;
  std::size_t total = 0;
  for (const auto& f : frames) {
    queue.push(encode(decode(f).value()));
    total += f.size();
  }
  EXPECT_EQ(queue.queued_bytes(), total);

  std::vector<RawFrame> got;
  FrameReader reader;
  int rounds = 0;
  while (got.size() < frames.size()) {
    ASSERT_LT(++rounds, 1'000'000);
    auto flushed = queue.flush(pair.a.get());
    ASSERT_TRUE(flushed) << flushed.error().to_string();
    auto status = reader.read_from(pair.b.get(), got);
    ASSERT_TRUE(status) << status.error().to_string();
  }
  EXPECT_TRUE(queue.empty());
  EXPECT_EQ(queue.queued_bytes(), 0u);
  for (std::size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(to_vector(got[i].bytes()), to_vector(frames[i].bytes()));
}

TEST(WriteFrame, ReportsAPeerThatWentAwayWithoutASignal) {
  auto pair = socket_pair();
  pair.b.reset();
  auto written = write_frame(pair.a.get(), OutFrame::of(document_frame(10, 1)));
  ASSERT_FALSE(written);
  EXPECT_NE(written.error().to_string().find("Broken pipe"), std::string::npos) << written.error().to_string();
}

}  // namespace
}  // namespace quern::collab

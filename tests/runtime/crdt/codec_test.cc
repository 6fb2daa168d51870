// The byte-level readers: change hashes are taken over received bytes and a whole save writes
// the same values again, so only one encoding of each value may be accepted.
#include "runtime/crdt/codec.h"

#include <gtest/gtest.h>

#include <limits>

namespace quern::crdt::detail {
namespace {

TEST(Codec, IntegersRoundTripAndOnlyTheShortestFormIsRead) {
  for (std::int64_t v : {std::int64_t{0}, std::int64_t{1}, std::int64_t{-1}, std::int64_t{63}, std::int64_t{64},
                         std::int64_t{-64}, std::int64_t{-65}, std::int64_t{1} << 40,
                         std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()}) {
    Writer w;
    w.sleb(v);
    Reader r(w.out());
    EXPECT_EQ(r.sleb(), v);
    EXPECT_TRUE(r.ok() && r.at_end()) << v;
  }
  for (std::uint64_t v : {std::uint64_t{0}, std::uint64_t{127}, std::uint64_t{128}, ~std::uint64_t{0}}) {
    Writer w;
    w.uleb(v);
    Reader r(w.out());
    EXPECT_EQ(r.uleb(), v);
    EXPECT_TRUE(r.ok() && r.at_end()) << v;
  }
  struct Case {
    Bytes bytes;
    bool is_signed;
  };
  for (const Case& c : {Case{{0x80, 0x00}, false}, Case{{0xff, 0x80, 0x00}, false},      // padded unsigned
                        Case{{0x80, 0x00}, true}, Case{{0xc3, 0xab, 0x89, 0x00}, true},  // padded positive
                        Case{{0xff, 0x7f}, true},                                        // padded -1
                        Case{{0x80}, false}, Case{{0x80}, true},                         // truncated
                        Case{Bytes(11, 0xff), false}, Case{Bytes(11, 0xff), true}}) {    // too long
    Reader r(c.bytes);
    if (c.is_signed)
      r.sleb();
    else
      r.uleb();
    EXPECT_FALSE(r.ok()) << (c.is_signed ? "signed " : "unsigned ") << c.bytes.size() << " bytes";
  }
}

TEST(Codec, CountsAreBoundedByTheBytesLeft) {
  Writer w;
  w.uleb(1000);
  w.raw(Bytes(10, 1));
  Reader r(w.out());
  EXPECT_EQ(r.count(1), 0u);
  EXPECT_FALSE(r.ok());
  Reader again(w.out());
  EXPECT_EQ(again.bytes().size(), 0u);
  EXPECT_FALSE(again.ok());
}

}  // namespace
}  // namespace quern::crdt::detail

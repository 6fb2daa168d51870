#include <gtest/gtest.h>

#include "runtime/util/sha256.h"
#include "runtime/util/uuid.h"

namespace quern {
namespace {

TEST(Sha256, KnownDigests) {
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  Sha256 h;
  h.update("a");
  h.update("bc");
  EXPECT_EQ(to_hex(h.finish()), sha256_hex("abc"));
}

TEST(Hex, RoundTripsAndRejectsBadText) {
  std::string out = "keep";
  EXPECT_TRUE(from_hex("00ff7A", out));
  EXPECT_EQ(out, std::string("\x00\xff\x7a", 3));
  std::string untouched = "keep";
  EXPECT_FALSE(from_hex("abc", untouched));
  EXPECT_FALSE(from_hex("zz", untouched));
  EXPECT_EQ(untouched, "keep");
}

TEST(Uuid, ParsesTheUsualFormsAndPrintsHyphenatedLowerCase) {
  const std::string canonical = "9b2f6c1e-4a7d-4f3e-8c1a-2d5e6f708192";
  for (const char* form : {"9b2f6c1e-4a7d-4f3e-8c1a-2d5e6f708192", "9B2F6C1E-4A7D-4F3E-8C1A-2D5E6F708192",
                           "9b2f6c1e4a7d4f3e8c1a2d5e6f708192", "{9b2f6c1e-4a7d-4f3e-8c1a-2d5e6f708192}",
                           "urn:uuid:9b2f6c1e-4a7d-4f3e-8c1a-2d5e6f708192"}) {
    auto u = Uuid::parse(form);
    ASSERT_TRUE(u) << form;
    EXPECT_EQ(u->to_string(), canonical);
  }
  for (const char* bad : {"nope", "", "9b2f6c1e-4a7d-4f3e-8c1a-2d5e6f70819", "9b2f6c1e-4a7d-4f3e-8c1a+2d5e6f708192",
                          "9b2f6c1e-4a7d-4f3e-8c1a-2d5e6f70819g"}) {
    EXPECT_FALSE(Uuid::parse(bad)) << bad;
  }
}

TEST(Uuid, RandomIdsAreVersionFourAndDistinct) {
  const Uuid a = Uuid::new_v4();
  const Uuid b = Uuid::new_v4();
  EXPECT_NE(a, b);
  EXPECT_EQ(a.bytes()[6] >> 4, 4);
  EXPECT_EQ(a.bytes()[8] & 0xC0, 0x80);
}

}  // namespace
}  // namespace quern

#include "runtime/util/json.h"

#include <gtest/gtest.h>

#include "runtime/util/quote.h"

namespace quern {
namespace {

TEST(Json, KeepsMemberOrderAndParsesSafely) {
  Json j;
  j["model"] = "m";
  j["max_tokens"] = 4096;
  j["system"] = "s";
  EXPECT_EQ(dump_json(j), R"({"model":"m","max_tokens":4096,"system":"s"})");
  EXPECT_TRUE(parse_json(R"({"a":[1,2]})"));
  const auto bad = parse_json("{\"a\":");
  ASSERT_FALSE(bad);
  EXPECT_NE(bad.error().message().find("parse error"), std::string::npos);
}

TEST(Json, MemberLookupsNeverThrow) {
  const Json j = parse_json(R"({"s":"x","n":-3,"u":5,"b":true,"f":1.5})").value();
  EXPECT_EQ(string_member(j, "s"), "x");
  EXPECT_EQ(string_member(j, "n"), std::nullopt);
  EXPECT_EQ(unsigned_member(j, "u"), 5u);
  EXPECT_EQ(unsigned_member(j, "n"), std::nullopt);
  EXPECT_EQ(signed_member(j, "n"), -3);
  EXPECT_EQ(signed_member(j, "f"), std::nullopt);
  EXPECT_EQ(bool_member(j, "b"), true);
  EXPECT_EQ(string_member(Json::array(), "s"), std::nullopt);
  EXPECT_EQ(member(j, "missing"), nullptr);
}

TEST(Json, DumpReplacesInvalidUtf8) { EXPECT_EQ(dump_json(Json("a\xff")), "\"a\xef\xbf\xbd\""); }

TEST(Quote, EscapesLikeADebugForm) {
  struct Case {
    std::string_view in, want;
  };
  for (auto c : {Case{"word-processor.document#insert-table", "\"word-processor.document#insert-table\""},
                 Case{"say \"hi\"", R"("say \"hi\"")"}, Case{"a\\b", R"("a\\b")"}, Case{"l1\nl2\t", R"("l1\nl2\t")"},
                 Case{"\x1b", R"("\u{1b}")"}, Case{"é", "\"é\""}}) {
    EXPECT_EQ(quote_escaped(c.in), c.want) << c.in;
  }
}

}  // namespace
}  // namespace quern

#include "runtime/util/error.h"

#include <gtest/gtest.h>

namespace quern {
namespace {

Result<int> parse_positive(int n) {
  if (n <= 0) return fail("not positive");
  return n;
}

Result<int> doubled(int n) {
  const int v = QUERN_TRY_CTX(parse_positive(n), "double the value");
  return v * 2;
}

Result<void> check(int n) {
  QUERN_TRY(parse_positive(n));
  return {};
}

TEST(Error, ContextWrapsOutermostFirst) {
  const Error e = Error("connection refused")
                      .with_context("connect to typed endpoint at /tmp/x")
                      .with_context("start typed collaboration client");
  EXPECT_EQ(e.message(), "start typed collaboration client");
  EXPECT_EQ(e.root_cause(), "connection refused");
  EXPECT_EQ(e.to_string(), "start typed collaboration client: connect to typed endpoint at /tmp/x: connection refused");
}

TEST(Error, ReportListsCausesReadably) {
  EXPECT_EQ(Error("no document").report(), "no document");
  EXPECT_EQ(Error("b").with_context("a").report(), "a\n\nCaused by:\n    b");
  EXPECT_EQ(Error("c").with_context("b").with_context("a").report(), "a\n\nCaused by:\n    0: b\n    1: c");
}

TEST(Error, TryPropagatesAndAddsContext) {
  EXPECT_EQ(doubled(4).value(), 8);
  auto bad = doubled(-1);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().chain(), (std::vector<std::string>{"double the value", "not positive"}));
  EXPECT_TRUE(check(1));
  EXPECT_EQ(check(0).error().message(), "not positive");
}

}  // namespace
}  // namespace quern

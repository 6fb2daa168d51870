#include "runtime/util/log.h"

#include <gtest/gtest.h>

namespace quern::log {
namespace {

TEST(LogFilter, ParsesDirectives) {
  struct Case {
    std::string_view text, target;
    Level want;
  };
  for (auto c :
       {Case{"info", "quern_agent::session", Level::Info}, Case{"debug", "x", Level::Debug},
        Case{"quern_agent::session=debug,warn", "quern_agent::session", Level::Debug},
        Case{"quern_agent::session=debug,warn", "quern_agent::apply", Level::Warn},
        Case{"quern_agent=trace", "quern_agent::apply", Level::Trace},
        Case{"quern_agent=trace", "quern_agentx", Level::Info}, Case{"quern_agent=trace", "quern_crdt", Level::Info},
        Case{"quern_agent=error,quern_agent::session=debug", "quern_agent::session", Level::Debug},
        Case{"WARN", "a", Level::Warn}, Case{"quern_collab", "quern_collab::reader", Level::Trace},
        Case{" error , quern_agent::surface = info ", "quern_agent::surface", Level::Info}}) {
    auto f = LogFilter::parse(c.text);
    ASSERT_TRUE(f) << c.text;
    EXPECT_EQ(f->level_for(c.target), c.want) << c.text << " for " << c.target;
  }
  for (auto bad : {"", "quern agent", "quern_agent=loud", "=debug", "a b=info"}) {
    EXPECT_FALSE(LogFilter::parse(bad)) << bad;
  }
  EXPECT_EQ(LogFilter().level_for("anything"), Level::Info);
}

TEST(Log, LinesCarryLevelTargetMessageAndFields) {
  Capture capture("info");
  const std::optional<std::string> record;
  info("quern_agent::session", "joined the room; waiting for the document",
       {{"transport", "typed-endpoint"}, {"record", record}, {"bytes", 12}, {"live", false}});
  debug("quern_agent::session", "asked the room for the document again");
  warn("quern_agent::apply", "a \"quoted\" value", {{"app", std::string("photos")}});
  EXPECT_EQ(capture.text(),
            " INFO quern_agent::session: joined the room; waiting for the document transport=\"typed-endpoint\" "
            "bytes=12 live=false\n"
            " WARN quern_agent::apply: a \"quoted\" value app=\"photos\"\n");
}

TEST(Log, FilterAppliesPerTarget) {
  Capture capture("quern_agent::session=debug,warn");
  debug("quern_agent::session", "seen");
  info("quern_agent::apply", "hidden");
  EXPECT_TRUE(enabled("quern_agent::session", Level::Debug));
  EXPECT_FALSE(enabled("quern_agent::apply", Level::Info));
  EXPECT_EQ(capture.text(), "DEBUG quern_agent::session: seen\n");
}

}  // namespace
}  // namespace quern::log

namespace quern::log {
namespace {

TEST(Log, InstallingTwiceFailsWithTheFixedMessage) {
  ASSERT_TRUE(install("info"));
  const auto again = install("info");
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().message(), "Unable to install global subscriber");
}

}  // namespace
}  // namespace quern::log

#include "apps/agent/src/decision_mode.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "runtime/util/log.h"
#include "tests/support/temp_dir.h"

namespace quern::agent {
namespace {

gateway::ProviderConfig parse(const std::string& text) {
  auto parsed = gateway::ProviderConfig::parse(text);
  EXPECT_TRUE(parsed) << parsed.error().to_string();
  return parsed ? *parsed : gateway::ProviderConfig{};
}

SessionSettings settings(bool live, std::uint64_t timeout_ms = 9000) {
  SessionSettings s;
  s.live = live;
  s.model_timeout = duration_from_millis(timeout_ms);
  return s;
}

const char* kLocal =
    "[profiles.local]\nkind = \"openai\"\nendpoint = \"http://127.0.0.1:8080\"\nselected_model = \"m\"\n"
    "action_discovery = true\n[[profiles.local.models]]\nid = \"m\"\n";

TEST(DecisionMode, TheLineSaysWhetherAModelChoosesAndWhich) {
  struct Case {
    const char* what;
    std::optional<gateway::ProviderConfig> config;
    bool live;
    std::string line;
  };
  const Case cases[] = {
      {"a loopback model", parse(kLocal), true,
       "a model chooses from the app's exported actions live=true model=\"m\" timeout_ms=1500"},
      {"switched off", parse(kLocal), false,
       "no model available; the keyword vocabulary chooses live=false model=\"m\" timeout_ms=1500"},
      {"an unlisted model",
       parse("[profiles.a]\nkind = \"openai\"\nendpoint = \"http://127.0.0.1:1\"\nselected_model = \"x\"\n"
             "[[profiles.a.models]]\nid = \"m\"\n"),
       true, "no model available; the keyword vocabulary chooses live=false model=\"x\" timeout_ms=1500"},
      {"no configuration", std::nullopt, true,
       "no model available; the keyword vocabulary chooses live=false timeout_ms=1500"},
  };
  for (const Case& c : cases) {
    const SessionSettings s = settings(c.live, 1500);
    const DecisionMode mode = decision_mode_for(c.config, s);
    log::Capture capture("info");
    log_decision_mode(mode, s);
    EXPECT_TRUE(capture.contains(c.line)) << c.what << ":\n" << capture.text();
    EXPECT_EQ(mode.selection.has_value(), std::string(c.what) != "an unlisted model" && c.config.has_value()) << c.what;
  }
}

TEST(DecisionMode, StartUpReadsTheFileTheEnvironmentNames) {
  test::TempDir dir;
  const std::string path = dir.file("providers.toml");
  std::ofstream(path) << kLocal;
  ::setenv("QUERN_PROVIDERS", path.c_str(), 1);
  const DecisionMode mode = choose_decision_mode(settings(true));
  EXPECT_TRUE(mode.live);
  EXPECT_EQ(mode.model, "m");
  ASSERT_TRUE(mode.selection);
  EXPECT_EQ(mode.selection->deadline, millis(9000));

  std::ofstream(path) << "active_profile = \n";
  log::Capture capture("warn");
  const DecisionMode malformed = choose_decision_mode(settings(true));
  EXPECT_FALSE(malformed.live);
  EXPECT_FALSE(malformed.model);
  EXPECT_TRUE(capture.contains("line=1")) << capture.text();

  ::setenv("QUERN_PROVIDERS", dir.file("missing.toml").c_str(), 1);
  EXPECT_FALSE(choose_decision_mode(settings(true)).config);
  ::unsetenv("QUERN_PROVIDERS");
}

}  // namespace
}  // namespace quern::agent

#include "apps/agent/src/cli.h"

#include <gtest/gtest.h>

#include "apps/agent/src/settings.h"
#include "apps/agent/src/startup.h"

namespace quern::agent {
namespace {

constexpr const char* kRoom = "9b2f6c1e-4a7d-4f3e-8c1a-2d5e6f708192";

std::variant<Cli, CliExit> parse(std::vector<std::string> args) { return parse_cli(args); }

TEST(Cli, OnlyTheWorkspaceGivesTheDefaults) {
  auto parsed = parse({"--workspace", kRoom});
  ASSERT_TRUE(std::holds_alternative<Cli>(parsed));
  const Cli& cli = std::get<Cli>(parsed);
  EXPECT_EQ(cli.workspace.to_string(), kRoom);
  EXPECT_EQ(cli.app, "ix.quern.word-processor");
  EXPECT_EQ(cli.name, "Claude");
  EXPECT_EQ(cli.record, std::nullopt);
  EXPECT_EQ(cli.endpoint, std::nullopt);
  EXPECT_FALSE(cli.once || cli.task_runs || cli.no_model);

  const SessionSettings s = SessionSettings::from_cli(cli);
  EXPECT_EQ(s.pace, millis(250));
  EXPECT_EQ(s.model_timeout, std::chrono::seconds(9));
  EXPECT_EQ(s.await_document, std::chrono::seconds(60));
  EXPECT_EQ(s.settle, Duration::zero());
  EXPECT_TRUE(s.live);
  EXPECT_FALSE(s.task_runs);
}

TEST(Cli, EveryOptionIsRead) {
  auto parsed = parse({"--workspace", kRoom,
                       "--record",    "file:/tmp/a.docx",
                       "--app",       "ix.quern.photos",
                       "--name",      "Ada",
                       "--endpoint",  "/tmp/room.sock",
                       "--pace-ms",   "0",
                       "--once",      "--task-runs",
                       "--no-model",  "--model-timeout-ms",
                       "1",           "--await-document-ms",
                       "1500",        "--settle-ms=2000"});
  ASSERT_TRUE(std::holds_alternative<Cli>(parsed));
  const SessionSettings s = SessionSettings::from_cli(std::get<Cli>(parsed));
  EXPECT_EQ(s.record, "file:/tmp/a.docx");
  EXPECT_EQ(s.app, "ix.quern.photos");
  EXPECT_EQ(s.name, "Ada");
  EXPECT_EQ(s.endpoint, "/tmp/room.sock");
  EXPECT_EQ(s.pace, Duration::zero());
  EXPECT_TRUE(s.once);
  EXPECT_TRUE(s.task_runs);
  EXPECT_FALSE(s.live);
  EXPECT_EQ(s.model_timeout, millis(1));
  EXPECT_EQ(s.await_document, std::chrono::seconds(1) + std::chrono::milliseconds(500));
  EXPECT_EQ(whole_seconds(s.await_document), 1u);
  EXPECT_EQ(s.settle, std::chrono::seconds(2));
}

TEST(Cli, UsageErrorsExitTwoWithAUsageLine) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {},
           {"--workspace", "nope"},
           {"--workspace", kRoom, "--bogus"},
           {"--workspace", kRoom, "extra"},
           {"--workspace", kRoom, "--pace-ms", "-1"},
           {"--workspace", kRoom, "--pace-ms", "0x10"},
           {"--workspace", kRoom, "--settle-ms", "18446744073709551616"},
           {"--workspace", kRoom, "--model-timeout-ms", "1.5"},
           {"--workspace", kRoom, "--pace-ms"},
           {"-w", kRoom},
       }) {
    auto parsed = parse(args);
    ASSERT_TRUE(std::holds_alternative<CliExit>(parsed)) << testing::PrintToString(args);
    const auto& exit = std::get<CliExit>(parsed);
    EXPECT_EQ(exit.status, 2) << testing::PrintToString(args);
    EXPECT_TRUE(exit.stdout_text.empty());
    EXPECT_NE(exit.stderr_text.find("Usage: quern-agent [OPTIONS] --workspace <WORKSPACE>"), std::string::npos);
  }
}

TEST(Cli, LargestUnsignedValueIsAccepted) {
  auto parsed = parse({"--workspace", kRoom, "--await-document-ms", "18446744073709551615"});
  ASSERT_TRUE(std::holds_alternative<Cli>(parsed));
  EXPECT_EQ(std::get<Cli>(parsed).await_document_ms, UINT64_MAX);
  EXPECT_EQ(SessionSettings::from_cli(std::get<Cli>(parsed)).await_document, Duration::max());
}

TEST(Cli, HelpGoesToStandardOutputWithStatusZero) {
  for (const char* flag : {"-h", "--help"}) {
    auto parsed = parse({flag});  // no --workspace needed for help
    ASSERT_TRUE(std::holds_alternative<CliExit>(parsed));
    const auto& exit = std::get<CliExit>(parsed);
    EXPECT_EQ(exit.status, 0);
    EXPECT_TRUE(exit.stderr_text.empty());
    EXPECT_EQ(exit.stdout_text, cli_help(std::string_view(flag) == "--help"));
  }
}

TEST(Cli, HelpShowsTheTextsAndValueNames) {
  const std::string short_help = cli_help(false);
  const std::string long_help = cli_help(true);
  EXPECT_TRUE(short_help.starts_with(
      "A participant without a window: joins a word-processor document through the session's collaboration broker "
      "and carries out instructions written to it (\"Claude: turn the bullets into a table\")\n"));
  for (const char* line :
       {"--workspace <WORKSPACE>\n", "--record <RECORD>\n", "--app <APP>\n", "--name <NAME>\n",
        "--endpoint <ENDPOINT>\n", "--pace-ms <PACE_MS>\n", "--once\n", "--task-runs\n", "--no-model\n",
        "--model-timeout-ms <MODEL_TIMEOUT_MS>\n", "--await-document-ms <AWAIT_DOCUMENT_MS>\n",
        "--settle-ms <SETTLE_MS>\n",
        "The room (workspace) the document lives in — the `QUERN_WORKSPACE_ID` the app was launched with\n",
        "Receive broker-minted Task Center leases instead of watching a document. This mode uses only the agent's "
        "admitted, permission- filtered action catalogue and cannot infer work from room traffic\n"}) {
    EXPECT_NE(short_help.find(line), std::string::npos) << line;
    EXPECT_NE(long_help.find(line), std::string::npos) << line;
  }
  const std::string extra =
      "Bounds the retries too: a request an overloaded service turns away is made again with a short backoff, "
      "carved out of this deadline rather than added to it, so shortening this also shortens how long the agent will "
      "wait out a busy service.";
  EXPECT_NE(short_help.find("How long a model may take to choose before the keyword vocabulary decides instead. Short "
                            "on purpose: an instruction must never wait on the network\n"),
            std::string::npos);
  EXPECT_EQ(short_help.find(extra), std::string::npos);
  EXPECT_NE(long_help.find(extra), std::string::npos);
  EXPECT_NE(long_help.find("instruction must never wait on the network.\n"), std::string::npos);
}

TEST(Permissions, AnInvitedAgentMayWriteButNotInviteOrAdminister) {
  const auto s = SessionSettings::from_cli(std::get<Cli>(parse({"--workspace", kRoom})));
  const auto p = agent_permissions(s);
  using namespace ui::permissions;
  const Scope app = AppScope{"photos"};
  const Scope resource = ResourceScope{"word_processor", "word-processor.document"};
  for (Role r : {Role::None, Role::Read, Role::Comment, Role::Write}) {
    EXPECT_TRUE(p.check(app, level_of(r)));
    EXPECT_TRUE(p.check(resource, level_of(r)));
  }
  EXPECT_FALSE(p.check(resource, level_of(Role::Invite)));
  EXPECT_FALSE(p.check(app, level_of(Role::Admin)));
  const auto stranger = PermissionContext::from_capabilities({"Eve"}, {Grant{"Claude", "x", "invited"}});
  EXPECT_FALSE(stranger.check(app, kLevelRead));
}

}  // namespace
}  // namespace quern::agent

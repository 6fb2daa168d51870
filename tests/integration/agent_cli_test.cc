// The agent binary's command line as a user meets it: statuses, streams and the error form.
#include <gtest/gtest.h>

#include "tests/support/process.h"

namespace quern::test {
namespace {

const std::string kAgent = built_program("quern-agent");
constexpr const char* kRoom = "9b2f6c1e-4a7d-4f3e-8c1a-2d5e6f708192";

TEST(AgentCli, HelpExitsZeroOnStandardOutput) {
  for (const char* flag : {"-h", "--help"}) {
    const auto r = run_process({kAgent, flag});
    EXPECT_EQ(r.status, 0) << flag;
    EXPECT_NE(r.out.find("--workspace <WORKSPACE>"), std::string::npos);
    EXPECT_EQ(r.err, "");
  }
  EXPECT_NE(run_process({kAgent, "--help"}).out.find("Bounds the retries too"), std::string::npos);
  EXPECT_EQ(run_process({kAgent, "-h"}).out.find("Bounds the retries too"), std::string::npos);
}

TEST(AgentCli, UsageErrorsExitTwo) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {kAgent, "--workspace", "nope"}, {kAgent}, {kAgent, "--workspace", kRoom, "--pace-ms", "soon"}}) {
    const auto r = run_process(args);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("Usage: quern-agent"), std::string::npos);
    EXPECT_EQ(r.out, "");
  }
}

TEST(AgentCli, RunFailuresExitOneWithTheErrorForm) {
  const auto r = run_process({kAgent, "--workspace", kRoom, "--endpoint", "/nonexistent/quern/room.sock"},
                             {.unset_env = {"QUERN_SVC_COLLAB_FD"}});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.err.find("Error: ") != std::string::npos) << r.err;
}

}  // namespace
}  // namespace quern::test

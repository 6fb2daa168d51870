// Reading a model's `plan` tool input: every refusal text in the order the checks run, the
// step cap, and how `why` and `then` are bounded.
#include "apps/agent/src/plan.h"

#include <gtest/gtest.h>

namespace quern::agent {
namespace {

Json steps_of(std::size_t n) {
  Json steps = Json::array();
  for (std::size_t i = 0; i < n; ++i) steps.push_back({{"operation", "a#b"}, {"arguments", Json::object()}});
  return steps;
}

TEST(ParsePlan, RefusesWithTheFirstProblem) {
  const ShownIds shown{"none", "a#b"};
  struct Case {
    Json input;
    std::string error;
  };
  const std::vector<Case> cases{
      {Json::object(), "the plan named no steps"},
      {{{"steps", "a#b"}}, "the plan named no steps"},
      {{{"steps", Json::array({Json{{"arguments", Json::object()}}})}}, "a step named no operation"},
      {{{"steps", Json::array({Json{{"operation", 3}}})}}, "a step named no operation"},
      {{{"steps", Json::array({Json{{"operation", "x\"y"}, {"arguments", Json::object()}}})}},
       "named \"x\\\"y\", which no listing in this conversation returned"},
      {{{"steps", Json::array({Json{{"operation", "a#b"}, {"arguments", Json::array()}}})}},
       "step \"a#b\" supplied no argument object"},
      {{{"steps", Json::array({Json{{"operation", "a#b"}}})}}, "step \"a#b\" supplied no argument object"},
      {{{"steps", Json::array()}}, "the plan named nothing to do"},
      {{{"steps", steps_of(9)}}, "named 9 operations, more than the 8 one instruction may be read as asking for"},
  };
  for (const auto& c : cases) {
    auto plan = parse_plan(c.input, shown, 8);
    ASSERT_FALSE(plan) << dump_json(c.input);
    EXPECT_EQ(plan.error(), c.error) << dump_json(c.input);
  }
}

TEST(ParsePlan, KeepsStepsInOrderAndBoundsWhyAndThen) {
  const ShownIds shown{"none", "a#b"};
  Json input{{"steps", steps_of(8)}, {"why", std::string(250, 'w')}, {"then", "  " + std::string(300, 't') + " "}};
  input["steps"][0] = Json{{"operation", "none"}, {"arguments", Json{{"k", 1}}}};
  auto plan = parse_plan(input, shown, 8);
  ASSERT_TRUE(plan) << plan.error();
  ASSERT_EQ(plan->steps.size(), 8u);
  EXPECT_EQ(plan->steps[0], (PlanStep{"none", Json{{"k", 1}}}));
  EXPECT_EQ(plan->steps[1].operation, "a#b");
  EXPECT_EQ(plan->why, std::string(200, 'w'));
  EXPECT_EQ(plan->then, std::string(240, 't'));

  for (const Json& then : {Json(nullptr), Json("   ")}) {
    Json other{{"steps", steps_of(1)}, {"then", then}};
    auto p = parse_plan(other, shown, 8);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->then, std::nullopt);
    EXPECT_EQ(p->why, "");
  }
  // Characters, not bytes: a 250-letter why of two-byte letters keeps 200 of them.
  std::string accented;
  for (int i = 0; i < 250; ++i) accented += "\u00e9";
  auto p = parse_plan(Json{{"steps", steps_of(1)}, {"why", accented}}, shown, 8);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->why.size(), 400u);
}

}  // namespace
}  // namespace quern::agent

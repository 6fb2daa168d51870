#include "runtime/actions/action_registry.h"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <vector>

#include "runtime/actions/door.h"

namespace quern::actions {
namespace {

// The registry over the engine's documents needs only the declaration of the document type.
static_assert(std::is_default_constructible_v<ActionRegistry>);
[[maybe_unused]] Result<void> register_over_engine(ActionRegistry& registry) {
  return registry.register_type<int>(
      "x", [](const Json&) -> std::expected<int, std::string> { return 1; },
      [](const int&, crdt::Document&, std::string_view) -> Result<Applied> { return Applied::Unchanged; });
}

// A stand-in document: lines of text, and who wrote each.
struct Lines {
  std::vector<std::pair<std::string, std::string>> lines;  // (actor, text)
};

struct Append {
  std::string text;
};

BasicActionRegistry<Lines> lines_registry() {
  BasicActionRegistry<Lines> registry;
  auto registered = registry.register_type<Append>(
      "lines.action",
      [](const Json& payload) -> std::expected<Append, std::string> {
        auto text = string_member(payload, "Append");
        if (!text) return std::unexpected("expected an object with the text member \"Append\"");
        return Append{*text};
      },
      [](const Append& a, Lines& doc, std::string_view actor) -> Result<Applied> {
        if (a.text == "!") return fail("a line may not be a lone exclamation mark");
        if (a.text.empty()) return Applied::Unchanged;
        doc.lines.emplace_back(std::string(actor), a.text);
        return Applied::Changed;
      });
  EXPECT_TRUE(registered);
  return registry;
}

TEST(ActionRegistry, DecodesAndAppliesRegisteredTypes) {
  const auto registry = lines_registry();
  EXPECT_TRUE(registry.knows("lines.action"));
  EXPECT_FALSE(registry.knows("lines.operation"));
  EXPECT_EQ(registry.types(), std::vector<std::string>{"lines.action"});

  Lines doc;
  auto decoded = registry.decode({"lines.action", Json{{"Append", "hello"}}});
  ASSERT_TRUE(decoded) << decoded.error().to_string();
  EXPECT_EQ(decoded->operation_type(), "lines.action");
  ASSERT_NE(decoded->get<Append>(), nullptr);
  EXPECT_EQ(decoded->get<Append>()->text, "hello");
  EXPECT_EQ(decoded->get<int>(), nullptr);
  EXPECT_EQ(registry.apply(*decoded, doc, "ann"), Applied::Changed);
  EXPECT_EQ(registry.apply(EncodedAction{"lines.action", Json{{"Append", ""}}}, doc, "ann"), Applied::Unchanged);
  EXPECT_EQ(doc.lines, (std::vector<std::pair<std::string, std::string>>{{"ann", "hello"}}));
}

TEST(ActionRegistry, ErrorsNameTheTypeAndKeepTheDecoderText) {
  const auto registry = lines_registry();
  Lines doc;
  auto unknown = registry.apply(EncodedAction{"lines.operation", "Zoom"}, doc, "ann");
  ASSERT_FALSE(unknown);
  EXPECT_EQ(unknown.error().to_string(), R"(no operation type "lines.operation" is registered here)");
  auto bad = registry.decode({"lines.action", Json{{"Append", 3}}});
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().to_string(),
            R"(decode the "lines.action" payload: expected an object with the text member "Append")");
  auto refused = registry.apply(EncodedAction{"lines.action", Json{{"Append", "!"}}}, doc, "ann");
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().to_string(), "a line may not be a lone exclamation mark");
  EXPECT_TRUE(doc.lines.empty());
}

TEST(ActionRegistry, RefusesASecondRegistrationOfOneType) {
  auto registry = lines_registry();
  auto again = registry.register_type<int>(
      "lines.action", [](const Json&) -> std::expected<int, std::string> { return 0; },
      [](const int&, Lines&, std::string_view) -> Result<Applied> { return Applied::Changed; });
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().to_string(), R"(the operation type "lines.action" is already registered)");
  // The first registration still answers.
  Lines doc;
  EXPECT_EQ(registry.apply(EncodedAction{"lines.action", Json{{"Append", "x"}}}, doc, "a"), Applied::Changed);
}

// A local invocation end to end: the door collects, the caller applies what was collected.
TEST(ActionRegistry, AppliesWhatALocalInvocationCollected) {
  const Resource root =
      Resource("lines.document", "lines.document", "Lines")
          .with_action(ActionSpec("append", "Append a line", Encoder::from_args([](const ActionArgs& args) -> Encoded {
                                    return EncodedAction{"lines.action", Json{{"Append", *args.text("text")}}};
                                  }))
                           .with_param(ActionParam::text("text", true, "The line")));
  LocalTransport transport;
  ASSERT_TRUE(door::invoke_json(root, "lines.document#append", Json{{"text", "one"}}, "agent", transport));
  ASSERT_TRUE(door::invoke_json(root, "lines.document#append", Json{{"text", "two"}}, "agent", transport));
  const auto registry = lines_registry();
  Lines doc;
  for (const ReplicatedAction& change : transport.take_changes()) {
    ASSERT_EQ(registry.apply(change.action, doc, change.actor), Applied::Changed);
  }
  EXPECT_EQ(doc.lines, (std::vector<std::pair<std::string, std::string>>{{"agent", "one"}, {"agent", "two"}}));
}

}  // namespace
}  // namespace quern::actions

#include "runtime/actions/contract.h"

#include <gtest/gtest.h>

#include "runtime/actions/action_param.h"

namespace quern::actions {
namespace {

TEST(PrintedForms, VariantsWithoutFieldsAreBareNames) {
  EXPECT_EQ(to_string(Confirmation::none()), "None");
  EXPECT_EQ(to_string(Confirmation::confirm()), "Confirm");
  EXPECT_EQ(to_string(Execution::immediate()), "Immediate");
  EXPECT_EQ(to_string(ActionResult::none()), "None");
  EXPECT_EQ(to_string(ActionResult::job()), "Job");
  EXPECT_EQ(to_string(Retry::Idempotent), "Idempotent");
  EXPECT_EQ(to_string(Retry::RetryWithInvocationId), "RetryWithInvocationId");
  EXPECT_EQ(to_string(Retry::AtMostOnce), "AtMostOnce");
  EXPECT_EQ(to_string(Risk::None), "None");
  EXPECT_EQ(to_string(Risk::Low), "Low");
  EXPECT_EQ(to_string(Risk::Destructive), "Destructive");
  EXPECT_EQ(to_string(Risk::Privileged), "Privileged");
  EXPECT_EQ(to_string(Risk::Sensitive), "Sensitive");
  EXPECT_EQ(to_string(Role::None), "None");
  EXPECT_EQ(to_string(Role::Read), "Read");
  EXPECT_EQ(to_string(Role::Comment), "Comment");
  EXPECT_EQ(to_string(Role::Write), "Write");
  EXPECT_EQ(to_string(Role::Invite), "Invite");
  EXPECT_EQ(to_string(Role::Admin), "Admin");
}

TEST(PrintedForms, VariantsWithFieldsListThemInBraces) {
  EXPECT_EQ(to_string(Execution::background(true)), "Background { cancellable: true }");
  EXPECT_EQ(to_string(Execution::background(false)), "Background { cancellable: false }");
  EXPECT_EQ(to_string(Execution::streaming(false, Json{{"type", "object"}, {"required", {"id"}}})),
            R"(Streaming { cancellable: false, item_schema: {"type":"object","required":["id"]} })");
  EXPECT_EQ(to_string(ActionResult::resource("files.entry")), R"(Resource { resource_kind: "files.entry" })");
  EXPECT_EQ(to_string(ActionResult::json(Json{{"type", "string"}})), R"(Json { schema: {"type":"string"} })");
  // Texts are quoted and escaped, so a phrase with quotes or a line break prints unambiguously.
  EXPECT_EQ(to_string(Confirmation::with_phrase("delete \"all\"\nnow")), R"(Phrase { phrase: "delete \"all\"\nnow" })");
}

TEST(ParamTypes, NamesFollowTheTypeCodes) {
  const char* names[] = {"text", "integer", "number", "boolean", "object", "array", "resource", "datetime", "secret"};
  for (std::uint64_t code = 0; code < 9; ++code) {
    auto type = param_type_from_code(code);
    ASSERT_TRUE(type) << code;
    EXPECT_EQ(type_name(*type), names[code]);
    EXPECT_EQ(param_type_from_name(names[code]), type);
  }
  EXPECT_EQ(param_type_from_code(9), std::nullopt);
  EXPECT_EQ(param_type_from_name("string"), std::nullopt);
}

}  // namespace
}  // namespace quern::actions

#include "runtime/actions/resource.h"

#include "runtime/util/quote.h"

namespace quern::actions {

void Resource::add_action(ActionSpec action) {
  if (action.resource_kind().empty()) action = std::move(action).with_resource_kind(kind_);
  actions_.push_back(std::move(action));
}

const ActionSpec* Resource::find_action(std::string_view name) const {
  for (const ActionSpec& a : actions_) {
    if (a.name() == name) return &a;
  }
  return nullptr;
}

namespace resource {

std::string derive_input(const ActionSpec& action, const ActionArgs& args) {
  if (action.content_input()) return args.text("value").value_or("");
  if (action.params().empty()) return "";
  return args.text(action.params().front().name).value_or("");
}

Encoder enforce_operation_type(Encoder encoder, std::string operation_type) {
  auto check = [operation_type = std::move(operation_type)](Encoded encoded) -> Encoded {
    if (encoded && encoded->operation_type != operation_type) {
      return std::unexpected(
          ActionError("quern.invalid_operation_type", "this action must encode an operation of type " +
                                                          quote_escaped(operation_type) + ", not " +
                                                          quote_escaped(encoded->operation_type)));
    }
    return encoded;
  };
  if (encoder.takes_text()) {
    return Encoder::from_text([encoder, check](std::string_view text) { return check(encoder(text)); });
  }
  return Encoder::from_args([encoder, check](const ActionArgs& args) { return check(encoder(args)); });
}

}  // namespace resource

}  // namespace quern::actions

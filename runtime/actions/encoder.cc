#include "runtime/actions/encoder.h"

namespace quern::actions {
namespace {

Encoded no_encoder() { return std::unexpected(ActionError("quern.no_encoder", "this action has no encoder")); }

}  // namespace

Encoder Encoder::fixed(EncodedAction action) {
  auto shared = std::make_shared<const EncodedAction>(std::move(action));
  return from_args([shared](const ActionArgs&) -> Encoded { return *shared; });
}

Encoder Encoder::from_args(FromArgs fn) {
  Encoder e;
  e.fn_ = std::make_shared<const FromArgs>(std::move(fn));
  return e;
}

Encoder Encoder::from_text(FromText fn) {
  Encoder e;
  e.fn_ = std::make_shared<const FromText>(std::move(fn));
  return e;
}

Encoded Encoder::operator()(const ActionArgs& args) const {
  if (std::holds_alternative<std::shared_ptr<const FromText>>(fn_)) return (*this)(args.text("value").value_or(""));
  const auto& args_fn = std::get<std::shared_ptr<const FromArgs>>(fn_);
  if (!args_fn || !*args_fn) return no_encoder();
  return (*args_fn)(args);
}

Encoded Encoder::operator()(std::string_view text) const {
  if (const auto* text_fn = std::get_if<std::shared_ptr<const FromText>>(&fn_)) {
    if (!*text_fn || !**text_fn) return no_encoder();
    return (**text_fn)(text);
  }
  return (*this)(ActionArgs::unchecked(Json{{"value", std::string(text)}}));
}

}  // namespace quern::actions

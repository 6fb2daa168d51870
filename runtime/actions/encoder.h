// What invoking an action produces: an operation type and its JSON payload, which a registry
// (action_registry.h) decodes and applies to a document, or which a participant that owns the
// operation type carries out. An `Encoder` makes one from the bound arguments, or from the one
// text an action takes; it fails with an `ActionError`. Encoders are shared, immutable callables:
// copying one is cheap, and calling it from several threads is safe when its function is.
#pragma once

#include <expected>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "runtime/actions/action_args.h"
#include "runtime/util/json.h"

namespace quern::actions {

struct EncodedAction {
  std::string operation_type;  // "word-processor.action", "chat.operation", ...
  Json payload;

  bool operator==(const EncodedAction&) const = default;
};

// An encoder's refusal: a dotted code for programs ("quern.invalid_arguments") and a message
// for people ("replacement text is required"). The display text is the message.
class ActionError {
 public:
  ActionError(std::string code, std::string message) : code_(std::move(code)), message_(std::move(message)) {}

  static ActionError invalid_arguments(std::string message) {
    return ActionError("quern.invalid_arguments", std::move(message));
  }

  const std::string& code() const { return code_; }
  const std::string& message() const { return message_; }
  const std::string& display() const { return message_; }

  bool operator==(const ActionError&) const = default;

 private:
  std::string code_;
  std::string message_;
};

using Encoded = std::expected<EncodedAction, ActionError>;

class Encoder {
 public:
  using FromArgs = std::function<Encoded(const ActionArgs&)>;
  using FromText = std::function<Encoded(std::string_view)>;

  // An encoder that refuses every invocation with the code "quern.no_encoder".
  Encoder() = default;

  // An encoder that always gives `action`, for actions whose payload is decided when the
  // directory is built.
  static Encoder fixed(EncodedAction action);
  static Encoder from_args(FromArgs fn);
  // The text is the action's single input: see `resource::derive_input`.
  static Encoder from_text(FromText fn);

  bool takes_text() const { return std::holds_alternative<std::shared_ptr<const FromText>>(fn_); }

  // Callers normally use the form the encoder was made with; across forms, a text encoder given
  // arguments reads their member "value", and an argument encoder given a text sees it as that
  // member.
  Encoded operator()(const ActionArgs& args) const;
  Encoded operator()(std::string_view text) const;

 private:
  std::variant<std::shared_ptr<const FromArgs>, std::shared_ptr<const FromText>> fn_;
};

}  // namespace quern::actions

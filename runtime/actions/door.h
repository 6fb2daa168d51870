// The way in to a directory from outside the application that built it: surveying it into
// offers, and invoking one of its actions by operation id ("{resource id}#{action name}"; the id
// is split at its last "#", since action names never hold one). Stateless functions over a
// directory the caller owns; safe from any thread as long as the directory is not changed
// meanwhile and the transport is not shared.
//
// An invocation, in order: find the action (the first in directory order), refuse it when it
// is unavailable, check its confirmation policy, bind the arguments, run the encoder, and hand
// the encoded action to the transport. The first failure is the `DoorError`; nothing reaches
// the transport unless every step passed.
//
// Arguments: a JSON object bound to the action's parameters (`ActionArgs::bind_json`). For an
// action with a content input, the member "value" holds the content reference (a text, and it
// must be there); the other members are bound to the parameters. A text encoder receives the
// action's single input (`resource::derive_input`). The invocation metadata members `confirm`
// and `confirmation_phrase` are not arguments: callers take them out and pass the confirmation
// given instead (`invoke_json_confirmed`).
#pragma once

#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/actions/action_offer.h"
#include "runtime/actions/outcome.h"
#include "runtime/actions/resource.h"
#include "runtime/actions/transport.h"
#include "runtime/util/json.h"

namespace quern::actions::door {

class DoorError {
 public:
  enum class Kind {
    NotFound,              // no such resource or action in the directory
    Unavailable,           // the action cannot be performed now
    ConfirmationRequired,  // its confirmation policy is not met by the confirmation given
    InvalidArguments,      // the arguments do not bind
    EncodingFailed,        // the encoder refused
    TransportFailed,       // the transport refused the encoded action
  };

  DoorError(Kind kind, std::string code, std::string text)
      : kind_(kind), code_(std::move(code)), text_(std::move(text)) {}

  Kind kind() const { return kind_; }
  // "quern.not_found", "quern.unavailable", "quern.confirmation_required",
  // "quern.invalid_arguments", the encoder's own code, or "quern.transport_failed".
  const std::string& code() const { return code_; }
  // The failure text people see: an argument error's or encoder's display text, or one of
  // "no action \"x#y\" is published here", "{label} is unavailable: {detail}", "{label} requires
  // explicit confirmation", "{label} requires the exact confirmation phrase",
  // "the change could not be handed on: {error}".
  const std::string& display() const { return text_; }

  bool operator==(const DoorError&) const = default;

 private:
  Kind kind_;
  std::string code_;
  std::string text_;
};

using Invoked = std::expected<InvocationOutcome, DoorError>;

// One offer per action, in directory order: a resource's actions in order, then its children,
// depth first.
std::vector<ActionOffer> survey(std::span<const Resource> directory);
inline std::vector<ActionOffer> survey(const Resource& root) { return survey(std::span<const Resource>(&root, 1)); }
ActionOffer offer_for(const Resource& resource, const ActionSpec& action);

// The resource id and action name of a local operation id, or nothing when it holds no "#".
std::optional<std::pair<std::string_view, std::string_view>> split_operation_id(std::string_view operation);

struct Found {
  const Resource* resource = nullptr;
  const ActionSpec* action = nullptr;
};
std::optional<Found> find(std::span<const Resource> directory, std::string_view operation);

// For an action whose confirmation policy is None.
Invoked invoke_json(std::span<const Resource> directory, std::string_view operation, const Json& arguments,
                    std::string_view actor, ActionTransport& transport);
// With the confirmation the caller obtained: an action whose policy is Confirm needs
// `Confirmation::confirm()`, one whose policy is Phrase needs the same phrase, byte for byte.
// An action whose policy is None accepts any.
Invoked invoke_json_confirmed(std::span<const Resource> directory, std::string_view operation, const Json& arguments,
                              std::string_view actor, ActionTransport& transport, const Confirmation& given);

inline Invoked invoke_json(const Resource& root, std::string_view operation, const Json& arguments,
                           std::string_view actor, ActionTransport& transport) {
  return invoke_json(std::span<const Resource>(&root, 1), operation, arguments, actor, transport);
}
inline Invoked invoke_json_confirmed(const Resource& root, std::string_view operation, const Json& arguments,
                                     std::string_view actor, ActionTransport& transport, const Confirmation& given) {
  return invoke_json_confirmed(std::span<const Resource>(&root, 1), operation, arguments, actor, transport, given);
}

}  // namespace quern::actions::door

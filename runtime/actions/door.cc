#include "runtime/actions/door.h"

#include "runtime/util/quote.h"

namespace quern::actions::door {
namespace {

std::size_t count_actions(const Resource& resource) {
  std::size_t n = resource.actions().size();
  for (const Resource& child : resource.children()) n += count_actions(child);
  return n;
}

void survey_into(const Resource& resource, std::vector<ActionOffer>& out) {
  for (const ActionSpec& action : resource.actions()) out.push_back(offer_for(resource, action));
  for (const Resource& child : resource.children()) survey_into(child, out);
}

// The first resource with the id that carries the action: ids are unique by convention, and
// when they are not, the one that can answer is the one meant.
std::optional<Found> find_in(const Resource& resource, std::string_view id, std::string_view name) {
  if (resource.id() == id) {
    if (const ActionSpec* action = resource.find_action(name)) return Found{&resource, action};
  }
  for (const Resource& child : resource.children()) {
    if (auto found = find_in(child, id, name)) return found;
  }
  return std::nullopt;
}

std::unexpected<DoorError> refuse(DoorError::Kind kind, std::string code, std::string text) {
  return std::unexpected(DoorError(kind, std::move(code), std::move(text)));
}

std::optional<DoorError> check_confirmation(const ActionSpec& action, const Confirmation& given) {
  const Confirmation& policy = action.contract().confirmation;
  switch (policy.kind) {
    case Confirmation::Kind::None: return std::nullopt;
    case Confirmation::Kind::Confirm:
      if (given.kind == Confirmation::Kind::Confirm) return std::nullopt;
      return DoorError(DoorError::Kind::ConfirmationRequired, "quern.confirmation_required",
                       action.label() + " requires explicit confirmation");
    case Confirmation::Kind::Phrase:
      if (given.kind == Confirmation::Kind::Phrase && given.phrase == policy.phrase) return std::nullopt;
      return DoorError(DoorError::Kind::ConfirmationRequired, "quern.confirmation_required",
                       action.label() + " requires the exact confirmation phrase");
  }
  return std::nullopt;
}

std::expected<ActionArgs, ArgError> bind(const ActionSpec& action, const Json& arguments) {
  if (!action.content_input()) return ActionArgs::bind_json(action.params(), arguments);
  if (!arguments.is_object()) return std::unexpected(ArgError("", "the arguments must be a JSON object"));
  const Json* value = member(arguments, "value");
  if (value == nullptr || value->is_null()) {
    return std::unexpected(ArgError("value", "missing the content argument \"value\""));
  }
  if (!value->is_string()) return std::unexpected(ArgError("value", "the content argument \"value\" must be a text"));
  Json rest = arguments;
  rest.erase("value");
  auto bound = ActionArgs::bind_json(action.params(), rest);
  if (!bound) return std::unexpected(std::move(bound).error());
  Json all = bound->json();
  all["value"] = *value;
  return ActionArgs::unchecked(std::move(all));
}

}  // namespace

ActionOffer offer_for(const Resource& resource, const ActionSpec& action) {
  const ActionContract& contract = action.contract();
  return ActionOffer{
      .resource_id = resource.id(),
      .action_name = action.name(),
      .resource_kind = resource.kind(),
      .resource_label = resource.label(),
      .action_label = action.label(),
      .availability = action.availability(),
      .confirmation = contract.confirmation,
      .execution = action.execution(),
      .result = action.result(),
      .reversible = contract.reversible,
      .retry = contract.retry,
      .risk = action.offered_risk(),
      .required_role = contract.required_role,
      .parameters = action.params(),
      .resource_note = resource.note(),
      .content_input = action.content_input(),
      .description = action.description(),
      .input_summary = action.input_summary(),
      .destructive = action.is_destructive(),
      .policy_tags = action.policy_tags(),
  };
}

std::vector<ActionOffer> survey(std::span<const Resource> directory) {
  std::size_t n = 0;
  for (const Resource& root : directory) n += count_actions(root);
  std::vector<ActionOffer> out;
  out.reserve(n);
  for (const Resource& root : directory) survey_into(root, out);
  return out;
}

std::optional<std::pair<std::string_view, std::string_view>> split_operation_id(std::string_view operation) {
  const auto hash = operation.rfind('#');
  if (hash == std::string_view::npos) return std::nullopt;
  return std::pair{operation.substr(0, hash), operation.substr(hash + 1)};
}

std::optional<Found> find(std::span<const Resource> directory, std::string_view operation) {
  const auto parts = split_operation_id(operation);
  if (!parts) return std::nullopt;
  for (const Resource& root : directory) {
    if (auto found = find_in(root, parts->first, parts->second)) return found;
  }
  return std::nullopt;
}

Invoked invoke_json(std::span<const Resource> directory, std::string_view operation, const Json& arguments,
                    std::string_view actor, ActionTransport& transport) {
  return invoke_json_confirmed(directory, operation, arguments, actor, transport, Confirmation::none());
}

Invoked invoke_json_confirmed(std::span<const Resource> directory, std::string_view operation, const Json& arguments,
                              std::string_view actor, ActionTransport& transport, const Confirmation& given) {
  const auto found = find(directory, operation);
  if (!found) {
    return refuse(DoorError::Kind::NotFound, "quern.not_found",
                  "no action " + quote_escaped(operation) + " is published here");
  }
  const Resource& resource = *found->resource;
  const ActionSpec& action = *found->action;
  if (const Availability& a = action.availability(); !a.available) {
    std::string text = action.label() + " is unavailable";
    if (!a.detail.empty()) text += ": " + a.detail;
    return refuse(DoorError::Kind::Unavailable, "quern.unavailable", std::move(text));
  }
  if (auto refused = check_confirmation(action, given)) return std::unexpected(std::move(*refused));
  auto args = bind(action, arguments);
  if (!args) return refuse(DoorError::Kind::InvalidArguments, "quern.invalid_arguments", args.error().display());
  Encoded encoded =
      action.encoder().takes_text() ? action.encoder()(resource::derive_input(action, *args)) : action.encoder()(*args);
  if (!encoded) return refuse(DoorError::Kind::EncodingFailed, encoded.error().code(), encoded.error().display());
  ReplicatedAction change{
      .invocation_id = InvocationId::generate(),
      .resource_id = resource.id(),
      .action_name = action.name(),
      .actor = std::string(actor),
      .action = *encoded,
  };
  InvocationOutcome done{
      .invocation_id = change.invocation_id,
      .resource_id = change.resource_id,
      .action_name = change.action_name,
      .action = std::move(*encoded),
      .resources = {},
  };
  if (auto sent = transport.replicate(std::move(change)); !sent) {
    return refuse(DoorError::Kind::TransportFailed, "quern.transport_failed",
                  "the change could not be handed on: " + sent.error().to_string());
  }
  return done;
}

}  // namespace quern::actions::door

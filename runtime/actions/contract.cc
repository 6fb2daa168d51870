#include "runtime/actions/contract.h"

#include "runtime/util/quote.h"

namespace quern::actions {
namespace {

std::string bool_text(bool b) { return b ? "true" : "false"; }

}  // namespace

std::string to_string(const Confirmation& confirmation) {
  switch (confirmation.kind) {
    case Confirmation::Kind::None: return "None";
    case Confirmation::Kind::Confirm: return "Confirm";
    case Confirmation::Kind::Phrase: return "Phrase { phrase: " + quote_escaped(confirmation.phrase) + " }";
  }
  return "None";
}

std::string to_string(const Execution& execution) {
  switch (execution.kind) {
    case Execution::Kind::Immediate: return "Immediate";
    case Execution::Kind::Background: return "Background { cancellable: " + bool_text(execution.cancellable) + " }";
    case Execution::Kind::Streaming:
      return "Streaming { cancellable: " + bool_text(execution.cancellable) +
             ", item_schema: " + dump_json(execution.item_schema) + " }";
  }
  return "Immediate";
}

std::string to_string(const ActionResult& result) {
  switch (result.kind) {
    case ActionResult::Kind::None: return "None";
    case ActionResult::Kind::Resource: return "Resource { resource_kind: " + quote_escaped(result.resource_kind) + " }";
    case ActionResult::Kind::Job: return "Job";
    case ActionResult::Kind::Json: return "Json { schema: " + dump_json(result.schema) + " }";
  }
  return "None";
}

std::string to_string(Retry retry) {
  switch (retry) {
    case Retry::Idempotent: return "Idempotent";
    case Retry::RetryWithInvocationId: return "RetryWithInvocationId";
    case Retry::AtMostOnce: return "AtMostOnce";
  }
  return "AtMostOnce";
}

std::string to_string(Risk risk) {
  switch (risk) {
    case Risk::None: return "None";
    case Risk::Low: return "Low";
    case Risk::Destructive: return "Destructive";
    case Risk::Privileged: return "Privileged";
    case Risk::Sensitive: return "Sensitive";
  }
  return "Low";
}

std::string to_string(Role role) {
  switch (role) {
    case Role::None: return "None";
    case Role::Read: return "Read";
    case Role::Comment: return "Comment";
    case Role::Write: return "Write";
    case Role::Invite: return "Invite";
    case Role::Admin: return "Admin";
  }
  return "None";
}

}  // namespace quern::actions

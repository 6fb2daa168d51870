// One action as a directory offers it to planners: where it sits (resource id, kind, label,
// note), what it is (name, label, description, input summary), whether it can run now, its
// contract, its parameters and its content input. `door::survey` makes one per action; offers
// published by other participants carry the same fields. A plain value.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "runtime/actions/action_param.h"
#include "runtime/actions/action_spec.h"
#include "runtime/actions/contract.h"

namespace quern::actions {

struct ActionOffer {
  std::string resource_id;
  std::string action_name;
  std::string resource_kind;
  std::string resource_label;
  std::string action_label;
  Availability availability;
  Confirmation confirmation;
  Execution execution;
  ActionResult result;
  bool reversible = false;
  Retry retry = Retry::AtMostOnce;
  Risk risk = Risk::Low;
  Role required_role = Role::Write;
  std::vector<ActionParam> parameters;
  std::optional<std::string> resource_note;
  std::optional<ContentInput> content_input;
  // Carried from the ActionSpec beyond what planners print.
  std::optional<std::string> description;
  std::optional<std::string> input_summary;
  bool destructive = false;
  std::vector<std::string> policy_tags;

  // "{resource_id}#{action_name}", the local operation id.
  std::string operation_id() const { return resource_id + "#" + action_name; }
  bool consumes_produced_content() const { return content_input && content_input->consumes_produced_content; }

  bool operator==(const ActionOffer&) const = default;
};

}  // namespace quern::actions

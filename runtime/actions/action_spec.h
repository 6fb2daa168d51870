// One action a resource publishes: its name (unique within the resource), what it is called,
// the arguments it takes, the encoder that turns them into an operation, and its contract.
// Built once per directory and never changed afterwards; a value that is cheap to copy (the
// encoder is shared) and safe to read from several threads.
//
// Every adjuster returns the adjusted action, so an action reads as one expression:
//   ActionSpec("delete", "Delete table", Encoder::fixed(...)).destructive().reversible()
// Defaults: no description or input summary, no parameters, available, no policy tags, not
// destructive; the contract of an ordinary document edit (Write role, Low risk, no
// confirmation, AtMostOnce, not reversible), Immediate execution, no result.
// A destructive action is offered with at least `Risk::Destructive` (a None or Low risk is
// raised; Privileged and Sensitive are kept), whatever order the adjusters ran in.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "runtime/actions/action_param.h"
#include "runtime/actions/contract.h"
#include "runtime/actions/encoder.h"

namespace quern::actions {

// The argument of an action that takes content rather than words: a content reference (the
// hash of bytes in the blob store) passed as the member "value" of its arguments.
struct ContentInput {
  std::string name;         // what the content is, e.g. "content hash"
  std::string description;  // e.g. "Image content produced by the preceding action"
  // Set when the content is what the immediately preceding action produced, so a planner
  // binds it from that result instead of asking for words.
  bool consumes_produced_content = true;

  bool operator==(const ContentInput&) const = default;
};

class ActionSpec {
 public:
  ActionSpec(std::string name, std::string label, Encoder encoder)
      : name_(std::move(name)), label_(std::move(label)), encoder_(std::move(encoder)) {}

  const std::string& name() const { return name_; }
  const std::string& label() const { return label_; }
  const std::optional<std::string>& description() const { return description_; }
  const std::optional<std::string>& input_summary() const { return input_summary_; }
  // The kind of resource the action acts on; filled from the resource by `Resource::with_action`
  // when left empty.
  const std::string& resource_kind() const { return resource_kind_; }
  const std::vector<ActionParam>& params() const { return params_; }
  const std::optional<ContentInput>& content_input() const { return content_input_; }
  const Encoder& encoder() const { return encoder_; }
  const ActionContract& contract() const { return contract_; }
  const Execution& execution() const { return execution_; }
  const ActionResult& result() const { return result_; }
  const Availability& availability() const { return availability_; }
  const std::vector<std::string>& policy_tags() const { return policy_tags_; }
  bool is_destructive() const { return destructive_; }
  // The risk offers carry: the contract's, raised for a destructive action.
  Risk offered_risk() const;

  ActionSpec with_description(std::string text) const& { return ActionSpec(*this).with_description(std::move(text)); }
  ActionSpec with_description(std::string text) && {
    description_ = std::move(text);
    return std::move(*this);
  }
  ActionSpec with_input_summary(std::string text) const& {
    return ActionSpec(*this).with_input_summary(std::move(text));
  }
  ActionSpec with_input_summary(std::string text) && {
    input_summary_ = std::move(text);
    return std::move(*this);
  }
  ActionSpec with_resource_kind(std::string kind) const& {
    return ActionSpec(*this).with_resource_kind(std::move(kind));
  }
  ActionSpec with_resource_kind(std::string kind) && {
    resource_kind_ = std::move(kind);
    return std::move(*this);
  }
  ActionSpec with_param(ActionParam param) const& { return ActionSpec(*this).with_param(std::move(param)); }
  ActionSpec with_param(ActionParam param) && {
    params_.push_back(std::move(param));
    return std::move(*this);
  }
  ActionSpec with_params(std::vector<ActionParam> params) const& {
    return ActionSpec(*this).with_params(std::move(params));
  }
  ActionSpec with_params(std::vector<ActionParam> params) && {
    params_ = std::move(params);
    return std::move(*this);
  }
  ActionSpec with_content_input(ContentInput input) const& {
    return ActionSpec(*this).with_content_input(std::move(input));
  }
  ActionSpec with_content_input(ContentInput input) && {
    content_input_ = std::move(input);
    return std::move(*this);
  }
  // Sets the role, risk, confirmation, retry and reversibility together.
  ActionSpec with_contract(ActionContract contract) const& { return ActionSpec(*this).with_contract(contract); }
  ActionSpec with_contract(ActionContract contract) && {
    contract_ = std::move(contract);
    return std::move(*this);
  }
  ActionSpec execution(Execution execution) const& { return ActionSpec(*this).execution(std::move(execution)); }
  ActionSpec execution(Execution execution) && {
    execution_ = std::move(execution);
    return std::move(*this);
  }
  ActionSpec returns(ActionResult result) const& { return ActionSpec(*this).returns(std::move(result)); }
  ActionSpec returns(ActionResult result) && {
    result_ = std::move(result);
    return std::move(*this);
  }
  ActionSpec destructive(bool on = true) const& { return ActionSpec(*this).destructive(on); }
  ActionSpec destructive(bool on = true) && {
    destructive_ = on;
    return std::move(*this);
  }
  ActionSpec reversible(bool on = true) const& { return ActionSpec(*this).reversible(on); }
  ActionSpec reversible(bool on = true) && {
    contract_.reversible = on;
    return std::move(*this);
  }
  ActionSpec with_availability(Availability availability) const& {
    return ActionSpec(*this).with_availability(std::move(availability));
  }
  ActionSpec with_availability(Availability availability) && {
    availability_ = std::move(availability);
    return std::move(*this);
  }
  ActionSpec with_policy_tags(std::vector<std::string> tags) const& {
    return ActionSpec(*this).with_policy_tags(std::move(tags));
  }
  ActionSpec with_policy_tags(std::vector<std::string> tags) && {
    policy_tags_ = std::move(tags);
    return std::move(*this);
  }

 private:
  std::string name_;
  std::string label_;
  std::optional<std::string> description_;
  std::optional<std::string> input_summary_;
  std::string resource_kind_;
  std::vector<ActionParam> params_;
  std::optional<ContentInput> content_input_;
  Encoder encoder_;
  ActionContract contract_;
  Execution execution_;
  ActionResult result_;
  Availability availability_;
  std::vector<std::string> policy_tags_;
  bool destructive_ = false;
};

}  // namespace quern::actions

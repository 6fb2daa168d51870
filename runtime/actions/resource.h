// A thing an application publishes, with the actions that can be done to it and the resources
// inside it: an app's action directory is a list of such trees, rebuilt from its document
// whenever it is asked for. Ids are unique within a directory by convention ("prefix:id"); when
// they are not, look-ups take the first in directory order (each resource, then its children
// in order, depth first). Plain values, safe to read from several threads.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/actions/action_spec.h"
#include "runtime/actions/encoder.h"

namespace quern::actions {

class Resource {
 public:
  Resource(std::string id, std::string kind, std::string label)
      : id_(std::move(id)), kind_(std::move(kind)), label_(std::move(label)) {}

  const std::string& id() const { return id_; }
  const std::string& kind() const { return kind_; }
  const std::string& label() const { return label_; }
  // What the resource says about itself, where an application states a fact it has no action
  // to hang on.
  const std::optional<std::string>& note() const { return note_; }
  const std::vector<ActionSpec>& actions() const { return actions_; }
  const std::vector<Resource>& children() const { return children_; }

  // The grown resource. An action whose resource kind is empty takes this resource's kind.
  Resource with_action(ActionSpec action) const& { return Resource(*this).with_action(std::move(action)); }
  Resource with_action(ActionSpec action) && {
    add_action(std::move(action));
    return std::move(*this);
  }
  Resource with_child(Resource child) const& { return Resource(*this).with_child(std::move(child)); }
  Resource with_child(Resource child) && {
    add_child(std::move(child));
    return std::move(*this);
  }
  Resource with_note(std::string note) const& { return Resource(*this).with_note(std::move(note)); }
  Resource with_note(std::string note) && {
    note_ = std::move(note);
    return std::move(*this);
  }

  // The same, in place, for directories built in loops.
  void add_action(ActionSpec action);
  void add_child(Resource child) { children_.push_back(std::move(child)); }

  const ActionSpec* find_action(std::string_view name) const;

 private:
  std::string id_;
  std::string kind_;
  std::string label_;
  std::optional<std::string> note_;
  std::vector<ActionSpec> actions_;
  std::vector<Resource> children_;
};

using Directory = std::vector<Resource>;

// Encoder helpers.
namespace resource {

// The one text an action takes, as a text encoder receives it: the content reference (the
// member "value") for an action with a content input, else its first parameter's text; an
// absent argument, or one that is not a text, reads as empty.
std::string derive_input(const ActionSpec& action, const ActionArgs& args);

// Wraps `encoder` so that an encoding of any other operation type fails with the code
// "quern.invalid_operation_type" instead of being passed on.
Encoder enforce_operation_type(Encoder encoder, std::string operation_type);

}  // namespace resource

}  // namespace quern::actions

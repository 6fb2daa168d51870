// The arguments of one invocation, bound to an action's parameters. `bind_json` is the only
// checked way in: it takes the JSON object a planner or a caller supplied and either gives the
// bound arguments or an `ArgError` whose display text says, for people, what is wrong. The
// readers then hand encoders one named argument at a time. Plain values, safe to share.
//
// Binding, in this order (the first failure is the error):
//   1. the arguments are a JSON object;
//   2. every member names a parameter (unknown members are refused);
//   3. for each parameter in declaration order: a required one is present and not null (an
//      optional one given as null counts as absent and is dropped); the value has the
//      parameter's type (see action_param.h); it is one of the choices when there are any (a
//      text compares exactly, another value by its compact JSON text); it satisfies the
//      parameter's schema.
// Error texts never quote the value given, so a secret cannot leak through them.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "runtime/actions/action_param.h"
#include "runtime/util/json.h"

namespace quern::actions {

class ArgError {
 public:
  ArgError(std::string param, std::string text) : param_(std::move(param)), text_(std::move(text)) {}

  // The failure text people see ("missing required argument \"target\"").
  const std::string& display() const { return text_; }
  // The parameter at fault; empty when the failure concerns the whole object.
  const std::string& param() const { return param_; }

  bool operator==(const ArgError&) const = default;

 private:
  std::string param_;
  std::string text_;
};

class ActionArgs {
 public:
  ActionArgs() : values_(Json::object()) {}

  static std::expected<ActionArgs, ArgError> bind_json(std::span<const ActionParam> params, const Json& arguments);
  // Wraps an object without checking it, for callers that have checked it already or that feed
  // an encoder directly. A value that is not an object reads as no arguments.
  static ActionArgs unchecked(Json values);

  // Nothing when the argument is absent or of another JSON type.
  std::optional<std::string> text(std::string_view name) const;
  std::optional<double> number(std::string_view name) const;  // any JSON number
  std::optional<std::int64_t> integer(std::string_view name) const;
  std::optional<bool> boolean(std::string_view name) const;
  const Json* array(std::string_view name) const;   // nullptr unless a JSON array
  const Json* object(std::string_view name) const;  // nullptr unless a JSON object
  bool has(std::string_view name) const { return member(values_, name) != nullptr; }

  // The bound object: the given members minus optional nulls, in the order given.
  const Json& json() const { return values_; }

 private:
  explicit ActionArgs(Json values) : values_(std::move(values)) {}
  Json values_;
};

// Whether `text` is an ISO 8601 calendar date or date and time as the datetime type accepts.
bool is_iso_datetime(std::string_view text);

}  // namespace quern::actions

// One named argument of an action: what it is for (the description doubles as the prompt for
// its value), the JSON type it takes, whether it must be given, the texts it may be chosen from,
// and an optional JSON schema that constrains it further. Plain values, safe to share.
//
// What each type accepts when arguments are bound (`ActionArgs::bind_json`):
//   text      a JSON string
//   integer   a JSON integer (written without a fraction or exponent; 3.0 is not one)
//   number    any JSON number
//   boolean   true or false
//   object    a JSON object
//   array     a JSON array
//   resource  a JSON string naming a resource: 1 to 4096 bytes, no control characters and no
//             white space at either end ("word-processor.comment:c1")
//   datetime  a JSON string holding an ISO 8601 calendar date ("2024-02-29") or date and time
//             ("2024-02-29T10:00", "...T10:00:30.5Z", "...T10:00:30+02:00"); fields are range
//             checked, February 29 only in leap years, a second of 60 allowed
//   secret    a non-empty JSON string; its value never appears in an error text
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/util/json.h"

namespace quern::actions {

// The values are the type codes that travel with published offers.
enum class ParamType : std::uint8_t {
  Text = 0,
  Integer = 1,
  Number = 2,
  Boolean = 3,
  Object = 4,
  Array = 5,
  Resource = 6,
  Datetime = 7,
  Secret = 8,
};

// "text", "integer", "number", "boolean", "object", "array", "resource", "datetime", "secret".
std::string_view type_name(ParamType type);
std::optional<ParamType> param_type_from_code(std::uint64_t code);
std::optional<ParamType> param_type_from_name(std::string_view name);

struct ActionParam {
  std::string name;
  std::string description;
  ParamType type = ParamType::Text;
  bool required = false;
  std::vector<std::string> choices;  // empty: any value of the type
  std::optional<Json> constraints;   // a JSON schema, see `with_schema`

  static ActionParam text(std::string name, bool required, std::string description) {
    return {std::move(name), std::move(description), ParamType::Text, required, {}, std::nullopt};
  }
  static ActionParam of_type(std::string name, ParamType type, bool required, std::string description) {
    return {std::move(name), std::move(description), type, required, {}, std::nullopt};
  }

  // Attaches a JSON schema. Binding enforces its keywords `type`, `minItems`, `maxItems`,
  // `uniqueItems`, `items`, `minLength`, `maxLength` (in characters) and `pattern` (an
  // ECMAScript regular expression searched for in the text, matched against its UTF-8 bytes);
  // other keywords are carried but not checked. A schema that cannot be checked (a pattern that
  // does not compile, a `minItems` that is not a count) makes every binding of the parameter fail.
  ActionParam with_schema(Json schema) const& { return ActionParam(*this).with_schema(std::move(schema)); }
  ActionParam with_schema(Json schema) && {
    constraints = std::move(schema);
    return std::move(*this);
  }
  ActionParam with_choices(std::vector<std::string> values) const& {
    return ActionParam(*this).with_choices(std::move(values));
  }
  ActionParam with_choices(std::vector<std::string> values) && {
    choices = std::move(values);
    return std::move(*this);
  }

  bool operator==(const ActionParam&) const = default;
};

}  // namespace quern::actions

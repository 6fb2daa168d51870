// JSON values for payloads, plans, model requests and contexts. `Json` keeps members in the
// order they were inserted, which the protocol texts of the system rely on.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

#include "runtime/util/error.h"

namespace quern {

using Json = nlohmann::ordered_json;

// Parses `text` as one JSON document; the error carries the parser's message.
Result<Json> parse_json(std::string_view text);
// Compact form; never throws (invalid UTF-8 inside strings is replaced).
std::string dump_json(const Json& value);
// Two-space indented form, for people.
std::string dump_json_pretty(const Json& value);

// Member look-ups that never throw: nothing when `object` is not an object, lacks the member,
// or holds a value of another type.
const Json* member(const Json& object, std::string_view name);
std::optional<std::string> string_member(const Json& object, std::string_view name);
std::optional<bool> bool_member(const Json& object, std::string_view name);
std::optional<std::uint64_t> unsigned_member(const Json& object, std::string_view name);
std::optional<std::int64_t> signed_member(const Json& object, std::string_view name);

}  // namespace quern

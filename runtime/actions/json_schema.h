// Checks a JSON value against the subset of JSON schema that action parameters use (see
// `ActionParam::with_schema`). Used by argument binding; callable from any thread.
//
// Schemas may come from other participants, so checking is bounded whatever they hold: nesting
// deeper than `kMaxSchemaDepth` is refused, patterns are run by a matcher whose time grows with
// the pattern's size times the text's length (never exponentially, never by recursion over the
// text), a pattern whose automaton would be larger than `kMaxPatternStates` is refused, and a
// text too long for its pattern's budget is refused rather than checked. Back-references are
// not supported: a pattern holding one does not compile.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "runtime/util/json.h"

namespace quern::actions::schema {

inline constexpr int kMaxSchemaDepth = 32;
inline constexpr double kMaxPatternStates = 5000;
// Most pattern states times text bytes one check may cost.
inline constexpr double kMaxPatternWork = 2e7;

// A failure: `broken` when the schema itself cannot be checked, else the value breaks it. The
// text names the value by `subject` ("argument \"photo_ids\"", "argument \"photo_ids\"[2]").
struct Failure {
  bool broken = false;
  std::string text;
};

// Nothing when `value` satisfies `schema`.
std::optional<Failure> check(const Json& schema, const Json& value, std::string_view subject);

// An upper estimate of the number of automaton states `pattern` compiles to.
double estimate_pattern_states(std::string_view pattern);

}  // namespace quern::actions::schema

#include "runtime/actions/action_param.h"

#include <array>

namespace quern::actions {
namespace {

constexpr std::array<std::string_view, 9> kTypeNames = {"text",  "integer",  "number",   "boolean", "object",
                                                        "array", "resource", "datetime", "secret"};

}  // namespace

std::string_view type_name(ParamType type) {
  const auto code = static_cast<std::size_t>(type);
  return code < kTypeNames.size() ? kTypeNames[code] : "text";
}

std::optional<ParamType> param_type_from_code(std::uint64_t code) {
  if (code >= kTypeNames.size()) return std::nullopt;
  return static_cast<ParamType>(code);
}

std::optional<ParamType> param_type_from_name(std::string_view name) {
  for (std::size_t i = 0; i < kTypeNames.size(); ++i) {
    if (kTypeNames[i] == name) return static_cast<ParamType>(i);
  }
  return std::nullopt;
}

}  // namespace quern::actions

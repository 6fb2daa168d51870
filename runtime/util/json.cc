#include "runtime/util/json.h"

namespace quern {

Result<Json> parse_json(std::string_view text) {
  try {
    return Json::parse(text.begin(), text.end());
  } catch (const Json::exception& e) {
    return fail(e.what());
  }
}

std::string dump_json(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

std::string dump_json_pretty(const Json& value) { return value.dump(2, ' ', false, Json::error_handler_t::replace); }

const Json* member(const Json& object, std::string_view name) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(name);
  if (it == object.end()) return nullptr;
  return &*it;
}

std::optional<std::string> string_member(const Json& object, std::string_view name) {
  const Json* m = member(object, name);
  if (m == nullptr || !m->is_string()) return std::nullopt;
  return m->get<std::string>();
}

std::optional<bool> bool_member(const Json& object, std::string_view name) {
  const Json* m = member(object, name);
  if (m == nullptr || !m->is_boolean()) return std::nullopt;
  return m->get<bool>();
}

std::optional<std::uint64_t> unsigned_member(const Json& object, std::string_view name) {
  const Json* m = member(object, name);
  if (m == nullptr) return std::nullopt;
  if (m->is_number_unsigned()) return m->get<std::uint64_t>();
  if (m->is_number_integer() && m->get<std::int64_t>() >= 0) return static_cast<std::uint64_t>(m->get<std::int64_t>());
  return std::nullopt;
}

std::optional<std::int64_t> signed_member(const Json& object, std::string_view name) {
  const Json* m = member(object, name);
  if (m == nullptr) return std::nullopt;
  if (m->is_number_unsigned()) {
    const auto u = m->get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<std::int64_t>(u);
  }
  if (m->is_number_integer()) return m->get<std::int64_t>();
  return std::nullopt;
}

}  // namespace quern

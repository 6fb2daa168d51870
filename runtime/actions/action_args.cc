#include "runtime/actions/action_args.h"

#include <algorithm>

#include "runtime/actions/json_schema.h"
#include "runtime/util/quote.h"
#include "runtime/util/unicode.h"

namespace quern::actions {
namespace {

constexpr std::size_t kMaxResourceIdBytes = 4096;

bool is_resource_id(const std::string& text) {
  if (text.empty() || text.size() > kMaxResourceIdBytes) return false;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) return false;
  }
  return unicode::trim(text).size() == text.size();
}

// Nothing when `value` has `type`, else what it must be.
std::optional<std::string_view> type_mismatch(ParamType type, const Json& value) {
  switch (type) {
    case ParamType::Text:
      if (value.is_string()) return std::nullopt;
      return "a text";
    case ParamType::Integer:
      if (value.is_number_integer()) return std::nullopt;
      return "an integer";
    case ParamType::Number:
      if (value.is_number()) return std::nullopt;
      return "a number";
    case ParamType::Boolean:
      if (value.is_boolean()) return std::nullopt;
      return "true or false";
    case ParamType::Object:
      if (value.is_object()) return std::nullopt;
      return "a JSON object";
    case ParamType::Array:
      if (value.is_array()) return std::nullopt;
      return "a JSON array";
    case ParamType::Resource:
      if (value.is_string() && is_resource_id(value.get_ref<const std::string&>())) return std::nullopt;
      return "a resource id";
    case ParamType::Datetime:
      if (value.is_string() && is_iso_datetime(value.get_ref<const std::string&>())) return std::nullopt;
      return "an ISO 8601 date or date and time";
    case ParamType::Secret:
      if (value.is_string() && !value.get_ref<const std::string&>().empty()) return std::nullopt;
      return "a non-empty text";
  }
  return "a text";
}

std::string quoted_list(std::span<const std::string> names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += ", ";
    out += quote_escaped(names[i]);
  }
  return out;
}

std::string accepted_names(std::span<const ActionParam> params) {
  if (params.empty()) return "this action takes no arguments";
  std::vector<std::string> names;
  names.reserve(params.size());
  for (const ActionParam& p : params) names.push_back(p.name);
  return "this action takes " + quoted_list(names);
}

// Reads exactly `n` decimal digits at `pos`.
bool digits(std::string_view text, std::size_t& pos, std::size_t n, int& out) {
  if (pos + n > text.size()) return false;
  out = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const char c = text[pos + i];
    if (c < '0' || c > '9') return false;
    out = out * 10 + (c - '0');
  }
  pos += n;
  return true;
}

bool expect(std::string_view text, std::size_t& pos, char c) {
  if (pos >= text.size() || text[pos] != c) return false;
  ++pos;
  return true;
}

int days_in_month(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  return month == 2 && leap ? 29 : kDays[month - 1];
}

}  // namespace

bool is_iso_datetime(std::string_view text) {
  std::size_t pos = 0;
  int year = 0, month = 0, day = 0;
  if (!digits(text, pos, 4, year) || !expect(text, pos, '-') || !digits(text, pos, 2, month) ||
      !expect(text, pos, '-') || !digits(text, pos, 2, day)) {
    return false;
  }
  if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month)) return false;
  if (pos == text.size()) return true;
  if (text[pos] != 'T' && text[pos] != 't') return false;
  ++pos;
  int hour = 0, minute = 0, second = 0;
  if (!digits(text, pos, 2, hour) || !expect(text, pos, ':') || !digits(text, pos, 2, minute)) return false;
  if (hour > 23 || minute > 59) return false;
  if (pos < text.size() && text[pos] == ':') {
    ++pos;
    if (!digits(text, pos, 2, second) || second > 60) return false;
    if (pos < text.size() && (text[pos] == '.' || text[pos] == ',')) {
      ++pos;
      const std::size_t start = pos;
      while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') ++pos;
      if (pos == start) return false;
    }
  }
  if (pos == text.size()) return true;
  if (text[pos] == 'Z' || text[pos] == 'z') return pos + 1 == text.size();
  if (text[pos] != '+' && text[pos] != '-') return false;
  ++pos;
  int zone_hour = 0, zone_minute = 0;
  if (!digits(text, pos, 2, zone_hour)) return false;
  if (pos < text.size() && text[pos] == ':') ++pos;
  if (!digits(text, pos, 2, zone_minute)) return false;
  return zone_hour <= 23 && zone_minute <= 59 && pos == text.size();
}

std::expected<ActionArgs, ArgError> ActionArgs::bind_json(std::span<const ActionParam> params, const Json& arguments) {
  if (!arguments.is_object()) return std::unexpected(ArgError("", "the arguments must be a JSON object"));
  auto find_param = [&](std::string_view name) {
    return std::find_if(params.begin(), params.end(), [&](const ActionParam& p) { return p.name == name; });
  };
  for (auto it = arguments.begin(); it != arguments.end(); ++it) {
    if (find_param(it.key()) == params.end()) {
      return std::unexpected(
          ArgError(it.key(), "unknown argument " + quote_escaped(it.key()) + " (" + accepted_names(params) + ")"));
    }
  }
  for (const ActionParam& param : params) {
    const std::string subject = "argument " + quote_escaped(param.name);
    const Json* value = member(arguments, param.name);
    if (value == nullptr || value->is_null()) {
      if (param.required) return std::unexpected(ArgError(param.name, "missing required " + subject));
      continue;
    }
    if (auto want = type_mismatch(param.type, *value)) {
      return std::unexpected(ArgError(param.name, subject + " must be " + std::string(*want)));
    }
    if (!param.choices.empty()) {
      const std::string given = value->is_string() ? value->get<std::string>() : dump_json(*value);
      if (std::find(param.choices.begin(), param.choices.end(), given) == param.choices.end()) {
        return std::unexpected(ArgError(param.name, subject + " must be one of " + quoted_list(param.choices)));
      }
    }
    if (param.constraints) {
      if (auto failure = schema::check(*param.constraints, *value, subject)) {
        return std::unexpected(ArgError(param.name, std::move(failure->text)));
      }
    }
  }
  Json bound = Json::object();
  for (auto it = arguments.begin(); it != arguments.end(); ++it) {
    if (!it.value().is_null()) bound[it.key()] = it.value();
  }
  return ActionArgs(std::move(bound));
}

ActionArgs ActionArgs::unchecked(Json values) {
  if (!values.is_object()) return ActionArgs();
  return ActionArgs(std::move(values));
}

std::optional<std::string> ActionArgs::text(std::string_view name) const { return string_member(values_, name); }

std::optional<double> ActionArgs::number(std::string_view name) const {
  const Json* v = member(values_, name);
  if (v == nullptr || !v->is_number()) return std::nullopt;
  return v->get<double>();
}

std::optional<std::int64_t> ActionArgs::integer(std::string_view name) const { return signed_member(values_, name); }

std::optional<bool> ActionArgs::boolean(std::string_view name) const { return bool_member(values_, name); }

const Json* ActionArgs::array(std::string_view name) const {
  const Json* v = member(values_, name);
  return v != nullptr && v->is_array() ? v : nullptr;
}

const Json* ActionArgs::object(std::string_view name) const {
  const Json* v = member(values_, name);
  return v != nullptr && v->is_object() ? v : nullptr;
}

}  // namespace quern::actions

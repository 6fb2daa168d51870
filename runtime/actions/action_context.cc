#include "runtime/actions/action_context.h"

#include "runtime/util/quote.h"
#include "runtime/util/unicode.h"

namespace quern::actions {
namespace {

constexpr std::size_t kMaxMessageChars = 240;

std::string collapse_white_space(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool pending_space = false;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t start = pos;
    const char32_t c = unicode::next_char(text, pos);
    if (unicode::is_white_space(c)) {
      pending_space = !out.empty();
      continue;
    }
    if (pending_space) out.push_back(' ');
    pending_space = false;
    out.append(text.substr(start, pos - start));
  }
  return out;
}

Json optional_text(const std::optional<std::string>& text) { return text ? Json(*text) : Json(nullptr); }

// Reads the text members `names` of the inner record `what`.
Result<std::vector<std::string>> read_record(const Json& json, std::string_view what,
                                             std::initializer_list<std::string_view> names) {
  if (!json.is_object()) return fail("the context's " + std::string(what) + " is not an object");
  std::vector<std::string> out;
  for (std::string_view name : names) {
    auto text = string_member(json, name);
    if (!text) {
      return fail("the context's " + std::string(what) + " has no text " + quote_escaped(name));
    }
    out.push_back(std::move(*text));
  }
  return out;
}

// A member that is missing or null is absent.
const Json* present(const Json& json, std::string_view name) {
  const Json* m = member(json, name);
  return m != nullptr && !m->is_null() ? m : nullptr;
}

}  // namespace

ActionContext ActionContext::with_facet(std::string key, std::string value) const& {
  return ActionContext(*this).with_facet(std::move(key), std::move(value));
}

ActionContext ActionContext::with_facet(std::string key, std::string value) && {
  facets.push_back(ActionFacet{std::move(key), std::move(value)});
  return std::move(*this);
}

std::string ActionContext::change_message() const {
  std::string head = collapse_white_space(action_label);
  if (head.empty() && resource) head = collapse_white_space(resource->label);
  if (head.empty() && app) head = collapse_white_space(app->label);
  if (head.empty()) head = "Change";
  std::string detail = group ? collapse_white_space(group->label) : std::string();
  if (detail.empty() && purpose) detail = collapse_white_space(*purpose);
  std::string message = detail.empty() || detail == head ? head : head + ": " + detail;
  if (unicode::char_count(message) > kMaxMessageChars) {
    message = std::string(unicode::first_chars(message, kMaxMessageChars - 1)) + "…";
  }
  return message;
}

Json ActionContext::to_json() const {
  Json out = Json::object();
  out["app"] = app ? Json{{"id", app->id}, {"label", app->label}} : Json(nullptr);
  out["resource"] =
      resource ? Json{{"id", resource->id}, {"kind", resource->kind}, {"label", resource->label}} : Json(nullptr);
  out["action_label"] = action_label;
  out["purpose"] = optional_text(purpose);
  out["group"] = group ? Json{{"id", group->id}, {"label", group->label}, {"kind", group->kind}} : Json(nullptr);
  Json facet_list = Json::array();
  for (const ActionFacet& f : facets) facet_list.push_back(Json{{"key", f.key}, {"value", f.value}});
  out["facets"] = std::move(facet_list);
  return out;
}

Result<ActionContext> ActionContext::from_json(const Json& json) {
  if (!json.is_object()) return fail("the action context is not a JSON object");
  ActionContext ctx;
  if (const Json* app = present(json, "app")) {
    auto f = QUERN_TRY(read_record(*app, "app", {"id", "label"}));
    ctx.app = ActionApp{std::move(f[0]), std::move(f[1])};
  }
  if (const Json* resource = present(json, "resource")) {
    auto f = QUERN_TRY(read_record(*resource, "resource", {"id", "kind", "label"}));
    ctx.resource = ActionResource{std::move(f[0]), std::move(f[1]), std::move(f[2])};
  }
  if (const Json* label = present(json, "action_label")) {
    if (!label->is_string()) return fail("the context's action_label is not a text");
    ctx.action_label = label->get<std::string>();
  }
  if (const Json* purpose = present(json, "purpose")) {
    if (!purpose->is_string()) return fail("the context's purpose is not a text");
    ctx.purpose = purpose->get<std::string>();
  }
  if (const Json* group = present(json, "group")) {
    auto f = QUERN_TRY(read_record(*group, "group", {"id", "label", "kind"}));
    ctx.group = ActionGroup{std::move(f[0]), std::move(f[1]), std::move(f[2])};
  }
  if (const Json* facets = present(json, "facets")) {
    if (!facets->is_array()) return fail("the context's facets are not a list");
    for (const Json& facet : *facets) {
      auto f = QUERN_TRY(read_record(facet, "facet", {"key", "value"}));
      ctx.facets.push_back(ActionFacet{std::move(f[0]), std::move(f[1])});
    }
  }
  return ctx;
}

namespace context {

std::optional<std::string> nonempty(std::string_view text) {
  if (text.empty()) return std::nullopt;
  return std::string(text);
}

}  // namespace context

}  // namespace quern::actions

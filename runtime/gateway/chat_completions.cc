#include "runtime/gateway/chat_completions.h"

#include <string>

#include "runtime/util/unicode.h"

namespace quern::gateway {
namespace {

// Text of a content value that is either a string or an array of text blocks.
std::string text_of(const Json& content) {
  if (content.is_string()) return content.get<std::string>();
  std::string out;
  if (!content.is_array()) return out;
  for (const Json& block : content) {
    if (string_member(block, "type") != "text") continue;
    if (auto t = string_member(block, "text")) {
      if (!out.empty()) out += "\n";
      out += *t;
    }
  }
  return out;
}

Json translate_tool(const Json& tool) {
  Json function = Json::object();
  if (const Json* name = member(tool, "name")) function["name"] = *name;
  if (const Json* description = member(tool, "description")) function["description"] = *description;
  const Json* schema = member(tool, "input_schema");
  function["parameters"] = schema != nullptr ? *schema : Json{{"type", "object"}, {"properties", Json::object()}};
  return Json{{"type", "function"}, {"function", std::move(function)}};
}

Result<Json> translate_tool_choice(const Json& choice) {
  const auto type = string_member(choice, "type");
  if (type == "auto") return Json("auto");
  if (type == "any") return Json("required");
  if (type == "none") return Json("none");
  if (type == "tool") {
    const auto name = string_member(choice, "name");
    if (!name) return fail("tool_choice of type \"tool\" names no tool");
    return Json{{"type", "function"}, {"function", {{"name", *name}}}};
  }
  return fail("tool_choice has an unknown type");
}

void translate_assistant(const Json& content, Json& out) {
  Json message = Json::object();
  message["role"] = "assistant";
  if (!content.is_array()) {
    message["content"] = text_of(content);
    out.push_back(std::move(message));
    return;
  }
  const std::string text = text_of(content);
  Json calls = Json::array();
  for (const Json& block : content) {
    if (string_member(block, "type") != "tool_use") continue;
    const Json* input = member(block, "input");
    Json function = Json::object();
    function["name"] = string_member(block, "name").value_or("");
    function["arguments"] = input != nullptr && input->is_string()
                                ? input->get<std::string>()
                                : dump_json(input != nullptr ? *input : Json::object());
    calls.push_back(
        Json{{"id", string_member(block, "id").value_or("")}, {"type", "function"}, {"function", std::move(function)}});
  }
  message["content"] = text.empty() && !calls.empty() ? Json(nullptr) : Json(text);
  if (!calls.empty()) message["tool_calls"] = std::move(calls);
  out.push_back(std::move(message));
}

void translate_user(const std::string& role, const Json& content, Json& out) {
  if (!content.is_array()) {
    out.push_back(Json{{"role", role}, {"content", text_of(content)}});
    return;
  }
  std::string text;
  for (const Json& block : content) {
    const auto type = string_member(block, "type");
    if (type == "tool_result") {
      const Json* result = member(block, "content");
      out.push_back(Json{{"role", "tool"},
                         {"tool_call_id", string_member(block, "tool_use_id").value_or("")},
                         {"content", result != nullptr ? text_of(*result) : std::string()}});
    } else if (type == "text") {
      if (!text.empty()) text += "\n";
      text += string_member(block, "text").value_or("");
    }
  }
  if (!text.empty()) out.push_back(Json{{"role", role}, {"content", std::move(text)}});
}

std::string stop_reason_for(std::string_view finish_reason) {
  if (finish_reason == "stop") return "end_turn";
  if (finish_reason == "length") return "max_tokens";
  if (finish_reason == "tool_calls" || finish_reason == "function_call") return "tool_use";
  if (finish_reason == "content_filter") return "refusal";
  return std::string(finish_reason);
}

Json parse_arguments(const Json* arguments) {
  if (arguments == nullptr || arguments->is_null()) return Json::object();
  if (!arguments->is_string()) return *arguments;  // some servers send the object itself
  const std::string text = arguments->get<std::string>();
  if (unicode::trim(text).empty()) return Json::object();
  auto parsed = parse_json(text);
  return parsed ? std::move(*parsed) : Json(text);
}

Json tool_use_block(const Json& call, std::size_t index) {
  const Json* function = member(call, "function");
  Json block = Json::object();
  block["type"] = "tool_use";
  block["id"] = string_member(call, "id").value_or("");
  if (block["id"].get<std::string>().empty()) block["id"] = "call_" + std::to_string(index);
  if (auto name = function != nullptr ? string_member(*function, "name") : std::nullopt) block["name"] = *name;
  block["input"] = parse_arguments(function != nullptr ? member(*function, "arguments") : nullptr);
  return block;
}

}  // namespace

Result<Json> to_chat_completions(const Json& request, std::string_view model) {
  if (!request.is_object()) return fail("the model request is not a JSON object");
  Json out = Json::object();
  out["model"] = std::string(model);
  if (const Json* max_tokens = member(request, "max_tokens")) out["max_tokens"] = *max_tokens;
  for (const char* name : {"temperature", "top_p"}) {
    if (const Json* v = member(request, name)) out[name] = *v;
  }
  if (const Json* stop = member(request, "stop_sequences")) out["stop"] = *stop;

  Json messages = Json::array();
  if (const Json* system = member(request, "system")) {
    messages.push_back(Json{{"role", "system"}, {"content", text_of(*system)}});
  }
  if (const Json* list = member(request, "messages")) {
    if (!list->is_array()) return fail("the model request's messages are not an array");
    for (const Json& message : *list) {
      const auto role = string_member(message, "role");
      if (!role) return fail("a message of the model request has no role");
      const Json* content = member(message, "content");
      const Json empty = "";
      if (*role == "assistant") {
        translate_assistant(content != nullptr ? *content : empty, messages);
      } else {
        translate_user(*role, content != nullptr ? *content : empty, messages);
      }
    }
  }
  out["messages"] = std::move(messages);

  if (const Json* tools = member(request, "tools")) {
    if (!tools->is_array()) return fail("the model request's tools are not an array");
    Json functions = Json::array();
    for (const Json& tool : *tools) functions.push_back(translate_tool(tool));
    if (!functions.empty()) out["tools"] = std::move(functions);
  }
  if (const Json* choice = member(request, "tool_choice")) {
    auto translated = translate_tool_choice(*choice);
    if (!translated) return std::unexpected(translated.error());
    out["tool_choice"] = std::move(*translated);
  }
  return out;
}

Result<Json> from_chat_completions(std::string_view body) {
  auto parsed = parse_json(body);
  if (!parsed) return fail("unreadable chat-completions response: " + parsed.error().message());
  const Json& response = *parsed;
  const Json* choices = member(response, "choices");
  if (choices == nullptr || !choices->is_array() || choices->empty()) {
    if (const Json* error = member(response, "error")) {
      const auto message =
          error->is_string() ? std::optional(error->get<std::string>()) : string_member(*error, "message");
      return fail("the model service reported an error: " + message.value_or("(no message)"));
    }
    return fail("chat-completions response had no choices");
  }
  const Json& choice = choices->front();
  const Json* message = member(choice, "message");
  if (message == nullptr || !message->is_object()) return fail("chat-completions response had no message");

  Json content = Json::array();
  const Json* text = member(*message, "content");
  if (text != nullptr) {
    const std::string t = text_of(*text);
    if (!t.empty()) content.push_back(Json{{"type", "text"}, {"text", t}});
  }
  const auto refusal = string_member(*message, "refusal");
  const bool refused = refusal && !refusal->empty();
  if (refused) content.push_back(Json{{"type", "text"}, {"text", *refusal}});

  std::size_t index = 0;
  if (const Json* calls = member(*message, "tool_calls"); calls != nullptr && calls->is_array()) {
    for (const Json& call : *calls) content.push_back(tool_use_block(call, index++));
  } else if (const Json* legacy = member(*message, "function_call"); legacy != nullptr && legacy->is_object()) {
    content.push_back(tool_use_block(Json{{"function", *legacy}}, index++));
  }

  Json stop_reason = nullptr;
  if (refused) {
    stop_reason = "refusal";
  } else if (auto finish = string_member(choice, "finish_reason")) {
    stop_reason = stop_reason_for(*finish);
  }

  Json out = Json::object();
  out["id"] = string_member(response, "id").value_or("");
  out["type"] = "message";
  out["role"] = "assistant";
  out["model"] = string_member(response, "model").value_or("");
  out["content"] = std::move(content);
  out["stop_reason"] = std::move(stop_reason);
  out["stop_sequence"] = nullptr;
  if (const Json* usage = member(response, "usage")) {
    Json u = Json::object();
    u["input_tokens"] = unsigned_member(*usage, "prompt_tokens").value_or(0);
    u["output_tokens"] = unsigned_member(*usage, "completion_tokens").value_or(0);
    out["usage"] = std::move(u);
  }
  return out;
}

}  // namespace quern::gateway

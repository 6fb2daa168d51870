#include "apps/agent/src/model_conversation.h"

#include <utility>

#include "runtime/util/log.h"
#include "runtime/util/unicode.h"

namespace quern::agent {
namespace {

constexpr std::string_view kLogTarget = "quern_agent::session";

ModelFailed failed(std::string reason) { return ModelFailed{std::move(reason)}; }

struct ToolCall {
  std::string id;
  std::string name;
  Json input;
};

}  // namespace

std::string first_user_text(std::string_view instruction, std::span<const DocumentItem> blocks) {
  std::string out = "The shared document as it stands:\n\n";
  const std::size_t shown = std::min(blocks.size(), kShownBlocks);
  for (std::size_t i = 0; i < shown; ++i) {
    const DocumentItem& block = blocks[i];
    out += std::to_string(i + 1);
    out += ". ";
    out += block.kind;
    out += ": ";
    const std::string_view text = unicode::trim(block.text);
    const std::string_view cut = unicode::first_chars(text, kShownBlockChars);
    out += cut;
    if (cut.size() < text.size()) out += "…";
    out += '\n';
  }
  out += "\nThe instruction asks for:\n\n";
  out += unicode::trim(instruction);
  out += '\n';
  return out;
}

Json model_request(std::string_view model_id, const ShownIds& shown, std::size_t step_cap, Json messages) {
  Json request = Json::object();
  request["model"] = model_id;
  request["max_tokens"] = kModelMaxTokens;
  request["system"] = kModelSystemText;
  request["tools"] = tool_definitions(shown, step_cap);
  request["messages"] = std::move(messages);
  return request;
}

ModelOutcome plan_with_model(platform::ModelClient& model, Clock& clock, const std::optional<ModelSelection>& selection,
                             bool live, const ConversationInput& input) {
  if (!live || (selection && !selection->live)) return ModelSwitchedOff{};
  if (!selection || !model.available(selection->profile_id, selection->model_id)) return ModelUnavailable{};
  if (!selection->action_discovery) {
    return failed("OpenAI-compatible action discovery has not been negotiated for this provider");
  }

  const Instant start = clock.now();
  ShownIds shown = initial_shown_ids();
  Json messages = Json::array();
  {
    Json first = Json::object();
    first["role"] = "user";
    first["content"] = first_user_text(input.instruction, input.blocks);
    messages.push_back(std::move(first));
  }

  for (std::size_t turn = 0;; ++turn) {
    if (turn == kModelTurnLimit) return failed("the model exhausted the action-discovery turn limit");
    Json request = model_request(selection->model_id, shown, input.step_cap, std::move(messages));
    const Duration elapsed = clock.now() - start;
    if (elapsed > selection->deadline) return failed("the call timed out");
    auto body = model.plan(selection->profile_id, selection->model_id, request, selection->deadline - elapsed);
    messages = std::move(request["messages"]);
    if (!body) return failed(body.error().display());

    auto response = parse_json(*body);
    if (!response) return failed("unreadable action response: " + response.error().message());
    if (const auto stop = string_member(*response, "stop_reason"); stop && *stop == "refusal") {
      return failed("the model declined the action request");
    }
    Json* content = response->is_object() && response->contains("content") ? &(*response)["content"] : nullptr;
    if (content == nullptr || !content->is_array()) return failed("action response had no content blocks");

    std::vector<ToolCall> calls;
    std::optional<Json> plan_input;
    for (const Json& block : *content) {
      const auto type = string_member(block, "type");
      if (!type || *type != "tool_use") continue;
      auto id = string_member(block, "id");
      if (!id) return failed("tool call had no id");
      auto name = string_member(block, "name");
      if (!name) return failed("tool call had no name");
      const Json* in = member(block, "input");
      Json call_input = in != nullptr ? *in : Json::object();
      if (plan_input || (*name == kPlanTool && !calls.empty())) {
        return failed("plan must be the only tool call in its turn");
      }
      if (*name == kPlanTool) {
        plan_input = std::move(call_input);
      } else {
        calls.push_back({std::move(*id), std::move(*name), std::move(call_input)});
      }
    }

    if (plan_input) {
      auto plan = parse_plan(*plan_input, shown, input.step_cap);
      if (!plan) return failed(std::move(plan.error()));
      return std::move(*plan);
    }
    if (calls.empty()) return failed("the model neither discovered actions nor submitted a plan");

    Json assistant = Json::object();
    assistant["role"] = "assistant";
    assistant["content"] = std::move(*content);
    messages.push_back(std::move(assistant));
    Json results = Json::array();
    for (const ToolCall& call : calls) {
      Json result = Json::object();
      result["type"] = "tool_result";
      result["tool_use_id"] = call.id;
      result["content"] = run_tool(call.name, call.input, input.tools, shown);
      results.push_back(std::move(result));
    }
    Json user = Json::object();
    user["role"] = "user";
    user["content"] = std::move(results);
    messages.push_back(std::move(user));
    log::debug(kLogTarget, "answered the model's discovery calls", {{"turn", turn + 1}, {"calls", calls.size()}});
  }
}

std::string outcome_summary(const ModelOutcome& outcome) {
  struct Visitor {
    std::string operator()(const Plan& plan) const { return std::string(kSummaryModelName) + ": " + plan.why; }
    std::string operator()(const ModelUnavailable&) const { return "no api key"; }
    std::string operator()(const ModelSwitchedOff&) const { return "switched off"; }
    std::string operator()(const ModelFailed& f) const { return "the call failed: " + f.reason; }
  };
  return std::visit(Visitor{}, outcome);
}

}  // namespace quern::agent

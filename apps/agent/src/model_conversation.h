// The model conversation: one instruction in, one plan out. Shows the model the document and
// the request, answers its discovery calls (tools.h) for at most 12 turns, and parses the one
// `plan` call it ends with (plan.h). The whole conversation, retries included, is bounded by the
// selection's deadline.
//
// Runs on the session thread and blocks it; keeps nothing between calls. No outcome is an
// error: every failure is a `ModelFailed` with the reason text shown in the decision line.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "apps/agent/src/model_selection.h"
#include "apps/agent/src/plan.h"
#include "apps/agent/src/platform/model_client.h"
#include "apps/agent/src/tools.h"
#include "runtime/util/clock.h"
#include "runtime/util/json.h"

namespace quern::agent {

inline constexpr std::size_t kModelTurnLimit = 12;
inline constexpr std::size_t kShownBlocks = 60;
inline constexpr std::size_t kShownBlockChars = 200;
inline constexpr std::int64_t kModelMaxTokens = 4096;
inline constexpr std::string_view kModelSystemText =
    "Drive Quern exclusively through the resource/action tools. Discover before planning. Preserve every "
    "argument's declared JSON type. Never invent an operation id or parameter.";
// The name decision summaries give the model, whichever model the selection names.
inline constexpr std::string_view kSummaryModelName = "claude-opus-5";

struct ModelUnavailable {
  bool operator==(const ModelUnavailable&) const = default;
};
struct ModelSwitchedOff {
  bool operator==(const ModelSwitchedOff&) const = default;
};
struct ModelFailed {
  std::string reason;
  bool operator==(const ModelFailed&) const = default;
};
using ModelOutcome = std::variant<Plan, ModelUnavailable, ModelSwitchedOff, ModelFailed>;

// What one conversation is about. `blocks` are the watched document's blocks in order (id, kind,
// text; facts unused); task runs pass none, and no document items or open apps in `tools`.
struct ConversationInput {
  std::string_view instruction;
  std::span<const DocumentItem> blocks;
  ToolContext tools;
  std::size_t step_cap = 8;
};

// Switched off when `live` is false (the selection's or, with no selection, the caller's);
// unavailable without a selection or when the gateway says no model can be used now.
ModelOutcome plan_with_model(platform::ModelClient& model, Clock& clock, const std::optional<ModelSelection>& selection,
                             bool live, const ConversationInput& input);

// The first user message's text: the first 60 blocks (trimmed, cut at 200 characters with "…")
// and the trimmed instruction.
std::string first_user_text(std::string_view instruction, std::span<const DocumentItem> blocks);

// The request object of one turn, members in the order the providers are sent them.
Json model_request(std::string_view model_id, const ShownIds& shown, std::size_t step_cap, Json messages);

// The decision summary of an outcome: "claude-opus-5: {why}", "no api key", "switched off" or
// "the call failed: {reason}".
std::string outcome_summary(const ModelOutcome& outcome);

}  // namespace quern::agent

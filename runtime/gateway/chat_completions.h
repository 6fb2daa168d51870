// Translation between the messages-API shape the agent builds and reads and an
// OpenAI-compatible chat-completions API, so that a server speaking the latter (a local server
// serving an open model, say) can hold the same tool-use conversation. Pure functions.
//
// Request: `system` becomes the first message (role "system"); each tool becomes
// {"type": "function", "function": {name, description, parameters}}; an assistant message's
// `tool_use` blocks become its `tool_calls` (arguments as JSON text) and its text blocks its
// content; a user message's `tool_result` blocks become "tool" messages with `tool_call_id`,
// in order, followed by one user message with its text blocks if it has any.
//
// Response: the first choice's message becomes a messages-API response: `content` holds a
// text block for the message's text and one `tool_use` block per tool call, whose `input` is
// the parsed arguments (an empty object for empty arguments; the raw text, as a JSON string,
// when they are not JSON, so the caller can tell the model its input was malformed). A call
// without an id gets "call_{n}", n counting the message's calls from 0. `stop_reason` maps
// "stop" to "end_turn", "length" to "max_tokens", "tool_calls" and "function_call" to
// "tool_use", "content_filter" and a non-empty `refusal` to "refusal"; others pass through.
#pragma once

#include <string_view>

#include "runtime/util/error.h"
#include "runtime/util/json.h"

namespace quern::gateway {

// `request` is a messages-API request object; `model` is the model id to ask for.
Result<Json> to_chat_completions(const Json& request, std::string_view model);

// `body` is a chat-completions response body; the result is a messages-API response object.
Result<Json> from_chat_completions(std::string_view body);

}  // namespace quern::gateway

#include "runtime/gateway/chat_completions.h"

#include <gtest/gtest.h>

namespace quern::gateway {
namespace {

Json parse(std::string_view text) {
  auto j = parse_json(text);
  EXPECT_TRUE(j) << text;
  return j ? *j : Json();
}

TEST(ChatCompletionsRequest, TranslatesSystemToolsCallsAndResults) {
  const Json request = parse(R"({
    "model": "ignored-in-favour-of-the-argument",
    "max_tokens": 4096,
    "system": "Discover before planning.",
    "tools": [
      {"name": "list_operations", "description": "Lists operations.",
       "input_schema": {"type": "object", "properties": {"app": {"type": "string"}}, "required": []}},
      {"name": "plan", "description": "Submits the plan.", "input_schema": {"type": "object"}}
    ],
    "messages": [
      {"role": "user", "content": "The shared document as it stands:\n\n"},
      {"role": "assistant", "content": [
        {"type": "text", "text": "Looking."},
        {"type": "tool_use", "id": "t1", "name": "list_operations", "input": {"app": "word-processor"}},
        {"type": "tool_use", "id": "t2", "name": "list_applications", "input": {}}
      ]},
      {"role": "user", "content": [
        {"type": "tool_result", "tool_use_id": "t1", "content": "word-processor.document#insert-table"},
        {"type": "tool_result", "tool_use_id": "t2", "content": [{"type": "text", "text": "a"}, {"type": "text", "text": "b"}]}
      ]},
      {"role": "assistant", "content": [
        {"type": "tool_use", "id": "t3", "name": "describe_operation", "input": "{not json"}
      ]},
      {"role": "user", "content": [
        {"type": "tool_result", "tool_use_id": "t3", "content": "the input is not an object"},
        {"type": "text", "text": "Try again."}
      ]}
    ]
  })");
  auto got = to_chat_completions(request, "open-7b");
  ASSERT_TRUE(got) << got.error().message();
  const Json want = parse(R"({
    "model": "open-7b",
    "max_tokens": 4096,
    "messages": [
      {"role": "system", "content": "Discover before planning."},
      {"role": "user", "content": "The shared document as it stands:\n\n"},
      {"role": "assistant", "content": "Looking.", "tool_calls": [
        {"id": "t1", "type": "function", "function": {"name": "list_operations", "arguments": "{\"app\":\"word-processor\"}"}},
        {"id": "t2", "type": "function", "function": {"name": "list_applications", "arguments": "{}"}}
      ]},
      {"role": "tool", "tool_call_id": "t1", "content": "word-processor.document#insert-table"},
      {"role": "tool", "tool_call_id": "t2", "content": "a\nb"},
      {"role": "assistant", "content": null, "tool_calls": [
        {"id": "t3", "type": "function", "function": {"name": "describe_operation", "arguments": "{not json"}}
      ]},
      {"role": "tool", "tool_call_id": "t3", "content": "the input is not an object"},
      {"role": "user", "content": "Try again."}
    ],
    "tools": [
      {"type": "function", "function": {"name": "list_operations", "description": "Lists operations.",
        "parameters": {"type": "object", "properties": {"app": {"type": "string"}}, "required": []}}},
      {"type": "function", "function": {"name": "plan", "description": "Submits the plan.",
        "parameters": {"type": "object"}}}
    ]
  })");
  EXPECT_EQ(dump_json(*got), dump_json(want)) << dump_json_pretty(*got);  // member order included
}

TEST(ChatCompletionsRequest, OptionalMembersAndRejects) {
  const Json request = parse(R"({"model": "m", "system": [{"type": "text", "text": "a"}, {"type": "text", "text": "b"}],
    "temperature": 0, "stop_sequences": ["END"], "tool_choice": {"type": "tool", "name": "plan"},
    "messages": [{"role": "user", "content": [{"type": "text", "text": "hi"}]}]})");
  auto got = to_chat_completions(request, "m");
  ASSERT_TRUE(got) << got.error().message();
  EXPECT_EQ(dump_json(*got),
            R"({"model":"m","temperature":0,"stop":["END"],"messages":[{"role":"system","content":"a\nb"},)"
            R"({"role":"user","content":"hi"}],"tool_choice":{"type":"function","function":{"name":"plan"}}})");

  for (auto [choice, want] :
       {std::pair{R"({"type":"auto"})", R"("auto")"}, std::pair{R"({"type":"any"})", R"("required")"},
        std::pair{R"({"type":"none"})", R"("none")"}}) {
    auto t = to_chat_completions(Json{{"tool_choice", parse(choice)}}, "m");
    ASSERT_TRUE(t) << choice;
    EXPECT_EQ(dump_json((*t)["tool_choice"]), want) << choice;
  }
  for (auto bad : {R"([])", R"({"messages": {}})", R"({"messages": [{"content": "no role"}]})", R"({"tools": {}})",
                   R"({"tool_choice": {"type": "tool"}})"}) {
    EXPECT_FALSE(to_chat_completions(parse(bad), "m")) << bad;
  }
}

TEST(ChatCompletionsResponse, BecomesAMessagesResponse) {
  auto got = from_chat_completions(R"({
    "id": "chatcmpl-1", "object": "chat.completion", "model": "open-7b",
    "choices": [{"index": 0, "finish_reason": "tool_calls", "message": {
      "role": "assistant", "content": "I will look first.",
      "tool_calls": [
        {"id": "call_a", "type": "function", "function": {"name": "list_operations", "arguments": "{\"app\": \"photos\", \"n\": 2}"}},
        {"type": "function", "function": {"name": "list_applications", "arguments": ""}},
        {"id": "call_c", "type": "function", "function": {"name": "describe_operation", "arguments": "{\"id\": "}},
        {"id": "call_d", "type": "function", "function": {"name": "plan", "arguments": {"why": "already an object"}}},
        {"id": "call_e", "type": "function", "function": {"arguments": "{}"}}
      ]}}],
    "usage": {"prompt_tokens": 120, "completion_tokens": 30, "total_tokens": 150}
  })");
  ASSERT_TRUE(got) << got.error().message();
  const Json want = parse(R"({
    "id": "chatcmpl-1", "type": "message", "role": "assistant", "model": "open-7b",
    "content": [
      {"type": "text", "text": "I will look first."},
      {"type": "tool_use", "id": "call_a", "name": "list_operations", "input": {"app": "photos", "n": 2}},
      {"type": "tool_use", "id": "call_1", "name": "list_applications", "input": {}},
      {"type": "tool_use", "id": "call_c", "name": "describe_operation", "input": "{\"id\": "},
      {"type": "tool_use", "id": "call_d", "name": "plan", "input": {"why": "already an object"}},
      {"type": "tool_use", "id": "call_e", "input": {}}
    ],
    "stop_reason": "tool_use", "stop_sequence": null,
    "usage": {"input_tokens": 120, "output_tokens": 30}
  })");
  EXPECT_EQ(dump_json(*got), dump_json(want)) << dump_json_pretty(*got);
}

TEST(ChatCompletionsResponse, StopReasonsAndRefusals) {
  struct Case {
    std::string_view message_and_finish;
    std::string_view want_stop;
    std::size_t blocks;
  };
  for (auto c : {
           Case{R"("message": {"content": "done"}, "finish_reason": "stop")", R"("end_turn")", 1},
           Case{R"("message": {"content": "cut"}, "finish_reason": "length")", R"("max_tokens")", 1},
           Case{R"("message": {"content": ""}, "finish_reason": "content_filter")", R"("refusal")", 0},
           Case{R"("message": {"content": null, "refusal": "I can't help with that."}, "finish_reason": "stop")",
                R"("refusal")", 1},
           Case{R"("message": {"content": null, "function_call": {"name": "plan", "arguments": "{}"}},
                 "finish_reason": "function_call")",
                R"("tool_use")", 1},
           Case{R"("message": {"content": [{"type": "text", "text": "parts"}]}, "finish_reason": "eos")", R"("eos")",
                1},
           Case{R"("message": {"content": "no reason"})", "null", 1},
       }) {
    auto got = from_chat_completions("{\"choices\": [{" + std::string(c.message_and_finish) + "}]}");
    ASSERT_TRUE(got) << c.message_and_finish << got.error().message();
    EXPECT_EQ(dump_json((*got)["stop_reason"]), c.want_stop) << c.message_and_finish;
    EXPECT_EQ((*got)["content"].size(), c.blocks) << c.message_and_finish;
  }
}

TEST(ChatCompletionsResponse, UnreadableAnswersAreErrors) {
  struct Case {
    std::string_view body, message_part;
  };
  for (auto c : {
           Case{"not json", "unreadable chat-completions response: "},
           Case{R"({"choices": []})", "had no choices"},
           Case{R"({"object": "chat.completion"})", "had no choices"},
           Case{R"({"choices": [{"finish_reason": "stop"}]})", "had no message"},
           Case{R"({"error": {"message": "model not loaded"}})",
                "the model service reported an error: model not loaded"},
           Case{R"({"error": "busy"})", "the model service reported an error: busy"},
       }) {
    auto got = from_chat_completions(c.body);
    ASSERT_FALSE(got) << c.body;
    EXPECT_NE(got.error().message().find(c.message_part), std::string::npos) << got.error().message();
  }
}

}  // namespace
}  // namespace quern::gateway

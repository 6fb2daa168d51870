// The discovery tools a model plans with: the four tool definitions sent with every request
// (`list_applications`, `list_operations`, `describe_operation` and the answer tool `plan`), the
// plain-text replies of the three discovery tools, and the set of operation ids the model has
// been shown, which bounds what a `plan` may name.
//
// Pure functions over a `ToolContext` the conversation hands in; the context borrows the
// catalogue and the document items for the length of one conversation. Called on the session
// thread; nothing here blocks.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "apps/agent/src/catalogue.h"
#include "apps/agent/src/plan.h"
#include "runtime/util/json.h"

namespace quern::agent {

// `ShownIds` (plan.h): the operation ids the model may name in a plan. Ordered and compared by
// bytes; a conversation seeds it with "none" (`initial_shown_ids`) and it only grows.
ShownIds initial_shown_ids();

// `DocumentItem` (catalogue.h) is what the tools may tell about a resource of an app's
// directory: its id, kind and label, and the labels of its action-less children as facts.
struct ToolContext {
  std::span<const CatalogueEntry> entries;  // in catalogue order
  std::span<const DocumentItem> items;      // the directories' resources, parent first
  std::span<const std::string> open_apps;   // short names of the apps with a replica in the room
};

inline constexpr std::string_view kListApplications = "list_applications";
inline constexpr std::string_view kListOperations = "list_operations";
inline constexpr std::string_view kDescribeOperation = "describe_operation";
inline constexpr std::string_view kPlanTool = "plan";
// The most entries one `list_operations` reply lists.
inline constexpr std::size_t kListingCap = 60;

// The four definitions, in order, with the `plan` enum holding `shown` in set order and the
// step cap in its description. Member order is fixed: rebuild it for every request.
Json tool_definitions(const ShownIds& shown, std::size_t step_cap);

// The reply text of a discovery tool, or "There is no tool called {name}." for any other name
// (`plan` included). `input` is the call's input as sent (any JSON value); what it lacks or gets
// wrong is explained in the reply. Adds every operation id the reply offers for planning to
// `shown`.
std::string run_tool(std::string_view name, const Json& input, const ToolContext& context, ShownIds& shown);

// The label apps are called by in sentences ("the word processor"), or the namespace itself for
// an app the agent has no surface for.
std::string app_label(std::string_view app_namespace);

}  // namespace quern::agent

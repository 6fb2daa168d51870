#include "runtime/collab/messages.h"

#include <array>
#include <utility>

namespace quern::collab {
namespace {

template <typename E, std::size_t N>
std::optional<E> from_name(const std::array<std::pair<E, std::string_view>, N>& names, std::string_view name) {
  for (const auto& [value, text] : names) {
    if (text == name) return value;
  }
  return std::nullopt;
}

template <typename E, std::size_t N>
std::string_view to_name(const std::array<std::pair<E, std::string_view>, N>& names, E value) {
  for (const auto& [v, text] : names) {
    if (v == value) return text;
  }
  return "unknown";
}

constexpr std::array<std::pair<ParticipantKind, std::string_view>, 3> kKinds{{
    {ParticipantKind::Agent, "agent"},
    {ParticipantKind::App, "app"},
    {ParticipantKind::Broker, "broker"},
}};

constexpr std::array<std::pair<ActionStateKind, std::string_view>, 8> kActionStates{{
    {ActionStateKind::Accepted, "accepted"},
    {ActionStateKind::Queued, "queued"},
    {ActionStateKind::Running, "running"},
    {ActionStateKind::Succeeded, "succeeded"},
    {ActionStateKind::Failed, "failed"},
    {ActionStateKind::Cancelled, "cancelled"},
    {ActionStateKind::TimedOut, "timeout"},
    {ActionStateKind::Unknown, "unknown"},
}};

constexpr std::array<std::pair<TaskState, std::string_view>, 5> kTaskStates{{
    {TaskState::Started, "started"},
    {TaskState::Running, "running"},
    {TaskState::Completed, "completed"},
    {TaskState::Failed, "failed"},
    {TaskState::Cancelled, "cancelled"},
}};

constexpr std::array<std::pair<InvocationStatus, std::string_view>, 3> kInvocationStatuses{{
    {InvocationStatus::Completed, "completed"},
    {InvocationStatus::NoChange, "no_change"},
    {InvocationStatus::Failed, "failed"},
}};

// In the order of the `Message` alternatives.
constexpr std::array<std::string_view, std::variant_size_v<Message>> kMessageNames{
    "hello",
    "welcome",
    "refused",
    "join",
    "document_request",
    "document_bytes",
    "room_announcement",
    "invocation_announced",
    "invocation_outcome",
    "step_report",
    "catalogue_publish",
    "catalogue_update",
    "action_request",
    "task_action_request",
    "action_accepted",
    "action_outcome",
    "action_status_query",
    "action_cancel",
    "task_envelope",
    "task_status_report",
    "cancellation_status_query",
    "cancellation_status",
    "task_mint",
    "task_cancel",
    "task_center_reply",
    "joined",
};

}  // namespace

std::string_view participant_kind_name(ParticipantKind kind) { return to_name(kKinds, kind); }
std::optional<ParticipantKind> participant_kind_from_name(std::string_view name) { return from_name(kKinds, name); }

std::string_view action_state_name(ActionStateKind kind) { return to_name(kActionStates, kind); }
std::optional<ActionStateKind> action_state_from_name(std::string_view name) { return from_name(kActionStates, name); }

std::string_view task_state_name(TaskState state) { return to_name(kTaskStates, state); }
std::optional<TaskState> task_state_from_name(std::string_view name) { return from_name(kTaskStates, name); }

std::string_view invocation_status_name(InvocationStatus status) { return to_name(kInvocationStatuses, status); }

std::size_t CatalogueUpdate::action_count() const {
  std::size_t n = 0;
  for (const auto& r : records) n += r.offers.size();
  return n;
}

std::string_view message_name(const Message& message) { return kMessageNames[message.index()]; }

}  // namespace quern::collab

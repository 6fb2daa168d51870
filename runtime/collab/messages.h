// The room's messages as plain values: what a participant sends (commands) and what it
// receives (the body of a `CollabEvent`). One struct per message of the wire schema
// (proto/room.capnp), gathered in the `Message` variant. Values own their data; document bytes
// are a shared immutable `Blob`. JSON members (contexts, arguments, schemas) travel as JSON text
// and are not interpreted here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "runtime/collab/blob.h"

namespace quern::collab {

inline constexpr std::uint16_t kProtocolVersion = 1;

enum class ParticipantKind { Agent, App, Broker };
// "agent", "app", "broker".
std::string_view participant_kind_name(ParticipantKind kind);
std::optional<ParticipantKind> participant_kind_from_name(std::string_view name);

// The triple the broker matches: app id, room UUID (hyphenated lower case), optional record.
struct Route {
  std::string app;
  std::string room;
  std::optional<std::string> record;
  bool operator==(const Route&) const = default;
};

struct Sender {
  std::uint64_t participant = 0;  // 0: the broker itself
  std::string name;
  ParticipantKind kind = ParticipantKind::App;
  Route route;
  bool operator==(const Sender&) const = default;
};

// --- Joining ---

struct Hello {
  std::uint16_t version = kProtocolVersion;
  std::string name;
  ParticipantKind kind = ParticipantKind::App;
  Route route;
  bool operator==(const Hello&) const = default;
};
struct Welcome {
  std::uint64_t participant = 0;
  bool operator==(const Welcome&) const = default;
};
struct Refused {
  std::string reason;
  bool operator==(const Refused&) const = default;
};
struct Join {
  std::string room;
  bool operator==(const Join&) const = default;
};
// The broker's answer to a join: everything sent to the room from now on reaches the participant.
struct Joined {
  std::string room;
  bool operator==(const Joined&) const = default;
};

// --- Documents ---

struct DocumentRequest {
  std::string app;
  std::optional<std::string> record;
  bool operator==(const DocumentRequest&) const = default;
};

enum class DocumentPayload {
  None,         // the frame named no payload
  Whole,        // a whole save
  Incremental,  // an incremental change set
  Unknown,      // a payload kind this build does not know
};
struct DocumentBytes {
  DocumentPayload payload = DocumentPayload::None;
  Blob bytes;
  bool operator==(const DocumentBytes&) const = default;
};

// --- Directory messages ---

struct RoomAnnouncement {
  std::string room;  // textual UUID
  bool operator==(const RoomAnnouncement&) const = default;
};

struct ResourceRef {
  std::string id;
  std::string kind;
  std::string label;
  bool operator==(const ResourceRef&) const = default;
};

struct TextRange {
  std::string kind = "document";
  std::string block;
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  bool operator==(const TextRange&) const = default;
};
struct NothingTouched {
  bool operator==(const NothingTouched&) const = default;
};
// What an operation touches: nothing, text ranges, or ids.
using Touched = std::variant<NothingTouched, std::vector<TextRange>, std::vector<std::string>>;

struct Invocation {
  std::string context_json;
  std::string invocation_id;
  std::string label;
  ResourceRef resource;
  Touched touched;
  bool operator==(const Invocation&) const = default;
};
struct InvocationAnnounced {
  Invocation invocation;
  bool operator==(const InvocationAnnounced&) const = default;
};

enum class InvocationStatus { Completed, NoChange, Failed };
// "completed", "no_change", "failed".
std::string_view invocation_status_name(InvocationStatus status);

struct InvocationOutcome {
  Invocation invocation;
  InvocationStatus status = InvocationStatus::Completed;
  std::string message;
  bool operator==(const InvocationOutcome&) const = default;
};

// --- Brokered actions ---

enum class ActionStateKind {
  Accepted,
  Queued,
  Running,
  Succeeded,
  Failed,
  Cancelled,
  TimedOut,  // step reports only: the action passed its deadline
  Unknown,   // a state this build does not know
};
// "accepted", "queued", "running", "succeeded", "failed", "cancelled", "timeout", "unknown".
std::string_view action_state_name(ActionStateKind kind);
std::optional<ActionStateKind> action_state_from_name(std::string_view name);

struct ActionState {
  ActionStateKind kind = ActionStateKind::Accepted;
  std::string message;
  bool unfinished() const {
    return kind == ActionStateKind::Accepted || kind == ActionStateKind::Queued || kind == ActionStateKind::Running;
  }
  bool terminal() const {
    return kind == ActionStateKind::Succeeded || kind == ActionStateKind::Failed || kind == ActionStateKind::Cancelled;
  }
  bool operator==(const ActionState&) const = default;
};

struct StepTargetNone {
  bool operator==(const StepTargetNone&) const = default;
};
// A step report's target: none, one text, or a list of ids.
using StepTarget = std::variant<StepTargetNone, std::string, std::vector<std::string>>;

struct StepReport {
  std::string agent;
  std::string context_json;
  std::string app;
  ResourceRef resource;
  std::string action_name;
  std::string action_label;
  std::uint64_t number = 0;
  ActionState state;
  StepTarget target;
  bool operator==(const StepReport&) const = default;
};

// --- The room's action catalogue ---

struct Available {
  bool operator==(const Available&) const = default;
};
struct Unavailable {
  std::string reason;
  std::string detail;
  bool operator==(const Unavailable&) const = default;
};
using Availability = std::variant<Available, Unavailable>;

struct NoConfirmation {
  bool operator==(const NoConfirmation&) const = default;
};
struct Confirm {
  bool operator==(const Confirm&) const = default;
};
struct Phrase {
  std::string phrase;
  bool operator==(const Phrase&) const = default;
};
using Confirmation = std::variant<NoConfirmation, Confirm, Phrase>;

struct Immediate {
  bool operator==(const Immediate&) const = default;
};
struct Background {
  bool cancellable = false;
  bool operator==(const Background&) const = default;
};
struct Streaming {
  bool cancellable = false;
  std::string item_schema;  // JSON text
  bool operator==(const Streaming&) const = default;
};
using Execution = std::variant<Immediate, Background, Streaming>;

struct NoResult {
  bool operator==(const NoResult&) const = default;
};
struct ResourceResult {
  std::string resource_kind;
  bool operator==(const ResourceResult&) const = default;
};
struct JobResult {
  bool operator==(const JobResult&) const = default;
};
struct JsonResult {
  std::string schema;  // JSON text
  bool operator==(const JsonResult&) const = default;
};
using ActionResult = std::variant<NoResult, ResourceResult, JobResult, JsonResult>;

// Unknown values on the wire read as the most careful one: retry AtMostOnce, risk Sensitive,
// role Admin.
enum class Retry { Idempotent, RetryWithInvocationId, AtMostOnce };
enum class Risk { None, Low, Destructive, Privileged, Sensitive };
enum class RequiredRole { None, Read, Comment, Write, Invite, Admin };

struct Parameter {
  std::string name;
  std::string description;
  std::string type;
  bool required = false;
  std::vector<std::string> choices;
  std::optional<std::string> constraints;  // JSON text
  bool operator==(const Parameter&) const = default;
};

struct ContentInput {
  std::string name;
  std::string type;
  std::string description;
  bool consumes_produced_content = false;
  bool operator==(const ContentInput&) const = default;
};

// One action a participant publishes, with the fields of the action library's offer.
struct BrokerOffer {
  std::string resource_id;
  std::string action_name;
  std::string resource_kind;
  std::string resource_label;
  std::string action_label;
  Availability availability;
  Confirmation confirmation;
  Execution execution;
  ActionResult result;
  bool reversible = false;
  Retry retry = Retry::AtMostOnce;
  Risk risk = Risk::Low;
  RequiredRole required_role = RequiredRole::Write;
  std::vector<Parameter> parameters;
  std::optional<std::string> resource_note;
  std::optional<ContentInput> content_input;
  bool operator==(const BrokerOffer&) const = default;
};

struct CataloguePublish {
  std::string app;  // empty: the app of the publisher's route
  std::vector<BrokerOffer> offers;
  bool operator==(const CataloguePublish&) const = default;
};

struct ParticipantRecord {
  std::string app;
  std::uint64_t participant = 0;
  bool admitted = false;
  std::vector<BrokerOffer> offers;
  bool operator==(const ParticipantRecord&) const = default;
};

struct CatalogueUpdate {
  std::vector<ParticipantRecord> records;
  // The number of offers over all records.
  std::size_t action_count() const;
  bool operator==(const CatalogueUpdate&) const = default;
};

struct ActionRequest {
  std::uint64_t request = 0;
  std::uint64_t participant = 0;
  std::string resource_id;
  std::string action_name;
  std::string arguments_json;
  std::string context_json;
  std::string invocation_id;
  bool operator==(const ActionRequest&) const = default;
};

struct TaskActionRequest {
  std::uint64_t request = 0;
  std::uint64_t participant = 0;
  std::string resource_id;
  std::string action_name;
  std::string arguments_json;
  std::string lease;
  std::uint64_t run_id = 0;
  bool operator==(const TaskActionRequest&) const = default;
};

struct ActionAccepted {
  std::uint64_t request = 0;
  std::string handle;
  ActionState state;
  bool operator==(const ActionAccepted&) const = default;
};

struct ActionOutcome {
  std::uint64_t request = 0;
  ActionState state;
  std::string output;  // JSON text, may be empty
  std::vector<std::string> resources;
  bool operator==(const ActionOutcome&) const = default;
};

struct ActionStatusQuery {
  std::uint64_t request = 0;
  std::string handle;
  bool operator==(const ActionStatusQuery&) const = default;
};

struct ActionCancel {
  std::uint64_t request = 0;
  std::string handle;
  bool operator==(const ActionCancel&) const = default;
};

// --- Task Center ---

struct TaskEnvelope {
  std::string id;
  std::string title;
  std::string lease;
  std::string context_json;
  std::uint64_t run_id = 0;
  std::uint16_t version = 1;
  bool model_allowed = false;
  bool operator==(const TaskEnvelope&) const = default;
};

enum class TaskState { Started, Running, Completed, Failed, Cancelled };
// "started", "running", "completed", "failed", "cancelled".
std::string_view task_state_name(TaskState state);
std::optional<TaskState> task_state_from_name(std::string_view name);

struct TaskStatusReport {
  std::string lease;
  std::uint64_t run_id = 0;
  TaskState state = TaskState::Started;
  std::optional<std::string> text;
  bool operator==(const TaskStatusReport&) const = default;
};

struct CancellationStatusQuery {
  std::string lease;
  std::uint64_t request = 0;
  std::uint64_t run_id = 0;
  bool operator==(const CancellationStatusQuery&) const = default;
};

struct CancellationError {
  std::string message;
  bool operator==(const CancellationError&) const = default;
};
struct CancellationStatus {
  std::uint64_t request = 0;
  std::variant<bool, CancellationError> answer = false;  // cancelled or not, or why it cannot say
  bool operator==(const CancellationStatus&) const = default;
};

struct TaskMint {
  std::string agent;  // the agent's name
  TaskEnvelope envelope;
  bool operator==(const TaskMint&) const = default;
};

struct TaskCancel {
  std::string lease;
  bool operator==(const TaskCancel&) const = default;
};

struct TaskCenterReply {
  std::string lease;
  bool ok = false;
  std::string message;
  bool operator==(const TaskCenterReply&) const = default;
};

using Message =
    std::variant<Hello, Welcome, Refused, Join, DocumentRequest, DocumentBytes, RoomAnnouncement, InvocationAnnounced,
                 InvocationOutcome, StepReport, CataloguePublish, CatalogueUpdate, ActionRequest, TaskActionRequest,
                 ActionAccepted, ActionOutcome, ActionStatusQuery, ActionCancel, TaskEnvelope, TaskStatusReport,
                 CancellationStatusQuery, CancellationStatus, TaskMint, TaskCancel, TaskCenterReply, Joined>;

// The message's name in logs and tools, snake case: "document_request", "catalogue_update", ...
std::string_view message_name(const Message& message);

// One frame: the sender's identity, the optional route it is addressed to (send-to-route), and
// the message.
struct Delivery {
  Sender sender;
  std::optional<Route> to;
  Message body;
};

}  // namespace quern::collab

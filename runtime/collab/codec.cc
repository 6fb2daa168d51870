#include "runtime/collab/codec.h"

#include <capnp/message.h>
#include <capnp/serialize.h>
#include <kj/exception.h>

#include <cstring>
#include <string>

#include "proto/room.capnp.h"

namespace quern::collab {
namespace {

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

// ---------------------------------------------------------------------------------------------
// Encoding

// Everything a frame's pieces point into.
struct EncodedFrame {
  capnp::MallocMessageBuilder builder;
  std::vector<std::uint32_t> table;
  std::vector<Blob> blobs;  // referenced in place by the message
};

capnp::Text::Reader text(const std::string& s) { return capnp::Text::Reader(s.data(), s.size()); }

proto::ParticipantKind to_proto(ParticipantKind k) {
  switch (k) {
    case ParticipantKind::Agent: return proto::ParticipantKind::AGENT;
    case ParticipantKind::App: return proto::ParticipantKind::APP;
    case ParticipantKind::Broker: return proto::ParticipantKind::BROKER;
  }
  return proto::ParticipantKind::APP;
}

proto::ActionStateKind to_proto(ActionStateKind k) {
  switch (k) {
    case ActionStateKind::Accepted: return proto::ActionStateKind::ACCEPTED;
    case ActionStateKind::Queued: return proto::ActionStateKind::QUEUED;
    case ActionStateKind::Running: return proto::ActionStateKind::RUNNING;
    case ActionStateKind::Succeeded: return proto::ActionStateKind::SUCCEEDED;
    case ActionStateKind::Failed: return proto::ActionStateKind::FAILED;
    case ActionStateKind::Cancelled: return proto::ActionStateKind::CANCELLED;
    case ActionStateKind::TimedOut: return proto::ActionStateKind::TIMED_OUT;
    case ActionStateKind::Unknown: break;
  }
  // Not a state anyone can send on purpose; a number no reader knows keeps it unknown.
  return static_cast<proto::ActionStateKind>(0xffff);
}

proto::TaskState to_proto(TaskState s) {
  switch (s) {
    case TaskState::Started: return proto::TaskState::STARTED;
    case TaskState::Running: return proto::TaskState::RUNNING;
    case TaskState::Completed: return proto::TaskState::COMPLETED;
    case TaskState::Failed: return proto::TaskState::FAILED;
    case TaskState::Cancelled: return proto::TaskState::CANCELLED;
  }
  return proto::TaskState::FAILED;
}

proto::InvocationStatus to_proto(InvocationStatus s) {
  switch (s) {
    case InvocationStatus::Completed: return proto::InvocationStatus::COMPLETED;
    case InvocationStatus::NoChange: return proto::InvocationStatus::NO_CHANGE;
    case InvocationStatus::Failed: return proto::InvocationStatus::FAILED;
  }
  return proto::InvocationStatus::FAILED;
}

proto::Retry to_proto(Retry r) {
  switch (r) {
    case Retry::Idempotent: return proto::Retry::IDEMPOTENT;
    case Retry::RetryWithInvocationId: return proto::Retry::RETRY_WITH_INVOCATION_ID;
    case Retry::AtMostOnce: return proto::Retry::AT_MOST_ONCE;
  }
  return proto::Retry::AT_MOST_ONCE;
}

proto::Risk to_proto(Risk r) {
  switch (r) {
    case Risk::None: return proto::Risk::NONE;
    case Risk::Low: return proto::Risk::LOW;
    case Risk::Destructive: return proto::Risk::DESTRUCTIVE;
    case Risk::Privileged: return proto::Risk::PRIVILEGED;
    case Risk::Sensitive: return proto::Risk::SENSITIVE;
  }
  return proto::Risk::SENSITIVE;
}

proto::Role to_proto(RequiredRole r) {
  switch (r) {
    case RequiredRole::None: return proto::Role::NONE;
    case RequiredRole::Read: return proto::Role::READ;
    case RequiredRole::Comment: return proto::Role::COMMENT;
    case RequiredRole::Write: return proto::Role::WRITE;
    case RequiredRole::Invite: return proto::Role::INVITE;
    case RequiredRole::Admin: return proto::Role::ADMIN;
  }
  return proto::Role::ADMIN;
}

void set_texts(capnp::List<capnp::Text>::Builder list, const std::vector<std::string>& values) {
  for (unsigned i = 0; i < values.size(); ++i) list.set(i, text(values[i]));
}

template <typename ListOwner>
capnp::List<capnp::Text>::Builder init_texts(ListOwner&& init, const std::vector<std::string>& values) {
  auto list = init(static_cast<unsigned>(values.size()));
  set_texts(list, values);
  return list;
}

void put(proto::Route::Builder b, const Route& r) {
  b.setApp(text(r.app));
  b.setRoom(text(r.room));
  if (r.record) {
    b.getRecord().setSome(text(*r.record));
  } else {
    b.getRecord().setNone();
  }
}

void put(proto::Sender::Builder b, const Sender& s) {
  b.setParticipant(s.participant);
  b.setName(text(s.name));
  b.setKind(to_proto(s.kind));
  put(b.initRoute(), s.route);
}

void put(proto::ResourceRef::Builder b, const ResourceRef& r) {
  b.setId(text(r.id));
  b.setKind(text(r.kind));
  b.setLabel(text(r.label));
}

void put(proto::ActionState::Builder b, const ActionState& s) {
  b.setKind(to_proto(s.kind));
  b.setMessage(text(s.message));
}

void put(proto::Invocation::Builder b, const Invocation& inv) {
  b.setContextJson(text(inv.context_json));
  b.setInvocationId(text(inv.invocation_id));
  b.setLabel(text(inv.label));
  put(b.initResource(), inv.resource);
  auto t = b.initTouched();
  std::visit(
      Overloaded{
          [&](const NothingTouched&) { t.setNothing(); },
          [&](const std::vector<TextRange>& ranges) {
            auto list = t.initRanges(static_cast<unsigned>(ranges.size()));
            for (unsigned i = 0; i < ranges.size(); ++i) {
              list[i].setKind(text(ranges[i].kind));
              list[i].setBlock(text(ranges[i].block));
              list[i].setStart(ranges[i].start);
              list[i].setEnd(ranges[i].end);
            }
          },
          [&](const std::vector<std::string>& ids) { init_texts([&](unsigned n) { return t.initIds(n); }, ids); },
      },
      inv.touched);
}

void put(proto::BrokerOffer::Builder b, const BrokerOffer& o) {
  b.setResourceId(text(o.resource_id));
  b.setActionName(text(o.action_name));
  b.setResourceKind(text(o.resource_kind));
  b.setResourceLabel(text(o.resource_label));
  b.setActionLabel(text(o.action_label));
  std::visit(Overloaded{
                 [&](const Available&) { b.getAvailability().setAvailable(); },
                 [&](const Unavailable& u) {
                   auto x = b.getAvailability().initUnavailable();
                   x.setReason(text(u.reason));
                   x.setDetail(text(u.detail));
                 },
             },
             o.availability);
  std::visit(Overloaded{
                 [&](const NoConfirmation&) { b.getConfirmation().setNone(); },
                 [&](const Confirm&) { b.getConfirmation().setConfirm(); },
                 [&](const Phrase& p) { b.getConfirmation().setPhrase(text(p.phrase)); },
             },
             o.confirmation);
  std::visit(Overloaded{
                 [&](const Immediate&) { b.getExecution().setImmediate(); },
                 [&](const Background& x) { b.getExecution().initBackground().setCancellable(x.cancellable); },
                 [&](const Streaming& x) {
                   auto s = b.getExecution().initStreaming();
                   s.setCancellable(x.cancellable);
                   s.setItemSchema(text(x.item_schema));
                 },
             },
             o.execution);
  std::visit(Overloaded{
                 [&](const NoResult&) { b.getResult().setNone(); },
                 [&](const ResourceResult& r) { b.getResult().setResource(text(r.resource_kind)); },
                 [&](const JobResult&) { b.getResult().setJob(); },
                 [&](const JsonResult& j) { b.getResult().setJson(text(j.schema)); },
             },
             o.result);
  b.setReversible(o.reversible);
  b.setRetry(to_proto(o.retry));
  b.setRisk(to_proto(o.risk));
  b.setRequiredRole(to_proto(o.required_role));
  auto params = b.initParameters(static_cast<unsigned>(o.parameters.size()));
  for (unsigned i = 0; i < o.parameters.size(); ++i) {
    const auto& p = o.parameters[i];
    auto pb = params[i];
    pb.setName(text(p.name));
    pb.setDescription(text(p.description));
    pb.setType(text(p.type));
    pb.setRequired(p.required);
    init_texts([&](unsigned n) { return pb.initChoices(n); }, p.choices);
    if (p.constraints) {
      pb.getConstraints().setJson(text(*p.constraints));
    } else {
      pb.getConstraints().setNone();
    }
  }
  if (o.resource_note) {
    b.getResourceNote().setSome(text(*o.resource_note));
  } else {
    b.getResourceNote().setNone();
  }
  if (o.content_input) {
    auto c = b.getContentInput().initSome();
    c.setName(text(o.content_input->name));
    c.setType(text(o.content_input->type));
    c.setDescription(text(o.content_input->description));
    c.setConsumesProducedContent(o.content_input->consumes_produced_content);
  } else {
    b.getContentInput().setNone();
  }
}

void put_offers(capnp::List<proto::BrokerOffer>::Builder list, const std::vector<BrokerOffer>& offers) {
  for (unsigned i = 0; i < offers.size(); ++i) put(list[i], offers[i]);
}

void put(proto::TaskEnvelope::Builder b, const TaskEnvelope& t) {
  b.setId(text(t.id));
  b.setTitle(text(t.title));
  b.setLease(text(t.lease));
  b.setContextJson(text(t.context_json));
  b.setRunId(t.run_id);
  b.setVersion(t.version);
  b.setModelAllowed(t.model_allowed);
}

void put_body(proto::Frame::Body::Builder body, const Message& m, EncodedFrame& out) {
  std::visit(Overloaded{
                 [&](const Hello& h) {
                   auto b = body.initHello();
                   b.setVersion(h.version);
                   b.setName(text(h.name));
                   b.setKind(to_proto(h.kind));
                   put(b.initRoute(), h.route);
                 },
                 [&](const Welcome& w) { body.initWelcome().setParticipant(w.participant); },
                 [&](const Refused& r) { body.setRefused(text(r.reason)); },
                 [&](const Join& j) { body.initJoin().setRoom(text(j.room)); },
                 [&](const DocumentRequest& r) {
                   auto b = body.initDocumentRequest();
                   b.setApp(text(r.app));
                   if (r.record) {
                     b.getRecord().setSome(text(*r.record));
                   } else {
                     b.getRecord().setNone();
                   }
                 },
                 [&](const DocumentBytes& d) {
                   auto payload = body.initDocumentBytes().getPayload();
                   if (d.payload != DocumentPayload::Whole && d.payload != DocumentPayload::Incremental) {
                     payload.setUnset();
                     return;
                   }
                   auto orphanage = out.builder.getOrphanage();
                   capnp::Orphan<capnp::Data> data =
                       d.bytes.empty()
                           ? orphanage.newOrphan<capnp::Data>(0)
                           : orphanage.referenceExternalData(capnp::Data::Reader(d.bytes.data(), d.bytes.size()));
                   if (!d.bytes.empty()) out.blobs.push_back(d.bytes);
                   if (d.payload == DocumentPayload::Whole) {
                     payload.adoptWhole(kj::mv(data));
                   } else {
                     payload.adoptIncremental(kj::mv(data));
                   }
                 },
                 [&](const RoomAnnouncement& a) { body.initRoomAnnouncement().setRoom(text(a.room)); },
                 [&](const InvocationAnnounced& a) { put(body.initInvocationAnnounced(), a.invocation); },
                 [&](const InvocationOutcome& o) {
                   auto b = body.initInvocationOutcome();
                   put(b.initInvocation(), o.invocation);
                   b.setStatus(to_proto(o.status));
                   b.setMessage(text(o.message));
                 },
                 [&](const StepReport& s) {
                   auto b = body.initStepReport();
                   b.setAgent(text(s.agent));
                   b.setContextJson(text(s.context_json));
                   b.setApp(text(s.app));
                   put(b.initResource(), s.resource);
                   b.setActionName(text(s.action_name));
                   b.setActionLabel(text(s.action_label));
                   b.setNumber(s.number);
                   put(b.initState(), s.state);
                   auto t = b.getTarget();
                   std::visit(Overloaded{
                                  [&](const StepTargetNone&) { t.setNone(); },
                                  [&](const std::string& x) { t.setText(text(x)); },
                                  [&](const std::vector<std::string>& ids) {
                                    init_texts([&](unsigned n) { return t.initIds(n); }, ids);
                                  },
                              },
                              s.target);
                 },
                 [&](const CataloguePublish& p) {
                   auto b = body.initCataloguePublish();
                   b.setApp(text(p.app));
                   put_offers(b.initOffers(static_cast<unsigned>(p.offers.size())), p.offers);
                 },
                 [&](const CatalogueUpdate& u) {
                   auto list = body.initCatalogueUpdate().initRecords(static_cast<unsigned>(u.records.size()));
                   for (unsigned i = 0; i < u.records.size(); ++i) {
                     const auto& r = u.records[i];
                     list[i].setApp(text(r.app));
                     list[i].setParticipant(r.participant);
                     list[i].setAdmitted(r.admitted);
                     put_offers(list[i].initOffers(static_cast<unsigned>(r.offers.size())), r.offers);
                   }
                 },
                 [&](const ActionRequest& r) {
                   auto b = body.initActionRequest();
                   b.setRequest(r.request);
                   b.setParticipant(r.participant);
                   b.setResourceId(text(r.resource_id));
                   b.setActionName(text(r.action_name));
                   b.setArgumentsJson(text(r.arguments_json));
                   b.setContextJson(text(r.context_json));
                   b.setInvocationId(text(r.invocation_id));
                 },
                 [&](const TaskActionRequest& r) {
                   auto b = body.initTaskActionRequest();
                   b.setRequest(r.request);
                   b.setParticipant(r.participant);
                   b.setResourceId(text(r.resource_id));
                   b.setActionName(text(r.action_name));
                   b.setArgumentsJson(text(r.arguments_json));
                   b.setLease(text(r.lease));
                   b.setRunId(r.run_id);
                 },
                 [&](const ActionAccepted& a) {
                   auto b = body.initActionAccepted();
                   b.setRequest(a.request);
                   b.setHandle(text(a.handle));
                   put(b.initState(), a.state);
                 },
                 [&](const ActionOutcome& o) {
                   auto b = body.initActionOutcome();
                   b.setRequest(o.request);
                   put(b.initState(), o.state);
                   b.setOutput(text(o.output));
                   init_texts([&](unsigned n) { return b.initResources(n); }, o.resources);
                 },
                 [&](const ActionStatusQuery& q) {
                   auto b = body.initActionStatusQuery();
                   b.setRequest(q.request);
                   b.setHandle(text(q.handle));
                 },
                 [&](const ActionCancel& q) {
                   auto b = body.initActionCancel();
                   b.setRequest(q.request);
                   b.setHandle(text(q.handle));
                 },
                 [&](const TaskEnvelope& t) { put(body.initTaskEnvelope(), t); },
                 [&](const TaskStatusReport& r) {
                   auto b = body.initTaskStatusReport();
                   b.setLease(text(r.lease));
                   b.setRunId(r.run_id);
                   b.setState(to_proto(r.state));
                   if (r.text) {
                     b.getText().setSome(text(*r.text));
                   } else {
                     b.getText().setNone();
                   }
                 },
                 [&](const CancellationStatusQuery& q) {
                   auto b = body.initCancellationStatusQuery();
                   b.setLease(text(q.lease));
                   b.setRequest(q.request);
                   b.setRunId(q.run_id);
                 },
                 [&](const CancellationStatus& s) {
                   auto b = body.initCancellationStatus();
                   b.setRequest(s.request);
                   if (const bool* cancelled = std::get_if<bool>(&s.answer)) {
                     b.getAnswer().setCancelled(*cancelled);
                   } else {
                     b.getAnswer().setError(text(std::get<CancellationError>(s.answer).message));
                   }
                 },
                 [&](const TaskMint& t) {
                   auto b = body.initTaskMint();
                   b.setAgent(text(t.agent));
                   put(b.initEnvelope(), t.envelope);
                 },
                 [&](const TaskCancel& t) { body.initTaskCancel().setLease(text(t.lease)); },
                 [&](const Joined& j) { body.initJoined().setRoom(text(j.room)); },
                 [&](const TaskCenterReply& r) {
                   auto b = body.initTaskCenterReply();
                   b.setLease(text(r.lease));
                   b.setOk(r.ok);
                   b.setMessage(text(r.message));
                 },
             },
             m);
}

// ---------------------------------------------------------------------------------------------
// Decoding

struct DecodeError {
  std::string message;
};

std::string str(capnp::Text::Reader t) { return std::string(t.begin(), t.size()); }

std::vector<std::string> strs(capnp::List<capnp::Text>::Reader list) {
  std::vector<std::string> out;
  out.reserve(list.size());
  for (auto t : list) out.push_back(str(t));
  return out;
}

ParticipantKind from_proto(proto::ParticipantKind k) {
  switch (k) {
    case proto::ParticipantKind::AGENT: return ParticipantKind::Agent;
    case proto::ParticipantKind::APP: return ParticipantKind::App;
    case proto::ParticipantKind::BROKER: return ParticipantKind::Broker;
  }
  throw DecodeError{"unknown participant kind " + std::to_string(static_cast<unsigned>(k))};
}

ActionStateKind from_proto(proto::ActionStateKind k) {
  switch (k) {
    case proto::ActionStateKind::ACCEPTED: return ActionStateKind::Accepted;
    case proto::ActionStateKind::QUEUED: return ActionStateKind::Queued;
    case proto::ActionStateKind::RUNNING: return ActionStateKind::Running;
    case proto::ActionStateKind::SUCCEEDED: return ActionStateKind::Succeeded;
    case proto::ActionStateKind::FAILED: return ActionStateKind::Failed;
    case proto::ActionStateKind::CANCELLED: return ActionStateKind::Cancelled;
    case proto::ActionStateKind::TIMED_OUT: return ActionStateKind::TimedOut;
  }
  return ActionStateKind::Unknown;
}

TaskState from_proto(proto::TaskState s) {
  switch (s) {
    case proto::TaskState::STARTED: return TaskState::Started;
    case proto::TaskState::RUNNING: return TaskState::Running;
    case proto::TaskState::COMPLETED: return TaskState::Completed;
    case proto::TaskState::FAILED: return TaskState::Failed;
    case proto::TaskState::CANCELLED: return TaskState::Cancelled;
  }
  throw DecodeError{"unknown task state " + std::to_string(static_cast<unsigned>(s))};
}

InvocationStatus from_proto(proto::InvocationStatus s) {
  switch (s) {
    case proto::InvocationStatus::COMPLETED: return InvocationStatus::Completed;
    case proto::InvocationStatus::NO_CHANGE: return InvocationStatus::NoChange;
    case proto::InvocationStatus::FAILED: return InvocationStatus::Failed;
  }
  throw DecodeError{"unknown invocation status " + std::to_string(static_cast<unsigned>(s))};
}

Retry from_proto(proto::Retry r) {
  switch (r) {
    case proto::Retry::IDEMPOTENT: return Retry::Idempotent;
    case proto::Retry::RETRY_WITH_INVOCATION_ID: return Retry::RetryWithInvocationId;
    case proto::Retry::AT_MOST_ONCE: return Retry::AtMostOnce;
  }
  return Retry::AtMostOnce;
}

Risk from_proto(proto::Risk r) {
  switch (r) {
    case proto::Risk::NONE: return Risk::None;
    case proto::Risk::LOW: return Risk::Low;
    case proto::Risk::DESTRUCTIVE: return Risk::Destructive;
    case proto::Risk::PRIVILEGED: return Risk::Privileged;
    case proto::Risk::SENSITIVE: return Risk::Sensitive;
  }
  return Risk::Sensitive;
}

RequiredRole from_proto(proto::Role r) {
  switch (r) {
    case proto::Role::NONE: return RequiredRole::None;
    case proto::Role::READ: return RequiredRole::Read;
    case proto::Role::COMMENT: return RequiredRole::Comment;
    case proto::Role::WRITE: return RequiredRole::Write;
    case proto::Role::INVITE: return RequiredRole::Invite;
    case proto::Role::ADMIN: return RequiredRole::Admin;
  }
  return RequiredRole::Admin;
}

[[noreturn]] void unknown_union(std::string_view what, unsigned which) {
  throw DecodeError{"unknown " + std::string(what) + " " + std::to_string(which)};
}

std::optional<std::string> record_of(proto::Route::Record::Reader r) {
  switch (r.which()) {
    case proto::Route::Record::NONE: return std::nullopt;
    case proto::Route::Record::SOME: return str(r.getSome());
  }
  unknown_union("record form", static_cast<unsigned>(r.which()));
}

Route get(proto::Route::Reader r) { return Route{str(r.getApp()), str(r.getRoom()), record_of(r.getRecord())}; }

Sender get(proto::Sender::Reader s) {
  return Sender{s.getParticipant(), str(s.getName()), from_proto(s.getKind()), get(s.getRoute())};
}

ResourceRef get(proto::ResourceRef::Reader r) {
  return ResourceRef{str(r.getId()), str(r.getKind()), str(r.getLabel())};
}

ActionState get(proto::ActionState::Reader s) { return ActionState{from_proto(s.getKind()), str(s.getMessage())}; }

Invocation get(proto::Invocation::Reader r) {
  Invocation inv;
  inv.context_json = str(r.getContextJson());
  inv.invocation_id = str(r.getInvocationId());
  inv.label = str(r.getLabel());
  inv.resource = get(r.getResource());
  const auto t = r.getTouched();
  switch (t.which()) {
    case proto::Touched::NOTHING: inv.touched = NothingTouched{}; break;
    case proto::Touched::RANGES: {
      std::vector<TextRange> ranges;
      for (auto x : t.getRanges())
        ranges.push_back(TextRange{str(x.getKind()), str(x.getBlock()), x.getStart(), x.getEnd()});
      inv.touched = std::move(ranges);
      break;
    }
    case proto::Touched::IDS: inv.touched = strs(t.getIds()); break;
    default: unknown_union("touched form", static_cast<unsigned>(t.which()));
  }
  return inv;
}

BrokerOffer get(proto::BrokerOffer::Reader b) {
  BrokerOffer o;
  o.resource_id = str(b.getResourceId());
  o.action_name = str(b.getActionName());
  o.resource_kind = str(b.getResourceKind());
  o.resource_label = str(b.getResourceLabel());
  o.action_label = str(b.getActionLabel());
  const auto availability = b.getAvailability();
  switch (availability.which()) {
    case proto::BrokerOffer::Availability::AVAILABLE: o.availability = Available{}; break;
    case proto::BrokerOffer::Availability::UNAVAILABLE: {
      const auto u = availability.getUnavailable();
      o.availability = Unavailable{str(u.getReason()), str(u.getDetail())};
      break;
    }
    default: unknown_union("availability", static_cast<unsigned>(availability.which()));
  }
  const auto confirmation = b.getConfirmation();
  switch (confirmation.which()) {
    case proto::BrokerOffer::Confirmation::NONE: o.confirmation = NoConfirmation{}; break;
    case proto::BrokerOffer::Confirmation::CONFIRM: o.confirmation = Confirm{}; break;
    case proto::BrokerOffer::Confirmation::PHRASE: o.confirmation = Phrase{str(confirmation.getPhrase())}; break;
    default: unknown_union("confirmation", static_cast<unsigned>(confirmation.which()));
  }
  const auto execution = b.getExecution();
  switch (execution.which()) {
    case proto::BrokerOffer::Execution::IMMEDIATE: o.execution = Immediate{}; break;
    case proto::BrokerOffer::Execution::BACKGROUND:
      o.execution = Background{execution.getBackground().getCancellable()};
      break;
    case proto::BrokerOffer::Execution::STREAMING: {
      const auto s = execution.getStreaming();
      o.execution = Streaming{s.getCancellable(), str(s.getItemSchema())};
      break;
    }
    default: unknown_union("execution", static_cast<unsigned>(execution.which()));
  }
  const auto result = b.getResult();
  switch (result.which()) {
    case proto::BrokerOffer::Result::NONE: o.result = NoResult{}; break;
    case proto::BrokerOffer::Result::RESOURCE: o.result = ResourceResult{str(result.getResource())}; break;
    case proto::BrokerOffer::Result::JOB: o.result = JobResult{}; break;
    case proto::BrokerOffer::Result::JSON: o.result = JsonResult{str(result.getJson())}; break;
    default: unknown_union("result", static_cast<unsigned>(result.which()));
  }
  o.reversible = b.getReversible();
  o.retry = from_proto(b.getRetry());
  o.risk = from_proto(b.getRisk());
  o.required_role = from_proto(b.getRequiredRole());
  for (auto p : b.getParameters()) {
    Parameter param;
    param.name = str(p.getName());
    param.description = str(p.getDescription());
    param.type = str(p.getType());
    param.required = p.getRequired();
    param.choices = strs(p.getChoices());
    const auto c = p.getConstraints();
    switch (c.which()) {
      case proto::Parameter::Constraints::NONE: break;
      case proto::Parameter::Constraints::JSON: param.constraints = str(c.getJson()); break;
      default: unknown_union("constraints form", static_cast<unsigned>(c.which()));
    }
    o.parameters.push_back(std::move(param));
  }
  const auto note = b.getResourceNote();
  switch (note.which()) {
    case proto::BrokerOffer::ResourceNote::NONE: break;
    case proto::BrokerOffer::ResourceNote::SOME: o.resource_note = str(note.getSome()); break;
    default: unknown_union("resource note form", static_cast<unsigned>(note.which()));
  }
  const auto content = b.getContentInput();
  switch (content.which()) {
    case proto::BrokerOffer::ContentInput::NONE: break;
    case proto::BrokerOffer::ContentInput::SOME: {
      const auto c = content.getSome();
      o.content_input =
          ContentInput{str(c.getName()), str(c.getType()), str(c.getDescription()), c.getConsumesProducedContent()};
      break;
    }
    default: unknown_union("content input form", static_cast<unsigned>(content.which()));
  }
  return o;
}

std::vector<BrokerOffer> get_offers(capnp::List<proto::BrokerOffer>::Reader list) {
  std::vector<BrokerOffer> out;
  out.reserve(list.size());
  for (auto o : list) out.push_back(get(o));
  return out;
}

TaskEnvelope get(proto::TaskEnvelope::Reader t) {
  return TaskEnvelope{str(t.getId()), str(t.getTitle()), str(t.getLease()),  str(t.getContextJson()),
                      t.getRunId(),   t.getVersion(),    t.getModelAllowed()};
}

Message get_body(proto::Frame::Body::Reader body, const RawFrame& raw) {
  using B = proto::Frame::Body;
  switch (body.which()) {
    case B::UNSET: throw DecodeError{"the frame carries no message"};
    case B::HELLO: {
      const auto h = body.getHello();
      return Hello{h.getVersion(), str(h.getName()), from_proto(h.getKind()), get(h.getRoute())};
    }
    case B::WELCOME: return Welcome{body.getWelcome().getParticipant()};
    case B::REFUSED: return Refused{str(body.getRefused())};
    case B::JOIN: return Join{str(body.getJoin().getRoom())};
    case B::DOCUMENT_REQUEST: {
      const auto r = body.getDocumentRequest();
      DocumentRequest out{str(r.getApp()), std::nullopt};
      switch (r.getRecord().which()) {
        case proto::DocumentRequest::Record::NONE: break;
        case proto::DocumentRequest::Record::SOME: out.record = str(r.getRecord().getSome()); break;
        default: unknown_union("record form", static_cast<unsigned>(r.getRecord().which()));
      }
      return out;
    }
    case B::DOCUMENT_BYTES: {
      const auto p = body.getDocumentBytes().getPayload();
      DocumentBytes out;
      capnp::Data::Reader data;
      switch (p.which()) {
        case proto::DocumentBytes::Payload::UNSET: out.payload = DocumentPayload::None; return out;
        case proto::DocumentBytes::Payload::WHOLE:
          out.payload = DocumentPayload::Whole;
          data = p.getWhole();
          break;
        case proto::DocumentBytes::Payload::INCREMENTAL:
          out.payload = DocumentPayload::Incremental;
          data = p.getIncremental();
          break;
        default: out.payload = DocumentPayload::Unknown; return out;
      }
      out.bytes = Blob::view(raw.storage(), std::span<const std::uint8_t>(data.begin(), data.size()));
      return out;
    }
    case B::ROOM_ANNOUNCEMENT: return RoomAnnouncement{str(body.getRoomAnnouncement().getRoom())};
    case B::INVOCATION_ANNOUNCED: return InvocationAnnounced{get(body.getInvocationAnnounced())};
    case B::INVOCATION_OUTCOME: {
      const auto o = body.getInvocationOutcome();
      return InvocationOutcome{get(o.getInvocation()), from_proto(o.getStatus()), str(o.getMessage())};
    }
    case B::STEP_REPORT: {
      const auto s = body.getStepReport();
      StepReport out;
      out.agent = str(s.getAgent());
      out.context_json = str(s.getContextJson());
      out.app = str(s.getApp());
      out.resource = get(s.getResource());
      out.action_name = str(s.getActionName());
      out.action_label = str(s.getActionLabel());
      out.number = s.getNumber();
      out.state = get(s.getState());
      const auto t = s.getTarget();
      switch (t.which()) {
        case proto::StepReport::Target::NONE: out.target = StepTargetNone{}; break;
        case proto::StepReport::Target::TEXT: out.target = str(t.getText()); break;
        case proto::StepReport::Target::IDS: out.target = strs(t.getIds()); break;
        default: unknown_union("step target form", static_cast<unsigned>(t.which()));
      }
      return out;
    }
    case B::CATALOGUE_PUBLISH: {
      const auto p = body.getCataloguePublish();
      return CataloguePublish{str(p.getApp()), get_offers(p.getOffers())};
    }
    case B::CATALOGUE_UPDATE: {
      CatalogueUpdate out;
      for (auto r : body.getCatalogueUpdate().getRecords()) {
        out.records.push_back(
            ParticipantRecord{str(r.getApp()), r.getParticipant(), r.getAdmitted(), get_offers(r.getOffers())});
      }
      return out;
    }
    case B::ACTION_REQUEST: {
      const auto r = body.getActionRequest();
      return ActionRequest{r.getRequest(),          r.getParticipant(),        str(r.getResourceId()),
                           str(r.getActionName()),  str(r.getArgumentsJson()), str(r.getContextJson()),
                           str(r.getInvocationId())};
    }
    case B::TASK_ACTION_REQUEST: {
      const auto r = body.getTaskActionRequest();
      return TaskActionRequest{r.getRequest(),
                               r.getParticipant(),
                               str(r.getResourceId()),
                               str(r.getActionName()),
                               str(r.getArgumentsJson()),
                               str(r.getLease()),
                               r.getRunId()};
    }
    case B::ACTION_ACCEPTED: {
      const auto a = body.getActionAccepted();
      return ActionAccepted{a.getRequest(), str(a.getHandle()), get(a.getState())};
    }
    case B::ACTION_OUTCOME: {
      const auto o = body.getActionOutcome();
      return ActionOutcome{o.getRequest(), get(o.getState()), str(o.getOutput()), strs(o.getResources())};
    }
    case B::ACTION_STATUS_QUERY: {
      const auto q = body.getActionStatusQuery();
      return ActionStatusQuery{q.getRequest(), str(q.getHandle())};
    }
    case B::ACTION_CANCEL: {
      const auto q = body.getActionCancel();
      return ActionCancel{q.getRequest(), str(q.getHandle())};
    }
    case B::TASK_ENVELOPE: return get(body.getTaskEnvelope());
    case B::TASK_STATUS_REPORT: {
      const auto r = body.getTaskStatusReport();
      TaskStatusReport out{str(r.getLease()), r.getRunId(), from_proto(r.getState()), std::nullopt};
      switch (r.getText().which()) {
        case proto::TaskStatusReport::Text::NONE: break;
        case proto::TaskStatusReport::Text::SOME: out.text = str(r.getText().getSome()); break;
        default: unknown_union("report text form", static_cast<unsigned>(r.getText().which()));
      }
      return out;
    }
    case B::CANCELLATION_STATUS_QUERY: {
      const auto q = body.getCancellationStatusQuery();
      return CancellationStatusQuery{str(q.getLease()), q.getRequest(), q.getRunId()};
    }
    case B::CANCELLATION_STATUS: {
      const auto s = body.getCancellationStatus();
      CancellationStatus out{s.getRequest(), false};
      switch (s.getAnswer().which()) {
        case proto::CancellationStatus::Answer::CANCELLED: out.answer = s.getAnswer().getCancelled(); break;
        case proto::CancellationStatus::Answer::ERROR:
          out.answer = CancellationError{str(s.getAnswer().getError())};
          break;
        default: unknown_union("cancellation answer", static_cast<unsigned>(s.getAnswer().which()));
      }
      return out;
    }
    case B::TASK_MINT: {
      const auto t = body.getTaskMint();
      return TaskMint{str(t.getAgent()), get(t.getEnvelope())};
    }
    case B::TASK_CANCEL: return TaskCancel{str(body.getTaskCancel().getLease())};
    case B::TASK_CENTER_REPLY: {
      const auto r = body.getTaskCenterReply();
      return TaskCenterReply{str(r.getLease()), r.getOk(), str(r.getMessage())};
    }
    case B::JOINED: return Joined{str(body.getJoined().getRoom())};
  }
  unknown_union("message kind", static_cast<unsigned>(body.which()));
}

}  // namespace

OutFrame encode(const Delivery& delivery) {
  auto enc = std::make_shared<EncodedFrame>();
  auto frame = enc->builder.initRoot<proto::Frame>();
  put(frame.initSender(), delivery.sender);
  if (delivery.to) {
    put(frame.getTo().initRoute(), *delivery.to);
  } else {
    frame.getTo().setRoom();
  }
  put_body(frame.getBody(), delivery.body, *enc);

  const auto segments = enc->builder.getSegmentsForOutput();
  enc->table.assign((segments.size() + 2) / 2 * 2, 0);
  enc->table[0] = static_cast<std::uint32_t>(segments.size() - 1);
  for (std::size_t i = 0; i < segments.size(); ++i) enc->table[i + 1] = static_cast<std::uint32_t>(segments[i].size());

  OutFrame out;
  out.pieces.emplace_back(reinterpret_cast<const std::uint8_t*>(enc->table.data()), enc->table.size() * 4);
  for (const auto& s : segments) {
    out.pieces.emplace_back(reinterpret_cast<const std::uint8_t*>(s.begin()), s.size() * sizeof(capnp::word));
  }
  out.owner = std::move(enc);
  return out;
}

RawFrame flatten(const OutFrame& frame) {
  RawFrame out = RawFrame::allocate((frame.size() + 7) / 8);
  std::uint8_t* dst = out.writable();
  for (const auto& p : frame.pieces) {
    if (p.empty()) continue;
    std::memcpy(dst, p.data(), p.size());
    dst += p.size();
  }
  // A frame is a whole number of words; anything short of that is padded with zeros.
  std::memset(dst, 0, out.size() - frame.size());
  return out;
}

Result<Delivery> decode(const RawFrame& raw) {
  const auto words = raw.words();
  if (words.empty()) return fail("the frame does not decode: it is empty");
  try {
    capnp::ReaderOptions options;
    // Every word may be visited a few times over; the frame itself is already bounded.
    options.traversalLimitInWords = words.size() * 4 + 1024;
    options.nestingLimit = 64;
    capnp::FlatArrayMessageReader reader(
        kj::ArrayPtr<const capnp::word>(reinterpret_cast<const capnp::word*>(words.data()), words.size()), options);
    const auto frame = reader.getRoot<proto::Frame>();
    Delivery d;
    d.sender = get(frame.getSender());
    const auto to = frame.getTo();
    switch (to.which()) {
      case proto::Frame::To::ROOM: break;
      case proto::Frame::To::ROUTE: d.to = get(to.getRoute()); break;
      default: unknown_union("addressing", static_cast<unsigned>(to.which()));
    }
    d.body = get_body(frame.getBody(), raw);
    return d;
  } catch (const DecodeError& e) {
    return fail("the frame does not decode: " + e.message);
  } catch (const kj::Exception& e) {
    return fail("the frame does not decode: " + std::string(e.getDescription().cStr()));
  } catch (const std::exception& e) {
    return fail(std::string("the frame does not decode: ") + e.what());
  }
}

}  // namespace quern::collab

# The room's wire protocol between participants (agents, apps, tools) and the broker.
#
# A connection carries a sequence of frames in both directions; each frame is one `Frame`
# message in the standard Cap'n Proto stream framing (segment table, then segments), as
# `capnp::writeMessage` writes it. A frame larger than 80 MiB (83,886,080 bytes including its
# segment table), with more than 512 segments, or one that does not decode, ends the
# connection that sent it.
#
# The conversation: the participant sends `hello` (who it is, which route it speaks for); the
# broker answers `welcome` with the participant number it assigned, or `refused` with a reason
# and closes. The participant then sends `join` for its room and from then on takes part in
# the room's traffic. Frames the broker delivers carry the sending participant in `sender`;
# frames a participant sends carry its own identity there (the broker replaces a stamp that
# does not match what the participant said in its hello).

@0xd97b37fd0cf94f54;

using Cxx = import "/capnp/c++.capnp";
$Cxx.namespace("quern::proto");

const protocolVersion :UInt16 = 1;

# What a participant speaks for: an app's document in a room, optionally one record of it.
struct Route {
  app @0 :Text;     # the app's package id, "ix.quern.word-processor"
  room @1 :Text;    # the room's UUID, hyphenated lower case
  record :union {
    none @2 :Void;  # an untitled document
    some @3 :Text;  # "file:/var/workspace/Demo/brief.docx"
  }
}

enum ParticipantKind {
  agent @0;
  app @1;
  broker @2;  # frames the broker itself originates
}

struct Sender {
  participant @0 :UInt64;  # assigned by the broker in `welcome`; 0 is the broker
  name @1 :Text;
  kind @2 :ParticipantKind;
  route @3 :Route;
}

struct Frame {
  sender @0 :Sender;
  to :union {
    room @1 :Void;     # the message's own routing rule (see each message)
    route @2 :Route;   # send-to-route: only the participants whose route equals this one
  }
  body :union {
    unset @3 :Void;    # a frame without a message; never valid
    hello @4 :Hello;
    welcome @5 :Welcome;
    refused @6 :Text;
    join @7 :Join;
    documentRequest @8 :DocumentRequest;
    documentBytes @9 :DocumentBytes;
    roomAnnouncement @10 :RoomAnnouncement;
    invocationAnnounced @11 :Invocation;
    invocationOutcome @12 :InvocationOutcome;
    stepReport @13 :StepReport;
    cataloguePublish @14 :CataloguePublish;
    catalogueUpdate @15 :CatalogueUpdate;
    actionRequest @16 :ActionRequest;
    taskActionRequest @17 :TaskActionRequest;
    actionAccepted @18 :ActionAccepted;
    actionOutcome @19 :ActionOutcome;
    actionStatusQuery @20 :ActionQuery;
    actionCancel @21 :ActionQuery;
    taskEnvelope @22 :TaskEnvelope;
    taskStatusReport @23 :TaskStatusReport;
    cancellationStatusQuery @24 :CancellationStatusQuery;
    cancellationStatus @25 :CancellationStatus;
    taskMint @26 :TaskMint;
    taskCancel @27 :TaskCancel;
    taskCenterReply @28 :TaskCenterReply;
    joined @29 :Join;  # the broker's answer to `join`: from here on the room's traffic flows
  }
}

# --- Joining ------------------------------------------------------------------------------

struct Hello {
  version @0 :UInt16;  # protocolVersion
  name @1 :Text;       # the caret pill and history author; never empty
  kind @2 :ParticipantKind;
  route @3 :Route;
}

struct Welcome {
  participant @0 :UInt64;
}

struct Join {
  room @0 :Text;  # must be the room of the hello's route
}

# --- Documents ----------------------------------------------------------------------------

# Goes to the participants whose route matches (app, the sender's room, record).
struct DocumentRequest {
  app @0 :Text;
  record :union {
    none @1 :Void;
    some @2 :Text;
  }
}

# Goes to every other participant of the room (or to `to.route`), tagged with the sender.
struct DocumentBytes {
  payload :union {
    unset @0 :Void;      # decodes as "no mutation"
    whole @1 :Data;      # a whole save
    incremental @2 :Data;  # an incremental change set
  }
}

# --- Directory messages (to the room) -----------------------------------------------------

struct RoomAnnouncement {
  room @0 :Text;  # the room id in its textual UUID form
}

struct ResourceRef {
  id @0 :Text;
  kind @1 :Text;
  label @2 :Text;
}

struct TextRange {
  kind @0 :Text;   # "document"
  block @1 :Text;
  start @2 :UInt64;
  end @3 :UInt64;
}

struct Touched {
  union {
    nothing @0 :Void;
    ranges @1 :List(TextRange);
    ids @2 :List(Text);
  }
}

struct Invocation {
  contextJson @0 :Text;  # the run's action context, a JSON object
  invocationId @1 :Text;
  label @2 :Text;        # "splice text (+3 -0)"
  resource @3 :ResourceRef;
  touched @4 :Touched;
}

enum InvocationStatus {
  completed @0;
  noChange @1;
  failed @2;
}

struct InvocationOutcome {
  invocation @0 :Invocation;
  status @1 :InvocationStatus;
  message @2 :Text;  # "The operation made no change"
}

struct StepReport {
  agent @0 :Text;
  contextJson @1 :Text;
  app @2 :Text;
  resource @3 :ResourceRef;
  actionName @4 :Text;
  actionLabel @5 :Text;
  number @6 :UInt64;  # 0 on acceptance, then 1, 2, ... per status answer
  state @7 :ActionState;
  target :union {
    none @8 :Void;
    text @9 :Text;
    ids @10 :List(Text);
  }
}

# --- The room's action catalogue ----------------------------------------------------------

enum Retry {
  idempotent @0;
  retryWithInvocationId @1;
  atMostOnce @2;
}

enum Risk {
  none @0;
  low @1;
  destructive @2;
  privileged @3;
  sensitive @4;
}

enum Role {
  none @0;
  read @1;
  comment @2;
  write @3;
  invite @4;
  admin @5;
}

struct Parameter {
  name @0 :Text;
  description @1 :Text;
  type @2 :Text;
  required @3 :Bool;
  choices @4 :List(Text);
  constraints :union {
    none @5 :Void;
    json @6 :Text;
  }
}

struct ContentInput {
  name @0 :Text;
  type @1 :Text;
  description @2 :Text;
  consumesProducedContent @3 :Bool;
}

struct BrokerOffer {
  resourceId @0 :Text;
  actionName @1 :Text;
  resourceKind @2 :Text;
  resourceLabel @3 :Text;
  actionLabel @4 :Text;
  availability :union {
    available @5 :Void;
    unavailable @6 :Unavailable;
  }
  confirmation :union {
    none @7 :Void;
    confirm @8 :Void;
    phrase @9 :Text;
  }
  execution :union {
    immediate @10 :Void;
    background @11 :Background;
    streaming @12 :Streaming;
  }
  result :union {
    none @13 :Void;
    resource @14 :Text;  # the resource kind
    job @15 :Void;
    json @16 :Text;      # the schema, a JSON value
  }
  reversible @17 :Bool;
  retry @18 :Retry;
  risk @19 :Risk;
  requiredRole @20 :Role;
  parameters @21 :List(Parameter);
  resourceNote :union {
    none @22 :Void;
    some @23 :Text;
  }
  contentInput :union {
    none @24 :Void;
    some @25 :ContentInput;
  }

  struct Unavailable {
    reason @0 :Text;
    detail @1 :Text;
  }
  struct Background {
    cancellable @0 :Bool;
  }
  struct Streaming {
    cancellable @0 :Bool;
    itemSchema @1 :Text;  # a JSON value
  }
}

# A participant publishes (replaces) its own offers; the broker numbers and admits it.
struct CataloguePublish {
  app @0 :Text;  # the publisher's app name; empty means the app of its route
  offers @1 :List(BrokerOffer);
}

struct ParticipantRecord {
  app @0 :Text;
  participant @1 :UInt64;
  admitted @2 :Bool;
  offers @3 :List(BrokerOffer);
}

# The room's whole catalogue, sent to the agents of the room on join and on every change.
struct CatalogueUpdate {
  records @0 :List(ParticipantRecord);
}

# --- Brokered actions ---------------------------------------------------------------------

enum ActionStateKind {
  accepted @0;
  queued @1;
  running @2;
  succeeded @3;
  failed @4;
  cancelled @5;
  timedOut @6;  # only in step reports: the action passed its deadline
}

struct ActionState {
  kind @0 :ActionStateKind;
  message @1 :Text;
}

# Request numbers are the requester's own; the broker renumbers what it forwards and maps the
# answers back, so an answer always carries the number its receiver chose.
struct ActionRequest {
  request @0 :UInt64;
  participant @1 :UInt64;  # the publishing participant
  resourceId @2 :Text;
  actionName @3 :Text;
  argumentsJson @4 :Text;  # a JSON object
  contextJson @5 :Text;    # the requester's action context, a JSON object (may be empty)
  invocationId @6 :Text;   # may be empty
}

struct TaskActionRequest {
  request @0 :UInt64;
  participant @1 :UInt64;
  resourceId @2 :Text;
  actionName @3 :Text;
  argumentsJson @4 :Text;
  lease @5 :Text;
  runId @6 :UInt64;
}

struct ActionAccepted {
  request @0 :UInt64;
  handle @1 :Text;  # the invocation handle status queries and cancellations name
  state @2 :ActionState;
}

struct ActionOutcome {
  request @0 :UInt64;
  state @1 :ActionState;
  output @2 :Text;           # a JSON value (may be empty)
  resources @3 :List(Text);  # resource references the action produced
}

struct ActionQuery {
  request @0 :UInt64;
  handle @1 :Text;
}

# --- Task Center --------------------------------------------------------------------------

struct TaskEnvelope {
  id @0 :Text;
  title @1 :Text;
  lease @2 :Text;
  contextJson @3 :Text;
  runId @4 :UInt64;
  version @5 :UInt16;
  modelAllowed @6 :Bool;
}

enum TaskState {
  started @0;
  running @1;
  completed @2;
  failed @3;
  cancelled @4;
}

struct TaskStatusReport {
  lease @0 :Text;
  runId @1 :UInt64;
  state @2 :TaskState;
  text :union {
    none @3 :Void;
    some @4 :Text;
  }
}

struct CancellationStatusQuery {
  lease @0 :Text;
  request @1 :UInt64;
  runId @2 :UInt64;
}

struct CancellationStatus {
  request @0 :UInt64;
  answer :union {
    cancelled @1 :Bool;
    error @2 :Text;
  }
}

# The Task Center hook: a tool asks the broker to mint a task for the agent of that name in its
# room, or to cancel one; the broker answers with a `TaskCenterReply` and forwards the agent's
# status reports for the task to the participant that minted it.
struct TaskMint {
  agent @0 :Text;
  envelope @1 :TaskEnvelope;
}

struct TaskCancel {
  lease @0 :Text;
}

struct TaskCenterReply {
  lease @0 :Text;
  ok @1 :Bool;
  message @2 :Text;
}

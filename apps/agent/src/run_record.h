// The run record: one taken instruction as a unit of the agent's work, from acting on it until
// carrying it out ends. The session holds at most one (`Session::run`); a new instruction
// replaces it. It supplies the action context that labels the agent's commits and invocations,
// collects one step per operation that changed the watched document, and at the end writes the
// run into the document's history (runtime/ui/history_source.h), commits and sends it.
// Session thread only.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/actions/action_context.h"
#include "runtime/crdt/document.h"
#include "runtime/folio/history.h"
#include "runtime/ui/history_source.h"
#include "runtime/util/error.h"

namespace quern::agent {

struct Session;
struct SessionSettings;

struct RunRecord {
  std::string run_id;    // "agent-run:{block}"
  std::string decision;  // the decision summary, or "decision unavailable"
  std::string request;
  // The version the agent is answering: the newest that is neither the schema genesis nor the
  // agent's own, as its hash in hex, and its history entry id. Nothing when every edit so far
  // is the agent's.
  std::optional<std::string> assigned_by_version;
  std::optional<std::string> assigned_by;
  std::vector<ui::history_source::runs::RunStep> steps;
};

// "agent-run:{block}".
std::string run_id_for(std::string_view block);

// Walks the document's versions from the newest: the first that is not the schema genesis and
// was not made under `agent`. Nothing when there is none.
std::optional<folio::history::Version> latest_version_not_by(const crdt::Document& document,
                                                             const crdt::ActorId& agent);

// The record for an instruction acted on now; `assigned_by` comes from the watched document's
// versions.
RunRecord open_run(std::string_view block, std::string request, std::string decision, const crdt::Document& watched,
                   const crdt::ActorId& agent);

// Opens the session's run record (replacing any).
void begin_run(Session& session, std::string_view block, std::string request, std::string decision);

// The context of a run's commits and invocations: action label "Agent task", the app (the
// --app id, label "Agent"), the resource (the record, or "active document", kind "document"),
// the request as purpose (when not empty), the run as group (kind "agent-run"), and an
// "assigned-by" facet when the run answers an entry.
actions::ActionContext run_context(const SessionSettings& settings, const RunRecord& run);
// The session's open run's context, or nothing when no run is open.
std::optional<actions::ActionContext> run_context(const Session& session);

// Appends a step to the open run; nothing when no run is open.
void add_step(Session& session, std::string label, std::string entry);
// Closes the run: attaches its context to the watched replica's next commit and, when it has
// steps, records it in the history, commits stamped and sends the change set; clears the other
// replicas' pending commit contexts. A failure to record is dropped (the run is not in the
// history); engine and send failures are errors.
Result<void> finish_run(Session& session);

}  // namespace quern::agent

// The run record: one taken instruction as a unit of the agent's work, from acting on it until
// carrying it out ends. The session holds at most one (`Session::run`); a new instruction
// replaces it. Writing the run into the document's history happens when carrying out ends.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "runtime/crdt/document.h"
#include "runtime/folio/history.h"

namespace quern::agent {

struct RunRecord {
  std::string run_id;    // "agent-run:{block}"
  std::string decision;  // the decision summary, or "decision unavailable"
  std::string request;
  // The version the agent is answering: the newest that is neither the schema genesis nor the
  // agent's own, as its hash in hex. Nothing when every edit so far is the agent's.
  std::optional<std::string> assigned_by_version;
};

// "agent-run:{block}".
std::string run_id_for(std::string_view block);

// Walks the document's versions from the newest: the first that is not the schema genesis and
// was not made under `agent`. Nothing when there is none.
std::optional<folio::history::Version> latest_version_not_by(const crdt::Document& document,
                                                             const crdt::ActorId& agent);

// The record for an instruction acted on now; `assigned_by_version` comes from the watched
// document's versions.
RunRecord open_run(std::string_view block, std::string request, std::string decision, const crdt::Document& watched,
                   const crdt::ActorId& agent);

}  // namespace quern::agent

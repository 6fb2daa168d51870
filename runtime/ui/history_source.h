// The document's history as the platform shows it: history entries named after change hashes,
// and the runs of agents stored in the document itself, so that every participant that holds a
// replica sees them. A run keeps its label, the agent's actor (hex), the entry it answered
// (optional) and its steps in order, each a label and the entry of the change it made.
//
// Layout: the root key "runs" holds a list of run maps: "label" Str, "agent" Str,
// "assigned_by" Str (absent: none), "steps" List of step maps ("label" Str, "entry" Str).
// Writes go into the document's open transaction; the caller commits. Same thread as the
// document.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/crdt/document.h"
#include "runtime/crdt/types.h"
#include "runtime/util/error.h"

namespace quern::ui::history_source {

inline constexpr std::string_view kRunsKey = "runs";

// The history entry id of a version: "entry:" and the hash in lower-case hex.
std::string entry_id_from_hash(const crdt::ChangeHash& hash);

namespace runs {

struct RunStep {
  std::string label;
  std::string entry;
  bool operator==(const RunStep&) const = default;
};

struct Run {
  std::string label;
  std::string agent;  // actor in hex
  std::optional<std::string> assigned_by;
  std::vector<RunStep> steps;
  bool operator==(const Run&) const = default;
};

// Appends the run to the document's runs.
Result<void> record_run_with_details(crdt::Document& document, std::string_view label, std::string_view agent_hex,
                                     const std::optional<std::string>& assigned_by, std::span<const RunStep> steps);

// The runs stored in the document, in order; none when it holds none. A run map that is not of
// this layout is an error.
Result<std::vector<Run>> read_runs(const crdt::Document& document);

}  // namespace runs
}  // namespace quern::ui::history_source

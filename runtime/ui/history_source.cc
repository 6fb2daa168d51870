#include "runtime/ui/history_source.h"

namespace quern::ui::history_source {
namespace {

using crdt::ObjId;
using crdt::ObjType;

Result<ObjId> runs_list(crdt::Document& document) {
  auto existing = QUERN_TRY(document.get(ObjId::root(), kRunsKey));
  if (existing && existing->object() && existing->object()->type == ObjType::List) return existing->object()->id;
  return document.put_object(ObjId::root(), kRunsKey, ObjType::List);
}

Result<std::string> text_at(const crdt::Document& document, const ObjId& map, std::string_view key) {
  auto value = QUERN_TRY(document.get(map, key));
  if (!value || !value->scalar() || !value->scalar()->as_str()) {
    return fail("a stored run lacks its " + std::string(key));
  }
  return *value->scalar()->as_str();
}

Result<ObjId> object_at(const std::optional<crdt::Value>& value, ObjType type, std::string_view what) {
  if (!value || !value->object() || value->object()->type != type)
    return fail("a stored run lacks its " + std::string(what));
  return value->object()->id;
}

}  // namespace

std::string entry_id_from_hash(const crdt::ChangeHash& hash) { return "entry:" + hash.to_hex_string(); }

namespace runs {

Result<void> record_run_with_details(crdt::Document& document, std::string_view label, std::string_view agent_hex,
                                     const std::optional<std::string>& assigned_by, std::span<const RunStep> steps) {
  const ObjId list = QUERN_TRY(runs_list(document));
  const std::size_t at = QUERN_TRY(document.length(list));
  const ObjId run = QUERN_TRY(document.insert_object(list, at, ObjType::Map));
  QUERN_TRY(document.put(run, "label", std::string(label)));
  QUERN_TRY(document.put(run, "agent", std::string(agent_hex)));
  if (assigned_by) QUERN_TRY(document.put(run, "assigned_by", *assigned_by));
  const ObjId stored_steps = QUERN_TRY(document.put_object(run, "steps", ObjType::List));
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const ObjId step = QUERN_TRY(document.insert_object(stored_steps, i, ObjType::Map));
    QUERN_TRY(document.put(step, "label", steps[i].label));
    QUERN_TRY(document.put(step, "entry", steps[i].entry));
  }
  return {};
}

Result<std::vector<Run>> read_runs(const crdt::Document& document) {
  std::vector<Run> out;
  auto stored = QUERN_TRY(document.get(ObjId::root(), kRunsKey));
  if (!stored) return out;
  const ObjId list = QUERN_TRY(object_at(stored, ObjType::List, "list"));
  const std::size_t count = QUERN_TRY(document.length(list));
  for (std::size_t i = 0; i < count; ++i) {
    const ObjId map = QUERN_TRY(object_at(QUERN_TRY(document.get(list, i)), ObjType::Map, "map"));
    Run run;
    run.label = QUERN_TRY(text_at(document, map, "label"));
    run.agent = QUERN_TRY(text_at(document, map, "agent"));
    if (QUERN_TRY(document.get(map, "assigned_by"))) run.assigned_by = QUERN_TRY(text_at(document, map, "assigned_by"));
    const ObjId steps = QUERN_TRY(object_at(QUERN_TRY(document.get(map, "steps")), ObjType::List, "steps"));
    const std::size_t n = QUERN_TRY(document.length(steps));
    for (std::size_t j = 0; j < n; ++j) {
      const ObjId step = QUERN_TRY(object_at(QUERN_TRY(document.get(steps, j)), ObjType::Map, "step"));
      run.steps.push_back(
          RunStep{QUERN_TRY(text_at(document, step, "label")), QUERN_TRY(text_at(document, step, "entry"))});
    }
    out.push_back(std::move(run));
  }
  return out;
}

}  // namespace runs
}  // namespace quern::ui::history_source

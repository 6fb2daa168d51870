#include "apps/agent/src/run_record.h"

namespace quern::agent {

std::string run_id_for(std::string_view block) { return "agent-run:" + std::string(block); }

std::optional<folio::history::Version> latest_version_not_by(const crdt::Document& document,
                                                             const crdt::ActorId& agent) {
  auto versions = folio::history::versions(document, agent.to_hex_string());
  for (auto it = versions.rbegin(); it != versions.rend(); ++it) {
    if (folio::history::is_schema_genesis(*it) || it->by_self) continue;
    return std::move(*it);
  }
  return std::nullopt;
}

RunRecord open_run(std::string_view block, std::string request, std::string decision, const crdt::Document& watched,
                   const crdt::ActorId& agent) {
  RunRecord run;
  run.run_id = run_id_for(block);
  run.decision = decision.empty() ? "decision unavailable" : std::move(decision);
  run.request = std::move(request);
  if (auto v = latest_version_not_by(watched, agent)) run.assigned_by_version = v->hash_hex;
  return run;
}

}  // namespace quern::agent

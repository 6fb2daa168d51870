#include "apps/agent/src/run_record.h"

#include "apps/agent/src/session.h"
#include "apps/agent/src/wire.h"
#include "runtime/util/log.h"

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
  if (auto v = latest_version_not_by(watched, agent)) {
    run.assigned_by_version = v->hash_hex;
    run.assigned_by = ui::history_source::entry_id_from_hash(v->hash);
  }
  return run;
}

void begin_run(Session& session, std::string_view block, std::string request, std::string decision) {
  if (!session.own) {
    RunRecord run;
    run.run_id = run_id_for(block);
    run.decision = decision.empty() ? "decision unavailable" : std::move(decision);
    run.request = std::move(request);
    session.run = std::move(run);
    return;
  }
  session.run = open_run(block, std::move(request), std::move(decision), session.own->document, session.own->actor);
}

actions::ActionContext run_context(const SessionSettings& settings, const RunRecord& run) {
  actions::ActionContext context;
  context.action_label = "Agent task";
  context.app = actions::ActionApp{settings.app, "Agent"};
  const std::string resource = settings.record.value_or("active document");
  context.resource = actions::ActionResource{resource, "document", resource};
  context.purpose = actions::context::nonempty(run.request);
  context.group = actions::ActionGroup{run.run_id, run.request, "agent-run"};
  if (run.assigned_by) context = std::move(context).with_facet("assigned-by", *run.assigned_by);
  return context;
}

std::optional<actions::ActionContext> run_context(const Session& session) {
  if (!session.run) return std::nullopt;
  return run_context(session.settings, *session.run);
}

void add_step(Session& session, std::string label, std::string entry) {
  if (!session.run) return;
  session.run->steps.push_back({std::move(label), std::move(entry)});
}

Result<void> finish_run(Session& session) {
  std::optional<RunRecord> run = std::move(session.run);
  session.run.reset();
  if (session.own && run) {
    Replica& own = *session.own;
    const actions::ActionContext context = run_context(session.settings, *run);
    own.pending_message = context.change_message();
    if (!run->steps.empty()) {
      own.document.set_actor(own.actor);
      auto recorded = ui::history_source::runs::record_run_with_details(
          own.document, run->run_id, own.actor.to_hex_string(), run->assigned_by, run->steps);
      if (recorded) {
        log::info("quern_agent::session", "recorded the run", {{"run", run->run_id}, {"steps", run->steps.size()}});
        folio::history::commit_stamped_with_message(own.document, *own.pending_message, *session.clock);
        own.pending_message.reset();
        crdt::Bytes bytes = own.document.save_incremental();
        if (!bytes.empty())
          send(session,
               collab::DocumentBytes{collab::DocumentPayload::Incremental, collab::Blob::take(std::move(bytes))});
      } else {
        own.document.rollback();
        log::debug("quern_agent::session", "the run could not be recorded",
                   {{"run", run->run_id}, {"error", recorded.error().to_string()}});
      }
    }
  }
  for (auto& [key, replica] : session.others) replica.pending_message.reset();
  return {};
}

}  // namespace quern::agent

#include "apps/agent/src/model_planner.h"

#include <utility>

#include "apps/agent/src/catalogue.h"
#include "apps/agent/src/model_conversation.h"
#include "apps/agent/src/step_resolution.h"
#include "runtime/util/log.h"
#include "runtime/util/quote.h"

namespace quern::agent {

std::string refused_step_summary(std::string_view refusal) {
  return "answered " + quote_escaped(refusal) + ", which the app does not export";
}

ModelPlanner::ModelPlanner(std::unique_ptr<Planner> fallback) : fallback_(std::move(fallback)) {}
ModelPlanner::~ModelPlanner() = default;

ModelPlanner::ModelPlanner(std::unique_ptr<Planner> fallback, std::unique_ptr<platform::ModelClient> client)
    : fallback_(std::move(fallback)), client_(std::move(client)) {}

Result<Decision> ModelPlanner::decide(const PlanningInput& input) {
  const std::vector<RoomDocument> documents = room_documents(input.replicas);
  const std::vector<CatalogueEntry> entries = planning_catalogue(
      broker_entries(input.broker_catalogue, input.permissions), build_local_entries(documents, input.permissions));
  const std::vector<DocumentItem> items = document_items(documents);
  std::vector<std::string> open_apps;
  for (const RoomDocument& d : documents) open_apps.emplace_back(d.surface->short_name());
  std::vector<DocumentItem> blocks;
  blocks.reserve(input.paragraphs.size());
  for (const auto& b : input.paragraphs) blocks.push_back({b.id, b.kind, b.text, {}});

  if (!client_) {
    gateway_ = std::make_unique<gateway::ModelGateway>(input.decision_mode.config);
    client_ = std::make_unique<platform::GatewayModelClient>(*gateway_);
  }
  const ConversationInput conversation{.instruction = input.instruction.request,
                                       .blocks = blocks,
                                       .tools = ToolContext{entries, items, open_apps},
                                       .step_cap = kMaxPlanSteps};
  const ModelOutcome outcome =
      plan_with_model(*client_, input.clock, input.decision_mode.selection, input.settings.live, conversation);
  std::string summary = outcome_summary(outcome);
  if (const Plan* plan = std::get_if<Plan>(&outcome)) {
    auto resolved = resolve_plan(*plan, input.instruction.request, entries);
    if (resolved) {
      Decision decision;
      decision.summary = std::move(summary);
      decision.decided_by = DecidedBy::Model;
      decision.offers = entries.size();
      for (const ResolvedStep& step : *resolved) decision.steps.push_back(to_decision_step(step));
      return decision;
    }
    summary = refused_step_summary(resolved.error().debug());
  }
  Decision decision = QUERN_TRY(fallback_->decide(input));
  decision.summary = std::move(summary);
  decision.decided_by = DecidedBy::Keywords;
  return decision;
}

}  // namespace quern::agent

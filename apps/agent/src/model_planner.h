// The document-mode planner that asks a model first: builds the catalogue of offers, holds the
// model conversation (model_conversation.h) and resolves the plan's steps; on any outcome but a
// plan whose every step resolves, it hands the instruction to the fall-back planner (the keyword
// vocabulary) and keeps the verdict on the model as the decision's summary.
//
// Owned by the session and called on its thread. It makes its gateway from the decision mode's
// provider configuration on first use and keeps it, with its connection, between instructions.
#pragma once

#include <memory>
#include <optional>

#include "apps/agent/src/planner.h"
#include "apps/agent/src/platform/model_client.h"
#include "runtime/gateway/model_gateway.h"

namespace quern::agent {

class ModelPlanner final : public Planner {
 public:
  explicit ModelPlanner(std::unique_ptr<Planner> fallback);
  // Asks `client` instead of a gateway made from the configuration.
  ModelPlanner(std::unique_ptr<Planner> fallback, std::unique_ptr<platform::ModelClient> client);
  ~ModelPlanner() override;

  Result<Decision> decide(const PlanningInput& input) override;

 private:
  std::unique_ptr<Planner> fallback_;
  std::unique_ptr<gateway::ModelGateway> gateway_;
  std::unique_ptr<platform::ModelClient> client_;
};

// "answered {}, which the app does not export", filled with `refusal` quoted and escaped.
std::string refused_step_summary(std::string_view refusal);

}  // namespace quern::agent

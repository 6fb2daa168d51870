// How the agent will decide: whether a model can be asked, and which. Decided once at connect
// time from the provider configuration and logged; the decision-mode line is written by
// `log_decision_mode`. A plain value owned by the session.
#pragma once

#include <optional>
#include <string>

#include "apps/agent/src/model_selection.h"
#include "apps/agent/src/settings.h"
#include "runtime/gateway/provider_config.h"

namespace quern::agent {

struct DecisionMode {
  bool live = false;                              // the gateway's answer: a model can be used
  std::optional<std::string> model;               // the configured model id, when a configuration loaded
  std::optional<gateway::ProviderConfig> config;  // as loaded; nothing without a usable file
  std::optional<ModelSelection> selection;        // made from `config` and the settings
};

// Loads the provider configuration (`ProviderConfig::load`) and asks the gateway whether a
// model can be used under `settings.live`.
DecisionMode choose_decision_mode(const SessionSettings& settings);
// The same for a configuration already loaded (or none).
DecisionMode decision_mode_for(std::optional<gateway::ProviderConfig> config, const SessionSettings& settings);

// "a model chooses from the app's exported actions" or "no model available; the keyword
// vocabulary chooses", with `live`, `model` and `timeout_ms`.
void log_decision_mode(const DecisionMode& mode, const SessionSettings& settings);

}  // namespace quern::agent

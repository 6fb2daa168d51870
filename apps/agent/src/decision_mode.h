// How the agent will decide: whether a model can be asked, and which. Decided once at connect
// time and logged; the decision-mode line is written by `log_decision_mode`.
#pragma once

#include <optional>
#include <string>

#include "apps/agent/src/settings.h"

namespace quern::agent {

struct DecisionMode {
  bool live = false;                 // the gateway's answer: a model can be used
  std::optional<std::string> model;  // the configured model id, when a configuration loaded
};

// This build loads no provider configuration, so no model is available and the keyword
// vocabulary chooses, whatever `settings.live` says.
DecisionMode choose_decision_mode(const SessionSettings& settings);

// "a model chooses from the app's exported actions" or "no model available; the keyword
// vocabulary chooses", with `live`, `model` and `timeout_ms`.
void log_decision_mode(const DecisionMode& mode, const SessionSettings& settings);

}  // namespace quern::agent

#include "apps/agent/src/decision_mode.h"

#include <chrono>

#include "runtime/gateway/model_gateway.h"
#include "runtime/util/log.h"

namespace quern::agent {

DecisionMode choose_decision_mode(const SessionSettings& settings) {
  return decision_mode_for(gateway::ProviderConfig::load(), settings);
}

DecisionMode decision_mode_for(std::optional<gateway::ProviderConfig> config, const SessionSettings& settings) {
  DecisionMode mode;
  mode.live = gateway::available(config, settings.live);
  if (config) {
    if (const auto choice = gateway::selected_model(*config)) {
      mode.model = choice->model->id;
    } else if (const auto* profile = config->active_profile(); profile && profile->selected_model) {
      mode.model = profile->selected_model;
    }
  }
  mode.selection = model_selection(config, settings.model_timeout, settings.live);
  mode.config = std::move(config);
  return mode;
}

void log_decision_mode(const DecisionMode& mode, const SessionSettings& settings) {
  const auto timeout_ms =
      static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(settings.model_timeout).count());
  log::info("quern_agent::session",
            mode.live ? "a model chooses from the app's exported actions"
                      : "no model available; the keyword vocabulary chooses",
            {{"live", mode.live}, {"model", mode.model}, {"timeout_ms", timeout_ms}});
}

}  // namespace quern::agent

#include "apps/agent/src/model_selection.h"

namespace quern::agent {

std::optional<ModelSelection> model_selection(const gateway::ProviderConfig& config, Duration deadline, bool live) {
  const auto choice = gateway::selected_model(config);
  if (!choice) return std::nullopt;
  return ModelSelection{
      .profile_id = choice->profile->id,
      .profile_label = choice->profile->display_label(),
      .model_id = choice->model->id,
      .action_discovery = choice->profile->action_discovery,
      .deadline = deadline,
      .live = live,
  };
}

std::optional<ModelSelection> model_selection(const std::optional<gateway::ProviderConfig>& config, Duration deadline,
                                              bool live) {
  if (!config) return std::nullopt;
  return model_selection(*config, deadline, live);
}

}  // namespace quern::agent

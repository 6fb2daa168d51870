// Which model the agent asks, made once at start-up from the provider configuration and the
// command line: the active profile, its selected model, whether tool use works with it, the
// conversation's deadline and the model switch. A plain value; safe to copy.
#pragma once

#include <optional>
#include <string>

#include "runtime/gateway/provider_config.h"
#include "runtime/util/clock.h"

namespace quern::agent {

// Which model to ask, made once at start-up.
struct ModelSelection {
  std::string profile_id;
  std::string profile_label;  // the profile's display label
  std::string model_id;       // sent as the request's `model`
  bool action_discovery = false;
  Duration deadline{};  // the whole conversation's
  bool live = true;     // not --no-model
};

// The selection for the active profile and its selected model; nothing when the configuration
// has no active profile, the profile selects no model, or the selected id names none of its
// models.
std::optional<ModelSelection> model_selection(const gateway::ProviderConfig& config, Duration deadline, bool live);
std::optional<ModelSelection> model_selection(const std::optional<gateway::ProviderConfig>& config, Duration deadline,
                                              bool live);

}  // namespace quern::agent

#include "apps/agent/src/decision_mode.h"

#include <chrono>

#include "runtime/util/log.h"

namespace quern::agent {

DecisionMode choose_decision_mode(const SessionSettings&) { return DecisionMode{false, std::nullopt}; }

void log_decision_mode(const DecisionMode& mode, const SessionSettings& settings) {
  const auto timeout_ms =
      static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(settings.model_timeout).count());
  log::info("quern_agent::session",
            mode.live ? "a model chooses from the app's exported actions"
                      : "no model available; the keyword vocabulary chooses",
            {{"live", mode.live}, {"model", mode.model}, {"timeout_ms", timeout_ms}});
}

}  // namespace quern::agent

// Looking an operation up among the offers of the moment, as carrying out does before each
// action step: the planning catalogue built from the session's replicas and the broker's
// catalogue, permission-filtered, searched for the exact operation id. Session thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/actions/action_offer.h"

namespace quern::agent {

struct Session;

struct FoundOffer {
  actions::ActionOffer offer;
  std::string app;                           // the surface's short name, or the broker record's app
  std::optional<std::uint64_t> participant;  // set for a broker offer
};

std::optional<FoundOffer> find_current_offer(const Session& session, std::string_view operation);

}  // namespace quern::agent

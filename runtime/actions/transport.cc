#include "runtime/actions/transport.h"

namespace quern::actions {

Result<void> LocalTransport::replicate(ReplicatedAction change) {
  changes_.push_back(std::move(change));
  return {};
}

std::vector<ReplicatedAction> LocalTransport::take_changes() {
  std::vector<ReplicatedAction> out;
  out.swap(changes_);
  return out;
}

}  // namespace quern::actions

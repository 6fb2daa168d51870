// Where an invocation's encoded action goes. A local invocation hands it to a `LocalTransport`,
// which only collects it: the caller then decodes and applies the collected actions to its own
// replica (action_registry.h) and sends the resulting change. Other transports may forward the
// action elsewhere. A transport is used by one thread at a time.
#pragma once

#include <string>
#include <vector>

#include "runtime/actions/encoder.h"
#include "runtime/actions/invocation_id.h"
#include "runtime/util/error.h"

namespace quern::actions {

// One encoded action on its way to a document, with who asked for it.
struct ReplicatedAction {
  InvocationId invocation_id;
  std::string resource_id;
  std::string action_name;
  std::string actor;  // the actor id bytes the change is to be made under
  EncodedAction action;
};

class ActionTransport {
 public:
  virtual ~ActionTransport() = default;
  virtual Result<void> replicate(ReplicatedAction change) = 0;
};

class LocalTransport final : public ActionTransport {
 public:
  Result<void> replicate(ReplicatedAction change) override;

  // In the order replicated.
  const std::vector<ReplicatedAction>& changes() const { return changes_; }
  // The collected changes; the transport is empty afterwards.
  std::vector<ReplicatedAction> take_changes();

 private:
  std::vector<ReplicatedAction> changes_;
};

}  // namespace quern::actions

#include "runtime/actions/action_spec.h"

namespace quern::actions {

Risk ActionSpec::offered_risk() const {
  if (destructive_ && (contract_.risk == Risk::None || contract_.risk == Risk::Low)) return Risk::Destructive;
  return contract_.risk;
}

}  // namespace quern::actions

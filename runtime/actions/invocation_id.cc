#include "runtime/actions/invocation_id.h"

#include "runtime/util/uuid.h"

namespace quern::actions {

InvocationId InvocationId::generate() { return InvocationId(Uuid::new_v4().to_string()); }

}  // namespace quern::actions

// Task-run mode: broker-addressed task leases instead of a watched document.
#pragma once

#include "apps/agent/src/session.h"
#include "runtime/util/error.h"

namespace quern::agent {

// Not built yet: fails with "task-run mode is not available in this build".
Result<void> run_task_runs(Session& session);

}  // namespace quern::agent

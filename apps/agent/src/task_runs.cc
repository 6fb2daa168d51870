#include "apps/agent/src/task_runs.h"

namespace quern::agent {

Result<void> run_task_runs(Session&) { return fail("task-run mode is not available in this build"); }

}  // namespace quern::agent

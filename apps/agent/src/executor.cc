#include "apps/agent/src/executor.h"

#include "apps/agent/src/carry_out.h"
#include "apps/agent/src/session.h"
#include "runtime/util/log.h"

namespace quern::agent {

Result<CarryOutReport> DefaultExecutor::carry_out(Session& session, const Instruction& instruction,
                                                  const Decision& decision) {
  log::info("quern_agent::session", "took the instruction; nothing carries its steps out yet",
            {{"block", instruction.block}, {"asked", instruction.request}, {"steps", decision.steps.size()}});
  session.run.reset();
  return CarryOutReport{};
}

std::unique_ptr<Executor> default_executor() { return carry_out_executor(); }

}  // namespace quern::agent

#include "apps/agent/src/startup.h"

#include "apps/agent/src/session_loop.h"
#include "apps/agent/src/task_runs.h"
#include "apps/agent/src/wire.h"

namespace quern::agent {

ui::permissions::PermissionContext agent_permissions(const SessionSettings& settings) {
  return ui::permissions::PermissionContext::from_capabilities(
      {settings.name}, {ui::permissions::Grant{settings.name, settings.app, "invited"}});
}

Result<void> run(const Cli& cli) {
  SessionSettings settings = SessionSettings::from_cli(cli);
  auto permissions = agent_permissions(settings);
  const bool task_runs = settings.task_runs;
  Result<void> result;
  {
    Session session = QUERN_TRY(connect(std::move(settings), std::move(permissions)));
    result = task_runs ? run_task_runs(session) : run_document_mode(session);
  }  // the session is released here, which closes the room connection
  return result;
}

}  // namespace quern::agent

#include "apps/agent/src/startup.h"

namespace quern::agent {

ui::permissions::PermissionContext agent_permissions(const SessionSettings& settings) {
  return ui::permissions::PermissionContext::from_capabilities(
      {settings.name}, {ui::permissions::Grant{settings.name, settings.app, "invited"}});
}

Result<void> run(const Cli& cli) {
  const SessionSettings settings = SessionSettings::from_cli(cli);
  const auto permissions = agent_permissions(settings);
  (void)permissions;
  return fail("this build has no room connection yet; nothing can be joined");
}

}  // namespace quern::agent

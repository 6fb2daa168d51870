// Start-up after the command line: settings, the permission context, connecting to the room,
// and handing over to the chosen run mode. Returns the mode's result; `main` reports it.
#pragma once

#include "apps/agent/src/cli.h"
#include "apps/agent/src/settings.h"
#include "runtime/ui/permissions.h"
#include "runtime/util/error.h"

namespace quern::agent {

// The agent's permissions: its own name as identity, and one grant naming it and the app with
// the membership "invited".
ui::permissions::PermissionContext agent_permissions(const SessionSettings& settings);

Result<void> run(const Cli& cli);

}  // namespace quern::agent

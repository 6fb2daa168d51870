// The agent's connection to the room: connecting and joining, the event pump the run modes
// pull from, and the commands the agent sends. Everything here runs on the session thread.
#pragma once

#include <optional>

#include "apps/agent/src/session.h"
#include "apps/agent/src/settings.h"
#include "runtime/collab/collab_event.h"
#include "runtime/collab/messages.h"
#include "runtime/ui/permissions.h"
#include "runtime/util/clock.h"
#include "runtime/util/error.h"

namespace quern::agent {

// The longest the event pump sleeps between two polls of the room.
inline constexpr Duration kRoomPollInterval = std::chrono::milliseconds(5);

// Connects over the inherited descriptor, or over `settings.endpoint` when it is given; joins the
// room's route, asks for the document, announces the agent to the room, and logs the joined line
// and the decision-mode line. Errors carry the context "connect through QUERN_SVC_COLLAB_FD", or
// "start typed collaboration client" (around "connect to typed endpoint at {path}").
Result<Session> connect(SessionSettings settings, ui::permissions::PermissionContext permissions);

// The next event within `timeout`: polls the room, hands out the front of the queue, and
// otherwise sleeps at most `kRoomPollInterval` at a time until the deadline; nothing when the
// deadline passes. The room's failure is returned as it is.
Result<std::optional<collab::CollabEvent>> next_event(Session& session, Duration timeout);

// Fire and forget: a command that cannot be queued is dropped (the client logs it).
void send(Session& session, collab::Message command);
void send_to(Session& session, collab::Route route, collab::Message command);

// Sends a document request for the watched document and notes when.
void ask_for_document(Session& session);

// Replaces the stored broker catalogue.
void store_catalogue(Session& session, collab::CatalogueUpdate update);

}  // namespace quern::agent

// The session: the one object that owns the agent's run-time state, from connecting until the
// run mode returns. A plain struct on purpose: each part of the agent keeps its own state in it
// (the replicas, the instruction bookkeeping and the run record join it later). Only the session
// thread touches it.
#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "apps/agent/src/decision_mode.h"
#include "apps/agent/src/platform/clock.h"
#include "apps/agent/src/platform/room_client.h"
#include "apps/agent/src/settings.h"
#include "runtime/collab/collab_event.h"
#include "runtime/collab/messages.h"
#include "runtime/ui/permissions.h"

namespace quern::agent {

struct Session {
  SessionSettings settings;
  ui::permissions::PermissionContext permissions;
  std::string transport;  // "QUERN_SVC_COLLAB_FD" or "typed-endpoint"
  DecisionMode decision_mode;

  std::unique_ptr<platform::RoomClient> room;
  platform::Clock* clock = &platform::production_clock();
  // Events polled from the room and not yet taken, oldest first.
  std::deque<collab::CollabEvent> events;
  Instant last_document_request{};

  // The broker's action catalogue as last published; replaced whole on each update.
  std::vector<collab::ParticipantRecord> broker_catalogue;
  bool broker_catalogue_received = false;
};

// Whether the replica of the watched document exists. This build keeps no replicas yet, so the
// agent is always waiting for its document.
bool has_watched_document(const Session& session);

}  // namespace quern::agent

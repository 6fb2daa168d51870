// The session: the one object that owns the agent's run-time state, from connecting until the
// run mode returns: the settings, the room client with its event queue, the replicas, the broker
// catalogue, the instruction bookkeeping, the latest decision and the open run record, and the
// planner and executor the document-mode loop hands instructions to. A plain struct on purpose:
// each part of the agent keeps its own state in it. Only the session thread touches it.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "apps/agent/src/decision.h"
#include "apps/agent/src/decision_mode.h"
#include "apps/agent/src/executor.h"
#include "apps/agent/src/planner.h"
#include "apps/agent/src/platform/clock.h"
#include "apps/agent/src/platform/room_client.h"
#include "apps/agent/src/replica.h"
#include "apps/agent/src/run_record.h"
#include "apps/agent/src/settings.h"
#include "runtime/collab/collab_event.h"
#include "runtime/collab/messages.h"
#include "runtime/ui/permissions.h"

namespace quern::agent {

// An addressed paragraph seen but not yet settled: its full text and when it was seen so.
struct PendingParagraph {
  std::string text;
  Instant seen{};
};

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

  // The watched document, once the room answered; the other apps' documents by short name.
  std::optional<Replica> own;
  std::map<std::string, Replica, std::less<>> others;

  // Block ids of instruction paragraphs taken, for the life of the process.
  std::set<std::string, std::less<>> handled;
  // Addressed paragraphs waiting to settle, by block id.
  std::map<std::string, PendingParagraph, std::less<>> pending;
  std::optional<Decision> decision;  // the latest
  std::optional<RunRecord> run;      // open while an instruction is carried out

  std::unique_ptr<Planner> planner = default_planner();
  std::unique_ptr<Executor> executor = default_executor();
};

// Whether the replica of the watched document exists.
bool has_watched_document(const Session& session);

}  // namespace quern::agent

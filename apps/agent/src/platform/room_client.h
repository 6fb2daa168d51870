// The agent's view of the collaboration client: the four calls the session makes on the room.
// The production adapter wraps the runtime's `CollaborationManager`; tests plug in a scripted
// client. Called from the session thread only.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "runtime/collab/collab_event.h"
#include "runtime/collab/collaboration_manager.h"
#include "runtime/collab/messages.h"
#include "runtime/util/error.h"
#include "runtime/util/uuid.h"

namespace quern::agent::platform {

class RoomClient {
 public:
  virtual ~RoomClient() = default;

  virtual Result<void> join_route(const Uuid& room) = 0;
  // Never block; a command that cannot be queued is reported and dropped.
  virtual Result<void> send(collab::Message command) = 0;
  virtual Result<void> send_to_route(collab::Route route, collab::Message command) = 0;
  // The events since the last poll, without blocking; the connection's error once it ended.
  virtual Result<std::vector<collab::CollabEvent>> poll() = 0;
};

// The runtime's client over `transport`, announced as the participant `name` of kind "agent"
// on the route (app, room, record). Returns once the client is usable.
Result<std::unique_ptr<RoomClient>> open_room_client(collab::Transport transport, const std::string& app,
                                                     const Uuid& room, const std::optional<std::string>& record,
                                                     const std::string& name);

}  // namespace quern::agent::platform

#include "apps/agent/src/platform/room_client.h"

namespace quern::agent::platform {
namespace {

class CollaborationRoomClient final : public RoomClient {
 public:
  explicit CollaborationRoomClient(collab::CollaborationManager manager) : manager_(std::move(manager)) {}

  Result<void> join_route(const Uuid& room) override { return manager_.join_route(room); }
  Result<void> send(collab::Message command) override { return manager_.send(std::move(command)); }
  Result<void> send_to_route(collab::Route route, collab::Message command) override {
    return manager_.send_to_route(std::move(route), std::move(command));
  }
  Result<std::vector<collab::CollabEvent>> poll() override { return manager_.poll(); }

 private:
  collab::CollaborationManager manager_;
};

}  // namespace

Result<std::unique_ptr<RoomClient>> open_room_client(collab::Transport transport, const std::string& app,
                                                     const Uuid& room, const std::optional<std::string>& record,
                                                     const std::string& name) {
  auto manager =
      QUERN_TRY(collab::CollaborationManager::for_route_from(std::move(transport), app, room, record, name, "agent"));
  return std::make_unique<CollaborationRoomClient>(std::move(manager));
}

}  // namespace quern::agent::platform

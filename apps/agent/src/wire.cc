#include "apps/agent/src/wire.h"

#include <algorithm>
#include <string>
#include <utility>

#include "runtime/collab/unix_socket.h"
#include "runtime/util/log.h"

namespace quern::agent {
namespace {

constexpr std::string_view kSession = "quern_agent::session";

Result<std::unique_ptr<platform::RoomClient>> open_typed_endpoint(const SessionSettings& s, const std::string& path) {
  auto socket = collab::connect_unix_socket(path);
  if (!socket) return fail(std::move(socket).error().with_context("connect to typed endpoint at " + path));
  return platform::open_room_client(collab::ConnectedSocket{std::move(*socket)}, s.app, s.workspace, s.record, s.name);
}

}  // namespace

Result<Session> connect(SessionSettings settings, ui::permissions::PermissionContext permissions) {
  Session session;
  if (!settings.endpoint) {
    session.transport = "QUERN_SVC_COLLAB_FD";
    session.room = QUERN_TRY_CTX(platform::open_room_client(collab::InheritedDescriptor{}, settings.app,
                                                            settings.workspace, settings.record, settings.name),
                                 "connect through QUERN_SVC_COLLAB_FD");
  } else {
    session.transport = "typed-endpoint";
    session.room = QUERN_TRY_CTX(open_typed_endpoint(settings, *settings.endpoint), "start typed collaboration client");
  }
  session.room->join_route(settings.workspace);
  session.settings = std::move(settings);
  session.permissions = std::move(permissions);
  ask_for_document(session);
  send(session, collab::RoomAnnouncement{session.settings.workspace.to_string()});
  log::info(kSession, "joined the room; waiting for the document",
            {{"transport", session.transport},
             {"app", session.settings.app},
             {"room", session.settings.workspace.to_string()},
             {"record", session.settings.record},
             {"name", session.settings.name}});
  session.decision_mode = choose_decision_mode(session.settings);
  log_decision_mode(session.decision_mode, session.settings);
  session.last_document_request = session.clock->now();
  return session;
}

Result<std::optional<collab::CollabEvent>> next_event(Session& session, Duration timeout) {
  platform::Clock& clock = *session.clock;
  const Instant start = clock.now();
  const Instant deadline = timeout >= Instant::max() - start ? Instant::max() : start + timeout;
  while (true) {
    auto batch = QUERN_TRY(session.room->poll());
    for (auto& event : batch) session.events.push_back(std::move(event));
    if (!session.events.empty()) {
      collab::CollabEvent front = std::move(session.events.front());
      session.events.pop_front();
      return front;
    }
    const Instant now = clock.now();
    if (now >= deadline) return std::nullopt;
    clock.sleep_for(std::min<Duration>(deadline - now, kRoomPollInterval));
  }
}

void send(Session& session, collab::Message command) { (void)session.room->send(std::move(command)); }

void send_to(Session& session, collab::Route route, collab::Message command) {
  (void)session.room->send_to_route(std::move(route), std::move(command));
}

void ask_for_document(Session& session) {
  send(session, collab::DocumentRequest{session.settings.app, session.settings.record});
  session.last_document_request = session.clock->now();
}

void store_catalogue(Session& session, collab::CatalogueUpdate update) {
  const std::size_t actions = update.action_count();
  session.broker_catalogue = std::move(update.records);
  session.broker_catalogue_received = true;
  log::debug(kSession, "updated broker action catalogue", {{"actions", actions}});
}

}  // namespace quern::agent

// The collaboration client: one participant's connection to the room's broker.
//
// `for_route_from` takes the broker connection (the descriptor inherited in
// QUERN_SVC_COLLAB_FD, or a socket the caller connected), says hello with the participant's
// name, kind and route, and returns once the broker has welcomed it. From then on a reader
// thread turns incoming frames into `CollabEvent`s and a writer thread sends queued commands,
// each behind a bounded channel; the caller's thread only queues and takes, so `send`,
// `send_to_route` and `poll` never block. Commands and events are moved across; nothing of the
// caller's state is shared with the threads (document bytes are immutable `Blob`s).
//
// When the connection ends (the broker went away, a frame did not decode, a write failed), the
// events received before that are still delivered, and the next `poll` after them reports the
// error; the client does not reconnect. Destroying the manager (or `close`) gives queued commands
// a bounded time to go out, then closes the connection and joins both threads.
//
// All members are to be called from one thread at a time (the owner's).
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "runtime/collab/collab_event.h"
#include "runtime/collab/messages.h"
#include "runtime/collab/unique_fd.h"
#include "runtime/util/clock.h"
#include "runtime/util/error.h"
#include "runtime/util/uuid.h"

namespace quern::collab {

inline constexpr std::string_view kInheritedDescriptorVariable = "QUERN_SVC_COLLAB_FD";

// The descriptor the launcher passed, named by QUERN_SVC_COLLAB_FD.
struct InheritedDescriptor {};
// A stream socket the caller connected itself; the manager takes it over.
struct ConnectedSocket {
  UniqueFd fd;
};
using Transport = std::variant<InheritedDescriptor, ConnectedSocket>;

// "QUERN_SVC_COLLAB_FD" or "typed-endpoint".
std::string_view transport_name(const Transport& transport);

struct ClientOptions {
  Duration handshake_timeout = std::chrono::seconds(10);
  Duration close_timeout = std::chrono::seconds(2);  // for queued commands to go out at close
  std::size_t max_outgoing_frames = 4096;
  std::size_t max_outgoing_bytes = std::size_t{512} << 20;
  std::size_t max_incoming_events = 4096;
  std::size_t max_incoming_bytes = std::size_t{512} << 20;
};

class CollaborationManager {
 public:
  // `kind` is "agent" or "app". Fails with "agent connection needs an id" when `name` is
  // empty, with the reason the descriptor cannot be used, or when the broker refuses or does
  // not answer the hello in time.
  static Result<CollaborationManager> for_route_from(Transport transport, std::string app, const Uuid& room,
                                                     std::optional<std::string> record, std::string name,
                                                     std::string_view kind, ClientOptions options = {});

  CollaborationManager(CollaborationManager&&) noexcept;
  CollaborationManager& operator=(CollaborationManager&&) noexcept;
  ~CollaborationManager();

  // Who the broker knows this participant as (its number comes from the welcome).
  const Sender& identity() const;
  std::string_view transport() const;

  // Joins the room's traffic; called once, after construction.
  Result<void> join_route(const Uuid& room);
  // Queue a command for the room, or for the participants of one route. Fails (and drops the
  // command) when the outgoing channel is full or the connection has ended.
  Result<void> send(Message command);
  Result<void> send_to_route(Route route, Message command);
  // The events received since the last poll, in order; the connection's error once it has
  // ended and everything before it was taken.
  Result<std::vector<CollabEvent>> poll();
  // Blocks until `poll` has something to report or the timeout passes; for tools that would
  // rather sleep than spin. True when something is there.
  bool wait(Duration timeout);

  void close();

 private:
  struct Impl;
  explicit CollaborationManager(std::unique_ptr<Impl> impl);
  Result<void> enqueue(std::optional<Route> to, Message command);

  std::unique_ptr<Impl> impl_;
};

}  // namespace quern::collab

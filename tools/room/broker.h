// The local room broker behind `quern-room serve`: listens on a Unix socket, welcomes
// participants, and routes their frames between the rooms they join.
//
// Routing:
// - a document request goes to the participants whose route matches (app, the sender's room,
//   record); document bytes and directory messages go to every other participant of the room;
//   a frame addressed to a route goes only to the participants of that route;
// - catalogue publishing replaces the publisher's record (its participant number, app name,
//   admitted flag and offers) in the room's catalogue, and every agent of the room is sent the
//   whole catalogue, as it is on joining;
// - a brokered action request goes to the publishing participant, renumbered; its answers
//   (accepted with a handle, outcome) go back to the requester under the requester's number;
//   status queries and cancellations follow the handle to the participant that accepted it;
// - the Task Center mints task envelopes for an agent by name, answers cancellation-status
//   queries, takes cancellations, and collects status reports (forwarding them to the minter).
//
// A connection that sends a frame over the bound, one that does not decode, or that stops
// reading what it is sent, is closed with a logged reason; nothing else is affected. Whatever
// else is dropped is logged with the reason.
//
// Single-threaded: `run` owns everything until a stop signal (SIGINT, SIGTERM) arrives.
#pragma once

#include <cstddef>
#include <memory>
#include <set>
#include <string>

#include "runtime/collab/frame.h"
#include "runtime/util/error.h"

namespace quern::room {

struct BrokerOptions {
  std::string socket_path;
  // Participants by these names publish into the catalogue without being admitted.
  std::set<std::string> unadmitted;
  std::size_t max_frame_bytes = collab::kMaxFrameBytes;
  // A participant with more than this queued for it and not read is closed.
  std::size_t max_queued_bytes = 4 * collab::kMaxFrameBytes;
};

class Broker {
 public:
  explicit Broker(BrokerOptions options);
  ~Broker();
  Broker(const Broker&) = delete;
  Broker& operator=(const Broker&) = delete;

  // Binds the socket; after this, participants may connect.
  Result<void> listen();
  // Serves until a stop signal; removes the socket file on the way out.
  Result<void> run();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace quern::room

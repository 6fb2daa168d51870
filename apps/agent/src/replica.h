// A replica: the agent's own copy of one of the room's documents, with the actor its edits are
// made under, the app surface that claimed it, where it lives in the room, and the message for
// its next stamped commit. The session owns every replica (the watched one and one per other
// app); only the session thread touches them.
//
// Every replica keeps the engine's incremental-save mark just after what it received: whoever
// loads or merges into it calls `mark_received`, so the next incremental save holds only the
// agent's own edits.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "apps/agent/src/surface.h"
#include "runtime/collab/messages.h"
#include "runtime/crdt/document.h"

namespace quern::agent {

struct Replica {
  crdt::Document document;
  crdt::ActorId actor;
  const Surface* surface = nullptr;  // never null once built
  // The route of the document: the watched route for the watched document, otherwise the
  // route of the participant whose state the replica was built from. Another app's replica is
  // sent there (document requests, change sets).
  collab::Route route;
  std::optional<std::string> pending_message;  // for the next stamped commit
};

// The watched document's actor: the bytes of the agent's name.
crdt::ActorId watched_actor(std::string_view name);
// Another app's actor: the bytes of "{name}#{short}".
crdt::ActorId app_actor(std::string_view name, std::string_view short_name);

// A replica over a loaded document, under `actor`, with the incremental-save mark after what
// the document holds.
Replica make_replica(crdt::Document document, crdt::ActorId actor, const Surface& surface, collab::Route route);

// Takes an incremental save and throws it away.
void mark_received(Replica& replica);

// Whether two documents are replicas of one history: `incoming` holds one of the changes of
// `held` that depend on nothing (for a folio document that is its schema genesis). The engine
// merges unrelated documents without complaint, their root keys conflicting, so nothing is
// merged into a replica unless this holds.
bool shares_history(const crdt::Document& held, const crdt::Document& incoming);

// Loads a change set into the replica when it belongs there, and says whether the heads moved.
// It belongs when every dependency it lacks on its own is a change of the replica and every
// change of it that depends on nothing (the start of a history) is one too; a set that does
// not load belongs nowhere. A duplicate loads and leaves the heads where they were.
bool apply_change_set(Replica& replica, crdt::ByteView bytes);

}  // namespace quern::agent

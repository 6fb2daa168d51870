#include "apps/agent/src/replica.h"

namespace quern::agent {

crdt::ActorId watched_actor(std::string_view name) { return crdt::ActorId(name); }

crdt::ActorId app_actor(std::string_view name, std::string_view short_name) {
  return crdt::ActorId(std::string(name) + "#" + std::string(short_name));
}

Replica make_replica(crdt::Document document, crdt::ActorId actor, const Surface& surface, collab::Route route) {
  Replica replica{std::move(document), std::move(actor), &surface, std::move(route), std::nullopt};
  replica.document.set_actor(replica.actor);
  mark_received(replica);
  return replica;
}

void mark_received(Replica& replica) { (void)replica.document.save_incremental(); }

bool shares_history(const crdt::Document& held, const crdt::Document& incoming) {
  for (const crdt::Change& change : held.get_changes()) {
    if (change.deps.empty() && incoming.get_change_by_hash(change.hash)) return true;
  }
  return false;
}

bool apply_change_set(Replica& replica, crdt::ByteView bytes) {
  crdt::Document scratch;
  if (!scratch.load_incremental(bytes)) return false;
  for (const crdt::ChangeHash& dep : scratch.get_missing_deps({})) {
    if (!replica.document.get_change_by_hash(dep)) return false;
  }
  for (const crdt::Change& change : scratch.get_changes()) {
    if (change.deps.empty() && !replica.document.get_change_by_hash(change.hash)) return false;
  }
  const auto heads = replica.document.heads();
  if (!replica.document.load_incremental(bytes)) return false;
  mark_received(replica);
  return replica.document.heads() != heads;
}

}  // namespace quern::agent

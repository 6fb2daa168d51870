#include "apps/agent/src/apply.h"

#include <variant>

#include "apps/agent/src/instruction.h"
#include "apps/agent/src/wire.h"
#include "runtime/folio/materialize.h"
#include "runtime/folio/schema.h"
#include "runtime/util/log.h"

namespace quern::agent {
namespace {

constexpr std::string_view kApply = "quern_agent::apply";
constexpr std::string_view kSession = "quern_agent::session";

// Whether the document opens under the folio schema and its body holds a paragraph addressed to
// `name`.
bool holds_instruction(const crdt::Document& document, std::string_view name) {
  auto schema = folio::model::open(document);
  if (!schema) return false;
  auto body = folio::model::materialize_region(document, *schema, folio::model::Region::Body);
  return body && find_instruction(*body, name).has_value();
}

collab::Route route_of_sender(const Session& session, const collab::Sender& from, const Surface& surface) {
  if (!from.route.app.empty()) return from.route;
  return collab::Route{std::string(surface.app()), session.settings.workspace.to_string(), std::nullopt};
}

// `loaded` is the state as loaded, or nothing when the bytes did not load.
bool other_app_state(Session& session, const collab::Sender& from, std::size_t bytes,
                     std::optional<crdt::Document> loaded) {
  const Surface* surface = loaded ? claiming_surface(*loaded) : nullptr;
  if (surface == nullptr) {
    log::debug(kApply, "ignored a peer's state: no app here claims it", {{"bytes", bytes}});
    return false;
  }
  const std::string key(surface->short_name());
  if (auto it = session.others.find(key); it != session.others.end()) {
    Replica& replica = it->second;
    if (!shares_history(replica.document, *loaded)) {
      log::debug(kApply, "kept the replica held for this app: the state is a different document of it",
                 {{"app", key}, {"bytes", bytes}});
      return false;
    }
    auto merged = replica.document.merge(*loaded);
    if (!merged) {
      log::warn(kApply,
                "this app's own state would not merge into the replica held for it, so the agent cannot see what "
                "the room is doing there: " +
                    merged.error().to_string(),
                {{"app", key}, {"bytes", bytes}});
      return false;
    }
    mark_received(replica);
    return true;
  }
  Replica replica = make_replica(std::move(*loaded), app_actor(session.settings.name, key), *surface,
                                 route_of_sender(session, from, *surface));
  session.others.emplace(key, std::move(replica));
  log::info(kSession, "a second application's document joined the room", {{"app", key}, {"bytes", bytes}});
  return true;
}

std::optional<crdt::Document> load(const collab::Blob& bytes) {
  auto doc = crdt::Document::load(bytes.bytes());
  if (!doc) return std::nullopt;
  return std::move(*doc);
}

Result<bool> state_received(Session& session, const collab::Sender& from, const collab::Blob& bytes) {
  const SessionSettings& s = session.settings;
  std::optional<crdt::Document> incoming = load(bytes);
  if (!session.own) {
    if (!incoming || !folio::model::open(*incoming))
      return other_app_state(session, from, bytes.size(), std::move(incoming));
    const Surface* surface = claiming_surface(*incoming);
    if (surface == nullptr) return fail("no app the agent speaks to claims this document");
    session.own = make_replica(std::move(*incoming), watched_actor(s.name), *surface,
                               collab::Route{s.app, s.workspace.to_string(), s.record});
    log::info(kSession, "received the document", {{"bytes", bytes.size()}});
    return true;
  }
  Replica& own = *session.own;
  if (incoming && folio::model::open(*incoming) && shares_history(own.document, *incoming)) {
    if (own.document.merge(*incoming)) {
      mark_received(own);
      return true;
    }
  }
  if (holds_instruction(own.document, s.name)) return other_app_state(session, from, bytes.size(), std::move(incoming));
  if (incoming && holds_instruction(*incoming, s.name)) {
    const Surface* surface = claiming_surface(*incoming);
    own.document = std::move(*incoming);
    own.document.set_actor(own.actor);
    if (surface != nullptr) own.surface = surface;
    mark_received(own);
    log::info(kSession, "took a different document: this is the one addressed to " + s.name, {{"bytes", bytes.size()}});
    return true;
  }
  return other_app_state(session, from, bytes.size(), std::move(incoming));
}

bool changes_received(Session& session, const collab::Blob& bytes) {
  if (session.own && apply_change_set(*session.own, bytes.bytes())) return true;
  for (auto& [key, replica] : session.others) {
    if (apply_change_set(replica, bytes.bytes())) return true;
  }
  log::debug(kApply, "dropped a change set that moved no replica here", {{"bytes", bytes.size()}});
  return false;
}

}  // namespace

Result<bool> apply_document_event(Session& session, const collab::CollabEvent& event) {
  const collab::DocumentMutation mutation = QUERN_TRY(event.document_mutation());
  if (const auto* whole = std::get_if<collab::WholeState>(&mutation)) {
    return state_received(session, event.from, whole->bytes);
  }
  if (const auto* changes = std::get_if<collab::ChangeSet>(&mutation)) return changes_received(session, changes->bytes);
  return fail("document event lost its mutation");
}

Replica* find_replica(Session& session, std::string_view short_name) {
  if (session.own && session.own->surface->short_name() == short_name) return &*session.own;
  auto it = session.others.find(short_name);
  return it == session.others.end() ? nullptr : &it->second;
}

const Replica* find_replica(const Session& session, std::string_view short_name) {
  return find_replica(const_cast<Session&>(session), short_name);
}

void answer_document_request(Session& session, const collab::DocumentRequest& request) {
  const SessionSettings& s = session.settings;
  if (request.app == s.app && request.record == s.record) {
    if (!session.own) {
      log::debug(kSession, "holds no document yet to answer a request with", {{"app", request.app}});
      return;
    }
    send(session,
         collab::DocumentBytes{collab::DocumentPayload::Whole, collab::Blob::take(session.own->document.save())});
    return;
  }
  for (auto& [key, replica] : session.others) {
    if (replica.surface->app() != request.app) continue;
    send_to(session, replica.route,
            collab::DocumentBytes{collab::DocumentPayload::Whole, collab::Blob::take(replica.document.save())});
    return;
  }
  log::debug(kSession, "holds no document to answer a request with",
             {{"app", request.app}, {"record", request.record}});
}

}  // namespace quern::agent

// The catalogue: every action the agent may plan against at one moment, rebuilt each time it
// plans. Entries come from the action directories of the documents the agent holds replicas of
// (surveyed here), one synthetic "open" entry per known application not open in the room, and
// the catalogue the broker publishes; every entry has passed the permission filter. The
// discovery tools print it, plan validation resolves steps against it and task runs choose
// from it. Plain values and free functions; called on the session thread (building reads the
// replicas).
//
// Operation ids: a local entry is "{resource id}#{action name}", a broker entry
// "broker:{participant}:{resource id}#{action name}"; look-up is exact and case-sensitive.
// The printed forms of the contract enumerations are `actions::to_string` (contract.h).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "apps/agent/src/planner.h"
#include "apps/agent/src/replica.h"
#include "apps/agent/src/surface.h"
#include "runtime/actions/action_offer.h"
#include "runtime/actions/resource.h"
#include "runtime/collab/messages.h"
#include "runtime/crdt/document.h"
#include "runtime/ui/permissions.h"

namespace quern::agent {

using actions::ActionOffer;

// Where an entry's action runs: on a replica (Local), or at the broker's participant that
// published it (Broker).
struct CatalogueSource {
  enum class Kind { Local, Broker };
  Kind kind = Kind::Local;
  std::uint64_t participant = 0;  // Broker only

  static CatalogueSource local() { return {}; }
  static CatalogueSource broker(std::uint64_t participant) { return {Kind::Broker, participant}; }
  bool is_broker() const { return kind == Kind::Broker; }
  bool operator==(const CatalogueSource&) const = default;
};

struct CatalogueEntry {
  CatalogueSource source;
  // The application namespace: a surface's short name for local entries, the publishing
  // participant's app name for broker entries.
  std::string app;
  ActionOffer offer;
  bool operator==(const CatalogueEntry&) const = default;
};

// One document the agent holds a replica of, as planning sees it: its surface, the document
// and the agent's editing context in it.
struct RoomDocument {
  const Surface* surface = nullptr;
  const crdt::Document* document = nullptr;
  EditingContext context;
};

// The session's replicas in replica order: the watched one first, then the other apps' by key.
std::vector<RoomDocument> room_documents(std::span<const PlanningReplica> replicas);
std::vector<RoomDocument> room_documents(const std::optional<Replica>& watched,
                                         const std::map<std::string, Replica, std::less<>>& others);

// The surveyed entries of every document's directory, in document order, then the synthetic
// "open" entries of the known applications that are not open, in surface-table order; only
// those the permission filter lets through. When some surface says its document denotes
// content, the synthetic entries take it as a content argument ("The content to open it onto").
std::vector<CatalogueEntry> build_local_entries(std::span<const RoomDocument> documents,
                                                const ui::permissions::PermissionContext& permissions);

// The offers of the admitted participant records, in order, as broker entries; only those the
// permission filter lets through. Records whose admitted flag is clear contribute nothing.
std::vector<CatalogueEntry> broker_entries(std::span<const collab::ParticipantRecord> records,
                                           const ui::permissions::PermissionContext& permissions);
// A broker offer in the action library's terms. Its content argument is kept only when its
// type is "text". A parameter type is read by name (or by its code in decimal); one that is
// neither reads as text. Constraints or schemas that are not JSON are kept as their text,
// which no schema check accepts, so such a parameter refuses every binding.
ActionOffer offer_from_broker(const collab::BrokerOffer& offer);

// The broker entries, then each local entry that no broker entry duplicates (same resource id
// and action name). Document mode plans against this.
std::vector<CatalogueEntry> planning_catalogue(std::vector<CatalogueEntry> broker,
                                               std::span<const CatalogueEntry> local);

std::string entry_id(const CatalogueEntry& entry);
// The first entry whose operation id equals `id` exactly; nullptr when none does.
const CatalogueEntry* find_entry(std::span<const CatalogueEntry> entries, std::string_view id);

// The application an offer opens: X when the action is "open" and the resource id is "app.X"
// or "X.app" (split at its first "."); nothing otherwise.
std::optional<std::string> open_target(const ActionOffer& offer);

// The permission filter. The level an offer needs: None and Read 0, Comment 1, Write 2,
// Invite 3, Admin 4. The scope: the target application for an offer that opens one, else the
// offer's resource (the resource kind up to its first ".", and the resource id).
ui::permissions::Scope permission_scope(const ActionOffer& offer);
bool permitted(const ui::permissions::PermissionContext& permissions, const ActionOffer& offer);

// What the discovery tools show of the documents in the room: one item per resource of every
// document's directory, documents in order, each directory flattened parent first and then its
// children in order, depth first. The facts of an item are the labels, in order, of its child
// resources that carry no action of their own.
struct DocumentItem {
  std::string resource_id;
  std::string kind;
  std::string text;
  std::vector<std::string> facts;
  bool operator==(const DocumentItem&) const = default;
};
std::vector<DocumentItem> document_items(std::span<const RoomDocument> documents);
std::vector<DocumentItem> document_items(std::span<const actions::Resource> directory);

}  // namespace quern::agent

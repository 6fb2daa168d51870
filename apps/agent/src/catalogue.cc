#include "apps/agent/src/catalogue.h"

#include <set>
#include <utility>

#include "runtime/actions/door.h"

namespace quern::agent {
namespace {

namespace perm = ui::permissions;

constexpr std::string_view kOpenAction = "open";
constexpr std::string_view kAppsKind = "applications.app";

// Appends the entries of `directory` that the filter lets through.
void add_surveyed(std::vector<CatalogueEntry>& out, const actions::Directory& directory, std::string_view app,
                  const perm::PermissionContext& permissions) {
  for (ActionOffer& offer : actions::door::survey(directory)) {
    if (!permitted(permissions, offer)) continue;
    out.push_back(CatalogueEntry{CatalogueSource::local(), std::string(app), std::move(offer)});
  }
}

ActionOffer synthetic_open(const Surface& surface, bool takes_content) {
  const std::string label(surface.label());
  ActionOffer offer;
  offer.resource_id = std::string(surface.short_name()) + ".app";
  offer.action_name = std::string(kOpenAction);
  offer.resource_kind = std::string(kAppsKind);
  offer.resource_label = label;
  offer.action_label = "open " + label;
  offer.resource_note = label +
                        " is not open in this room, so none of what it can do is here to be named yet. Opening it is "
                        "what puts its own operations on this list.";
  offer.confirmation = actions::Confirmation::none();
  offer.execution = actions::Execution::immediate();
  offer.result = actions::ActionResult::none();
  offer.reversible = false;
  offer.retry = actions::Retry::AtMostOnce;
  offer.risk = actions::Risk::Low;
  offer.required_role = actions::Role::Write;
  if (takes_content) {
    offer.content_input = actions::ContentInput{"content", "The content to open it onto", true};
  }
  return offer;
}

// A JSON text from the wire; one that does not parse is kept as the text itself, which no
// schema check accepts, so a broken schema never lets an argument through unchecked.
Json wire_json(const std::string& text) {
  auto parsed = parse_json(text);
  return parsed ? std::move(*parsed) : Json(text);
}

actions::ParamType wire_param_type(const std::string& name) {
  if (auto type = actions::param_type_from_name(name)) return *type;
  if (!name.empty() && name.size() < 4 && name.find_first_not_of("0123456789") == std::string::npos) {
    if (auto type = actions::param_type_from_code(std::stoull(name))) return *type;
  }
  return actions::ParamType::Text;
}

actions::Role wire_role(collab::RequiredRole role) {
  switch (role) {
    case collab::RequiredRole::None: return actions::Role::None;
    case collab::RequiredRole::Read: return actions::Role::Read;
    case collab::RequiredRole::Comment: return actions::Role::Comment;
    case collab::RequiredRole::Write: return actions::Role::Write;
    case collab::RequiredRole::Invite: return actions::Role::Invite;
    case collab::RequiredRole::Admin: return actions::Role::Admin;
  }
  return actions::Role::Admin;
}

actions::Risk wire_risk(collab::Risk risk) {
  switch (risk) {
    case collab::Risk::None: return actions::Risk::None;
    case collab::Risk::Low: return actions::Risk::Low;
    case collab::Risk::Destructive: return actions::Risk::Destructive;
    case collab::Risk::Privileged: return actions::Risk::Privileged;
    case collab::Risk::Sensitive: return actions::Risk::Sensitive;
  }
  return actions::Risk::Sensitive;
}

actions::Retry wire_retry(collab::Retry retry) {
  switch (retry) {
    case collab::Retry::Idempotent: return actions::Retry::Idempotent;
    case collab::Retry::RetryWithInvocationId: return actions::Retry::RetryWithInvocationId;
    case collab::Retry::AtMostOnce: return actions::Retry::AtMostOnce;
  }
  return actions::Retry::AtMostOnce;
}

void add_items(std::vector<DocumentItem>& out, const actions::Resource& resource) {
  DocumentItem item{resource.id(), resource.kind(), resource.label(), {}};
  for (const actions::Resource& child : resource.children()) {
    if (child.actions().empty()) item.facts.push_back(child.label());
  }
  out.push_back(std::move(item));
  for (const actions::Resource& child : resource.children()) add_items(out, child);
}

}  // namespace

std::vector<RoomDocument> room_documents(std::span<const PlanningReplica> replicas) {
  std::vector<RoomDocument> out;
  for (const PlanningReplica& r : replicas) {
    if (r.replica == nullptr || r.replica->surface == nullptr) continue;
    out.push_back(RoomDocument{r.replica->surface, &r.replica->document, {}});
  }
  return out;
}

std::vector<RoomDocument> room_documents(const std::optional<Replica>& watched,
                                         const std::map<std::string, Replica, std::less<>>& others) {
  std::vector<RoomDocument> out;
  if (watched && watched->surface != nullptr) out.push_back(RoomDocument{watched->surface, &watched->document, {}});
  for (const auto& [key, replica] : others) {
    if (replica.surface != nullptr) out.push_back(RoomDocument{replica.surface, &replica.document, {}});
  }
  return out;
}

std::vector<CatalogueEntry> build_local_entries(std::span<const RoomDocument> documents,
                                                const perm::PermissionContext& permissions) {
  std::vector<CatalogueEntry> out;
  std::set<std::string_view> open;
  bool denotes_content = false;
  for (const RoomDocument& doc : documents) {
    if (doc.surface == nullptr || doc.document == nullptr) continue;
    const DocumentSurvey survey = doc.surface->survey(*doc.document, doc.context);
    if (!survey.directory.empty()) open.insert(doc.surface->short_name());
    if (survey.content) denotes_content = true;
    add_surveyed(out, survey.directory, doc.surface->short_name(), permissions);
  }
  for (const Surface* surface : surface_table()) {
    if (open.contains(surface->short_name())) continue;
    ActionOffer offer = synthetic_open(*surface, denotes_content);
    if (!permitted(permissions, offer)) continue;
    out.push_back(CatalogueEntry{CatalogueSource::local(), std::string(surface->short_name()), std::move(offer)});
  }
  return out;
}

ActionOffer offer_from_broker(const collab::BrokerOffer& b) {
  ActionOffer offer;
  offer.resource_id = b.resource_id;
  offer.action_name = b.action_name;
  offer.resource_kind = b.resource_kind;
  offer.resource_label = b.resource_label;
  offer.action_label = b.action_label;
  if (const auto* u = std::get_if<collab::Unavailable>(&b.availability)) {
    offer.availability = actions::Availability::unavailable(u->reason, u->detail);
  }
  if (std::holds_alternative<collab::Confirm>(b.confirmation)) {
    offer.confirmation = actions::Confirmation::confirm();
  } else if (const auto* p = std::get_if<collab::Phrase>(&b.confirmation)) {
    offer.confirmation = actions::Confirmation::with_phrase(p->phrase);
  }
  if (const auto* bg = std::get_if<collab::Background>(&b.execution)) {
    offer.execution = actions::Execution::background(bg->cancellable);
  } else if (const auto* st = std::get_if<collab::Streaming>(&b.execution)) {
    offer.execution = actions::Execution::streaming(st->cancellable, wire_json(st->item_schema));
  }
  if (const auto* r = std::get_if<collab::ResourceResult>(&b.result)) {
    offer.result = actions::ActionResult::resource(r->resource_kind);
  } else if (std::holds_alternative<collab::JobResult>(b.result)) {
    offer.result = actions::ActionResult::job();
  } else if (const auto* j = std::get_if<collab::JsonResult>(&b.result)) {
    offer.result = actions::ActionResult::json(wire_json(j->schema));
  }
  offer.reversible = b.reversible;
  offer.retry = wire_retry(b.retry);
  offer.risk = wire_risk(b.risk);
  offer.required_role = wire_role(b.required_role);
  for (const collab::Parameter& p : b.parameters) {
    actions::ActionParam param =
        actions::ActionParam::of_type(p.name, wire_param_type(p.type), p.required, p.description);
    param.choices = p.choices;
    if (p.constraints) param.constraints = wire_json(*p.constraints);
    offer.parameters.push_back(std::move(param));
  }
  offer.resource_note = b.resource_note;
  if (b.content_input && b.content_input->type == "text") {
    offer.content_input = actions::ContentInput{b.content_input->name, b.content_input->description,
                                                b.content_input->consumes_produced_content};
  }
  return offer;
}

std::vector<CatalogueEntry> broker_entries(std::span<const collab::ParticipantRecord> records,
                                           const perm::PermissionContext& permissions) {
  std::vector<CatalogueEntry> out;
  for (const collab::ParticipantRecord& record : records) {
    if (!record.admitted) continue;
    for (const collab::BrokerOffer& b : record.offers) {
      ActionOffer offer = offer_from_broker(b);
      if (!permitted(permissions, offer)) continue;
      out.push_back(CatalogueEntry{CatalogueSource::broker(record.participant), record.app, std::move(offer)});
    }
  }
  return out;
}

std::vector<CatalogueEntry> planning_catalogue(std::vector<CatalogueEntry> broker,
                                               std::span<const CatalogueEntry> local) {
  std::set<std::pair<std::string, std::string>> keys;
  for (const CatalogueEntry& e : broker) keys.emplace(e.offer.resource_id, e.offer.action_name);
  std::vector<CatalogueEntry> out = std::move(broker);
  for (const CatalogueEntry& e : local) {
    if (keys.contains({e.offer.resource_id, e.offer.action_name})) continue;
    out.push_back(e);
  }
  return out;
}

std::string entry_id(const CatalogueEntry& entry) {
  if (entry.source.is_broker()) {
    return "broker:" + std::to_string(entry.source.participant) + ":" + entry.offer.operation_id();
  }
  return entry.offer.operation_id();
}

const CatalogueEntry* find_entry(std::span<const CatalogueEntry> entries, std::string_view id) {
  for (const CatalogueEntry& e : entries) {
    if (entry_id(e) == id) return &e;
  }
  return nullptr;
}

std::optional<std::string> open_target(const ActionOffer& offer) {
  if (offer.action_name != kOpenAction) return std::nullopt;
  const std::string_view id = offer.resource_id;
  const std::size_t dot = id.find('.');
  if (dot == std::string_view::npos) return std::nullopt;
  const std::string_view head = id.substr(0, dot);
  const std::string_view tail = id.substr(dot + 1);
  if (head == "app" && !tail.empty()) return std::string(tail);
  if (tail == "app" && !head.empty()) return std::string(head);
  return std::nullopt;
}

perm::Scope permission_scope(const ActionOffer& offer) {
  if (auto target = open_target(offer)) return perm::AppScope{std::move(*target)};
  const std::string_view kind = offer.resource_kind;
  return perm::ResourceScope{std::string(kind.substr(0, kind.find('.'))), offer.resource_id};
}

bool permitted(const perm::PermissionContext& permissions, const ActionOffer& offer) {
  return permissions.check(permission_scope(offer), perm::level_of(offer.required_role));
}

std::vector<DocumentItem> document_items(std::span<const actions::Resource> directory) {
  std::vector<DocumentItem> out;
  for (const actions::Resource& resource : directory) add_items(out, resource);
  return out;
}

std::vector<DocumentItem> document_items(std::span<const RoomDocument> documents) {
  std::vector<DocumentItem> out;
  for (const RoomDocument& doc : documents) {
    if (doc.surface == nullptr || doc.document == nullptr) continue;
    const actions::Directory directory = doc.surface->document_directory(*doc.document, doc.context);
    for (const actions::Resource& resource : directory) add_items(out, resource);
  }
  return out;
}

}  // namespace quern::agent

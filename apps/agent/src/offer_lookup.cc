#include "apps/agent/src/offer_lookup.h"

#include "apps/agent/src/catalogue.h"
#include "apps/agent/src/session.h"

namespace quern::agent {

std::optional<FoundOffer> find_current_offer(const Session& session, std::string_view operation) {
  const auto documents = room_documents(session.own, session.others);
  const auto local = build_local_entries(documents, session.permissions);
  const auto entries = planning_catalogue(broker_entries(session.broker_catalogue, session.permissions), local);
  const CatalogueEntry* entry = find_entry(entries, operation);
  if (entry == nullptr) return std::nullopt;
  FoundOffer found{entry->offer, entry->app, std::nullopt};
  if (entry->source.is_broker()) found.participant = entry->source.participant;
  return found;
}

}  // namespace quern::agent

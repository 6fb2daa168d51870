#include "apps/agent/src/offer_lookup.h"

#include <charconv>

#include "apps/agent/src/session.h"
#include "runtime/actions/door.h"

namespace quern::agent {
namespace {

std::optional<FoundOffer> local_offer(const Replica& replica, std::string_view operation) {
  const actions::Directory directory = replica.surface->document_directory(replica.document, EditingContext{});
  auto found = actions::door::find(directory, operation);
  if (!found) return std::nullopt;
  return FoundOffer{actions::door::offer_for(*found->resource, *found->action),
                    std::string(replica.surface->short_name()), std::nullopt};
}

}  // namespace

std::optional<FoundOffer> find_current_offer(const Session& session, std::string_view operation) {
  if (operation.starts_with("broker:")) {
    std::string_view rest = operation.substr(7);
    const std::size_t colon = rest.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    std::uint64_t participant = 0;
    const auto [end, ec] = std::from_chars(rest.data(), rest.data() + colon, participant);
    if (ec != std::errc() || end != rest.data() + colon) return std::nullopt;
    const std::string_view id = rest.substr(colon + 1);
    for (const auto& record : session.broker_catalogue) {
      if (!record.admitted || record.participant != participant) continue;
      for (const auto& offer : record.offers) {
        if (offer.resource_id + "#" + offer.action_name != id) continue;
        FoundOffer out;
        out.offer.resource_id = offer.resource_id;
        out.offer.action_name = offer.action_name;
        out.offer.resource_kind = offer.resource_kind;
        out.offer.resource_label = offer.resource_label;
        out.offer.action_label = offer.action_label;
        out.app = record.app;
        out.participant = participant;
        return out;
      }
    }
    return std::nullopt;
  }
  if (session.own) {
    if (auto found = local_offer(*session.own, operation)) return found;
  }
  for (const auto& [key, replica] : session.others) {
    if (auto found = local_offer(replica, operation)) return found;
  }
  return std::nullopt;
}

}  // namespace quern::agent

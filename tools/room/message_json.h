// The room's messages as JSON, for the scripted participants: every received frame is printed
// as one JSON object per line, and scripts describe the frames to send (offers, tasks, any
// message) in the same form.
//
// A message is an object whose member "frame" names it ("document_request", ...) and whose other
// members are its fields in snake case. Enumerations of the catalogue follow the usual form: the
// bare variant name ("Immediate"), or an object with one member named after the variant holding
// its fields ({"Background": {"cancellable": true}}). JSON carried as text (contexts, arguments,
// outputs, schemas) appears as the JSON value under the plain name ("context") when it parses,
// and as the raw text under the name with "_json" otherwise; either is accepted on input.
// Document bytes are shown by size and SHA-256, never inline.
#pragma once

#include "runtime/collab/collab_event.h"
#include "runtime/collab/messages.h"
#include "runtime/util/error.h"
#include "runtime/util/json.h"

namespace quern::room {

Json route_to_json(const collab::Route& route);
Result<collab::Route> route_from_json(const Json& json);

Json offer_to_json(const collab::BrokerOffer& offer);
Result<collab::BrokerOffer> offer_from_json(const Json& json);

Json message_to_json(const collab::Message& message);
// Any message but document bytes, whose content the caller supplies.
Result<collab::Message> message_from_json(const Json& json);

// The message with "from" (the sender) and, for addressed frames, "to".
Json event_to_json(const collab::CollabEvent& event);

}  // namespace quern::room

// What room document traffic does to the session's replicas: whole states and change sets are
// merged into the replica they belong to, a first state becomes the watched replica, another
// app's state becomes (or merges into) that app's replica; and document requests are answered
// from the replicas. Session thread only.
//
// Which document a state belongs to is decided by shared history, never by whether the engine
// merges (it merges unrelated documents without complaint): a state merges into a replica only
// when it holds the replica's first change (`shares_history`), so the schema genesis for the
// watched document. A state of a different document of an app the agent already holds a
// replica for is not merged: the replica held is kept and the state is ignored (logged at debug
// level). The watched document alone may be replaced, by a different folio document that holds
// an instruction addressed to the agent while the one held holds none.
#pragma once

#include <string_view>

#include "apps/agent/src/replica.h"
#include "apps/agent/src/session.h"
#include "runtime/collab/collab_event.h"
#include "runtime/collab/messages.h"
#include "runtime/util/error.h"

namespace quern::agent {

// Applies a document event to the replicas; true when one of them changed (the session then
// reads the watched document again). Errors end the run: the event's decoding error, "document
// event lost its mutation", "no app the agent speaks to claims this document".
Result<bool> apply_document_event(Session& session, const collab::CollabEvent& event);

// The replica of the app with this short name: the watched one when its surface has that short
// name, else the other app's. Nothing when the agent holds none.
Replica* find_replica(Session& session, std::string_view short_name);
const Replica* find_replica(const Session& session, std::string_view short_name);

// A request for the watched route (app and record equal, both records absent counting as equal)
// is answered with the watched replica's whole save, once there is one. Any other request is
// answered with the whole save of the other app's replica whose app it names, sent to that
// replica's route; nothing when the agent holds none.
void answer_document_request(Session& session, const collab::DocumentRequest& request);

}  // namespace quern::agent

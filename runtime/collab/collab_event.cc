#include "runtime/collab/collab_event.h"

namespace quern::collab {

Result<DocumentMutation> CollabEvent::document_mutation() const {
  const auto* doc = get<DocumentBytes>();
  if (doc == nullptr) return NoMutation{};
  switch (doc->payload) {
    case DocumentPayload::None: return NoMutation{};
    case DocumentPayload::Whole: return WholeState{doc->bytes};
    case DocumentPayload::Incremental: return ChangeSet{doc->bytes};
    case DocumentPayload::Unknown: break;
  }
  return fail("the document event carries a payload of a kind this client does not know");
}

}  // namespace quern::collab

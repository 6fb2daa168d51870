#include "apps/agent/src/session.h"

namespace quern::agent {

bool has_watched_document(const Session&) { return false; }

}  // namespace quern::agent

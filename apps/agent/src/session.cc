#include "apps/agent/src/session.h"

namespace quern::agent {

bool has_watched_document(const Session& session) { return session.own.has_value(); }

}  // namespace quern::agent

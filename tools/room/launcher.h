// `quern-room launch`: what the platform's launcher does for an agent. Connects to the broker,
// hands the connected descriptor to the program in QUERN_SVC_COLLAB_FD, waits for it and gives
// back its exit status (128 + the signal when it was killed). SIGINT and SIGTERM are passed on
// to the program.
#pragma once

#include <string>
#include <vector>

#include "runtime/util/error.h"

namespace quern::room {

Result<int> launch(const std::string& socket, const std::vector<std::string>& program);

}  // namespace quern::room

// The agent's clocks and sleeping: the runtime's `Clock` interface. The session holds one;
// production uses the process's real clock, tests a `ManualClock` that moves only when slept on.
#pragma once

#include "runtime/util/clock.h"

namespace quern::agent::platform {

using quern::Clock;
using quern::ManualClock;

inline Clock& production_clock() { return system_clock(); }

}  // namespace quern::agent::platform

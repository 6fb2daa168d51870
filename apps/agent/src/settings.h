// `SessionSettings`: the immutable settings both run modes share, built once from `Cli`.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "apps/agent/src/cli.h"
#include "runtime/util/clock.h"
#include "runtime/util/uuid.h"

namespace quern::agent {

struct SessionSettings {
  std::string app;
  std::string name;
  std::optional<std::string> record;
  Uuid workspace;
  std::optional<std::string> endpoint;
  Duration pace{};
  Duration model_timeout{};
  Duration await_document{};
  Duration settle{};
  bool once = false;
  bool live = true;  // a model may be asked (not --no-model)
  bool task_runs = false;

  static SessionSettings from_cli(const Cli& cli);
};

// Whole seconds plus the remaining milliseconds as nanoseconds; durations beyond what the
// clock can hold (about 292 years) are held at its maximum.
Duration duration_from_millis(std::uint64_t ms);
// The whole seconds of a duration (1500 ms is 1).
std::uint64_t whole_seconds(Duration d);

}  // namespace quern::agent

#include "apps/agent/src/settings.h"

#include <limits>

namespace quern::agent {

Duration duration_from_millis(std::uint64_t ms) {
  const std::uint64_t secs = ms / 1000;
  const std::uint64_t nanos = (ms % 1000) * 1'000'000;
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<Duration::rep>::max());
  if (secs > (kMax - nanos) / 1'000'000'000) return Duration::max();
  return Duration(static_cast<Duration::rep>(secs * 1'000'000'000 + nanos));
}

std::uint64_t whole_seconds(Duration d) {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(d).count());
}

SessionSettings SessionSettings::from_cli(const Cli& cli) {
  SessionSettings s;
  s.app = cli.app;
  s.name = cli.name;
  s.record = cli.record;
  s.workspace = cli.workspace;
  s.endpoint = cli.endpoint;
  s.pace = duration_from_millis(cli.pace_ms);
  s.model_timeout = duration_from_millis(cli.model_timeout_ms);
  s.await_document = duration_from_millis(cli.await_document_ms);
  s.settle = duration_from_millis(cli.settle_ms);
  s.once = cli.once;
  s.live = !cli.no_model;
  s.task_runs = cli.task_runs;
  return s;
}

}  // namespace quern::agent

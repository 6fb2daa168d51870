// The logging filter: which events of which targets are written. Parsed from directives such as
// "info", "quern_agent::session=debug,warn" or "quern_agent=trace,quern_crdt=off". A directive is
// a level (the default for every target), a target (everything of it), or target=level. The most
// specific directive whose target is the event's target or one of its "::"-separated prefixes wins.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quern::log {

enum class Level { Trace = 0, Debug = 1, Info = 2, Warn = 3, Error = 4, Off = 5 };

std::optional<Level> parse_level(std::string_view text);  // case-insensitive; "warning" too
std::string_view level_name(Level level);                 // "TRACE" ... "ERROR", "OFF"

class LogFilter {
 public:
  LogFilter() = default;  // the single directive "info"
  // Nothing when any directive does not parse; the caller then falls back to the default.
  static std::optional<LogFilter> parse(std::string_view text);

  Level level_for(std::string_view target) const;

 private:
  struct Directive {
    std::string target;  // empty: every target
    Level level;
  };
  std::vector<Directive> directives_{{"", Level::Info}};
};

}  // namespace quern::log

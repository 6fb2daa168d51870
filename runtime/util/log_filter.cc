#include "runtime/util/log_filter.h"

#include <algorithm>
#include <cctype>

namespace quern::log {
namespace {

std::string lower_ascii(std::string_view s) {
  std::string out(s);
  for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view trim_ascii(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

bool valid_target(std::string_view t) {
  if (t.empty()) return false;
  return std::all_of(t.begin(), t.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == ':' || c == '-' || c == '.';
  });
}

// `target` matches an event target when it equals it or is a prefix ending at a "::".
bool covers(std::string_view directive, std::string_view target) {
  if (directive.empty()) return true;
  if (!target.starts_with(directive)) return false;
  return target.size() == directive.size() || target.substr(directive.size()).starts_with("::");
}

}  // namespace

std::optional<Level> parse_level(std::string_view text) {
  const std::string l = lower_ascii(trim_ascii(text));
  if (l == "trace") return Level::Trace;
  if (l == "debug") return Level::Debug;
  if (l == "info") return Level::Info;
  if (l == "warn" || l == "warning") return Level::Warn;
  if (l == "error") return Level::Error;
  if (l == "off") return Level::Off;
  return std::nullopt;
}

std::string_view level_name(Level level) {
  switch (level) {
    case Level::Trace: return "TRACE";
    case Level::Debug: return "DEBUG";
    case Level::Info: return "INFO";
    case Level::Warn: return "WARN";
    case Level::Error: return "ERROR";
    case Level::Off: return "OFF";
  }
  return "OFF";
}

std::optional<LogFilter> LogFilter::parse(std::string_view text) {
  LogFilter filter;
  filter.directives_.clear();
  bool default_set = false;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    if (comma == std::string_view::npos) comma = text.size();
    std::string_view item = trim_ascii(text.substr(pos, comma - pos));
    pos = comma + 1;
    if (item.empty()) continue;
    const size_t eq = item.find('=');
    if (eq == std::string_view::npos) {
      if (auto level = parse_level(item)) {
        filter.directives_.push_back({"", *level});
        default_set = true;
      } else if (valid_target(item)) {
        filter.directives_.push_back({std::string(item), Level::Trace});
      } else {
        return std::nullopt;
      }
      continue;
    }
    const std::string_view target = trim_ascii(item.substr(0, eq));
    const auto level = parse_level(item.substr(eq + 1));
    if (!level || !valid_target(target)) return std::nullopt;
    filter.directives_.push_back({std::string(target), *level});
  }
  if (filter.directives_.empty()) return std::nullopt;
  // Without a bare level, targets no directive names stay at the default.
  if (!default_set) filter.directives_.insert(filter.directives_.begin(), {"", Level::Info});
  return filter;
}

Level LogFilter::level_for(std::string_view target) const {
  const Directive* best = nullptr;
  for (const auto& d : directives_) {
    if (!covers(d.target, target)) continue;
    // Longer targets are more specific; among equals the later directive wins.
    if (best == nullptr || d.target.size() >= best->target.size()) best = &d;
  }
  return best != nullptr ? best->level : Level::Info;
}

}  // namespace quern::log

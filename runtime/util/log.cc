#include "runtime/util/log.h"

#include <spdlog/details/log_msg.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <sstream>

#include "runtime/util/quote.h"

namespace quern::log {
namespace {

spdlog::level::level_enum to_spdlog(Level level) {
  switch (level) {
    case Level::Trace: return spdlog::level::trace;
    case Level::Debug: return spdlog::level::debug;
    case Level::Info: return spdlog::level::info;
    case Level::Warn: return spdlog::level::warn;
    case Level::Error: return spdlog::level::err;
    case Level::Off: return spdlog::level::off;
  }
  return spdlog::level::off;
}

Level from_spdlog(spdlog::level::level_enum level) {
  switch (level) {
    case spdlog::level::trace: return Level::Trace;
    case spdlog::level::debug: return Level::Debug;
    case spdlog::level::info: return Level::Info;
    case spdlog::level::warn: return Level::Warn;
    case spdlog::level::err:
    case spdlog::level::critical: return Level::Error;
    default: return Level::Off;
  }
}

// "%*": the level in upper case, right-aligned to five columns.
class LevelFlag final : public spdlog::custom_flag_formatter {
 public:
  void format(const spdlog::details::log_msg& msg, const std::tm&, spdlog::memory_buf_t& dest) override {
    const std::string_view name = level_name(from_spdlog(msg.level));
    for (size_t i = name.size(); i < 5; ++i) dest.push_back(' ');
    dest.append(name.data(), name.data() + name.size());
  }
  std::unique_ptr<custom_flag_formatter> clone() const override { return std::make_unique<LevelFlag>(); }
};

std::unique_ptr<spdlog::formatter> make_formatter(bool with_time) {
  auto f = std::make_unique<spdlog::pattern_formatter>(spdlog::pattern_time_type::utc);
  f->add_flag<LevelFlag>('*');
  f->set_pattern(with_time ? "%Y-%m-%dT%H:%M:%S.%eZ %* %n: %v" : "%* %n: %v");
  return f;
}

struct Registry {
  std::mutex mu;
  bool installed = false;
  LogFilter filter;
  spdlog::sink_ptr sink;  // null until installed; events are dropped before that
  std::map<std::string, std::shared_ptr<spdlog::logger>, std::less<>> loggers;

  std::shared_ptr<spdlog::logger> logger_for(std::string_view target) {
    if (auto it = loggers.find(target); it != loggers.end()) return it->second;
    auto logger = std::make_shared<spdlog::logger>(std::string(target), sink);
    logger->set_level(to_spdlog(filter.level_for(target)));
    logger->flush_on(spdlog::level::trace);
    loggers.emplace(std::string(target), logger);
    return logger;
  }

  void reset(spdlog::sink_ptr new_sink, LogFilter new_filter) {
    sink = std::move(new_sink);
    filter = std::move(new_filter);
    loggers.clear();
    if (sink) {
      // Components logging through spdlog's own default logger land in the same output.
      auto fallback = std::make_shared<spdlog::logger>("log", sink);
      fallback->set_level(to_spdlog(filter.level_for("log")));
      spdlog::set_default_logger(fallback);
    }
  }
};

Registry& registry() {
  static Registry* r = new Registry();  // never destroyed: threads may log during exit
  return *r;
}

void append_value(std::string& out, const FieldValue& v) {
  struct Visitor {
    std::string& out;
    void operator()(std::monostate) const {}
    void operator()(bool b) const { out += b ? "true" : "false"; }
    void operator()(std::int64_t n) const { out += std::to_string(n); }
    void operator()(std::uint64_t n) const { out += std::to_string(n); }
    void operator()(double d) const {
      std::ostringstream s;
      s << d;
      out += s.str();
    }
    void operator()(const std::string& s) const { out += quote_escaped(s); }
  };
  std::visit(Visitor{out}, v);
}

}  // namespace

std::string format_fields(Fields fields) {
  std::string out;
  for (const auto& f : fields) {
    if (std::holds_alternative<std::monostate>(f.value)) continue;
    out.push_back(' ');
    out.append(f.name);
    out.push_back('=');
    append_value(out, f.value);
  }
  return out;
}

Result<void> install(std::optional<std::string_view> filter_text) {
  auto& r = registry();
  std::lock_guard lock(r.mu);
  if (r.installed) return fail("Unable to install global subscriber");
  LogFilter filter;
  if (filter_text) {
    if (auto parsed = LogFilter::parse(*filter_text)) filter = *parsed;
  }
  auto sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
  sink->set_formatter(make_formatter(true));
  r.reset(std::move(sink), std::move(filter));
  r.installed = true;
  return {};
}

Result<void> install_from_environment() {
  const char* text = std::getenv(std::string(kFilterVariable).c_str());
  if (text == nullptr) return install(std::nullopt);
  return install(std::string_view(text));
}

bool enabled(std::string_view target, Level level) {
  auto& r = registry();
  std::lock_guard lock(r.mu);
  if (!r.sink) return false;
  return r.logger_for(target)->should_log(to_spdlog(level));
}

void write(std::string_view target, Level level, std::string_view message, Fields fields) {
  std::string line(message);
  line += format_fields(fields);
  std::shared_ptr<spdlog::logger> logger;
  {
    auto& r = registry();
    std::lock_guard lock(r.mu);
    if (!r.sink) return;
    logger = r.logger_for(target);
  }
  logger->log(to_spdlog(level), spdlog::string_view_t(line.data(), line.size()));
}

struct Capture::State {
  std::ostringstream buffer;
  std::mutex mu;
  spdlog::sink_ptr previous_sink;
  LogFilter previous_filter;
};

Capture::Capture(std::string_view filter_text) : state_(std::make_unique<State>()) {
  auto& r = registry();
  std::lock_guard lock(r.mu);
  state_->previous_sink = r.sink;
  state_->previous_filter = r.filter;
  auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(state_->buffer, true);
  sink->set_formatter(make_formatter(false));
  r.reset(std::move(sink), LogFilter::parse(filter_text).value_or(LogFilter()));
}

Capture::~Capture() {
  auto& r = registry();
  std::lock_guard lock(r.mu);
  r.reset(state_->previous_sink, state_->previous_filter);
}

std::string Capture::text() const {
  auto& r = registry();
  std::lock_guard lock(r.mu);
  if (r.sink) r.sink->flush();
  return state_->buffer.str();
}

}  // namespace quern::log

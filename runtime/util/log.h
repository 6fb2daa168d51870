// Structured logging: one line per event on standard error with time, level, target, message
// and named fields:
//   2026-12-11T12:00:00.123Z  INFO quern_agent::session: joined the room app="ix.quern.word-processor"
// `install` sets the process-wide output once, at start-up; any thread may log afterwards.
// Call sites name their target and fields:
//   log::info(kSession, "received the document", {{"bytes", n}});
// A field whose value is an empty optional is left out of the line.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "runtime/util/error.h"
#include "runtime/util/log_filter.h"

namespace quern::log {

// The environment variable holding the filter directives.
inline constexpr std::string_view kFilterVariable = "QUERN_LOG";

using FieldValue = std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double, std::string>;

struct Field {
  template <typename T>
  Field(std::string_view field_name, const T& v) : name(field_name), value(to_value(v)) {}

  std::string_view name;
  FieldValue value;  // monostate: absent, the field is not written

 private:
  template <typename T>
  static FieldValue to_value(const T& v) {
    if constexpr (std::is_same_v<T, bool>) {
      return v;
    } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
      return static_cast<std::int64_t>(v);
    } else if constexpr (std::is_integral_v<T>) {
      return static_cast<std::uint64_t>(v);
    } else if constexpr (std::is_floating_point_v<T>) {
      return static_cast<double>(v);
    } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
      return std::string(std::string_view(v));
    } else {
      // std::optional<U>: absent or the value.
      if (!v.has_value()) return std::monostate{};
      return to_value(*v);
    }
  }
};

using Fields = std::initializer_list<Field>;

// Installs the process-wide logger writing to standard error with the filter parsed from
// `filter_text` (nothing, or text that does not parse, means "info"). Fails with
// "Unable to install global subscriber" when a logger is already installed.
Result<void> install(std::optional<std::string_view> filter_text);
// The same with the filter read from `kFilterVariable`.
Result<void> install_from_environment();

bool enabled(std::string_view target, Level level);
void write(std::string_view target, Level level, std::string_view message, Fields fields = {});

// Renders the fields as they appear on a line: ` name="text" n=3 flag=true` (leading space).
std::string format_fields(Fields fields);

inline void trace(std::string_view target, std::string_view message, Fields fields = {}) {
  if (enabled(target, Level::Trace)) write(target, Level::Trace, message, fields);
}
inline void debug(std::string_view target, std::string_view message, Fields fields = {}) {
  if (enabled(target, Level::Debug)) write(target, Level::Debug, message, fields);
}
inline void info(std::string_view target, std::string_view message, Fields fields = {}) {
  if (enabled(target, Level::Info)) write(target, Level::Info, message, fields);
}
inline void warn(std::string_view target, std::string_view message, Fields fields = {}) {
  if (enabled(target, Level::Warn)) write(target, Level::Warn, message, fields);
}
inline void error(std::string_view target, std::string_view message, Fields fields = {}) {
  if (enabled(target, Level::Error)) write(target, Level::Error, message, fields);
}

// Test aid: while alive, every line (as it would be written, without the time) goes to an
// in-memory buffer instead of standard error, with the given filter. Not nestable.
class Capture {
 public:
  explicit Capture(std::string_view filter_text = "trace");
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  std::string text() const;
  bool contains(std::string_view needle) const { return text().find(needle) != std::string::npos; }

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace quern::log

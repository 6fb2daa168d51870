// WordProcessorCommand: a view command that only the word-processor application carries out
// (opening, saving, zooming, toggling panels, navigating), the payload of the operation type
// "word-processor.operation". The agent encodes these for the application and never applies
// them itself.
//
// JSON form: a variant without fields is the bare string of its name ("ZoomIn"); one with
// fields is an object with one member named after the variant holding its fields
// ({"NavigateTo": {"block": "b1", "start": 0, "end": 4}}). An absent path is written as null and
// a missing or null path reads as absent. Reading rejects unknown names and members of the wrong
// type. Stateless; call from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "runtime/util/error.h"
#include "runtime/util/json.h"

namespace quern::word_processor {

inline constexpr std::string_view kActionOperationType = "word-processor.action";
inline constexpr std::string_view kCommandOperationType = "word-processor.operation";

namespace command {
struct Open {
  static constexpr std::string_view kName = "Open";
  std::optional<std::string> path;
  bool operator==(const Open&) const = default;
};
struct Save {
  static constexpr std::string_view kName = "Save";
  std::optional<std::string> path;
  bool operator==(const Save&) const = default;
};
struct SaveAs {
  static constexpr std::string_view kName = "SaveAs";
  std::optional<std::string> path;
  bool operator==(const SaveAs&) const = default;
};
#define QUERN_WP_BARE_COMMAND(Name)                  \
  struct Name {                                      \
    static constexpr std::string_view kName = #Name; \
    bool operator==(const Name&) const = default;    \
  };
QUERN_WP_BARE_COMMAND(Find)
QUERN_WP_BARE_COMMAND(ZoomIn)
QUERN_WP_BARE_COMMAND(ZoomOut)
QUERN_WP_BARE_COMMAND(ZoomReset)
QUERN_WP_BARE_COMMAND(ToggleSpellcheck)
QUERN_WP_BARE_COMMAND(ToggleMarkup)
QUERN_WP_BARE_COMMAND(ToggleStyles)
QUERN_WP_BARE_COMMAND(ToggleRuler)
QUERN_WP_BARE_COMMAND(ToggleOutline)
QUERN_WP_BARE_COMMAND(ToggleHistory)
#undef QUERN_WP_BARE_COMMAND
struct NavigateTo {
  static constexpr std::string_view kName = "NavigateTo";
  std::string block;
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  bool operator==(const NavigateTo&) const = default;
};
struct ShowRevision {
  static constexpr std::string_view kName = "ShowRevision";
  std::uint64_t index = 0;
  bool operator==(const ShowRevision&) const = default;
};
}  // namespace command

// In declaration order.
using WordProcessorCommand =
    std::variant<command::Open, command::Save, command::SaveAs, command::Find, command::ZoomIn, command::ZoomOut,
                 command::ZoomReset, command::ToggleSpellcheck, command::ToggleMarkup, command::ToggleStyles,
                 command::ToggleRuler, command::ToggleOutline, command::ToggleHistory, command::NavigateTo,
                 command::ShowRevision>;

Json command_to_json(const WordProcessorCommand& command);
Result<WordProcessorCommand> command_from_json(const Json& json);

}  // namespace quern::word_processor

// The command line: the `Cli` record, its parser and its help texts. Parsing never exits the
// process; it returns either the record or what to print and which status to exit with.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "runtime/util/uuid.h"

namespace quern::agent {

inline constexpr std::string_view kCommandName = "quern-agent";
inline constexpr std::string_view kDefaultApp = "ix.quern.word-processor";
inline constexpr std::string_view kDefaultName = "Claude";

struct Cli {
  Uuid workspace;
  std::optional<std::string> record;
  std::string app{kDefaultApp};
  std::string name{kDefaultName};
  std::optional<std::string> endpoint;
  std::uint64_t pace_ms = 250;
  bool once = false;
  bool task_runs = false;
  bool no_model = false;
  std::uint64_t model_timeout_ms = 9000;
  std::uint64_t await_document_ms = 60000;
  std::uint64_t settle_ms = 0;
};

// The parser's verdict when the program should stop at once: help (status 0, on standard
// output) or a usage error (status 2, on standard error).
struct CliExit {
  int status = 0;
  std::string stdout_text;
  std::string stderr_text;
};

// `args` excludes the program name.
std::variant<Cli, CliExit> parse_cli(std::span<const std::string> args);

// `-h` shows the short help of every option; `--help` adds the long ones.
std::string cli_help(bool long_help);
std::string cli_usage_line();

}  // namespace quern::agent

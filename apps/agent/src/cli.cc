#include "apps/agent/src/cli.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <vector>

namespace quern::agent {
namespace {

constexpr std::string_view kAbout =
    "A participant without a window: joins a word-processor document through the session's collaboration "
    "broker and carries out instructions written to it (\"Claude: turn the bullets into a table\")";

constexpr std::string_view kModelTimeoutShort =
    "How long a model may take to choose before the keyword vocabulary decides instead. Short on purpose: an "
    "instruction must never wait on the network";

constexpr std::string_view kModelTimeoutLong =
    "How long a model may take to choose before the keyword vocabulary decides instead. Short on purpose: an "
    "instruction must never wait on the network.\n\nBounds the retries too: a request an overloaded service turns "
    "away is made again with a short backoff, carved out of this deadline rather than added to it, so shortening "
    "this also shortens how long the agent will wait out a busy service.";

struct OptionText {
  std::string_view flag;
  std::string_view value_name;  // empty for flags
  std::string_view help;
  std::string_view long_help;  // empty when the same as `help`
  std::string_view default_value;
};

// The options in the order of the record; the help lists them in this order.
constexpr OptionText kOptions[] = {
    {"--workspace", "WORKSPACE",
     "The room (workspace) the document lives in — the `QUERN_WORKSPACE_ID` the app was launched with", "", ""},
    {"--record", "RECORD",
     "The record the app announced for the document, e.g. `file:/var/workspace/Demo/brief.docx`. Omit for an "
     "untitled document",
     "", ""},
    {"--app", "APP", "The app whose document this is (its manifest package id)", "", "ix.quern.word-processor"},
    {"--name", "NAME", "The agent's name: its caret pill, its history author, and the word an instruction starts with",
     "", "Claude"},
    {"--endpoint", "ENDPOINT",
     "Explicit typed Cap'n Proto broker socket for headless diagnostics. Normal launched sessions inherit "
     "`QUERN_SVC_COLLAB_FD` instead",
     "", ""},
    {"--pace-ms", "PACE_MS", "Pause between edits, in milliseconds, so the caret can be watched", "", "250"},
    {"--once", "", "Exit after the first instruction has been carried out", "", ""},
    {"--task-runs", "",
     "Receive broker-minted Task Center leases instead of watching a document. This mode uses only the agent's "
     "admitted, permission- filtered action catalogue and cannot infer work from room traffic",
     "", ""},
    {"--no-model", "",
     "Decide by keyword only, without asking a model. The run is then reproducible and needs no network — and says "
     "so in its log",
     "", ""},
    {"--model-timeout-ms", "MODEL_TIMEOUT_MS", kModelTimeoutShort, kModelTimeoutLong, "9000"},
    {"--await-document-ms", "AWAIT_DOCUMENT_MS",
     "How long to wait for the room to answer with the document before giving up and naming the address nobody "
     "answered on. `0` waits forever, which is right when the document may not be open yet and wrong in a script",
     "", "60000"},
    {"--settle-ms", "SETTLE_MS",
     "How long a paragraph must stop changing before it is read as a finished request, in milliseconds. `0` acts on "
     "first sight, right for a page seeded before the agent joins",
     "", "0"},
};

const OptionText& option(std::string_view flag) {
  for (const auto& o : kOptions) {
    if (o.flag == flag) return o;
  }
  return kOptions[0];
}

std::string describe(const OptionText& o) { return std::string(o.help); }

bool parse_u64(const std::string& text, std::uint64_t& out) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && ptr == text.data() + text.size();
}

CLI::Validator unsigned_validator() {
  return CLI::Validator(
      [](std::string& value) -> std::string {
        std::uint64_t n = 0;
        if (parse_u64(value, n)) return {};
        return "'" + value + "' is not an unsigned integer of at most 64 bits";
      },
      "UNSIGNED");
}

CLI::Validator uuid_validator() {
  return CLI::Validator(
      [](std::string& value) -> std::string {
        if (Uuid::parse(value)) return {};
        return "'" + value + "' is not a UUID (expected a form like 9b2f6c1e-4a7d-4f3e-8c1a-2d5e6f708192)";
      },
      "UUID");
}

void append_indented(std::string& out, std::string_view text, std::string_view indent) {
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) nl = text.size();
    const std::string_view line = text.substr(pos, nl - pos);
    if (!line.empty()) out.append(indent).append(line);
    out.push_back('\n');
    pos = nl + 1;
  }
}

}  // namespace

std::string cli_usage_line() { return "Usage: quern-agent [OPTIONS] --workspace <WORKSPACE>"; }

std::string cli_help(bool long_help) {
  std::string out;
  out.append(kAbout).append("\n\n");
  out.append(cli_usage_line()).append("\n\nOptions:\n");
  for (const auto& o : kOptions) {
    out.append("      ").append(o.flag);
    if (!o.value_name.empty()) out.append(" <").append(o.value_name).append(">");
    out.push_back('\n');
    const std::string_view help = long_help && !o.long_help.empty() ? o.long_help : o.help;
    append_indented(out, help, "          ");
    if (!o.default_value.empty()) out.append("          [default: ").append(o.default_value).append("]\n");
    if (long_help) out.push_back('\n');
  }
  out.append("  -h, --help\n");
  out.append(long_help ? "          Print help (see a summary with '-h')\n"
                       : "          Print help (see more with '--help')\n");
  return out;
}

std::variant<Cli, CliExit> parse_cli(std::span<const std::string> args) {
  Cli cli;
  CLI::App app{std::string(kAbout), std::string(kCommandName)};
  app.set_help_flag("-h", "Print help");
  app.set_help_all_flag("--help", "Print help");
  app.allow_extras(false);

  std::string workspace;
  std::string pace;
  std::string model_timeout;
  std::string await_document;
  std::string settle;
  std::string record;
  std::string endpoint;

  app.add_option("--workspace", workspace, describe(option("--workspace")))->required()->check(uuid_validator());
  app.add_option("--record", record, describe(option("--record")));
  app.add_option("--app", cli.app, describe(option("--app")));
  app.add_option("--name", cli.name, describe(option("--name")));
  app.add_option("--endpoint", endpoint, describe(option("--endpoint")));
  app.add_option("--pace-ms", pace, describe(option("--pace-ms")))->check(unsigned_validator());
  app.add_flag("--once", cli.once, describe(option("--once")));
  app.add_flag("--task-runs", cli.task_runs, describe(option("--task-runs")));
  app.add_flag("--no-model", cli.no_model, describe(option("--no-model")));
  app.add_option("--model-timeout-ms", model_timeout, describe(option("--model-timeout-ms")))
      ->check(unsigned_validator());
  app.add_option("--await-document-ms", await_document, describe(option("--await-document-ms")))
      ->check(unsigned_validator());
  app.add_option("--settle-ms", settle, describe(option("--settle-ms")))->check(unsigned_validator());

  // CLI11 wants the arguments last-first.
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForAllHelp&) {
    return CliExit{0, cli_help(true), ""};
  } catch (const CLI::CallForHelp&) {
    return CliExit{0, cli_help(false), ""};
  } catch (const CLI::ParseError& e) {
    std::string err = "error: ";
    err.append(e.what()).append("\n\n").append(cli_usage_line()).append("\n\nFor more information, try '--help'.\n");
    return CliExit{2, "", err};
  }

  cli.workspace = *Uuid::parse(workspace);
  if (app.count("--record") > 0) cli.record = record;
  if (app.count("--endpoint") > 0) cli.endpoint = endpoint;
  if (!pace.empty()) parse_u64(pace, cli.pace_ms);
  if (!model_timeout.empty()) parse_u64(model_timeout, cli.model_timeout_ms);
  if (!await_document.empty()) parse_u64(await_document, cli.await_document_ms);
  if (!settle.empty()) parse_u64(settle, cli.settle_ms);
  return cli;
}

}  // namespace quern::agent

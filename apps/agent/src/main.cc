// Program entry: logging first, then the command line, then start-up. Only here are errors
// printed: "Error: " and the chain on standard error with status 1; usage errors exit 2.
#include <iostream>
#include <string>
#include <vector>

#include "apps/agent/src/cli.h"
#include "apps/agent/src/startup.h"
#include "runtime/util/log.h"

int main(int argc, char** argv) {
  if (auto installed = quern::log::install_from_environment(); !installed) {
    std::cerr << "Error: " << installed.error().report() << "\n";
    return 1;
  }
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  auto parsed = quern::agent::parse_cli(args);
  if (auto* exit = std::get_if<quern::agent::CliExit>(&parsed)) {
    std::cout << exit->stdout_text << std::flush;
    std::cerr << exit->stderr_text << std::flush;
    return exit->status;
  }
  auto result = quern::agent::run(std::get<quern::agent::Cli>(parsed));
  if (!result) {
    std::cerr << "Error: " << result.error().report() << "\n";
    return 1;
  }
  return 0;
}

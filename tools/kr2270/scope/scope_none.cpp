// Builds without the live view (Windows: its HTTP server and page are built
// for POSIX only so far).
#include <CLI/CLI.hpp>

#include "app/commands.h"
#include "app/tool.h"

namespace kr2270::tool {

Command AddScopeCommand(CLI::App& app) {
  Command command;
  command.cli = app.add_subcommand(
      "scope", "live view in a browser (not in this build: use the Linux kr2270 scope)");
  command.run = []() -> int {
    FailUsage("scope: this build has no live view; run 'kr2270 scope' on Linux");
  };
  return command;
}

}  // namespace kr2270::tool

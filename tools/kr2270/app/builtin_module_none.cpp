// Builds without the simulator (Windows: libmodbus is not available there).
#include <CLI/CLI.hpp>

#include "app/commands.h"
#include "system/console.h"
#include "app/tool.h"

namespace kr2270::tool {

struct BuiltinModule {};

void BuiltinModuleStop::operator()(BuiltinModule* module) const { delete module; }

BuiltinModuleHandle StartBuiltinModule() {
  FailUsage(
      "no --host given, and this build has no built-in simulated module: on Windows "
      "--host, --port and --data-port are required");
}

Command AddSimCommand(CLI::App& app) {
  Command command;
  command.cli = app.add_subcommand(
      "sim", "run a simulated module (not in this build: use the Linux kr2270 sim)");
  command.run = [] () -> int {
    FailUsage("sim: this build has no simulated module; run 'kr2270 sim' on Linux");
  };
  return command;
}

}  // namespace kr2270::tool

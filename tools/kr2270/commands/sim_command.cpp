// kr2270 sim: a simulated module in the foreground until Ctrl-C, with the
// options, port line and fault signals of kr2270-sim (sim/command_line.h).
#include <CLI/CLI.hpp>
#include <memory>

#include "app/commands.h"
#include "app/tool.h"
#include "sim/command_line.h"

namespace kr2270::tool {

Command AddSimCommand(CLI::App& app) {
  auto line = std::make_shared<sim::CommandLine>();
  CLI::App* cmd = app.add_subcommand("sim", "run a simulated module on 127.0.0.1 until Ctrl-C");
  sim::AddCommandLineOptions(*cmd, *line);
  return {cmd, [line] {
            try {
              sim::OptionsOf(*line);
            } catch (const CLI::ValidationError& error) {
              FailUsage(error.what());
            }
            return sim::ServeUntilStopped(*line, "kr2270");
          }};
}

}  // namespace kr2270::tool

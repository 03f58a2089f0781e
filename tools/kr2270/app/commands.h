// The subcommands. Each Add* registers a subcommand with its options on the
// app and returns it together with the function that runs it.
#pragma once

#include <functional>

namespace CLI {
class App;
}

namespace kr2270::tool {

struct Command {
  CLI::App* cli = nullptr;
  std::function<int()> run;
};

Command AddSimCommand(CLI::App& app);
Command AddInfoCommand(CLI::App& app);
Command AddAcquireCommand(CLI::App& app);
Command AddPlayCommand(CLI::App& app);
Command AddDemoCommand(CLI::App& app);
Command AddScopeCommand(CLI::App& app);
Command AddSetCommand(CLI::App& app);

}  // namespace kr2270::tool

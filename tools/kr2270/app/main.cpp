// kr2270: command-line client of the kr2270c driver library.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "app/commands.h"
#include "system/system.h"
#include "app/tool.h"

namespace {

int Run(int argc, char** argv) {
  CLI::App app{"kr2270: talk to a KR2270C data-acquisition module, record and replay its stream"};
  app.require_subcommand(0, 1);
  app.set_version_flag("--version", [] {
    return std::string("kr2270 ") + KR2270_TOOL_VERSION + " (library " +
           kr2270::tool::LibraryVersion() + ")";
  });
  const std::vector<kr2270::tool::Command> commands = {
      kr2270::tool::AddDemoCommand(app),    kr2270::tool::AddInfoCommand(app),
      kr2270::tool::AddAcquireCommand(app), kr2270::tool::AddPlayCommand(app),
      kr2270::tool::AddSimCommand(app),    kr2270::tool::AddScopeCommand(app),
      kr2270::tool::AddSetCommand(app),
  };
  // Added after the subcommands so that only the top level offers it.
  app.set_help_all_flag("--help-all", "help for every subcommand");
  const auto known = [&](const std::string& name) {
    for (const auto& command : commands)
      if (command.cli->get_name() == name) return true;
    return false;
  };
  if (argc > 1 && argv[1][0] != '-' && !known(argv[1]))
    kr2270::tool::FailUsage(std::string("unknown subcommand '") + argv[1] +
                            "'; use demo, info, set, acquire, play, sim or scope (see --help)");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "kr2270: %s\n", e.what());
    std::fprintf(stderr, "Run with --help for more information.\n");
    return kr2270::tool::kExitUsage;
  }
  for (const auto& command : commands)
    if (command.cli->parsed()) return command.run();
  // A bare `kr2270` is a request for help.
  std::printf("%s", app.help().c_str());
  return kr2270::tool::kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  kr2270::tool::InstallSignalHandling();
  try {
    std::vector<std::string> arguments = kr2270::tool::Utf8Arguments(argc, argv);
    std::vector<char*> utf8_argv;
    for (std::string& argument : arguments) utf8_argv.push_back(argument.data());
    utf8_argv.push_back(nullptr);
    return Run(argc, utf8_argv.data());
  } catch (const kr2270::tool::ToolError& error) {
    std::fprintf(stderr, "kr2270: %s\n", error.message.c_str());
    return error.exit_code;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kr2270: %s\n", error.what());
    return kr2270::tool::kExitFailure;
  }
}

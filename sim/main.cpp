// kr2270-sim: serves a simulated KR2270C module on 127.0.0.1 until SIGINT or
// SIGTERM; its options, port line and fault signals are those of
// sim/command_line.h, shared with `kr2270 sim`.
#include <CLI/CLI.hpp>

#include "sim/command_line.h"

int main(int argc, char** argv) {
  kr2270::sim::CommandLine line;
  CLI::App app{"Simulated KR2270C data-acquisition module on 127.0.0.1"};
  kr2270::sim::AddCommandLineOptions(app, line);
  try {
    app.parse(argc, argv);
    kr2270::sim::OptionsOf(line);  // the per-channel items are checked before listening
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  return kr2270::sim::ServeUntilStopped(line, "kr2270-sim");
}

// The command line of a simulated module, shared by kr2270-sim and
// `kr2270 sim`: the same options, the same port line and the same signals.
//
//   --command-port N --data-port M   0 (default): chosen by the system
//   --sequence --flood --data-nodelay --ex-ranges --clock-scale S
//   --dc CHANNELS=VOLTS --amplitude CHANNELS=VOLTS --frequency CHANNELS=HZ
//   --stall-ms MS                    how long SIGUSR2 stalls the stream
//
// Once both ports listen, one line on stdout: "command_port=N data_port=M".
// Then until SIGINT or SIGTERM: SIGHUP restarts the module (a power cycle),
// SIGUSR1 closes the data connection, SIGUSR2 stalls the stream.
#pragma once

#include <string>
#include <vector>

#include "sim/simulator.h"

namespace CLI {
class App;
}

namespace kr2270::sim {

struct CommandLine {
  Options options;
  int stall_ms = 2000;
  // "CHANNELS=VALUE" items ("1=2.5", "1-4,7=0"), applied by OptionsOf.
  std::vector<std::string> dc;
  std::vector<std::string> amplitude;
  std::vector<std::string> frequency;
};

// Adds every option of the simulated module to `app`.
void AddCommandLineOptions(CLI::App& app, CommandLine& line);

// The simulator's options with the per-channel items applied; throws
// CLI::ValidationError naming the option of a malformed item.
Options OptionsOf(const CommandLine& line);

// Starts the module, prints the port line and serves until SIGINT or
// SIGTERM, acting on the fault signals (each reported on stderr, prefixed
// with `program`). Returns the exit status: 0, or 1 when the ports cannot
// be opened. POSIX only.
int ServeUntilStopped(const CommandLine& line, const std::string& program);

}  // namespace kr2270::sim

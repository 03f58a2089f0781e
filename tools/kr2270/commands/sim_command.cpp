// kr2270 sim: a simulated module in the foreground until Ctrl-C.
#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>

#include "app/commands.h"
#include "app/options.h"
#include "sim/simulator.h"
#include "app/tool.h"

namespace kr2270::tool {
namespace {

struct SimOptions {
  int command_port = 0;
  int data_port = 0;
  bool sequence = false;
  bool flood = false;
  bool ex_ranges = false;
  double clock_scale = 1.0;
  std::vector<std::string> signals;
};

// "CHANNELS=DC,AMPLITUDE,FREQUENCY" in volts and hertz.
void ApplySignal(sim::Options& options, const std::string& signal_text) {
  const auto equals = signal_text.find('=');
  if (equals == std::string::npos)
    FailUsage("--signal: '" + signal_text + "' is not CHANNELS=DC,AMPLITUDE,FREQUENCY");
  std::istringstream values(signal_text.substr(equals + 1));
  sim::ChannelSignal signal{};
  char comma1 = 0;
  char comma2 = 0;
  values >> signal.dc_volts >> comma1 >> signal.amplitude_volts >> comma2 >> signal.frequency_hz;
  if (!values || comma1 != ',' || comma2 != ',' || !(values >> std::ws).eof())
    FailUsage("--signal: '" + signal_text + "' is not CHANNELS=DC,AMPLITUDE,FREQUENCY");
  for (int channel : ParseNumberList(signal_text.substr(0, equals), kAnalogChannels, "--signal"))
    options.signal[static_cast<std::size_t>(channel - 1)] = signal;
}

sim::Options SimulatorOptions(const SimOptions& o) {
  sim::Options options;
  options.command_port = static_cast<std::uint16_t>(o.command_port);
  options.data_port = static_cast<std::uint16_t>(o.data_port);
  options.sequence = o.sequence;
  options.flood = o.flood;
  options.ex_ranges = o.ex_ranges;
  options.clock_scale = o.clock_scale;
  for (const std::string& signal_text : o.signals) ApplySignal(options, signal_text);
  return options;
}

// Faults on demand, for trying a client's reconnect by hand or from a test.
// False for a signal that stops the module.
bool ActOnFaultSignal(sim::Simulator& simulator, int signal_number) {
  if (signal_number == SIGUSR1) {
    std::fprintf(stderr, "kr2270: SIGUSR1: resetting the data connection\n");
    simulator.DropDataConnection(true);
    return true;
  }
  if (signal_number == SIGUSR2) {
    std::fprintf(stderr, "kr2270: SIGUSR2: power-cycling the module\n");
    simulator.Restart();
    return true;
  }
  return false;
}

int RunSim(const SimOptions& o) {
  const sim::Options options = SimulatorOptions(o);
  // Blocked before the simulator starts its threads, so that only sigwait
  // below sees them.
  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2}) sigaddset(&signals, s);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  sim::Simulator simulator(options);
  const int status = simulator.Start();
  if (status != 0) Fail(std::string("cannot start the simulated module: ") + std::strerror(-status));
  std::printf("command port %u\ndata port %u\n", simulator.command_port(), simulator.data_port());
  std::fflush(stdout);
  std::fprintf(stderr, "kr2270: simulated module on 127.0.0.1 running; Ctrl-C stops it\n");
  int received = 0;
  while (sigwait(&signals, &received) == 0 && ActOnFaultSignal(simulator, received)) {
  }
  simulator.Stop();
  return kExitOk;
}

}  // namespace

Command AddSimCommand(CLI::App& app) {
  auto options = std::make_shared<SimOptions>();
  SimOptions& o = *options;
  CLI::App* cmd = app.add_subcommand("sim", "run a simulated module on 127.0.0.1 until Ctrl-C");
  cmd->add_option("--command-port", o.command_port, "command port (default: chosen by the system)")
      ->check(CLI::Range(0, 65535));
  cmd->add_option("--data-port", o.data_port, "data port (default: chosen by the system)")
      ->check(CLI::Range(0, 65535));
  cmd->add_flag("--sequence", o.sequence, "stream a counting test pattern instead of signals");
  cmd->add_flag("--flood", o.flood, "stream as fast as the connection takes");
  cmd->add_flag("--ex-ranges", o.ex_ranges, "extended-range variant (range codes 1/2/3 = 1/0.1/0.01 V)");
  cmd->add_option("--clock-scale", o.clock_scale, "speed of the module's clock (1 = real time)")
      ->check(PositiveNumber())
      ->capture_default_str();
  cmd->add_option("--signal", o.signals,
                  "sine on channels, in V, V and Hz (default: channel k at k-4.5 V, 0.5 V, "
                  "10*k Hz), repeatable")
      ->type_name("CHANNELS=DC,AMPLITUDE,FREQUENCY");
  cmd->footer(
      "Faults on demand: SIGUSR1 resets the data connection, SIGUSR2 power-cycles the module "
      "(both connections dropped, every setting back to its power-on value), for trying "
      "--reconnect.");
  return {cmd, [options] { return RunSim(*options); }};
}

}  // namespace kr2270::tool

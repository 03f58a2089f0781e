#include "sim/command_line.h"

#include <signal.h>

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace kr2270::sim {
namespace {

bool ParseWhole(const std::string& text, int& value) {
  std::size_t used = 0;
  try {
    value = std::stoi(text, &used);
  } catch (const std::exception&) {
    return false;
  }
  return used == text.size() && !text.empty();
}

// "1", "1-4" or "1,3,5-8" -> the channels 1..8 it names; empty when malformed.
std::vector<int> ChannelsOf(const std::string& list) {
  std::vector<int> channels;
  std::size_t begin = 0;
  for (;;) {
    const std::size_t comma = list.find(',', begin);
    const std::string item = list.substr(begin, comma - begin);
    const std::size_t dash = item.find('-');
    int first = 0;
    int last = 0;
    const bool ok = dash == std::string::npos
                        ? ParseWhole(item, first) && (last = first, true)
                        : ParseWhole(item.substr(0, dash), first) &&
                              ParseWhole(item.substr(dash + 1), last);
    if (!ok || first < 1 || last > kAnalogChannels || first > last) return {};
    for (int channel = first; channel <= last; ++channel) channels.push_back(channel);
    if (comma == std::string::npos) return channels;
    begin = comma + 1;
  }
}

// Applies "CHANNELS=VALUE" items to one field of the channel signals.
void ApplyChannelValues(const std::vector<std::string>& items, const char* option,
                        double ChannelSignal::*field, Options& options) {
  for (const std::string& item : items) {
    const auto eq = item.find('=');
    const std::vector<int> channels = eq == std::string::npos ? std::vector<int>{}
                                                               : ChannelsOf(item.substr(0, eq));
    double value = 0.0;
    std::size_t used = 0;
    bool ok = !channels.empty();
    try {
      if (ok) value = std::stod(item.substr(eq + 1), &used);
    } catch (const std::exception&) {
      ok = false;
    }
    if (!ok || used != item.size() - eq - 1 || !std::isfinite(value))
      throw CLI::ValidationError(option,
                                 "expected CHANNELS=VALUE with channels in 1..8, got '" + item + "'");
    for (int channel : channels) options.signal[static_cast<std::size_t>(channel - 1)].*field = value;
  }
}

std::string PositiveFinite(const std::string& text) {
  double value = 0.0;
  std::size_t used = 0;
  try {
    value = std::stod(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  return used == text.size() && value > 0.0 && std::isfinite(value) ? ""
                                                                     : "must be a positive number";
}

// Faults on demand; false for a signal that stops the module.
bool ActOnSignal(Simulator& simulator, int signal_number, int stall_ms, const std::string& program) {
  const char* what = nullptr;
  switch (signal_number) {
    case SIGHUP:
      simulator.Restart();
      what = "restarted (a power cycle: both connections dropped, settings back to power-on)";
      break;
    case SIGUSR1:
      simulator.DropDataConnection(false);
      what = "data connection closed";
      break;
    case SIGUSR2:
      simulator.StallStream(stall_ms);
      what = "stream stalled";
      break;
    default:
      return false;
  }
  std::fprintf(stderr, "%s: %s\n", program.c_str(), what);
  return true;
}

}  // namespace

void AddCommandLineOptions(CLI::App& app, CommandLine& line) {
  Options& o = line.options;
  app.add_option("--command-port", o.command_port, "Modbus/TCP port, 0 = chosen by the system")
      ->capture_default_str();
  app.add_option("--data-port", o.data_port, "acquisition stream port, 0 = chosen by the system")
      ->capture_default_str();
  app.add_flag("--sequence", o.sequence, "stream a counting test pattern instead of signals");
  app.add_flag("--flood", o.flood, "stream as fast as the connection takes");
  app.add_flag("--data-nodelay", o.data_no_delay,
               "send the stream with TCP_NODELAY (default: with Nagle's algorithm)");
  app.add_flag("--ex-ranges", o.ex_ranges,
               "extended-range variant: range codes 1/2/3 = 1/0.1/0.01 V");
  app.add_option("--clock-scale", o.clock_scale, "model seconds per real second")
      ->check(CLI::Validator(PositiveFinite, "POSITIVE"))
      ->capture_default_str();
  app.add_option("--dc", line.dc, "DC level of channels (default: channel k at k-4.5 V), repeatable")
      ->type_name("CHANNELS=VOLTS");
  app.add_option("--amplitude", line.amplitude, "sine amplitude of channels (default 0.5 V), repeatable")
      ->type_name("CHANNELS=VOLTS");
  app.add_option("--frequency", line.frequency,
                 "sine frequency of channels (default: 10*k Hz), repeatable")
      ->type_name("CHANNELS=HZ");
  app.add_option("--stall-ms", line.stall_ms, "how long SIGUSR2 stalls the stream")
      ->check(CLI::Range(1, 3600000))
      ->capture_default_str();
  app.footer(
      "Prints 'command_port=N data_port=M' once both ports listen and serves until SIGINT or "
      "SIGTERM. Faults on demand: SIGHUP restarts the module (a power cycle: both connections "
      "dropped, every setting back to its power-on value), SIGUSR1 closes the data connection, "
      "SIGUSR2 stalls the stream for --stall-ms.");
}

Options OptionsOf(const CommandLine& line) {
  Options options = line.options;
  ApplyChannelValues(line.dc, "--dc", &ChannelSignal::dc_volts, options);
  ApplyChannelValues(line.amplitude, "--amplitude", &ChannelSignal::amplitude_volts, options);
  ApplyChannelValues(line.frequency, "--frequency", &ChannelSignal::frequency_hz, options);
  return options;
}

int ServeUntilStopped(const CommandLine& line, const std::string& program) {
  const Options options = OptionsOf(line);
  // Blocked before the simulator starts its threads, so that only sigwait
  // below receives them.
  sigset_t handled;
  sigemptyset(&handled);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(&handled, s);
  pthread_sigmask(SIG_BLOCK, &handled, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Simulator simulator(options);
  const int status = simulator.Start();
  if (status != 0) {
    std::fprintf(stderr, "%s: cannot listen: %s\n", program.c_str(), std::strerror(-status));
    return 1;
  }
  std::printf("command_port=%u data_port=%u\n", static_cast<unsigned>(simulator.command_port()),
              static_cast<unsigned>(simulator.data_port()));
  std::fflush(stdout);
  for (;;) {
    int received = 0;
    if (sigwait(&handled, &received) != 0) continue;
    if (!ActOnSignal(simulator, received, line.stall_ms, program)) break;
  }
  simulator.Stop();
  return 0;
}

}  // namespace kr2270::sim

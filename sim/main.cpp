// kr2270-sim: serves a simulated KR2270C module on 127.0.0.1 until SIGINT or
// SIGTERM. Prints "command_port=N data_port=M" once both ports listen.
// Faults on demand: SIGHUP restarts the module (a power cycle), SIGUSR1 drops
// the data connection, SIGUSR2 stalls the stream for --stall-ms.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim/simulator.h"

namespace {

using kr2270::sim::ChannelSignal;

// Applies "CH=VALUE" items to one field of the channel signals.
void ApplyChannelValues(const std::vector<std::string>& items, const char* option,
                        double ChannelSignal::*field,
                        std::array<ChannelSignal, kr2270::sim::kAnalogChannels>& signal) {
  for (const std::string& item : items) {
    const auto eq = item.find('=');
    int channel = 0;
    double value = 0.0;
    size_t used_ch = 0;
    size_t used_v = 0;
    bool ok = eq != std::string::npos && eq > 0;
    try {
      if (ok) {
        channel = std::stoi(item.substr(0, eq), &used_ch);
        value = std::stod(item.substr(eq + 1), &used_v);
      }
    } catch (const std::exception&) {
      ok = false;
    }
    ok = ok && used_ch == eq && used_v == item.size() - eq - 1 && channel >= 1 &&
         channel <= kr2270::sim::kAnalogChannels && std::isfinite(value);
    if (!ok)
      throw CLI::ValidationError(option, "expected CH=VALUE with CH 1..8, got '" + item + "'");
    signal[static_cast<size_t>(channel - 1)].*field = value;
  }
}

}  // namespace

int main(int argc, char** argv) {
  kr2270::sim::Options options;
  std::vector<std::string> dc, amplitude, frequency;
  int stall_ms = 2000;

  CLI::App app{"Simulated KR2270C data-acquisition module on 127.0.0.1"};
  app.add_option("--command-port", options.command_port, "Modbus/TCP port, 0 = any free port")
      ->capture_default_str();
  app.add_option("--data-port", options.data_port, "acquisition stream port, 0 = any free port")
      ->capture_default_str();
  app.add_flag("--sequence", options.sequence, "stream the sequence test pattern");
  app.add_flag("--flood", options.flood, "stream as fast as the connection takes");
  app.add_flag("--ex-ranges", options.ex_ranges,
               "extended-range variant: range codes 1/2/3 = 1/0.1/0.01 V");
  app.add_option("--clock-scale", options.clock_scale, "model seconds per real second")
      ->check([](const std::string& text) -> std::string {
        double v = 0.0;
        try {
          v = std::stod(text);
        } catch (const std::exception&) {
        }
        return v > 0.0 && std::isfinite(v) ? "" : "must be a positive number";
      })
      ->capture_default_str();
  app.add_option("--dc", dc, "DC level of a channel (repeatable)")->type_name("CH=VOLTS");
  app.add_option("--amplitude", amplitude, "sine amplitude of a channel (repeatable)")
      ->type_name("CH=VOLTS");
  app.add_option("--frequency", frequency, "sine frequency of a channel (repeatable)")
      ->type_name("CH=HZ");

  app.add_option("--stall-ms", stall_ms, "how long SIGUSR2 stalls the stream")
      ->check(CLI::Range(1, 3600000))
      ->capture_default_str();

  try {
    app.parse(argc, argv);
    ApplyChannelValues(dc, "--dc", &ChannelSignal::dc_volts, options.signal);
    ApplyChannelValues(amplitude, "--amplitude", &ChannelSignal::amplitude_volts, options.signal);
    ApplyChannelValues(frequency, "--frequency", &ChannelSignal::frequency_hz, options.signal);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }

  // Block the stop signals before any thread exists so that only sigwait()
  // below receives them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigset_t handled = stop_signals;
  sigaddset(&handled, SIGHUP);
  sigaddset(&handled, SIGUSR1);
  sigaddset(&handled, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &handled, nullptr);
  signal(SIGPIPE, SIG_IGN);

  kr2270::sim::Simulator sim(options);
  const int r = sim.Start();
  if (r != 0) {
    std::fprintf(stderr, "kr2270-sim: cannot listen: %s\n", std::strerror(-r));
    return 1;
  }
  std::printf("command_port=%u data_port=%u\n", static_cast<unsigned>(sim.command_port()),
              static_cast<unsigned>(sim.data_port()));
  std::fflush(stdout);

  for (;;) {
    int sig = 0;
    if (sigwait(&handled, &sig) != 0) continue;
    if (sig == SIGHUP) {
      sim.Restart();
    } else if (sig == SIGUSR1) {
      sim.DropDataConnection(false);
    } else if (sig == SIGUSR2) {
      sim.StallStream(stall_ms);
    } else {
      break;
    }
    std::fprintf(stderr, "kr2270-sim: %s\n",
                 sig == SIGHUP ? "restarted" : sig == SIGUSR1 ? "data connection dropped" : "stalled");
  }
  sim.Stop();
  return 0;
}

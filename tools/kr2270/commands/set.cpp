// kr2270 set: the module's outputs from the command line (digital outputs,
// pulse outputs, counter modes and base periods, clears, the watchdog).
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/commands.h"
#include "app/connection.h"
#include "app/outputs.h"
#include "system/system.h"

namespace kr2270::tool {
namespace {

struct SetOptions {
  ConnectionOptions connection;
  std::string digital;
  std::vector<std::string> pulse;
  std::vector<std::string> pulse_count;
  std::string pulse_phase;
  std::string pulse_run;
  std::vector<std::string> counter_mode;
  std::vector<std::string> counter_base;
  std::string counter_clear;
  std::string encoder_clear;
  std::string watchdog;
};

// "1,3-5" or "none" -> the lines named.
template <std::size_t N>
std::array<bool, N> Lines(const std::string& text, const std::string& option) {
  if (text == "none") return {};
  return SelectionOf<N>(ParseNumberList(text, static_cast<int>(N), option));
}

struct Assignment {
  std::vector<int> lines;
  std::string value;
};

// "LINES=VALUE" with LINES as in Lines().
Assignment SplitAssignment(const std::string& text, int highest, const std::string& option,
                           const std::string& form) {
  const auto equals = text.find('=');
  if (equals == std::string::npos || equals + 1 == text.size())
    FailUsage(option + ": '" + text + "' is not " + form);
  return {ParseNumberList(text.substr(0, equals), highest, option), text.substr(equals + 1)};
}

double ParseNumber(const std::string& text, const std::string& option) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size())
    FailUsage(option + ": '" + text + "' is not a number");
  return value;
}

std::int64_t ParseWhole(const std::string& text, const std::string& option) {
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || end != text.c_str() + text.size())
    FailUsage(option + ": '" + text + "' is not a whole number");
  return value;
}

void ParsePulses(const SetOptions& o, OutputSettings& s) {
  for (const std::string& text : o.pulse) {
    const Assignment a = SplitAssignment(text, kPulseOutputs, "--pulse", "OUTPUTS=HZ[:DUTY]");
    PulseTiming timing;
    const auto colon = a.value.find(':');
    timing.frequency_hz = ParseNumber(a.value.substr(0, colon), "--pulse");
    if (colon != std::string::npos) timing.duty = ParseNumber(a.value.substr(colon + 1), "--pulse");
    for (int k : a.lines) s.pulse[static_cast<std::size_t>(k - 1)] = timing;
  }
  for (const std::string& text : o.pulse_count) {
    const Assignment a = SplitAssignment(text, kPulseOutputs, "--pulse-count", "OUTPUTS=COUNT");
    const std::int64_t count = ParseWhole(a.value, "--pulse-count");
    for (int k : a.lines) s.pulse_count[static_cast<std::size_t>(k - 1)] = count;
  }
  if (!o.pulse_phase.empty()) s.pulse_phase = Lines<kPulseOutputs>(o.pulse_phase, "--pulse-phase");
  if (!o.pulse_run.empty()) s.pulse_run = Lines<kPulseOutputs>(o.pulse_run, "--pulse-run");
}

void ParseCounters(const SetOptions& o, OutputSettings& s) {
  if (!o.counter_mode.empty()) {
    std::array<CounterMode, kCounters> modes{};  // counters not named count
    for (const std::string& text : o.counter_mode) {
      const Assignment a = SplitAssignment(text, kCounters, "--counter-mode", "COUNTERS=MODE");
      const auto mode = ParseCounterMode(a.value);
      if (!mode)
        FailUsage("--counter-mode: '" + a.value + "' is not a mode (count, frequency, clear, period "
                  "or 0..3)");
      for (int c : a.lines) modes[static_cast<std::size_t>(c - 1)] = *mode;
    }
    s.counter_mode = modes;
  }
  for (const std::string& text : o.counter_base) {
    const Assignment a = SplitAssignment(text, kCounters, "--counter-base", "COUNTERS=MS");
    const double ms = ParseNumber(a.value, "--counter-base");
    for (int c : a.lines) s.counter_base_ms[static_cast<std::size_t>(c - 1)] = ms;
  }
  if (!o.counter_clear.empty()) s.counter_clear = Lines<kCounters>(o.counter_clear, "--counter-clear");
  if (!o.encoder_clear.empty()) s.encoder_clear = Lines<kEncoders>(o.encoder_clear, "--encoder-clear");
}

OutputSettings ParseSettings(const SetOptions& o) {
  OutputSettings s;
  if (!o.digital.empty()) s.digital = Lines<kDigitalOutputs>(o.digital, "--do");
  ParsePulses(o, s);
  ParseCounters(o, s);
  if (!o.watchdog.empty())
    s.watchdog_ms = o.watchdog == "off" ? 0 : ParseWhole(o.watchdog, "--watchdog");
  if (s.Empty()) FailUsage("nothing to set: give at least one option (see kr2270 set --help)");
  if (const std::string why = RefusalOf(s); !why.empty()) FailUsage(why);
  return s;
}

// The library puts a cleared counter back into the mode and base period the
// handle holds: a fresh handle holds the defaults, so the module's present
// ones (as last set) are written first.
void KeepCounterSetupAcrossClear(OutputSettings& s, const RememberedOutputs& remembered) {
  if (!s.counter_clear) return;
  if (!s.counter_mode && remembered.counter_mode) s.counter_mode = remembered.counter_mode;
  for (std::size_t i = 0; i < s.counter_base_ms.size(); ++i)
    if (!s.counter_base_ms[i]) s.counter_base_ms[i] = remembered.counter_base_ms[i];
}

int RunSet(const SetOptions& o) {
  SetQuitOnInterrupt(true);
  OutputSettings settings = ParseSettings(o);
  const Connection connection = Connect(o.connection);
  KeepCounterSetupAcrossClear(settings, LoadRememberedOutputs(connection.host, connection.port));
  const OutputReport report = ApplyOutputs(connection.device.get(), settings, connection.timeout_ms);
  std::printf("module          %s\n", DescribeModule(connection).c_str());
  for (const auto& [key, text] : report) std::printf("%-15s %s\n", key.c_str(), text.c_str());
  if (!connection.builtin) {
    const std::string warning = RememberOutputs(connection.host, connection.port, settings, report);
    if (!warning.empty()) std::fprintf(stderr, "kr2270: %s; kr2270 info will not show them\n",
                                       warning.c_str());
  }
  return kExitOk;
}

}  // namespace

Command AddSetCommand(CLI::App& app) {
  auto o = std::make_shared<SetOptions>();
  CLI::App* cmd = app.add_subcommand(
      "set", "set the module's outputs: digital and pulse outputs, counters, encoders, watchdog");
  cmd->footer(
      "Values the module cannot hold are refused before anything is sent. Options that name "
      "lines (--do, --pulse-phase, --pulse-run, --counter-mode) set every line of their kind: "
      "lines not named are off (or count). kr2270 info shows what was last set.");
  AddConnectionOptions(*cmd, o->connection);
  cmd->add_option("--do", o->digital, "digital outputs that are on, e.g. 1,3-5; the others are "
                  "off; 'none' for all off")->type_name("LIST");
  cmd->add_option("--pulse", o->pulse, "frequency in Hz (" + std::to_string(kLowestPulseHz) +
                  " to 25000000) and duty 0..1 (default 0.5) of pulse outputs 1..4, repeatable")
      ->type_name("OUTPUTS=HZ[:DUTY]");
  cmd->add_option("--pulse-count", o->pulse_count, "pulses an output gives when started "
                  "(0 = until stopped), repeatable")->type_name("OUTPUTS=COUNT");
  cmd->add_option("--pulse-phase", o->pulse_phase, "pulse outputs whose phase bit is set; "
                  "'none' for none")->type_name("LIST");
  cmd->add_option("--pulse-run", o->pulse_run, "pulse outputs to start; the others stop; "
                  "'none' stops all")->type_name("LIST");
  cmd->add_option("--counter-mode", o->counter_mode, "mode of counters 1..4: count, frequency "
                  "(count per base period), clear (held at 0), period; repeatable")
      ->type_name("COUNTERS=MODE");
  cmd->add_option("--counter-base", o->counter_base, "base period in ms of counters 1..4 "
                  "(0.00002 to 85899.3459), repeatable")->type_name("COUNTERS=MS");
  cmd->add_option("--counter-clear", o->counter_clear, "counters to clear, keeping their mode and "
                  "base period")->type_name("LIST");
  cmd->add_option("--encoder-clear", o->encoder_clear, "encoders 1..2 to clear")->type_name("LIST");
  cmd->add_option("--watchdog", o->watchdog, "watchdog period in milliseconds (1 to 65535): "
                  "outputs drop to off when no command arrives for that long; 0 or 'off' "
                  "switches it off")->type_name("MS");
  return {cmd, [o] { return RunSet(*o); }};
}

}  // namespace kr2270::tool

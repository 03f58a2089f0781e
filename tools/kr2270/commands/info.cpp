// kr2270 info: one snapshot of everything the module reports.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <iterator>
#include <cstdio>
#include <memory>

#include "app/commands.h"
#include "app/connection.h"
#include "run/acquisition.h"
#include "app/options.h"
#include "app/outputs.h"
#include "system/system.h"

namespace kr2270::tool {
namespace {

struct InfoOptions {
  ConnectionOptions connection;
  RangeOptions ranges;
};

struct Snapshot {
  std::array<std::int32_t, kAnalogChannels> codes{};
  std::array<double, kAnalogChannels> volts{};
  std::array<std::int32_t, kAnalogChannels> zero{};
  std::array<std::int32_t, kAnalogChannels> full{};
  std::array<std::uint8_t, 16> inputs{};
  std::array<std::uint32_t, kCounters> counters{};
  std::array<std::uint32_t, kEncoders> encoders{};
  std::int32_t reference = 0;
  std::array<std::uint8_t, kPulseOutputs> pulse_over{};
};

// The pairs shown are the ones the volts were converted with, as the
// library holds them.
Snapshot TakeSnapshot(KR2270Device* device, int timeout_ms) {
  Snapshot s;
  KR2270ConversionSettings converts{};
  Check(KR2270_GetConversionSettings(device, &converts), "reading the conversion settings");
  std::copy(std::begin(converts.zero_code), std::end(converts.zero_code), s.zero.begin());
  std::copy(std::begin(converts.full_code), std::end(converts.full_code), s.full.begin());
  Check(KR2270_AdReadAllOnce(device, s.codes.data(), timeout_ms), "reading the analog inputs");
  for (int channel = 1; channel <= kAnalogChannels; ++channel) {
    const auto k = static_cast<std::size_t>(channel - 1);
    Check(KR2270_AdCodeToValue(device, channel, &s.codes[k], 1, &s.volts[k]),
          "converting channel " + std::to_string(channel));
  }
  Check(KR2270_DiReadAllOnce(device, s.inputs.data(), timeout_ms), "reading the digital inputs");
  Check(KR2270_CtReadAllOnce(device, s.counters.data(), timeout_ms), "reading the counters");
  Check(KR2270_EcReadAllOnce(device, s.encoders.data(), timeout_ms), "reading the encoders");
  Check(KR2270_AdReadRef(device, &s.reference, timeout_ms), "reading the reference value");
  Check(KR2270_PwmIsOver(device, s.pulse_over.data(), timeout_ms), "reading the pulse outputs");
  return s;
}

// The module reports none of its output settings: what `kr2270 set` last
// wrote to it is shown as such, beside the run state it does report.
void PrintOutputs(const Snapshot& s, const RememberedOutputs& remembered) {
  std::string running;
  for (std::size_t k = 0; k < s.pulse_over.size(); ++k)
    if (s.pulse_over[k] == 0) running += (running.empty() ? "" : ",") + std::to_string(k + 1);
  std::printf("pulse runs %s\n", running.empty() ? "none" : running.c_str());
  if (remembered.lines.empty()) return;
  std::printf("last set   by kr2270 set at %s (the module does not report these):\n",
              remembered.when.c_str());
  for (const auto& [key, text] : remembered.lines)
    std::printf("  %-15s %s\n", key.c_str(), text.c_str());
}

void PrintSnapshot(const Connection& connection, const Snapshot& s) {
  std::printf("module     %s\n", DescribeModule(connection).c_str());
  std::printf("%-8s %10s %14s %10s %10s\n", "channel", "code", "volts", "zero", "full");
  for (std::size_t k = 0; k < kAnalogChannels; ++k)
    std::printf("ai%-6zu %10d %14.7f %10d %10d\n", k + 1, s.codes[k], s.volts[k], s.zero[k],
                s.full[k]);
  unsigned word = 0;
  std::string bits;
  for (std::size_t i = 0; i < s.inputs.size(); ++i) {
    word |= (s.inputs[i] & 1u) << i;
    bits += s.inputs[i] != 0 ? '1' : '0';
  }
  std::printf("di         0x%04x (inputs 1..16: %s)\n", word, bits.c_str());
  for (std::size_t k = 0; k < kCounters; ++k) std::printf("ct%zu        %u\n", k + 1, s.counters[k]);
  // Encoders count both ways; their two's-complement reading is the position.
  for (std::size_t k = 0; k < kEncoders; ++k)
    std::printf("ec%zu        %d\n", k + 1, static_cast<std::int32_t>(s.encoders[k]));
  std::printf("reference  %d\n", s.reference);
}

// info shows every channel and every counter, so it writes the range of
// every channel (10 V where none is given) and the counters' modes and base
// periods: what an earlier run left in the module must not change the
// values shown. The counters keep what `kr2270 set` set (count otherwise).
void WriteShownSettings(KR2270Device* device, const std::vector<RangeSetting>& given,
                        const RememberedOutputs& remembered, int timeout_ms) {
  StreamSelection every;
  every.analog.fill(true);
  ApplyRanges(device, RangesToWrite(every, given), timeout_ms);
  OutputSettings counters;
  counters.counter_mode = remembered.counter_mode.value_or(std::array<CounterMode, kCounters>{});
  counters.counter_base_ms = remembered.counter_base_ms;
  ApplyOutputs(device, counters, timeout_ms);
}

int RunInfo(const InfoOptions& o) {
  SetQuitOnInterrupt(true);
  const auto ranges = ParseRanges(o.ranges);
  const Connection connection = Connect(o.connection);
  KR2270Device* device = connection.device.get();
  const RememberedOutputs remembered = LoadRememberedOutputs(connection.host, connection.port);
  WriteShownSettings(device, ranges, remembered, connection.timeout_ms);
  const Snapshot snapshot = TakeSnapshot(device, connection.timeout_ms);
  PrintSnapshot(connection, snapshot);
  PrintOutputs(snapshot, remembered);
  return kExitOk;
}

}  // namespace

Command AddInfoCommand(CLI::App& app) {
  auto options = std::make_shared<InfoOptions>();
  CLI::App* cmd = app.add_subcommand("info", "print one snapshot of every input of the module");
  AddConnectionOptions(*cmd, options->connection);
  AddRangeOptions(*cmd, options->ranges, " to set first (others are set to 10 V)");
  return {cmd, [options] { return RunInfo(*options); }};
}

}  // namespace kr2270::tool

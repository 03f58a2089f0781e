// The module's outputs as the tool sets them: digital outputs, pulse outputs,
// counter modes and base periods, counter and encoder clears, the watchdog.
// `kr2270 set` fills an OutputSettings from its options, the scope page from
// a JSON body; both check and apply it here.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/options.h"
#include "kr2270c.h"

namespace kr2270::tool {

inline constexpr int kDigitalOutputs = 12;
inline constexpr int kPulseOutputs = 4;

// What the module can hold, from its 50 MHz clock and register widths.
inline constexpr double kModuleClockHz = 50e6;
inline constexpr double kLongestCount = 4294967295.0;   // 32-bit clock counts
inline constexpr double kLowestPulseHz = kModuleClockHz / kLongestCount;
inline constexpr double kHighestPulseHz = kModuleClockHz / 2.0;  // a high and a low clock
inline constexpr std::int64_t kLongestPulseCount = 2147483647;   // the library's int32
inline constexpr int kLongestWatchdogMs = 65535;                 // one 16-bit register

struct PulseTiming {
  double frequency_hz = 0.0;
  double duty = 0.5;  // high time as a fraction of the period
};

enum class CounterMode : std::int8_t { kCount = 0, kFrequency = 1, kClear = 2, kPeriod = 3 };

// Every member is optional: only what is given is written. The settings of
// one register that covers several lines (digital outputs, phase and run
// bits, counter modes) are written whole: lines not named get their default.
struct OutputSettings {
  std::optional<std::array<bool, kDigitalOutputs>> digital;  // on
  std::array<std::optional<PulseTiming>, kPulseOutputs> pulse;
  std::array<std::optional<std::int64_t>, kPulseOutputs> pulse_count;  // 0 = until stopped
  std::optional<std::array<bool, kPulseOutputs>> pulse_phase;
  std::optional<std::array<bool, kPulseOutputs>> pulse_run;
  std::optional<std::array<CounterMode, kCounters>> counter_mode;
  std::array<std::optional<double>, kCounters> counter_base_ms;
  std::optional<std::array<bool, kCounters>> counter_clear;
  std::optional<std::array<bool, kEncoders>> encoder_clear;
  std::optional<std::int64_t> watchdog_ms;  // 0 = off

  bool Empty() const;
};

// Why the module cannot hold a value of `settings`, as one line naming the
// setting ("pulse output 2: 30000000 Hz is above ..."); empty when it can.
std::string RefusalOf(const OutputSettings& settings);

// One line per setting applied, in the words `kr2270 info` shows them:
// key ("do", "pulse2", "counter-mode", ...) -> "1000 Hz, duty 0.25".
using OutputReport = std::map<std::string, std::string>;

// Writes what `settings` holds (checked with RefusalOf first: a refused value
// sends nothing at all) and reports what the module was given, with the
// achieved frequencies and periods. Throws ToolError on a failed exchange.
OutputReport ApplyOutputs(KR2270Device* device, const OutputSettings& settings, int timeout_ms);

std::string CounterModeName(CounterMode mode);
std::optional<CounterMode> ParseCounterMode(const std::string& text);  // name or 0..3

// What `kr2270 set` last applied to a module (the module reports none of it
// back), kept per module address under the user's state folder
// (KR2270_STATE_DIR, else XDG_STATE_HOME/kr2270, ~/.local/state/kr2270 or
// LOCALAPPDATA/kr2270).
struct RememberedOutputs {
  std::string when;  // UTC time of the last set
  OutputReport lines;
  std::optional<std::array<CounterMode, kCounters>> counter_mode;
  std::array<std::optional<double>, kCounters> counter_base_ms;  // as achieved
};

RememberedOutputs LoadRememberedOutputs(const std::string& host, int port);
// Adds `report` to what is remembered for the module; a failure to save is
// returned as a warning text (the module was set all the same).
std::string RememberOutputs(const std::string& host, int port, const OutputSettings& settings,
                            const OutputReport& report);

}  // namespace kr2270::tool

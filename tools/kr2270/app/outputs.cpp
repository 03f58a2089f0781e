#include "app/outputs.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/tool.h"
#include "system/system.h"

namespace kr2270::tool {
namespace {

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", value);
  return text;
}

template <std::size_t N>
std::string LineList(const std::array<bool, N>& lines) {
  std::string list;
  for (std::size_t i = 0; i < N; ++i)
    if (lines[i]) list += (list.empty() ? "" : ",") + std::to_string(i + 1);
  return list.empty() ? "none" : list;
}

template <std::size_t N>
std::array<std::uint8_t, N> Bytes(const std::array<bool, N>& lines) {
  std::array<std::uint8_t, N> bytes{};
  for (std::size_t i = 0; i < N; ++i) bytes[i] = lines[i] ? 1 : 0;
  return bytes;
}

// The clock counts the library derives, computed as it does, so that a
// refusal here is exactly a value the module would not get.
double PulsePeriodCount(double frequency_hz) { return std::trunc(kModuleClockHz / frequency_hz); }
double CounterDivisor(double base_ms) { return std::trunc(kModuleClockHz / (1000.0 / base_ms)); }

std::string PulseRefusal(int output, const PulseTiming& pulse) {
  const std::string where = "pulse output " + std::to_string(output) + ": ";
  const double f = pulse.frequency_hz;
  if (!std::isfinite(f) || f < kLowestPulseHz || f > kHighestPulseHz)
    return where + Number(f) + " Hz cannot be held: the module's 50 MHz clock counts periods of " +
           Number(kLowestPulseHz) + " to " + Number(kHighestPulseHz) + " Hz";
  if (PulsePeriodCount(f) < 2.0 || PulsePeriodCount(f) > kLongestCount)
    return where + Number(f) + " Hz gives no 32-bit period count";
  if (!std::isfinite(pulse.duty) || pulse.duty < 0.0 || pulse.duty > 1.0)
    return where + "duty " + Number(pulse.duty) + " is outside 0..1";
  return {};
}

std::string CounterBaseRefusal(int counter, double base_ms) {
  const double divisor = std::isfinite(base_ms) && base_ms > 0.0 ? CounterDivisor(base_ms) : 0.0;
  if (divisor < 1.0 || divisor > kLongestCount)
    return "counter " + std::to_string(counter) + ": a base period of " + Number(base_ms) +
           " ms cannot be held: the module counts 1 to 4294967295 periods of its 50 MHz clock (" +
           Number(1000.0 / kModuleClockHz) + " to " + Number(kLongestCount * 1000.0 / kModuleClockHz) +
           " ms)";
  return {};
}

void ApplyCounters(KR2270Device* device, const OutputSettings& s, int timeout_ms,
                   OutputReport& report) {
  for (int c = 1; c <= kCounters; ++c) {
    const auto& base = s.counter_base_ms[static_cast<std::size_t>(c - 1)];
    if (!base) continue;
    double achieved = 0.0;
    Check(KR2270_CtSetFreqBase(device, c, *base, &achieved, timeout_ms),
          "setting the base period of counter " + std::to_string(c));
    report["counter-base" + std::to_string(c)] = Number(achieved) + " ms";
  }
  if (s.counter_mode) {
    std::array<std::int8_t, kCounters> modes{};
    std::string names;
    for (std::size_t i = 0; i < modes.size(); ++i) {
      modes[i] = static_cast<std::int8_t>((*s.counter_mode)[i]);
      names += (i ? " " : "") + CounterModeName((*s.counter_mode)[i]);
    }
    Check(KR2270_CtSetModeAll(device, modes.data(), timeout_ms), "setting the counter modes");
    report["counter-mode"] = names + " (counters 1..4)";
  }
  if (s.counter_clear) {
    const auto clear = Bytes(*s.counter_clear);
    Check(KR2270_CtClear(device, clear.data(), timeout_ms), "clearing counters");
    report["counter-clear"] = LineList(*s.counter_clear);
  }
  if (s.encoder_clear) {
    const auto clear = Bytes(*s.encoder_clear);
    Check(KR2270_EcClear(device, clear.data(), timeout_ms), "clearing encoders");
    report["encoder-clear"] = LineList(*s.encoder_clear);
  }
}

void ApplyPulses(KR2270Device* device, const OutputSettings& s, int timeout_ms,
                 OutputReport& report) {
  for (int k = 1; k <= kPulseOutputs; ++k) {
    const auto i = static_cast<std::size_t>(k - 1);
    if (s.pulse[i]) {
      double hz = 0.0;
      double duty = 0.0;
      Check(KR2270_PwmSetPulse(device, k, s.pulse[i]->frequency_hz, s.pulse[i]->duty, &hz, &duty,
                               timeout_ms),
            "setting pulse output " + std::to_string(k));
      report["pulse" + std::to_string(k)] = Number(hz) + " Hz, duty " + Number(duty);
    }
    if (s.pulse_count[i]) {
      Check(KR2270_PwmSetCount(device, k, static_cast<std::int32_t>(*s.pulse_count[i]), timeout_ms),
            "setting the pulse count of output " + std::to_string(k));
      report["pulse-count" + std::to_string(k)] =
          *s.pulse_count[i] == 0 ? "0 (until stopped)" : std::to_string(*s.pulse_count[i]);
    }
  }
  if (s.pulse_phase) {
    const auto phase = Bytes(*s.pulse_phase);
    Check(KR2270_PwmSetPhase(device, phase.data(), timeout_ms), "setting the pulse phases");
    report["pulse-phase"] = "set on " + LineList(*s.pulse_phase);
  }
  if (s.pulse_run) {
    const auto run = Bytes(*s.pulse_run);
    Check(KR2270_PwmStartAll(device, run.data(), timeout_ms), "starting the pulse outputs");
    report["pulse-run"] = "started " + LineList(*s.pulse_run) + ", others stopped";
  }
}

std::filesystem::path StateDir() {
  const auto from = [](const char* name) -> std::string {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
  };
  if (const std::string dir = from("KR2270_STATE_DIR"); !dir.empty()) return dir;
  if (const std::string dir = from("XDG_STATE_HOME"); !dir.empty())
    return std::filesystem::path(dir) / "kr2270";
  if (const std::string home = from("HOME"); !home.empty())
    return std::filesystem::path(home) / ".local" / "state" / "kr2270";
  if (const std::string dir = from("LOCALAPPDATA"); !dir.empty())
    return std::filesystem::path(dir) / "kr2270";
  return {};
}

std::filesystem::path StateFile(const std::string& host, int port) {
  const std::filesystem::path dir = StateDir();
  if (dir.empty()) return {};
  return dir / ("outputs-" + host + "-" + std::to_string(port) + ".txt");
}

}  // namespace

bool OutputSettings::Empty() const {
  const auto none = [](const auto& items) {
    for (const auto& item : items)
      if (item) return false;
    return true;
  };
  return !digital && none(pulse) && none(pulse_count) && !pulse_phase && !pulse_run &&
         !counter_mode && none(counter_base_ms) && !counter_clear && !encoder_clear &&
         !watchdog_ms;
}

std::string RefusalOf(const OutputSettings& s) {
  for (int k = 1; k <= kPulseOutputs; ++k) {
    const auto i = static_cast<std::size_t>(k - 1);
    if (s.pulse[i])
      if (std::string why = PulseRefusal(k, *s.pulse[i]); !why.empty()) return why;
    if (s.pulse_count[i] && (*s.pulse_count[i] < 0 || *s.pulse_count[i] > kLongestPulseCount))
      return "pulse output " + std::to_string(k) + ": a count of " +
             std::to_string(*s.pulse_count[i]) + " is outside 0..2147483647";
  }
  for (int c = 1; c <= kCounters; ++c)
    if (const auto& base = s.counter_base_ms[static_cast<std::size_t>(c - 1)])
      if (std::string why = CounterBaseRefusal(c, *base); !why.empty()) return why;
  if (s.watchdog_ms && (*s.watchdog_ms < 0 || *s.watchdog_ms > kLongestWatchdogMs))
    return "watchdog: " + std::to_string(*s.watchdog_ms) +
           " ms cannot be held: the period is 1 to 65535 ms (0 = off)";
  return {};
}

OutputReport ApplyOutputs(KR2270Device* device, const OutputSettings& s, int timeout_ms) {
  if (const std::string why = RefusalOf(s); !why.empty()) FailUsage(why);
  OutputReport report;
  ApplyCounters(device, s, timeout_ms, report);
  if (s.digital) {
    const auto outputs = Bytes(*s.digital);
    Check(KR2270_DoWriteAllOnce(device, outputs.data(), timeout_ms), "setting the digital outputs");
    report["do"] = "on " + LineList(*s.digital) + ", others off";
  }
  ApplyPulses(device, s, timeout_ms, report);
  if (s.watchdog_ms) {
    // The module counts its watchdog period in milliseconds; 0 switches it off.
    Check(KR2270_SetWtdStatus(device, *s.watchdog_ms != 0 ? 1 : 0,
                              static_cast<std::int32_t>(*s.watchdog_ms), timeout_ms),
          "setting the watchdog");
    report["watchdog"] = *s.watchdog_ms == 0 ? "off" : std::to_string(*s.watchdog_ms) + " ms";
  }
  return report;
}

std::string CounterModeName(CounterMode mode) {
  switch (mode) {
    case CounterMode::kCount: return "count";
    case CounterMode::kFrequency: return "frequency";
    case CounterMode::kClear: return "clear";
    case CounterMode::kPeriod: return "period";
  }
  return "?";
}

std::optional<CounterMode> ParseCounterMode(const std::string& text) {
  for (int m = 0; m <= 3; ++m) {
    const auto mode = static_cast<CounterMode>(m);
    if (text == CounterModeName(mode) || text == std::to_string(m)) return mode;
  }
  return std::nullopt;
}

// The file: "when TIME", "show KEY TEXT", "counter-mode M M M M" and
// "counter-base C MS" lines, tab-separated.
RememberedOutputs LoadRememberedOutputs(const std::string& host, int port) {
  RememberedOutputs remembered;
  const std::filesystem::path path = StateFile(host, port);
  if (path.empty()) return remembered;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::istringstream split(line);
    for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
    if (fields.size() == 2 && fields[0] == "when") remembered.when = fields[1];
    if (fields.size() == 3 && fields[0] == "show") remembered.lines[fields[1]] = fields[2];
    if (fields.size() == 2 && fields[0] == "counter-mode") {
      std::istringstream modes(fields[1]);
      std::array<CounterMode, kCounters> parsed{};
      std::size_t n = 0;
      for (std::string mode; n < parsed.size() && modes >> mode; ++n) {
        const auto m = ParseCounterMode(mode);
        if (!m) break;
        parsed[n] = *m;
      }
      if (n == parsed.size()) remembered.counter_mode = parsed;
    }
    if (fields.size() == 3 && fields[0] == "counter-base") {
      const int c = std::atoi(fields[1].c_str());
      const double ms = std::strtod(fields[2].c_str(), nullptr);
      if (c >= 1 && c <= kCounters && CounterBaseRefusal(c, ms).empty())
        remembered.counter_base_ms[static_cast<std::size_t>(c - 1)] = ms;
    }
  }
  return remembered;
}

std::string RememberOutputs(const std::string& host, int port, const OutputSettings& settings,
                            const OutputReport& report) {
  const std::filesystem::path path = StateFile(host, port);
  if (path.empty()) return "no folder to remember the outputs in (HOME is not set)";
  RememberedOutputs kept = LoadRememberedOutputs(host, port);
  for (const auto& [key, text] : report)
    if (key != "counter-clear" && key != "encoder-clear") kept.lines[key] = text;  // actions
  if (settings.counter_mode) kept.counter_mode = settings.counter_mode;
  for (int c = 1; c <= kCounters; ++c) {
    const auto i = static_cast<std::size_t>(c - 1);
    const auto achieved = report.find("counter-base" + std::to_string(c));
    if (settings.counter_base_ms[i] && achieved != report.end())
      kept.counter_base_ms[i] = std::strtod(achieved->second.c_str(), nullptr);
  }
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  const std::filesystem::path partial = path.string() + ".partial";
  std::filesystem::remove(partial, error);  // a link planted there is removed, not followed
  {
    std::ofstream out(partial, std::ios::trunc);
    out << "when\t" << UtcTimestampNow() << "\n";
    for (const auto& [key, text] : kept.lines) out << "show\t" << key << "\t" << text << "\n";
    if (kept.counter_mode) {
      out << "counter-mode\t";
      for (std::size_t i = 0; i < kept.counter_mode->size(); ++i)
        out << (i ? " " : "") << CounterModeName((*kept.counter_mode)[i]);
      out << "\n";
    }
    for (int c = 1; c <= kCounters; ++c)
      if (const auto& ms = kept.counter_base_ms[static_cast<std::size_t>(c - 1)])
        out << "counter-base\t" << c << "\t" << Number(*ms) << "\n";
    if (!out.flush()) return "cannot write " + partial.string();
  }
  std::filesystem::rename(partial, path, error);
  if (error) return "cannot replace " + path.string() + ": " + error.message();
  return {};
}

}  // namespace kr2270::tool

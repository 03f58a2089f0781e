// What --metrics reports: the figures read from the library and their text;
// the server that answers scrapes is metrics_server.cpp.
#include "app/metrics.h"

#include <algorithm>

#include <CLI/CLI.hpp>

#include "app/options.h"

namespace kr2270::tool {
namespace {

struct Metric {
  const char* name;
  const char* type;
  const char* help;
};

struct Sample {
  std::string labels;
  std::uint64_t value;
};

std::string LabelValue(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

void Append(std::string& out, const Metric& metric, std::initializer_list<Sample> samples) {
  out += std::string("# HELP ") + metric.name + " " + metric.help + "\n# TYPE " + metric.name +
         " " + metric.type + "\n";
  for (const Sample& s : samples)
    out += std::string(metric.name) + "{" + s.labels + "} " + std::to_string(s.value) + "\n";
}

}  // namespace

void AddMetricsOptions(CLI::App& command, MetricsOptions& options) {
  command
      .add_option("--metrics", options.address,
                  "serve the module's health on http://HOST:PORT/metrics for Prometheus "
                  "(HOST 127.0.0.1 unless given; PORT 0: any free port, printed on stderr)")
      ->type_name("[HOST:]PORT")
      ->check(CLI::Validator(MetricsAddressProblem, "", "[HOST:]PORT"));
  command
      .add_option("--metrics-linger", options.linger_s,
                  "after the run, keep /metrics up until it was scraped once more, for at most "
                  "SECONDS, so that the end of the run reaches Prometheus")
      ->type_name("SECONDS")
      ->check(FiniteNumber(0.0, true, 3600.0, "a number of seconds in 0..3600", "SECONDS"));
}

ModuleFigures ReadModuleFigures(KR2270Device* device) {
  ModuleFigures figures;
  figures.health.struct_size = sizeof figures.health;
  if (KR2270_GetHealth(device, &figures.health) < 0) figures.health = {};
  KR2270Timeline timeline{};
  timeline.struct_size = sizeof timeline;
  if (KR2270_HcGetTimeline(device, &timeline) == 0) figures.missing_groups = timeline.missing_groups;
  figures.data_lost = KR2270_HcIsDataLost(device) == 1;
  std::int32_t files = 0;
  figures.recording_failed = KR2270_DFWGetInfo(device, &figures.recording_bytes, &files) < 0;
  return figures;
}

std::string MetricsText(const ModuleFigures& f, const std::string& module) {
  static constexpr Metric kReceived{"kr2270_groups_received_total", "counter",
                                    "Whole groups received from the module since the acquisition started."};
  static constexpr Metric kDropped{"kr2270_groups_dropped_total", "counter",
                                   "Whole groups dropped because the stream ring was full."};
  static constexpr Metric kGaps{"kr2270_gaps_total", "counter",
                                "Gaps in the stream since the acquisition started."};
  static constexpr Metric kMissing{"kr2270_missing_groups_total", "counter",
                                   "Groups missing in the gaps of the run (lost link, module restart, ring full)."};
  static constexpr Metric kReconnects{"kr2270_reconnects_total", "counter",
                                      "Automatic reconnects that brought the stream back."};
  static constexpr Metric kTimeouts{"kr2270_command_timeouts_total", "counter",
                                    "Command exchanges that timed out."};
  static constexpr Metric kStale{"kr2270_stale_replies_total", "counter",
                                 "Late command replies discarded."};
  static constexpr Metric kRing{"kr2270_ring_fill_bytes", "gauge",
                                "Bytes buffered in the stream ring now."};
  static constexpr Metric kHighWater{"kr2270_ring_high_water_bytes", "gauge",
                                     "Largest ring fill since the acquisition started, in bytes."};
  static constexpr Metric kLink{"kr2270_link_up", "gauge",
                                "1 while the connection to the module is open."};
  static constexpr Metric kLost{"kr2270_data_lost", "gauge",
                                "1 when the module closed or reset the data connection and no reconnect brought it back."};
  static constexpr Metric kBytes{"kr2270_recording_bytes_total", "counter",
                                 "Bytes written to the current recording, headers included."};
  static constexpr Metric kFailed{"kr2270_recording_failed", "gauge",
                                  "1 once a write to a recording of this run failed (the recording then stopped)."};
  const std::string m = "module=\"" + LabelValue(module) + "\"";
  const KR2270Health& h = f.health;
  std::string out;
  Append(out, kReceived, {{m, h.groups_received}});
  Append(out, kDropped, {{m, h.groups_dropped}});
  Append(out, kGaps, {{m, h.gaps}});
  Append(out, kMissing, {{m, f.missing_groups}});
  Append(out, kReconnects, {{m, h.reconnects}});
  Append(out, kTimeouts, {{m, h.command_timeouts}});
  Append(out, kStale, {{m, h.stale_replies}});
  Append(out, kRing, {{m, h.ring_fill_bytes}});
  Append(out, kHighWater, {{m, h.ring_high_water}});
  Append(out, kLink, {{m + ",connection=\"command\"", h.command_connected == 1 ? 1u : 0u},
                      {m + ",connection=\"data\"", h.data_connected == 1 ? 1u : 0u}});
  Append(out, kLost, {{m, f.data_lost ? 1u : 0u}});
  Append(out, kBytes, {{m, static_cast<std::uint64_t>(std::max<std::int64_t>(0, f.recording_bytes))}});
  Append(out, kFailed, {{m, f.recording_failed ? 1u : 0u}});
  return out;
}

}  // namespace kr2270::tool

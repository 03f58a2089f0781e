#include "output/metadata.h"

#include <cstdio>
#include <filesystem>

#include "system/system.h"

namespace kr2270::tool {
namespace {

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

const char* Bool(bool value) { return value ? "true" : "false"; }

std::string AnalogJson(const AcquisitionPlan& plan) {
  std::string out;
  for (const RangeSetting& range : RangesToWrite(plan.selection, plan.ranges)) {
    if (!plan.selection.analog[static_cast<std::size_t>(range.channel - 1)]) continue;
    out += std::string(out.empty() ? "" : ", ") + "{\"channel\": " + std::to_string(range.channel) +
           ", \"range_code\": " + std::to_string(range.code) +
           ", \"extended_range\": " + Bool(range.extended) + "}";
  }
  return "[" + out + "]";
}

std::string CountersJson(const StreamSelection& s) {
  std::string out;
  for (std::size_t k = 0; k < kCounters; ++k)
    if (s.counters[k])
      out += std::string(out.empty() ? "" : ", ") + "{\"counter\": " + std::to_string(k + 1) +
             ", \"mode\": " + std::to_string(s.counter_modes[k]) + "}";
  return "[" + out + "]";
}

std::string EncodersJson(const StreamSelection& s) {
  std::string out;
  for (std::size_t k = 0; k < kEncoders; ++k)
    if (s.encoders[k]) out += std::string(out.empty() ? "" : ", ") + std::to_string(k + 1);
  return "[" + out + "]";
}

template <std::size_t N>
std::string NumberListJson(const std::array<std::int32_t, N>& values) {
  std::string out;
  for (const std::int32_t value : values) out += (out.empty() ? "" : ", ") + std::to_string(value);
  return "[" + out + "]";
}

// The pairs the volts were converted with, channel 1 first.
std::string CalibrationJson(const CalibrationPairs& pairs) {
  return "{\"zero_codes\": " + NumberListJson(pairs.zero) +
         ", \"full_codes\": " + NumberListJson(pairs.full) + "}";
}

std::string SettingsJson(const AcquisitionPlan& plan) {
  const StreamSelection& s = plan.selection;
  return "{\n    \"rate_code\": " + std::to_string(plan.rate_code) +
         ",\n    \"group_rate\": " + std::to_string(static_cast<long long>(s.group_rate)) +
         ",\n    \"transfer_bytes\": " + std::to_string(plan.transfer_bytes) +
         ",\n    \"code_bytes\": " + std::to_string(s.code_bytes) +
         ",\n    \"average\": " + std::to_string(s.average) +
         ",\n    \"reconnect_ms\": " + std::to_string(plan.reconnect_ms) +
         ",\n    \"analog\": " + AnalogJson(plan) +
         ",\n    \"calibration\": " + CalibrationJson(plan.module.calibration) +
         ",\n    \"digital_inputs\": " + Bool(s.digital) +
         ",\n    \"counters\": " + CountersJson(s) +
         ",\n    \"encoders\": " + EncodersJson(s) + "\n  }";
}

std::string EndJson(const std::optional<RecordingEnd>& end) {
  if (!end) return "null";
  return "{\n    \"ended_utc\": " + Quoted(end->ended_utc) +
         ",\n    \"groups_lost\": " + std::to_string(end->groups_lost) +
         ",\n    \"reason\": " + Quoted(end->reason) +
         ",\n    \"detail\": " + Quoted(end->detail) + "\n  }";
}

std::string ToJson(const RecordingMetadata& m) {
  return "{\n  \"started_utc\": " + Quoted(m.started_utc) +
         ",\n  \"local_time_zone\": " + Quoted(m.time_zone) +
         ",\n  \"module\": {\"host\": " + Quoted(m.module.host) +
         ", \"command_port\": " + std::to_string(m.module.port) +
         ", \"data_port\": " + std::to_string(m.module.data_port) +
         ", \"simulated\": " + Bool(m.module.builtin) + "}" +
         ",\n  \"tool_version\": " + Quoted(KR2270_TOOL_VERSION) +
         ",\n  \"settings\": " + m.settings_json +
         ",\n  \"end\": " + EndJson(m.end) + "\n}";
}

}  // namespace

std::string MetadataPathOf(const std::string& recording_file) {
  return Utf8Text(Utf8Path(recording_file).replace_extension(".json"));
}

RecordingMetadata MetadataOfRun(const AcquisitionPlan& plan, const std::string& recording_file) {
  RecordingMetadata m;
  m.path = MetadataPathOf(recording_file);
  m.recording = Utf8Text(Utf8Path(recording_file).filename());
  m.started_utc = UtcTimestampNow();
  m.time_zone = LocalTimeZone();
  m.settings_json = SettingsJson(plan);
  m.module = plan.module;
  return m;
}

void WriteMetadata(KR2270Device* device, const RecordingMetadata& metadata) {
  const std::int32_t status = KR2270_DFWSetField(device, "kr2270", ToJson(metadata).c_str());
  if (status != 0) {
    std::fprintf(stderr, "kr2270: cannot add the run's fields to the recording's sidecar %s: %s\n",
                 metadata.path.c_str(), KR2270_StatusText(status));
  }
}

}  // namespace kr2270::tool

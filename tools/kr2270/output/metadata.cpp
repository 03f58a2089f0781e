#include "output/metadata.h"

#include <cerrno>
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

std::string SettingsJson(const AcquisitionPlan& plan) {
  const StreamSelection& s = plan.selection;
  return "{\n    \"rate_code\": " + std::to_string(plan.rate_code) +
         ",\n    \"group_rate\": " + std::to_string(static_cast<long long>(s.group_rate)) +
         ",\n    \"transfer_bytes\": " + std::to_string(plan.transfer_bytes) +
         ",\n    \"code_bytes\": " + std::to_string(s.code_bytes) +
         ",\n    \"average\": " + std::to_string(s.average) +
         ",\n    \"reconnect_ms\": " + std::to_string(plan.reconnect_ms) +
         ",\n    \"analog\": " + AnalogJson(plan) +
         ",\n    \"digital_inputs\": " + Bool(s.digital) +
         ",\n    \"counters\": " + CountersJson(s) +
         ",\n    \"encoders\": " + EncodersJson(s) + "\n  }";
}

std::string GapsJson(const GapLog& log) {
  std::string out;
  for (const KR2270Gap& gap : log.gaps)
    out += std::string(out.empty() ? "\n      " : ",\n      ") +
           "{\"group_index\": " + std::to_string(gap.group_index) +
           ", \"missing_groups\": " + std::to_string(gap.missing_groups) +
           ", \"cause\": " + Quoted(GapCauseName(gap.cause)) +
           ", \"estimated\": " + Bool(gap.estimated != 0) + "}";
  return "[" + out + (out.empty() ? "]" : "\n    ]");
}

std::string EndJson(const std::optional<RecordingEnd>& end) {
  if (!end) return "null";
  return "{\n    \"ended_utc\": " + Quoted(end->ended_utc) +
         ",\n    \"groups_recorded\": " + std::to_string(end->groups_recorded) +
         ",\n    \"groups_lost\": " + std::to_string(end->groups_lost) +
         ",\n    \"gap_count\": " + std::to_string(end->gaps.total) +
         ",\n    \"gaps\": " + GapsJson(end->gaps) +
         ",\n    \"reason\": " + Quoted(end->reason) +
         ",\n    \"detail\": " + Quoted(end->detail) + "\n  }";
}

std::string ToJson(const RecordingMetadata& m) {
  return "{\n  \"recording\": " + Quoted(m.recording) +
         ",\n  \"started_utc\": " + Quoted(m.started_utc) +
         ",\n  \"local_time_zone\": " + Quoted(m.time_zone) +
         ",\n  \"module\": {\"host\": " + Quoted(m.module.host) +
         ", \"command_port\": " + std::to_string(m.module.port) +
         ", \"data_port\": " + std::to_string(m.module.data_port) +
         ", \"simulated\": " + Bool(m.module.builtin) + "}" +
         ",\n  \"library_version\": " + Quoted(LibraryVersion()) +
         ",\n  \"tool_version\": " + Quoted(KR2270_TOOL_VERSION) +
         ",\n  \"settings\": " + m.settings_json +
         ",\n  \"end\": " + EndJson(m.end) + "\n}\n";
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

// Written whole to a new file beside it, then moved over the old one in one
// step: a reader sees the old metadata or the new, never half. The
// temporary file is created new, never written through a link planted there.
void WriteMetadata(const RecordingMetadata& metadata) {
  const std::string temporary = metadata.path + ".new";
  std::FILE* file = CreateExclusive(temporary);
  if (file == nullptr && LastSystemError() == EEXIST && RemoveEntry(temporary))
    file = CreateExclusive(temporary);
  if (file != nullptr) {
    const std::string json = ToJson(metadata);
    const bool written = std::fwrite(json.data(), 1, json.size(), file) == json.size();
    if (std::fclose(file) == 0 && written && MoveInto(temporary, metadata.path, true)) return;
    RemoveEntry(temporary);
  }
  std::fprintf(stderr, "kr2270: cannot write the recording's metadata file %s\n",
               metadata.path.c_str());
}

}  // namespace kr2270::tool

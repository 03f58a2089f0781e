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

// What the library does not keep: the span, the averaging (the recording
// holds the groups before it), the transfer size and the reconnect window.
std::string RequestedJson(const AcquisitionPlan& plan) {
  const StreamSelection& s = plan.selection;
  const std::string outputs = plan.target < 0 ? "null" : std::to_string(plan.target);
  return "{\"outputs\": " + outputs + ", \"average\": " + std::to_string(s.average) +
         ", \"transfer_bytes\": " + std::to_string(plan.transfer_bytes) +
         ", \"reconnect_ms\": " + std::to_string(plan.reconnect_ms) + "}";
}

std::string EndJson(const std::optional<RecordingEnd>& end) {
  if (!end) return "null";
  return "{\"ended_utc\": " + Quoted(end->ended_utc) +
         ", \"groups_lost\": " + std::to_string(end->groups_lost) +
         ", \"reason\": " + Quoted(end->reason) + ", \"detail\": " + Quoted(end->detail) + "}";
}

// Indented for its place in the sidecar: application.kr2270.
std::string ToJson(const RecordingMetadata& m) {
  return "{\n      \"local_time_zone\": " + Quoted(m.time_zone) +
         ",\n      \"module\": {\"host\": " + Quoted(m.module.host) +
         ", \"command_port\": " + std::to_string(m.module.port) +
         ", \"data_port\": " + std::to_string(m.module.data_port) +
         ", \"simulated\": " + Bool(m.module.builtin) + "}" +
         ",\n      \"tool_version\": " + Quoted(KR2270_TOOL_VERSION) +
         ",\n      \"requested\": " + m.requested_json +
         ",\n      \"end\": " + EndJson(m.end) + "\n    }";
}

}  // namespace

std::string MetadataPathOf(const std::string& recording_file) {
  return Utf8Text(Utf8Path(recording_file).replace_extension(".json"));
}

RecordingMetadata MetadataOfRun(const AcquisitionPlan& plan, const std::string& recording_file) {
  RecordingMetadata m;
  m.path = MetadataPathOf(recording_file);
  m.time_zone = LocalTimeZone();
  m.requested_json = RequestedJson(plan);
  m.module = plan.module;
  return m;
}

std::string ApplicationFieldsOf(const std::string& sidecar_text) {
  const std::string key = "\n  \"application\": ";
  const auto at = sidecar_text.find(key);
  if (at == std::string::npos) return {};
  std::string fields = sidecar_text.substr(at + key.size());
  // The sidecar's own closing brace follows on a line of its own.
  const auto end = fields.find_last_of('}');
  if (end != std::string::npos) fields.erase(end);
  while (!fields.empty() && (fields.back() == '\n' || fields.back() == ' ')) fields.pop_back();
  return fields;
}

void WriteMetadata(KR2270Device* device, const RecordingMetadata& metadata) {
  const std::int32_t status = KR2270_DFWSetField(device, "kr2270", ToJson(metadata).c_str());
  if (status != 0) {
    std::fprintf(stderr, "kr2270: cannot add the run's fields to the recording's sidecar %s: %s\n",
                 metadata.path.c_str(), KR2270_StatusText(status));
  }
}

}  // namespace kr2270::tool

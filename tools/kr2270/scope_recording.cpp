#include "scope_recording.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "scope_json.h"
#include "tool.h"

namespace kr2270::tool {
namespace {

std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

template <std::size_t N>
std::string NumberList(const std::array<bool, N>& selected) {
  std::string out = "[";
  for (std::size_t k = 0; k < N; ++k)
    if (selected[k]) out += (out.size() > 1 ? "," : "") + std::to_string(k + 1);
  return out + "]";
}

std::string RangesJson(const std::vector<RangeSetting>& ranges) {
  std::string out = "[";
  for (const RangeSetting& r : ranges) {
    if (out.size() > 1) out += ',';
    out += "{\"channel\":" + std::to_string(r.channel) + ",\"code\":" + std::to_string(r.code) +
           ",\"extended\":" + (r.extended ? "true" : "false") + "}";
  }
  return out + "]";
}

std::string FilesJson(const std::vector<WrittenFile>& files) {
  std::string out = "[";
  for (const WrittenFile& f : files) {
    if (out.size() > 1) out += ',';
    out += "{\"path\":" + JsonString(f.path) + ",\"bytes\":" + std::to_string(f.bytes) + "}";
  }
  return out + "]";
}

std::string SettingsJson(const AcquisitionPlan& plan) {
  const StreamSelection& s = plan.selection;
  return "\"rate_code\":" + std::to_string(plan.rate_code) +
         ",\"group_rate\":" + JsonNumber(s.group_rate) +
         ",\"analog_channels\":" + NumberList(s.analog) +
         ",\"code_bytes\":" + std::to_string(s.code_bytes) +
         ",\"digital_inputs\":" + (s.digital ? "true" : "false") +
         ",\"counters\":" + NumberList(s.counters) + ",\"encoders\":" + NumberList(s.encoders) +
         ",\"ranges\":" + RangesJson(plan.ranges) +
         ",\"transfer_bytes\":" + std::to_string(plan.transfer_bytes);
}

// Written whole under another name and renamed, so that a reader never sees
// half a file.
void WriteFileAtomically(const std::string& path, const std::string& text) {
  const std::string partial = path + ".partial";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) Fail("cannot write " + partial);
  }
  std::error_code error;
  std::filesystem::rename(partial, path, error);
  if (error) Fail("cannot rename " + partial + " to " + path + ": " + error.message());
}

std::string MetadataPathOf(const std::string& dat_file) {
  std::filesystem::path path(dat_file);
  path.replace_extension(".json");
  return path.string();
}

std::string StartMetadata(const ScopeRecording& r, const RecordingContext& c) {
  return "{\"recording\":" + JsonString(r.first_file) + ",\"module\":" + JsonString(c.module) +
         ",\"started_utc\":" + JsonString(r.started_utc) + "," + SettingsJson(*c.plan) +
         ",\"first_output\":" + std::to_string(r.first_output);
}

}  // namespace

void StartScopeRecording(KR2270Device* device, ScopeRecording& recording,
                         const RecordingContext& context) {
  if (recording.on) Fail("a recording is already running");
  PrepareRecordingDirectory(recording.dir);
  recording.before = SnapshotRecordings(recording.dir);
  Check(KR2270_DFWOpen(device, recording.dir.c_str(), 0), "cannot record to " + recording.dir);
  recording.on = true;
  const auto files = WrittenSince(recording.dir, recording.before);
  recording.first_file = files.empty() ? std::string() : files.front().path;
  recording.metadata_file = files.empty() ? std::string() : MetadataPathOf(recording.first_file);
  recording.started_utc = UtcNow();
  recording.first_output = context.outputs;
  recording.lost_at_start = context.lost_groups;
  if (!recording.metadata_file.empty())
    WriteFileAtomically(recording.metadata_file, StartMetadata(recording, context) +
                                                     ",\"complete\":false,\"running\":true}\n");
}

void StopScopeRecording(KR2270Device* device, ScopeRecording& recording,
                        const RecordingContext& context) {
  if (!recording.on) Fail("no recording is running");
  std::int64_t bytes = 0;
  std::int32_t files_begun = 0;
  KR2270_DFWGetInfo(device, &bytes, &files_begun);
  const std::int32_t closed = KR2270_DFWClose(device);
  recording.on = false;
  const auto files = WrittenSince(recording.dir, recording.before);
  const std::uint64_t lost = context.lost_groups - recording.lost_at_start;
  const bool complete = closed == 0 && lost == 0;
  if (!recording.metadata_file.empty())
    WriteFileAtomically(
        recording.metadata_file,
        StartMetadata(recording, context) + ",\"ended_utc\":" + JsonString(UtcNow()) +
            ",\"files\":" + FilesJson(files) + ",\"bytes\":" + std::to_string(bytes) +
            ",\"lost_groups\":" + std::to_string(lost) + ",\"close_status\":" +
            std::to_string(closed) + ",\"complete\":" + (complete ? "true" : "false") +
            ",\"running\":false}\n");
  Check(closed, "finishing the recording");
}

std::string RecordingStatusJson(KR2270Device* device, const ScopeRecording& recording) {
  std::int64_t bytes = 0;
  std::int32_t files = 0;
  const std::int32_t status = recording.on ? KR2270_DFWGetInfo(device, &bytes, &files) : 0;
  std::string error = recording.last_error;
  if (status < 0) error = "recording failed: " + StatusMessage(status);
  return "{\"on\":" + std::string(recording.on ? "true" : "false") +
         ",\"file\":" + JsonString(recording.first_file) +
         ",\"metadata\":" + JsonString(recording.metadata_file) +
         ",\"bytes\":" + std::to_string(bytes) + ",\"error\":" + JsonString(error) + "}";
}

}  // namespace kr2270::tool

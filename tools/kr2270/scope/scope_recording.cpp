#include "scope/scope_recording.h"

#include "scope/scope_json.h"
#include "system/system.h"
#include "app/tool.h"

namespace kr2270::tool {
void StartScopeRecording(KR2270Device* device, const AcquisitionPlan& plan,
                         ScopeRecording& recording, const RunPosition& at) {
  if (recording.on) Fail("a recording is already running");
  PrepareRecordingDirectory(recording.dir);
  Check(KR2270_DFWOpen(device, recording.dir.c_str(), 0), "cannot record to " + recording.dir);
  recording.on = true;
  recording.first_file = RecordingFileName(device, 0);
  recording.lost_at_start = at.lost_groups;
  recording.first_output = at.outputs;
  recording.metadata = {};
  if (recording.first_file.empty()) return;
  recording.metadata = MetadataOfRun(plan, recording.first_file);
  WriteMetadata(device, recording.metadata);
}

void StopScopeRecording(KR2270Device* device,
                        ScopeRecording& recording, const RunPosition& at,
                        const std::string& why) {
  if (!recording.on) Fail("no recording is running");
  if (!recording.first_file.empty()) {
    // Before the close: the sidecar takes fields only while it is open.
    std::int64_t bytes = 0;
    const bool failed = KR2270_DFWGetInfo(device, &bytes, nullptr) < 0;
    const std::uint64_t lost = at.lost_groups - recording.lost_at_start;
    recording.metadata.end =
        RecordingEnd{lost, failed ? RunEndName(RunEnd::kRecordingFailed) : "stopped",
                     failed ? "the recording failed" : why, UtcTimestampNow()};
    WriteMetadata(device, recording.metadata);
  }
  const std::int32_t closed = KR2270_DFWClose(device);
  recording.on = false;
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
         ",\"metadata\":" + JsonString(recording.metadata.path) +
         ",\"bytes\":" + std::to_string(bytes) + ",\"error\":" + JsonString(error) + "}";
}

}  // namespace kr2270::tool

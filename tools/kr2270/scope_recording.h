// Recording started and stopped from the live view: the library's recording,
// with a metadata file beside its first file (same name, .json) that says
// what was recorded, when, and whether it is complete.
#pragma once

#include <cstdint>
#include <string>

#include "acquisition.h"
#include "kr2270c.h"
#include "recording_files.h"

namespace kr2270::tool {

struct ScopeRecording {
  std::string dir;
  bool on = false;
  DirectorySnapshot before;
  std::string first_file;
  std::string metadata_file;
  std::string started_utc;
  std::int64_t first_output = 0;     // stream output index when it began
  std::uint64_t lost_at_start = 0;   // the run's lost groups when it began
  std::string last_error;            // of the last start or stop
};

// What the metadata describes besides the recording itself.
struct RecordingContext {
  const AcquisitionPlan* plan = nullptr;
  std::string module;  // DescribeModule()
  std::int64_t outputs = 0;
  std::uint64_t lost_groups = 0;
};

// Both throw ToolError with a readable line when the library or the file
// system refuses; the recording is then off.
void StartScopeRecording(KR2270Device* device, ScopeRecording& recording,
                         const RecordingContext& context);
void StopScopeRecording(KR2270Device* device, ScopeRecording& recording,
                        const RecordingContext& context);

// {"on":..,"file":..,"metadata":..,"bytes":..,"error":..} for the page.
std::string RecordingStatusJson(KR2270Device* device, const ScopeRecording& recording);

}  // namespace kr2270::tool

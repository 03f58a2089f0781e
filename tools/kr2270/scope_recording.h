// Recording started and stopped from the live view: the library's recording,
// with the same metadata file beside it as `acquire` writes.
#pragma once

#include <cstdint>
#include <string>

#include "acquisition.h"
#include "kr2270c.h"
#include "metadata.h"
#include "recording_files.h"

namespace kr2270::tool {

struct ScopeRecording {
  std::string dir;
  bool on = false;
  std::string first_file;
  RecordingMetadata metadata;
  std::uint64_t lost_at_start = 0;  // the run's lost groups when it began
  std::string last_error;           // of the last start or stop
};

// Both throw ToolError with a readable line when the library or the file
// system refuses; the recording is then off. `lost_groups` is the run's
// count so far; `why` says what ended the recording.
void StartScopeRecording(KR2270Device* device, const AcquisitionPlan& plan,
                         ScopeRecording& recording, std::uint64_t lost_groups);
void StopScopeRecording(KR2270Device* device, const AcquisitionPlan& plan,
                        ScopeRecording& recording, std::uint64_t lost_groups,
                        const std::string& why);

// {"on":..,"file":..,"metadata":..,"bytes":..,"error":..} for the page.
std::string RecordingStatusJson(KR2270Device* device, const ScopeRecording& recording);

}  // namespace kr2270::tool

// Recording started and stopped from the live view: the library's recording,
// with the same metadata file beside it as `acquire` writes.
#pragma once

#include <cstdint>
#include <string>

#include "run/acquisition.h"
#include "kr2270c.h"
#include "output/metadata.h"
#include "output/recording_files.h"

namespace kr2270::tool {

struct ScopeRecording {
  std::string dir;
  bool on = false;
  std::string first_file;
  RecordingMetadata metadata;
  std::uint64_t lost_at_start = 0;  // the run's lost groups when it began
  std::int64_t first_output = 0;    // the run's output index when it began
  std::string last_error;           // of the last start or stop
};

// Where the run is when a recording starts or stops.
struct RunPosition {
  std::int64_t outputs = 0;
  std::uint64_t lost_groups = 0;
};

// Both throw ToolError with a readable line when the library or the file
// system refuses; the recording is then off. `why` says what ended it.
void StartScopeRecording(KR2270Device* device, const AcquisitionPlan& plan,
                         ScopeRecording& recording, const RunPosition& at);
void StopScopeRecording(KR2270Device* device,
                        ScopeRecording& recording, const RunPosition& at,
                        const std::string& why);

// {"on":..,"file":..,"metadata":..,"bytes":..,"error":..} for the page.
std::string RecordingStatusJson(KR2270Device* device, const ScopeRecording& recording);

}  // namespace kr2270::tool

// The metadata file beside each recording (X_1.dat -> X_1.json): what the
// recording's header cannot carry. Written when the recording opens and
// again, with how it ended, when it closes; `play` shows it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "run/acquisition.h"

namespace kr2270::tool {

struct RecordingEnd {
  std::int64_t groups_recorded = 0;
  std::uint64_t groups_lost = 0;
  std::string reason;  // RunEndName
  std::string detail;  // the cause in words
  std::string ended_utc;
  GapLog gaps;
};

struct RecordingMetadata {
  std::string path;  // of the JSON file
  std::string recording;
  std::string started_utc;
  std::string time_zone;
  std::string settings_json;  // the settings written, as a JSON object
  ModuleAddress module;
  std::optional<RecordingEnd> end;  // none while the run goes on
};

std::string MetadataPathOf(const std::string& recording_file);

RecordingMetadata MetadataOfRun(const AcquisitionPlan& plan, const std::string& recording_file);

// Replaces the file as a whole (written beside it, then renamed), so that a
// reader never sees half of it. Failures are reported on stderr only: the
// recording itself does not depend on them.
void WriteMetadata(const RecordingMetadata& metadata);

}  // namespace kr2270::tool

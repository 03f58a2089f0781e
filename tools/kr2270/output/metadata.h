// The tool's part of the recording's sidecar (X_1.dat -> X_1.json, written
// by the library with the start time, the rate, the gaps and the settings in
// force with their positions): only what the library cannot know — what the
// run was asked for, where the module was, the local time zone of the file
// names and how the run ended — as the sidecar's application field "kr2270".
// Set when the recording opens and again, with how it ended, before it
// closes; `play` shows it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "run/acquisition.h"

namespace kr2270::tool {

struct RecordingEnd {
  std::uint64_t groups_lost = 0;  // by the application, while it recorded
  std::string reason;  // RunEndName
  std::string detail;  // the cause in words
  std::string ended_utc;
};

struct RecordingMetadata {
  std::string path;  // of the sidecar
  std::string time_zone;
  std::string requested_json;  // what the run was asked for, as a JSON object
  ModuleAddress module;
  std::optional<RecordingEnd> end;  // none while the run goes on
};

std::string MetadataPathOf(const std::string& recording_file);

RecordingMetadata MetadataOfRun(const AcquisitionPlan& plan, const std::string& recording_file);

// The "application" object of a sidecar's text, as the library writes it:
// its last member, after the library's own ones (whose texts hold no such
// key); empty when there is none.
std::string ApplicationFieldsOf(const std::string& sidecar_text);

// Sets the tool's field of the open recording's sidecar. Failures are
// reported on stderr only: the recording itself does not depend on them.
void WriteMetadata(KR2270Device* device, const RecordingMetadata& metadata);

}  // namespace kr2270::tool

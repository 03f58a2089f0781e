// Reading a recording back through the library: its settings, its length,
// its timeline (from the sidecar), and a replay of a span of groups through
// the live data path.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "run/acquisition.h"
#include "app/tool.h"

namespace kr2270::tool {

// Everything the DFR accessors report.
struct RecordedSettings {
  std::array<std::uint8_t, kAnalogChannels> analog{};
  std::array<std::uint8_t, kCounters> counters{};
  std::array<std::uint8_t, kEncoders> encoders{};
  std::uint8_t digital = 0;
  KR2270ConversionSettings first{};  // what the first group converts with
  std::array<std::int32_t, kAnalogChannels> end_mode{};
  std::array<std::int32_t, 2> sleep{};
  std::int32_t trigger_enable = 0;
  std::int32_t trigger_mode = 0;
  std::int32_t trigger_count = 0;
  double group_rate = 0.0;  // 0: the recorded rate code is not in the table
  int group_bytes = 0;
  double groups = 0.0;
  double seconds = 0.0;
};

// A device with the recording attached; throws one clear line for a missing
// file or one that is not a recording.
DeviceHandle OpenRecording(const std::string& path);

RecordedSettings ReadRecordedSettings(KR2270Device* device);

// The recording's timeline as the library reads it from its sidecar:
// positions count recorded groups.
struct RecordedTimeline {
  KR2270Timeline timeline{};
  std::vector<KR2270GapRecord> gaps;
  std::vector<KR2270ConversionSettings> settings;  // number 0, then each change
};

RecordedTimeline ReadRecordedTimeline(KR2270Device* device);

// Groups recorded missing just before the group at `position`.
std::uint64_t MissingBefore(const RecordedTimeline& timeline, std::int64_t position);

// The stream layout the recording's settings describe.
StreamSelection SelectionOfRecording(const RecordedSettings& settings);

// Replays groups [first, first + count) to the sinks, each with its
// timeline index and converted with the settings in force for it; returns
// the number replayed. Throws when the recording delivers fewer.
std::int64_t ReplayRecording(KR2270Device* device, const StreamSelection& selection,
                             std::int64_t first, std::int64_t count, const BatchSinks& sinks);

}  // namespace kr2270::tool

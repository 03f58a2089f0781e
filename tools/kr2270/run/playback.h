// Reading a recording back through the library: its settings, its length,
// and a replay of a span of groups through the live data path.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "run/acquisition.h"
#include "app/tool.h"

namespace kr2270::tool {

// Everything the DFR accessors report.
struct RecordedSettings {
  std::array<std::uint8_t, kAnalogChannels> analog{};
  std::array<std::uint8_t, kCounters> counters{};
  std::array<std::uint8_t, kEncoders> encoders{};
  std::uint8_t digital = 0;
  std::array<std::uint8_t, kAnalogChannels> range{};
  std::array<double, kAnalogChannels> full_scale{};  // volts at the full-scale code
  std::array<std::int32_t, kAnalogChannels> zero{};
  std::array<std::int32_t, kAnalogChannels> full{};
  std::array<std::int32_t, kAnalogChannels> end_mode{};
  std::array<std::int32_t, 2> sleep{};
  std::array<std::int8_t, kCounters> counter_modes{};
  std::array<double, kCounters> counter_base_ms{};
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

// The stream layout the recording's settings describe.
StreamSelection SelectionOfRecording(const RecordedSettings& settings);

// Replays groups [first, first + count) to the sinks; returns the number
// replayed. Throws when the recording delivers fewer.
std::int64_t ReplayRecording(KR2270Device* device, const StreamSelection& selection,
                             std::int64_t first, std::int64_t count, const BatchSinks& sinks);

}  // namespace kr2270::tool

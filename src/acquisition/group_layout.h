// The group: one scan of every channel enabled for the stream, and the rate
// table. Shared by the receiver, the splitter, recording and playback.
#pragma once

#include <cstdint>

#include "device/device.h"

namespace kr2270 {

// Bytes of one analog code in the stream: 2, or 4 for any other setting (a
// recording header may carry anything).
inline std::int32_t AnalogCodeBytes(const Settings& settings) {
  return settings.ad_code_bytes == 2 ? 2 : 4;
}

// Bytes of one group for the given settings (0..58).
std::int32_t GroupSize(const Settings& settings);
inline std::int32_t GroupSize(const Device* device) { return GroupSize(device->settings); }

// Groups per second of a rate code; 0.0 for a code outside the table.
double SampleRateOfCode(std::int32_t rate_code);
// The rate code the module runs at for a host rate code (36 for 16, 52 for 48).
std::int32_t DeviceRateCode(std::int32_t rate_code);
// Groups the host keeps one of: 2 for 16, 4 for 48, else 1.
std::int32_t DecimationFactor(std::int32_t rate_code);
// True when counters, encoders or the digital-input word are streamed.
bool HasNonAdStreamChannels(const Settings& settings);

}  // namespace kr2270

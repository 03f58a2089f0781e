// Recording writer and playback reader.
#pragma once

#include <cstdint>

#include "device/device.h"

namespace kr2270 {

// Appends one completed block to the recording; the caller (the receiver
// thread) holds device->file_lock and has checked that a file is open.
// Returns 0, -1, -201 or -202.
std::int32_t AppendRecording(Device* device, const std::uint8_t* block, std::int32_t length);

}  // namespace kr2270

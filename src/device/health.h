// Where the health counters are fed from outside the receiver.
#pragma once

#include <cstdint>

#include "device/device.h"

namespace kr2270 {

// A command exchange failed with status; counts it when it was a time-out.
// Returns status.
std::int32_t NoteCommandFailure(Device* device, std::int32_t status);

}  // namespace kr2270

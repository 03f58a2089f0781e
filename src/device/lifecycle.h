// Hooks the device lifecycle calls into the other subsystems.
#pragma once

#include "device/device.h"

namespace kr2270 {

// Receiver thread procedure (acquisition).
void ReceiverLoop(Device* device);
// Closes the data connection without telling the module (acquisition).
void CloseDataConnection(Device* device);
// Closes the command connection (command).
void CloseCommandConnection(Device* device);
// Closes an open recording file (recording).
void CloseRecordingFile(Device* device);
// Releases an attached reader (recording).
void ReleaseReader(Device* device);

}  // namespace kr2270

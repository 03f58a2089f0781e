#include "device/lifecycle.h"
#include "recording/recording.h"

namespace kr2270 {

// Placeholders until the recording subsystem lands.
std::int32_t AppendRecording(Device*, const std::uint8_t*, std::int32_t) { return -1; }
void CloseRecordingFile(Device*) {}
void ReleaseReader(Device*) {}

}  // namespace kr2270

// Recording writer and playback reader.
#pragma once

#include <cstdint>
#include <string>

#include "device/device.h"

namespace kr2270 {

// Where a block of whole groups sits in the run's timeline.
struct BlockTimeline {
  std::uint64_t index = 0;  // of its first group
  // The cause of a jump of the index before it: the reconnect that began
  // the connection it came on.
  std::int32_t jump_cause = 0;
  std::uint64_t settings_number = 0;  // of the run's settings in force
  const Settings* settings = nullptr;
  std::int64_t start_unix_ns = 0;  // of index 0
  double group_rate = 0.0;
};

// Appends one completed block of acquisition run `run` to the recording; the
// caller (the receiver thread) holds device->file_lock and has checked that
// a file is open. A block of a later run than the recording holds begins a
// new recording; run 0 belongs to no run. Without a timeline the block
// follows the previous one with the run's settings. Returns 0, -1, -201 or
// -202.
std::int32_t AppendRecording(Device* device, const std::uint8_t* block, std::int32_t length,
                             std::uint64_t run = 0, const BlockTimeline* timeline = nullptr);

// Writes the header of the current file from the given settings (the run's,
// with the conversion in force), in one write. File lock held. Returns 0, or
// -202 when it did not reach the file whole (the recording then stopped).
std::int32_t WriteRecordingHeader(Device* device, const Settings& settings);

// Replaces *path by the name of the following file of its chain: the number
// after the last "_" of the file name, plus one, then ".dat". Fails, storing
// -201 in *status when given, when the file name has no "_" followed by a
// number or the number would overflow.
bool NextRecordingFileName(std::string* path, std::int32_t* status);

// The file name of a path, without its directory.
std::string FileNameOf(const std::string& path);

// A path argument: the first `length` bytes of text, cut at a NUL among
// them; a length of 0 takes the whole NUL-terminated text.
std::string PathText(const char* text, std::int32_t length);

}  // namespace kr2270

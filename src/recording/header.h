// The recording header: a little-endian snapshot of the settings that give
// the stream its meaning, at the start of every file of a recording.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device/device.h"

namespace kr2270 {

inline constexpr std::int32_t kHeaderBytes = 318;    // format version 1
inline constexpr std::int32_t kHeaderBytesV0 = 310;  // version 0: no ad_range_ex
inline constexpr std::uint8_t kHeaderVersion = 1;
// Magic and version: what every file of one recording starts with.
inline constexpr std::size_t kHeaderIdentityBytes = 5;

// Builds the version 1 header for the given settings.
void BuildRecordingHeader(const Settings& settings, std::uint8_t (&header)[kHeaderBytes]);

// Parses the first `length` bytes of a file into settings. A version 0 header
// leaves ad_range_ex as it was. Fields are written only when the whole header
// is sound, so a refused header changes nothing. Returns 0 and the header
// size, or -203 (bad magic or version, header ends early, code width not 2
// or 4).
std::int32_t ParseRecordingHeader(const std::uint8_t* bytes, std::size_t length, Settings* settings,
                                  std::int32_t* header_size);

}  // namespace kr2270

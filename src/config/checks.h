// Argument checks and bit packing shared by the configuration exports.
#pragma once

#include <cstdint>

namespace kr2270 {

inline constexpr std::int32_t kAnalogChannels = 8;
inline constexpr std::int32_t kCounters = 4;
inline constexpr std::int32_t kPulseOutputs = 4;

// Lines are numbered from 1.
inline bool IsLineNumber(std::int32_t number, std::int32_t lines) {
  return number >= 1 && number <= lines;
}

inline std::uint8_t Low8(std::int32_t value) { return static_cast<std::uint8_t>(value); }

// Bit i of the result is bit 0 of flags[i], for up to 8 flags.
template <typename Byte>
std::uint8_t PackBit0(const Byte* flags, int count) {
  unsigned bits = 0;
  for (int i = 0; i < count; ++i) bits |= (static_cast<unsigned>(flags[i]) & 1u) << i;
  return static_cast<std::uint8_t>(bits);
}

// Truncates toward zero. A double outside the int64 range (or NaN) has no
// integer value, and converting it would be undefined: refused instead.
inline bool TruncateToInt64(double value, std::int64_t* out) {
  constexpr double kTwoTo63 = 9223372036854775808.0;
  if (!(value >= -kTwoTo63 && value < kTwoTo63)) return false;
  *out = static_cast<std::int64_t>(value);
  return true;
}

// Counter and pulse timing counts periods of the module's 50 MHz clock.
inline constexpr double kClockHz = 50000000.0;

// A clock count as the module takes it: the low 32 bits of the truncated value.
inline bool ClockCount(double value, std::uint32_t* count) {
  std::int64_t whole = 0;
  if (!TruncateToInt64(value, &whole)) return false;
  *count = static_cast<std::uint32_t>(whole);
  return true;
}

}  // namespace kr2270

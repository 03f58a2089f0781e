// The settings a Device mirrors, and the part of them that decides how a
// code converts.
#pragma once

#include <cstdint>

namespace kr2270 {

// The settings that give the stream its meaning: exactly what a recording
// header carries, in header order. Kept together so that a header can be
// parsed into a copy, checked, and then committed at once.
struct Settings {
  std::uint8_t ad_enabled[8] = {1, 1, 1, 1, 1, 1, 1, 1};
  std::int32_t ad_full_code[8] = {8388607, 8388607, 8388607, 8388607,
                                  8388607, 8388607, 8388607, 8388607};
  std::int32_t ad_zero_code[8] = {4194303, 4194303, 4194303, 4194303,
                                  4194303, 4194303, 4194303, 4194303};
  double ad_span[8] = {10.0, 10.0, 10.0, 10.0, 10.0, 10.0, 10.0, 10.0};
  double ad_offset[8] = {};
  std::uint8_t ad_range[8] = {};
  std::uint8_t ad_end_mode[8] = {};
  std::int32_t ad_reserved[8] = {};
  std::int8_t ad_sleep[2] = {};
  std::uint8_t ct_in_fifo[4] = {};
  std::int8_t ct_mode[4] = {};
  double ct_freq_base[4] = {1000.0, 1000.0, 1000.0, 1000.0};
  std::uint8_t di_in_fifo = 0;
  std::uint8_t ec_in_fifo[2] = {};
  std::int32_t rate_code = 0;
  std::uint8_t trigger_reserved = 0;
  std::uint8_t trigger_enable = 0;
  std::uint8_t trigger_mode = 0;
  std::int32_t trigger_count = 0;
  std::uint8_t ad_code_bytes = 4;
  std::uint8_t ad_range_ex[8] = {};
};

// True when a and b convert every code alike: same ranges, calibration
// pairs, counter modes and base periods.
bool SameConversion(const Settings& a, const Settings& b);

}  // namespace kr2270

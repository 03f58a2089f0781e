// Codes to values: analog codes through the channel's calibration pair and
// range, counter values by the counter's mode and base period.
#include <algorithm>
#include <cstdint>
#include <mutex>
#include <vector>

#include "config/checks.h"
#include "convert/convert.h"
#include "device/device.h"
#include "device/export.h"

namespace kr2270 {
namespace {

// Fixed-length blocks give the vectoriser a known trip count.
constexpr std::int32_t kBlock = 4096;

// Branch-free: bit 23 moves to the sign bit and is shifted back arithmetically.
inline std::int32_t SignExtend24(std::int32_t word) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(word) << 8) >> 8;
}

// Code differences are taken modulo 2^32, as int32 hardware does; calibration
// codes come from the module or a recording and may be anything.
inline std::int32_t WrappingDifference(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}

void AdOriginalCodeToCode(std::int32_t* raw, std::int32_t count, std::int32_t* signed_codes) {
  if (raw == nullptr || signed_codes == nullptr) return;
  for (std::int32_t i = 0; i < count; ++i) {
    const std::int32_t code = SignExtend24(raw[i]);
    raw[i] = code;
    signed_codes[i] = code;
  }
}

struct ChannelScale {
  std::int32_t zero_code;
  double value_span;  // span - offset
  double code_span;   // full - zero
  double offset;
};

// Multiply, divide, add, in that order: a reciprocal would change the last
// bit of some values. The scale is copied into locals so that the stores to
// values cannot be taken to alias it.
inline void ConvertCodes(std::int32_t* __restrict codes, double* __restrict values,
                         std::int32_t n, ChannelScale scale) {
  const std::int32_t zero_code = scale.zero_code;
  const double value_span = scale.value_span;
  const double code_span = scale.code_span;
  const double offset = scale.offset;
  for (std::int32_t i = 0; i < n; ++i) {
    const std::int32_t code = SignExtend24(codes[i]);
    codes[i] = code;
    const double from_zero = static_cast<double>(WrappingDifference(code, zero_code));
    values[i] = from_zero * value_span / code_span + offset;
  }
}

ChannelScale ScaleOf(const Settings& settings, std::size_t k) {
  return ChannelScale{
      settings.ad_zero_code[k], settings.ad_span[k] - settings.ad_offset[k],
      static_cast<double>(WrappingDifference(settings.ad_full_code[k], settings.ad_zero_code[k])),
      settings.ad_offset[k]};
}

void ConvertAll(std::int32_t* codes, double* values, std::int32_t count, ChannelScale scale) {
  std::int32_t done = 0;
  for (; count - done >= kBlock; done += kBlock) {
    ConvertCodes(codes + done, values + done, kBlock, scale);
  }
  if (count > done) ConvertCodes(codes + done, values + done, count - done, scale);
}

struct CounterScale {
  std::int8_t mode;
  double base_seconds;
};

CounterScale CounterScaleOf(const Settings& settings, std::size_t k) {
  return CounterScale{settings.ct_mode[k], settings.ct_freq_base[k] / 1000.0};
}

// Other modes (2 is the clearing mode) have no value; nothing is written.
void ConvertCounts(const std::uint32_t* input, double* output, std::int32_t count,
                   CounterScale scale) {
  switch (scale.mode) {
    case 0:
      for (std::int32_t i = 0; i < count; ++i) output[i] = static_cast<double>(input[i]);
      break;
    case 1:
      for (std::int32_t i = 0; i < count; ++i) {
        output[i] = static_cast<double>(input[i]) / scale.base_seconds;
      }
      break;
    case 3:
      for (std::int32_t i = 0; i < count; ++i) {
        output[i] = 1.0 / (scale.base_seconds * static_cast<double>(input[i]));
      }
      break;
    default:
      break;
  }
}

// The mirror, copied under its lock: a setter on another thread may be
// changing it.
template <typename Scale, typename Of>
Scale MirroredScale(Device* device, std::size_t k, Of of) {
  std::lock_guard<std::mutex> hold(device->settings_lock);
  return of(device->settings, k);
}

// Runs convert(first, n, settings) over the rows of the last split that
// settings cover, up to count; rows past the split's go with its last.
template <typename Convert>
void ForEachSettingsRow(const Device* device, std::int32_t count, Convert convert) {
  const std::vector<SettingsRow>& rows = device->split.rows;
  if (rows.empty()) {
    convert(0, count, device->split.settings);
    return;
  }
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const auto first = static_cast<std::int32_t>(std::min<std::size_t>(rows[r].row, static_cast<std::size_t>(count)));
    const std::int32_t end =
        r + 1 < rows.size()
            ? static_cast<std::int32_t>(std::min<std::size_t>(rows[r + 1].row, static_cast<std::size_t>(count)))
            : count;
    if (end > first) convert(first, end - first, rows[r].settings);
  }
}

std::int32_t CheckAnalog(Device* device, std::int32_t channel, const std::int32_t* codes,
                         const double* values) {
  if (device == nullptr) return KR2270_ERROR_ARGUMENT;
  if (!IsLineNumber(channel, kAnalogChannels) || codes == nullptr || values == nullptr) {
    return KR2270_ERROR_RANGE;
  }
  return KR2270_OK;
}

std::int32_t CheckCounter(std::int32_t counter, const std::uint32_t* input,
                          const double* output) {
  if (!IsLineNumber(counter, kCounters) || input == nullptr || output == nullptr) {
    return KR2270_ERROR_RANGE;
  }
  return KR2270_OK;
}

std::int32_t AdCodeToValue(Device* device, std::int32_t channel, std::int32_t* codes,
                           std::int32_t count, double* values) {
  const std::int32_t checked = CheckAnalog(device, channel, codes, values);
  if (checked != KR2270_OK) return checked;
  const auto k = static_cast<std::size_t>(channel - 1);
  ConvertAll(codes, values, count, MirroredScale<ChannelScale>(device, k, ScaleOf));
  return KR2270_OK;
}

std::int32_t HcAdCodeToValue(Device* device, std::int32_t channel, std::int32_t* codes,
                             std::int32_t count, double* values) {
  const std::int32_t checked = CheckAnalog(device, channel, codes, values);
  if (checked != KR2270_OK) return checked;
  const auto k = static_cast<std::size_t>(channel - 1);
  ForEachSettingsRow(device, count, [&](std::int32_t first, std::int32_t n, const Settings& s) {
    ConvertAll(codes + first, values + first, n, ScaleOf(s, k));
  });
  return KR2270_OK;
}

std::int32_t CtCodeToValue(Device* device, std::int32_t counter, const std::uint32_t* input,
                           std::int32_t count, double* output) {
  if (device == nullptr) return KR2270_ERROR_ARGUMENT;
  if (count == 0) return KR2270_OK;
  const std::int32_t checked = CheckCounter(counter, input, output);
  if (checked != KR2270_OK) return checked;
  const auto k = static_cast<std::size_t>(counter - 1);
  ConvertCounts(input, output, count, MirroredScale<CounterScale>(device, k, CounterScaleOf));
  return KR2270_OK;
}

std::int32_t HcCtCodeToValue(Device* device, std::int32_t counter, const std::uint32_t* input,
                             std::int32_t count, double* output) {
  if (device == nullptr) return KR2270_ERROR_ARGUMENT;
  if (count <= 0) return KR2270_OK;
  const std::int32_t checked = CheckCounter(counter, input, output);
  if (checked != KR2270_OK) return checked;
  const auto k = static_cast<std::size_t>(counter - 1);
  ForEachSettingsRow(device, count, [&](std::int32_t first, std::int32_t n, const Settings& s) {
    ConvertCounts(input + first, output + first, n, CounterScaleOf(s, k));
  });
  return KR2270_OK;
}

}  // namespace

double AnalogValueOf(const Settings& settings, std::int32_t k, std::int32_t code) {
  double value = 0.0;
  ConvertCodes(&code, &value, 1, ScaleOf(settings, static_cast<std::size_t>(k)));
  return value;
}

}  // namespace kr2270

KR2270_EXPORT void KR2270_AdOriginalCodeToCode(int32_t* raw, int32_t count, int32_t* signed_codes) {
  kr2270::GuardedVoid([&] { kr2270::AdOriginalCodeToCode(raw, count, signed_codes); });
}

KR2270_EXPORT int32_t KR2270_AdCodeToValue(KR2270Device* device, int32_t channel, int32_t* codes,
                                           int32_t count, double* values) {
  return kr2270::Guarded(
      [&] { return kr2270::AdCodeToValue(device, channel, codes, count, values); });
}

KR2270_EXPORT int32_t KR2270_HcAdCodeToValue(KR2270Device* device, int32_t channel,
                                             int32_t* codes, int32_t count, double* values) {
  return kr2270::Guarded(
      [&] { return kr2270::HcAdCodeToValue(device, channel, codes, count, values); });
}

KR2270_EXPORT int32_t KR2270_HcCtCodeToValue(KR2270Device* device, int32_t counter,
                                             const uint32_t* values, int32_t count, double* out) {
  return kr2270::Guarded(
      [&] { return kr2270::HcCtCodeToValue(device, counter, values, count, out); });
}

KR2270_EXPORT int32_t KR2270_CtCodeToValue(KR2270Device* device, int32_t counter,
                                           const uint32_t* values, int32_t count, double* out) {
  return kr2270::Guarded(
      [&] { return kr2270::CtCodeToValue(device, counter, values, count, out); });
}

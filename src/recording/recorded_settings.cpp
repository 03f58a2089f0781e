// The settings a recording was made with, as its header loaded them.
#include <algorithm>

#include "device/export.h"
#include "recording/reader.h"

namespace kr2270 {
namespace {

const Settings* Recorded(const Device* device) {
  return device != nullptr && device->reader != nullptr ? &device->settings : nullptr;
}

// Bytes are sign-extended, as the module's signed settings are.
template <typename Byte, std::size_t N>
void CopySigned(const Byte (&from)[N], std::int32_t* to) {
  for (std::size_t i = 0; i < N; ++i) to[i] = static_cast<std::int8_t>(from[i]);
}

std::int32_t DFRGetAdInFifo(Device* device, std::uint8_t* enable) {
  const Settings* s = Recorded(device);
  if (s == nullptr) return KR2270_ERROR_ARGUMENT;
  if (enable != nullptr) std::copy_n(s->ad_enabled, 8, enable);
  return KR2270_OK;
}

std::int32_t DFRGetCtInFifo(Device* device, std::uint8_t* enable) {
  const Settings* s = Recorded(device);
  if (s == nullptr) return KR2270_ERROR_ARGUMENT;
  if (enable != nullptr) std::copy_n(s->ct_in_fifo, 4, enable);
  return KR2270_OK;
}

std::int32_t DFRGetEcInFifo(Device* device, std::uint8_t* enable) {
  const Settings* s = Recorded(device);
  if (s == nullptr) return KR2270_ERROR_ARGUMENT;
  if (enable != nullptr) std::copy_n(s->ec_in_fifo, 2, enable);
  return KR2270_OK;
}

std::int32_t DFRGetDiInFifo(Device* device, std::uint8_t* enable) {
  const Settings* s = Recorded(device);
  if (s == nullptr) return KR2270_ERROR_ARGUMENT;
  if (enable != nullptr) *enable = s->di_in_fifo;
  return KR2270_OK;
}

std::int32_t DFRGetRange(Device* device, std::uint8_t* range) {
  const Settings* s = Recorded(device);
  if (s == nullptr || range == nullptr) return KR2270_ERROR_ARGUMENT;
  std::copy_n(s->ad_range, 8, range);
  return KR2270_OK;
}

std::int32_t DFRGetTri(Device* device, std::int32_t* enable, std::int32_t* mode) {
  const Settings* s = Recorded(device);
  if (s == nullptr || enable == nullptr || mode == nullptr) return KR2270_ERROR_ARGUMENT;
  *enable = static_cast<std::int8_t>(s->trigger_enable);
  *mode = static_cast<std::int8_t>(s->trigger_mode);
  return KR2270_OK;
}

std::int32_t DFRGetTriCount(Device* device, std::int32_t* count) {
  const Settings* s = Recorded(device);
  if (s == nullptr || count == nullptr) return KR2270_ERROR_ARGUMENT;
  *count = s->trigger_count;
  return KR2270_OK;
}

std::int32_t DFRCtGetFreqBase(Device* device, double* base_ms) {
  const Settings* s = Recorded(device);
  if (s == nullptr || base_ms == nullptr) return KR2270_ERROR_ARGUMENT;
  std::copy_n(s->ct_freq_base, 4, base_ms);
  return KR2270_OK;
}

std::int32_t DFRCtGetModeAll(Device* device, std::int8_t* mode) {
  const Settings* s = Recorded(device);
  if (s == nullptr || mode == nullptr) return KR2270_ERROR_ARGUMENT;
  std::copy_n(s->ct_mode, 4, mode);
  return KR2270_OK;
}

std::int32_t DFRAdReadZeroFull(Device* device, std::int32_t* zero, std::int32_t* full) {
  const Settings* s = Recorded(device);
  if (s == nullptr) return KR2270_ERROR_ARGUMENT;
  if (zero == nullptr || full == nullptr) return KR2270_OK;
  std::copy_n(s->ad_zero_code, 8, zero);
  std::copy_n(s->ad_full_code, 8, full);
  return KR2270_OK;
}

std::int32_t DFRAdGetEndMode(Device* device, std::int32_t* mode) {
  const Settings* s = Recorded(device);
  if (s == nullptr) return KR2270_ERROR_ARGUMENT;
  if (mode != nullptr) CopySigned(s->ad_end_mode, mode);
  return KR2270_OK;
}

std::int32_t DFRAdGetSleep(Device* device, std::int32_t* sleep) {
  const Settings* s = Recorded(device);
  if (s == nullptr) return KR2270_ERROR_ARGUMENT;
  if (sleep != nullptr) CopySigned(s->ad_sleep, sleep);
  return KR2270_OK;
}

}  // namespace
}  // namespace kr2270

KR2270_EXPORT int32_t KR2270_DFRGetAdInFifo(KR2270Device* device, uint8_t* enable) {
  return kr2270::Guarded([&] { return kr2270::DFRGetAdInFifo(device, enable); });
}

KR2270_EXPORT int32_t KR2270_DFRGetCtInFifo(KR2270Device* device, uint8_t* enable) {
  return kr2270::Guarded([&] { return kr2270::DFRGetCtInFifo(device, enable); });
}

KR2270_EXPORT int32_t KR2270_DFRGetEcInFifo(KR2270Device* device, uint8_t* enable) {
  return kr2270::Guarded([&] { return kr2270::DFRGetEcInFifo(device, enable); });
}

KR2270_EXPORT int32_t KR2270_DFRGetDiInFifo(KR2270Device* device, uint8_t* enable) {
  return kr2270::Guarded([&] { return kr2270::DFRGetDiInFifo(device, enable); });
}

KR2270_EXPORT int32_t KR2270_DFRGetRange(KR2270Device* device, uint8_t* range) {
  return kr2270::Guarded([&] { return kr2270::DFRGetRange(device, range); });
}

KR2270_EXPORT int32_t KR2270_DFRGetTri(KR2270Device* device, int32_t* enable, int32_t* mode) {
  return kr2270::Guarded([&] { return kr2270::DFRGetTri(device, enable, mode); });
}

KR2270_EXPORT int32_t KR2270_DFRGetTriCount(KR2270Device* device, int32_t* count) {
  return kr2270::Guarded([&] { return kr2270::DFRGetTriCount(device, count); });
}

KR2270_EXPORT int32_t KR2270_DFRCtGetFreqBase(KR2270Device* device, double* base_ms) {
  return kr2270::Guarded([&] { return kr2270::DFRCtGetFreqBase(device, base_ms); });
}

KR2270_EXPORT int32_t KR2270_DFRCtGetModeAll(KR2270Device* device, int8_t* mode) {
  return kr2270::Guarded([&] { return kr2270::DFRCtGetModeAll(device, mode); });
}

KR2270_EXPORT int32_t KR2270_DFRAdReadZeroFull(KR2270Device* device, int32_t* zero, int32_t* full) {
  return kr2270::Guarded([&] { return kr2270::DFRAdReadZeroFull(device, zero, full); });
}

KR2270_EXPORT int32_t KR2270_DFRAdGetEndMode(KR2270Device* device, int32_t* mode) {
  return kr2270::Guarded([&] { return kr2270::DFRAdGetEndMode(device, mode); });
}

KR2270_EXPORT int32_t KR2270_DFRAdGetSleep(KR2270Device* device, int32_t* sleep) {
  return kr2270::Guarded([&] { return kr2270::DFRAdGetSleep(device, sleep); });
}

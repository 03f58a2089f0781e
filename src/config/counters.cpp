// Counters and encoders.
#include <cmath>

#include "acquisition/acquisition.h"
#include "command/bytes.h"
#include "command/command.h"
#include "config/checks.h"
#include "config/setting_writes.h"
#include "device/export.h"

namespace kr2270 {
namespace {

constexpr int kEncoders = 2;

constexpr std::uint16_t kModeRegister = 52;
constexpr std::uint16_t kCtStreamRegister = 53;
constexpr std::uint16_t kEcClearRegister = 193;
constexpr std::uint16_t kEcStreamRegister = 194;
constexpr std::uint16_t kCtSnapshotRegister = 272;
constexpr std::uint16_t kEcSnapshotRegister = 282;

std::uint16_t BaseRegister(std::int32_t counter) {
  return static_cast<std::uint16_t>(38 + 2 * counter);
}

// Divisor of the 50 MHz clock for a base period in ms, in exactly this order
// of operations: a period of 0 gives 1000/0 = inf and then 50e6/inf = 0.
bool BaseDivisor(double base_ms, std::uint32_t* divisor) {
  if (!std::isfinite(base_ms)) return false;
  const double per_second = 1000.0 / base_ms;
  return ClockCount(kClockHz / per_second, divisor);
}

double AchievedBaseMs(std::uint32_t divisor) {
  return 1000.0 / (kClockHz / static_cast<double>(divisor));
}

std::int32_t CtSetFreqBase(Device* device, std::int32_t counter, double base_ms,
                           double* achieved_ms, std::int32_t timeout_ms) {
  if (device == nullptr) return KR2270_ERROR_ARGUMENT;
  if (!IsLineNumber(counter, kCounters)) return KR2270_ERROR_RANGE;
  std::uint32_t divisor = 0;
  if (!BaseDivisor(base_ms, &divisor)) return KR2270_ERROR_ARGUMENT;
  const std::int32_t status = SendCounterBase(device, counter, divisor, timeout_ms);
  if (status != KR2270_OK) return status;
  const double achieved = AchievedBaseMs(divisor);
  MirrorSettings(device, [&](Settings& s) { s.ct_freq_base[counter - 1] = achieved; });
  if (achieved_ms != nullptr) *achieved_ms = achieved;
  return KR2270_OK;
}

std::int32_t CtSetModeAll(Device* device, const std::int8_t* mode, std::int32_t timeout_ms) {
  if (device == nullptr || mode == nullptr) return KR2270_ERROR_ARGUMENT;
  const std::int32_t status = SendCounterModes(device, mode, timeout_ms);
  if (status != KR2270_OK) return status;
  MirrorSettings(device, [&](Settings& s) {
    for (int i = 0; i < kCounters; ++i) s.ct_mode[i] = mode[i];
  });
  return KR2270_OK;
}

void RestoreCounterBase(Device* device, std::int32_t counter, double base_ms,
                        std::int32_t timeout_ms) {
  std::uint32_t divisor = 0;
  if (!DivisorOfAchievedBase(base_ms, &divisor)) return;
  if (SendCounterBase(device, counter, divisor, timeout_ms) == KR2270_OK) {
    MirrorSettings(device, [&](Settings& s) { s.ct_freq_base[counter - 1] = base_ms; });
  }
}

// Mode 2 at a 1 ms base for 2 ms clears a counter; then everything is put
// back through the same setters, so the Device follows what the module holds.
// The base goes back as the divisor it was: recomputing it from the period
// could land one clock count off. The individual results are deliberately
// not reported.
std::int32_t CtClear(Device* device, const std::uint8_t* clear, std::int32_t timeout_ms) {
  if (device == nullptr) return KR2270_ERROR_ARGUMENT;
  if (clear == nullptr) return KR2270_ERROR_RANGE;
  const Settings saved = CopyOfSettings(device);
  std::int8_t saved_mode[kCounters];
  double saved_base[kCounters];
  std::int8_t clearing_mode[kCounters];
  for (int i = 0; i < kCounters; ++i) {
    saved_mode[i] = saved.ct_mode[i];
    saved_base[i] = saved.ct_freq_base[i];
    clearing_mode[i] = clear[i] != 0 ? std::int8_t{2} : saved_mode[i];
  }
  for (int i = 0; i < kCounters; ++i) {
    if (clear[i] != 0) CtSetFreqBase(device, i + 1, 1.0, nullptr, timeout_ms);
  }
  CtSetModeAll(device, clearing_mode, timeout_ms);
  platform::SleepMs(2);
  CtSetModeAll(device, saved_mode, timeout_ms);
  for (int i = 0; i < kCounters; ++i) {
    if (clear[i] != 0) RestoreCounterBase(device, i + 1, saved_base[i], timeout_ms);
  }
  return KR2270_OK;
}

// Reduces the caller's flags to bit 0 in place and records them before
// sending: the stream layout follows the request even if the write fails.
template <std::size_t N>
void ReduceStreamFlags(Device* device, std::uint8_t* enable, std::uint8_t (Settings::*recorded)[N]) {
  for (std::size_t i = 0; i < N; ++i) enable[i] &= 1u;
  MirrorSettings(device, [&](Settings& s) {
    for (std::size_t i = 0; i < N; ++i) (s.*recorded)[i] = enable[i];
  });
}

std::int32_t CtInFifo(Device* device, std::uint8_t* enable, std::int32_t timeout_ms) {
  if (device == nullptr || enable == nullptr) return KR2270_ERROR_ARGUMENT;
  return UnlessStreaming(device, [&] {
    ReduceStreamFlags(device, enable, &Settings::ct_in_fifo);
    return SendCtStream(device, enable, timeout_ms);
  });
}

std::int32_t EcInFifo(Device* device, std::uint8_t* enable, std::int32_t timeout_ms) {
  if (device == nullptr || enable == nullptr) return KR2270_ERROR_ARGUMENT;
  return UnlessStreaming(device, [&] {
    ReduceStreamFlags(device, enable, &Settings::ec_in_fifo);
    return SendEcStream(device, enable, timeout_ms);
  });
}

std::int32_t EcClear(Device* device, const std::uint8_t* clear, std::int32_t timeout_ms) {
  if (device == nullptr || clear == nullptr) return KR2270_ERROR_ARGUMENT;
  return WriteRegisters(device, kEcClearRegister, {0, PackBit0(clear, kEncoders)}, timeout_ms);
}

std::int32_t CtReadAllOnce(Device* device, std::uint32_t* values, std::int32_t timeout_ms) {
  if (device == nullptr || values == nullptr) return KR2270_ERROR_ARGUMENT;
  std::uint8_t data[16];
  const std::int32_t status = ReadRegisters(device, kCtSnapshotRegister, data, timeout_ms);
  if (status != KR2270_OK) return status;
  for (int i = 0; i < kCounters; ++i) values[i] = GetU32BE(data + 4 * i);
  return KR2270_OK;
}

// Each encoder has an 8-byte slot; only its first word carries the value.
std::int32_t EcReadAllOnce(Device* device, std::uint32_t* values, std::int32_t timeout_ms) {
  if (device == nullptr || values == nullptr) return KR2270_ERROR_ARGUMENT;
  std::uint8_t data[16];
  const std::int32_t status = ReadRegisters(device, kEcSnapshotRegister, data, timeout_ms);
  if (status != KR2270_OK) return status;
  for (int i = 0; i < kEncoders; ++i) values[i] = GetU32BE(data + 8 * i);
  return KR2270_OK;
}

}  // namespace

std::int32_t SendCounterModes(Device* device, const std::int8_t* mode, std::int32_t timeout_ms) {
  unsigned bits = 0;
  for (int i = 0; i < kCounters; ++i) {
    bits |= (unsigned{static_cast<std::uint8_t>(mode[i])} & 3u) << (2 * i);
  }
  return WriteRegisters(device, kModeRegister, {0, static_cast<std::uint8_t>(bits)}, timeout_ms);
}

std::int32_t SendCounterBase(Device* device, std::int32_t counter, std::uint32_t divisor,
                             std::int32_t timeout_ms) {
  std::uint8_t payload[4];
  PutU32BE(payload, divisor);
  return WriteRegisters(device, BaseRegister(counter), payload, timeout_ms);
}

std::int32_t SendCtStream(Device* device, const std::uint8_t* enable, std::int32_t timeout_ms) {
  return WriteRegisters(device, kCtStreamRegister, {0, PackBit0(enable, kCounters)}, timeout_ms);
}

std::int32_t SendEcStream(Device* device, const std::uint8_t* enable, std::int32_t timeout_ms) {
  return WriteRegisters(device, kEcStreamRegister, {0, PackBit0(enable, kEncoders)}, timeout_ms);
}

bool DivisorOfAchievedBase(double base_ms, std::uint32_t* divisor) {
  const double count = std::round(base_ms / 1000.0 * kClockHz);
  if (!(count >= 0.0 && count <= 4294967295.0)) return false;
  *divisor = static_cast<std::uint32_t>(count);
  return true;
}

}  // namespace kr2270

KR2270_EXPORT int32_t KR2270_CtSetFreqBase(KR2270Device* device, int32_t counter, double base_ms,
                                           double* achieved_ms, int32_t timeout_ms) {
  return kr2270::Guarded(
      [&] { return kr2270::CtSetFreqBase(device, counter, base_ms, achieved_ms, timeout_ms); });
}

KR2270_EXPORT int32_t KR2270_CtSetModeAll(KR2270Device* device, const int8_t* mode,
                                          int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::CtSetModeAll(device, mode, timeout_ms); });
}

KR2270_EXPORT int32_t KR2270_CtClear(KR2270Device* device, const uint8_t* clear,
                                     int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::CtClear(device, clear, timeout_ms); });
}

KR2270_EXPORT int32_t KR2270_CtInFifo(KR2270Device* device, uint8_t* enable, int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::CtInFifo(device, enable, timeout_ms); });
}

KR2270_EXPORT int32_t KR2270_EcInFifo(KR2270Device* device, uint8_t* enable, int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::EcInFifo(device, enable, timeout_ms); });
}

KR2270_EXPORT int32_t KR2270_EcClear(KR2270Device* device, const uint8_t* clear,
                                     int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::EcClear(device, clear, timeout_ms); });
}

KR2270_EXPORT int32_t KR2270_CtReadAllOnce(KR2270Device* device, uint32_t* values,
                                           int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::CtReadAllOnce(device, values, timeout_ms); });
}

KR2270_EXPORT int32_t KR2270_EcReadAllOnce(KR2270Device* device, uint32_t* values,
                                           int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::EcReadAllOnce(device, values, timeout_ms); });
}

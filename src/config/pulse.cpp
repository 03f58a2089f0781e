// Pulse outputs and the watchdog.
#include <cmath>

#include "command/bytes.h"
#include "command/command.h"
#include "config/checks.h"
#include "device/export.h"

namespace kr2270 {
namespace {

constexpr std::uint16_t kPulseRegister = 80;
constexpr std::uint16_t kPulseCountRegister = 96;
constexpr std::uint16_t kPhaseRegister = 104;
constexpr std::uint16_t kRunRegister = 105;
constexpr std::uint16_t kWatchdogRegister = 180;

struct PulseCounts {
  std::uint32_t period;
  std::uint32_t high;
};

// Period and high time in clock counts. A zero or non-finite frequency, a
// non-finite duty cycle, or a count beyond the int64 range has no count.
bool PulseCountsOf(double frequency_hz, double duty, PulseCounts* counts) {
  if (frequency_hz == 0.0 || !std::isfinite(frequency_hz) || !std::isfinite(duty)) return false;
  if (!ClockCount(kClockHz / frequency_hz, &counts->period)) return false;
  return ClockCount(static_cast<double>(counts->period) * duty, &counts->high);
}

std::int32_t PwmSetPulse(Device* device, std::int32_t output, double frequency_hz, double duty,
                         double* achieved_hz, double* achieved_duty, std::int32_t timeout_ms) {
  if (device == nullptr || !IsLineNumber(output, kPulseOutputs)) return KR2270_ERROR_ARGUMENT;
  PulseCounts counts{};
  if (!PulseCountsOf(frequency_hz, duty, &counts)) return KR2270_ERROR_ARGUMENT;
  std::uint8_t payload[10] = {0, Low8(output)};
  PutU32BE(payload + 2, counts.period);
  PutU32BE(payload + 6, counts.high);
  const std::int32_t status = WriteRegisters(device, kPulseRegister, payload, timeout_ms);
  if (status != KR2270_OK) return status;
  const double period = static_cast<double>(counts.period);
  if (achieved_hz != nullptr) *achieved_hz = kClockHz / period;
  if (achieved_duty != nullptr) *achieved_duty = static_cast<double>(counts.high) / period;
  return KR2270_OK;
}

std::int32_t PwmSetCount(Device* device, std::int32_t output, std::int32_t count,
                         std::int32_t timeout_ms) {
  if (device == nullptr || !IsLineNumber(output, kPulseOutputs)) return KR2270_ERROR_ARGUMENT;
  std::uint8_t payload[6] = {0, Low8(output)};
  PutU32BE(payload + 2, static_cast<std::uint32_t>(count));
  return WriteRegisters(device, kPulseCountRegister, payload, timeout_ms);
}

std::int32_t WriteOutputBits(Device* device, std::uint16_t address, const std::uint8_t* flags,
                             std::int32_t timeout_ms) {
  if (device == nullptr || flags == nullptr) return KR2270_ERROR_ARGUMENT;
  return WriteRegisters(device, address, {0, PackBit0(flags, kPulseOutputs)}, timeout_ms);
}

std::int32_t PwmSetPhase(Device* device, const std::uint8_t* phase, std::int32_t timeout_ms) {
  return WriteOutputBits(device, kPhaseRegister, phase, timeout_ms);
}

std::int32_t PwmStartAll(Device* device, const std::uint8_t* start, std::int32_t timeout_ms) {
  return WriteOutputBits(device, kRunRegister, start, timeout_ms);
}

// The run bits read back: an output that stopped running has finished.
std::int32_t PwmIsOver(Device* device, std::uint8_t* over, std::int32_t timeout_ms) {
  if (device == nullptr || over == nullptr) return KR2270_ERROR_ARGUMENT;
  std::uint8_t data[2];
  const std::int32_t status = ReadRegisters(device, kRunRegister, data, timeout_ms);
  if (status != KR2270_OK) return status;
  for (int i = 0; i < kPulseOutputs; ++i) {
    over[i] = static_cast<std::uint8_t>(1u - ((unsigned{data[1]} >> i) & 1u));
  }
  return KR2270_OK;
}

// A period of 0 switches the watchdog off, so "off" is simply 00 00.
std::int32_t SetWtdStatus(Device* device, std::int32_t enable, std::int32_t period,
                          std::int32_t timeout_ms) {
  if (device == nullptr) return KR2270_ERROR_ARGUMENT;
  std::uint8_t payload[2] = {};
  if (Low8(enable) != 0) PutU16BE(payload, static_cast<std::uint32_t>(period));
  return WriteRegisters(device, kWatchdogRegister, payload, timeout_ms);
}

}  // namespace
}  // namespace kr2270

KR2270_EXPORT int32_t KR2270_PwmSetPulse(KR2270Device* device, int32_t output, double frequency_hz,
                                         double duty, double* achieved_hz, double* achieved_duty,
                                         int32_t timeout_ms) {
  return kr2270::Guarded([&] {
    return kr2270::PwmSetPulse(device, output, frequency_hz, duty, achieved_hz, achieved_duty,
                               timeout_ms);
  });
}

KR2270_EXPORT int32_t KR2270_PwmSetCount(KR2270Device* device, int32_t output, int32_t count,
                                         int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::PwmSetCount(device, output, count, timeout_ms); });
}

KR2270_EXPORT int32_t KR2270_PwmSetPhase(KR2270Device* device, const uint8_t* phase,
                                         int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::PwmSetPhase(device, phase, timeout_ms); });
}

KR2270_EXPORT int32_t KR2270_PwmStartAll(KR2270Device* device, const uint8_t* start,
                                         int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::PwmStartAll(device, start, timeout_ms); });
}

KR2270_EXPORT int32_t KR2270_PwmIsOver(KR2270Device* device, uint8_t* over, int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::PwmIsOver(device, over, timeout_ms); });
}

KR2270_EXPORT int32_t KR2270_SetWtdStatus(KR2270Device* device, int32_t enable, int32_t period,
                                          int32_t timeout_ms) {
  return kr2270::Guarded(
      [&] { return kr2270::SetWtdStatus(device, enable, period, timeout_ms); });
}

// Analog calibration pairs and the reference value.
#include "command/bytes.h"
#include "command/command.h"
#include "config/checks.h"
#include "device/export.h"

namespace kr2270 {
namespace {

constexpr std::uint16_t kReferenceRegister = 60;
constexpr std::uint16_t kZeroRegister = 200;
constexpr std::uint16_t kFullRegister = 202;
constexpr std::uint16_t kCalibrationBlockRegister = 200;

// An uncalibrated module reads all zeros; a usable pair spans more than
// 10000 codes upwards. The difference wraps like the module's int32 does.
bool IsPlausiblePair(std::int32_t zero, std::int32_t full) {
  const auto span = static_cast<std::int32_t>(static_cast<std::uint32_t>(full) -
                                              static_cast<std::uint32_t>(zero));
  return span > 10000;
}

std::int32_t AdReadZeroFull(Device* device, std::int32_t* zero, std::int32_t* full,
                            std::int32_t timeout_ms) {
  if (device == nullptr || zero == nullptr || full == nullptr) return KR2270_ERROR_ARGUMENT;
  std::uint8_t block[8 * kAnalogChannels];
  const std::int32_t status = ReadRegisters(device, kCalibrationBlockRegister, block, timeout_ms);
  if (status != KR2270_OK) return status;
  for (int i = 0; i < kAnalogChannels; ++i) {
    zero[i] = static_cast<std::int32_t>(GetU32BE(block + 8 * i));
    full[i] = static_cast<std::int32_t>(GetU32BE(block + 8 * i + 4));
  }
  MirrorSettings(device, [&](Settings& settings) {
    for (int i = 0; i < kAnalogChannels; ++i) {
      if (!IsPlausiblePair(zero[i], full[i])) continue;
      settings.ad_zero_code[i] = zero[i];
      settings.ad_full_code[i] = full[i];
    }
  });
  return KR2270_OK;
}

// The host keeps converting with its adopted pair until AdReadZeroFull.
std::int32_t WriteCalibrationCode(Device* device, std::uint16_t address, std::int32_t channel,
                                  std::int32_t code, std::int32_t timeout_ms) {
  if (device == nullptr || !IsLineNumber(channel, kAnalogChannels)) return KR2270_ERROR_ARGUMENT;
  std::uint8_t payload[6] = {0, Low8(channel)};
  PutU32BE(payload + 2, static_cast<std::uint32_t>(code));
  return WriteRegisters(device, address, payload, timeout_ms);
}

std::int32_t AdWriteZero(Device* device, std::int32_t channel, std::int32_t code,
                         std::int32_t timeout_ms) {
  return WriteCalibrationCode(device, kZeroRegister, channel, code, timeout_ms);
}

std::int32_t AdWriteFull(Device* device, std::int32_t channel, std::int32_t code,
                         std::int32_t timeout_ms) {
  return WriteCalibrationCode(device, kFullRegister, channel, code, timeout_ms);
}

std::int32_t AdReadRef(Device* device, std::int32_t* value, std::int32_t timeout_ms) {
  if (device == nullptr || value == nullptr) return KR2270_ERROR_ARGUMENT;
  std::uint8_t data[4];
  const std::int32_t status = ReadRegisters(device, kReferenceRegister, data, timeout_ms);
  if (status != KR2270_OK) return status;
  *value = static_cast<std::int32_t>(GetU32BE(data));
  return KR2270_OK;
}

std::int32_t AdWriteRef(Device* device, std::int32_t value, std::int32_t timeout_ms) {
  if (device == nullptr) return KR2270_ERROR_ARGUMENT;
  std::uint8_t payload[4];
  PutU32BE(payload, static_cast<std::uint32_t>(value));
  return WriteRegisters(device, kReferenceRegister, payload, timeout_ms);
}

}  // namespace
}  // namespace kr2270

KR2270_EXPORT int32_t KR2270_AdReadZeroFull(KR2270Device* device, int32_t* zero, int32_t* full,
                                            int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::AdReadZeroFull(device, zero, full, timeout_ms); });
}

KR2270_EXPORT int32_t KR2270_AdWriteZero(KR2270Device* device, int32_t channel, int32_t code,
                                         int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::AdWriteZero(device, channel, code, timeout_ms); });
}

KR2270_EXPORT int32_t KR2270_AdWriteFull(KR2270Device* device, int32_t channel, int32_t code,
                                         int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::AdWriteFull(device, channel, code, timeout_ms); });
}

KR2270_EXPORT int32_t KR2270_AdReadRef(KR2270Device* device, int32_t* value, int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::AdReadRef(device, value, timeout_ms); });
}

KR2270_EXPORT int32_t KR2270_AdWriteRef(KR2270Device* device, int32_t value, int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::AdWriteRef(device, value, timeout_ms); });
}

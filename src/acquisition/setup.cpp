#include <cstdint>

#include "acquisition/acquisition.h"
#include "acquisition/group_layout.h"
#include "command/bytes.h"
#include "command/command.h"
#include "config/setting_writes.h"
#include "device/export.h"

namespace kr2270 {
namespace {

constexpr std::uint16_t kRateRegister = 16;
constexpr std::uint16_t kTransferRegister = 20;
constexpr std::uint16_t kTriggerRegister = 22;
constexpr std::uint16_t kTriggerCountRegister = 26;

}  // namespace

std::uint8_t TriggerControlByte(std::int32_t enable, std::int32_t mode, bool start) {
  const std::uint32_t control = (static_cast<std::uint32_t>(mode & 3) << 3) |
                                (static_cast<std::uint32_t>(enable & 1) << 2) | (start ? 1u : 0u);
  return static_cast<std::uint8_t>(control);
}

std::int32_t SendRate(Device* device, std::int32_t rate_code, std::int32_t timeout_ms) {
  const auto device_code = static_cast<std::uint8_t>(DeviceRateCode(rate_code));
  return WriteRegisters(device, kRateRegister, {0x00, device_code}, timeout_ms);
}

std::int32_t SendTrigger(Device* device, std::int32_t enable, std::int32_t mode, bool start,
                         std::int32_t timeout_ms) {
  const std::uint8_t control = TriggerControlByte(enable, mode, start);
  return WriteRegisters(device, kTriggerRegister, {0x00, control}, timeout_ms);
}

std::int32_t SendTriggerCount(Device* device, std::int32_t count, std::int32_t timeout_ms) {
  std::uint8_t payload[4];
  PutU32BE(payload, static_cast<std::uint32_t>(count));
  return WriteRegisters(device, kTriggerCountRegister, payload, timeout_ms);
}

// The register holds 16 bits; the host keeps the full size for its blocks.
std::int32_t SendTransferSize(Device* device, std::int32_t bytes, std::int32_t timeout_ms) {
  std::uint8_t payload[2];
  PutU16BE(payload, static_cast<std::uint32_t>(bytes) & 0xFFFFu);
  return WriteRegisters(device, kTransferRegister, payload, timeout_ms);
}

std::int32_t HcSetFreq(Device* device, std::int32_t rate_code, std::int32_t timeout_ms) {
  if (device == nullptr || SampleRateOfCode(rate_code) == 0.0) return KR2270_ERROR_ARGUMENT;
  // The rate gives recorded groups their time: fixed for a run, like the layout.
  return UnlessStreaming(device, [&] {
    const std::int32_t status = SendRate(device, rate_code, timeout_ms);
    if (status == KR2270_OK) MirrorSettings(device, [&](Settings& s) { s.rate_code = rate_code; });
    return status;
  });
}

std::int32_t HcSetTri(Device* device, std::int32_t enable, std::int32_t mode,
                      std::int32_t timeout_ms) {
  if (device == nullptr || device->streaming.load() != 0) return KR2270_ERROR_ARGUMENT;
  const std::int32_t status = SendTrigger(device, enable, mode, false, timeout_ms);
  if (status != KR2270_OK) return status;
  MirrorSettings(device, [&](Settings& s) {
    s.trigger_enable = static_cast<std::uint8_t>(enable & 1);
    s.trigger_mode = static_cast<std::uint8_t>(mode & 3);
  });
  return KR2270_OK;
}

std::int32_t HcSetTranBytesCount(Device* device, std::int32_t bytes, std::int32_t timeout_ms) {
  if (device == nullptr) return KR2270_ERROR_ARGUMENT;
  const std::int32_t status = SendTransferSize(device, bytes, timeout_ms);
  if (status == KR2270_OK) device->transfer_bytes.store(bytes);
  return status;
}

std::int32_t HcSetTriCount(Device* device, std::int32_t count, std::int32_t timeout_ms) {
  if (device == nullptr) return KR2270_ERROR_ARGUMENT;
  const std::int32_t status = SendTriggerCount(device, count, timeout_ms);
  if (status == KR2270_OK) MirrorSettings(device, [&](Settings& s) { s.trigger_count = count; });
  return status;
}

std::int32_t HcGetGroupBc(Device* device) {
  if (device == nullptr) return KR2270_ERROR_ARGUMENT;
  return GroupSize(device);
}

std::int32_t AdFilterTimesPC(Device* device, std::int32_t times, double* rate_out) {
  if (device == nullptr || device->streaming.load() != 0) return KR2270_ERROR_ARGUMENT;
  // A negative count is kept as given; the start and the split refuse it.
  device->filter_times = times;
  if (rate_out != nullptr) {
    const double rate = SampleRateOfCode(device->settings.rate_code);
    *rate_out = times != 0 ? rate / static_cast<double>(times) : rate;
  }
  return KR2270_OK;
}

}  // namespace kr2270

KR2270_EXPORT int32_t KR2270_HcSetFreq(KR2270Device* device, int32_t rate_code,
                                       int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::HcSetFreq(device, rate_code, timeout_ms); });
}

KR2270_EXPORT int32_t KR2270_HcSetTri(KR2270Device* device, int32_t enable, int32_t mode,
                                      int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::HcSetTri(device, enable, mode, timeout_ms); });
}

KR2270_EXPORT int32_t KR2270_HcSetTranBytesCount(KR2270Device* device, int32_t bytes,
                                                 int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::HcSetTranBytesCount(device, bytes, timeout_ms); });
}

KR2270_EXPORT int32_t KR2270_HcSetTriCount(KR2270Device* device, int32_t count,
                                           int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::HcSetTriCount(device, count, timeout_ms); });
}

KR2270_EXPORT int32_t KR2270_HcGetGroupBc(KR2270Device* device) {
  return kr2270::Guarded([&] { return kr2270::HcGetGroupBc(device); });
}

KR2270_EXPORT int32_t KR2270_AdFilterTimesPC(KR2270Device* device, int32_t times,
                                             double* rate_out) {
  return kr2270::Guarded([&] { return kr2270::AdFilterTimesPC(device, times, rate_out); });
}

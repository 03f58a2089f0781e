// Digital inputs and outputs.
#include "acquisition/acquisition.h"
#include "command/bytes.h"
#include "command/command.h"
#include "config/checks.h"
#include "config/setting_writes.h"
#include "device/export.h"

namespace kr2270 {
namespace {

constexpr int kDigitalInputs = 16;
constexpr int kDigitalOutputs = 12;

constexpr std::uint16_t kOutputModeRegister = 34;
constexpr std::uint16_t kDiStreamRegister = 35;
constexpr std::uint16_t kOutputRegister = 36;
constexpr std::uint16_t kOutputLevelRegister = 38;
constexpr std::uint16_t kInputRegister = 280;

// Output k at bit k - 1 of one register.
std::uint32_t OutputBits(const std::uint8_t* flags) {
  std::uint32_t word = 0;
  for (int k = 0; k < kDigitalOutputs; ++k) word |= (unsigned{flags[k]} & 1u) << k;
  return word;
}

std::int32_t DiReadAllOnce(Device* device, std::uint8_t* inputs, std::int32_t timeout_ms) {
  if (device == nullptr || inputs == nullptr) return KR2270_ERROR_ARGUMENT;
  std::uint8_t data[4];
  const std::int32_t status = ReadRegisters(device, kInputRegister, data, timeout_ms);
  if (status != KR2270_OK) return status;
  const std::uint32_t word = GetU16BE(data);  // the second register carries nothing
  for (int k = 0; k < kDigitalInputs; ++k) inputs[k] = static_cast<std::uint8_t>((word >> k) & 1u);
  return KR2270_OK;
}

std::int32_t DoWriteAllOnce(Device* device, const std::uint8_t* outputs, std::int32_t timeout_ms) {
  if (device == nullptr || outputs == nullptr) return KR2270_ERROR_ARGUMENT;
  std::uint8_t payload[4] = {};
  PutU16BE(payload, OutputBits(outputs));
  return WriteRegisters(device, kOutputRegister, payload, timeout_ms);
}

std::int32_t DoSetMode(Device* device, const std::uint8_t* mode, std::int32_t timeout_ms) {
  if (device == nullptr || mode == nullptr) return KR2270_ERROR_ARGUMENT;
  std::uint8_t payload[2];
  PutU16BE(payload, OutputBits(mode));
  return WriteRegisters(device, kOutputModeRegister, payload, timeout_ms);
}

std::int32_t DoSetVotage(Device* device, const std::uint8_t* level, std::int32_t timeout_ms) {
  if (device == nullptr || level == nullptr) return KR2270_ERROR_ARGUMENT;
  std::uint32_t word = 0;
  for (int k = 0; k < kDigitalOutputs; ++k) word |= (unsigned{level[k]} & 3u) << (2 * k);
  std::uint8_t payload[4];
  PutU32BE(payload, word);
  return WriteRegisters(device, kOutputLevelRegister, payload, timeout_ms);
}

std::int32_t DiInFifo(Device* device, std::int32_t flag, std::int32_t timeout_ms) {
  if (device == nullptr) return KR2270_ERROR_ARGUMENT;
  const auto bit = static_cast<std::uint8_t>(flag & 1);
  return UnlessStreaming(device, [&]() -> std::int32_t {
    const std::int32_t status = SendDiStream(device, bit, timeout_ms);
    if (status != KR2270_OK) return status;
    MirrorSettings(device, [&](Settings& s) { s.di_in_fifo = bit; });
    return KR2270_OK;
  });
}

}  // namespace

std::int32_t SendDiStream(Device* device, std::uint8_t flag, std::int32_t timeout_ms) {
  return WriteRegisters(device, kDiStreamRegister, {0, static_cast<std::uint8_t>(flag & 1u)},
                        timeout_ms);
}

}  // namespace kr2270

KR2270_EXPORT int32_t KR2270_DiReadAllOnce(KR2270Device* device, uint8_t* inputs,
                                           int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::DiReadAllOnce(device, inputs, timeout_ms); });
}

KR2270_EXPORT int32_t KR2270_DoWriteAllOnce(KR2270Device* device, const uint8_t* outputs,
                                            int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::DoWriteAllOnce(device, outputs, timeout_ms); });
}

KR2270_EXPORT int32_t KR2270_DoSetMode(KR2270Device* device, const uint8_t* mode,
                                       int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::DoSetMode(device, mode, timeout_ms); });
}

KR2270_EXPORT int32_t KR2270_DoSetVotage(KR2270Device* device, const uint8_t* level,
                                         int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::DoSetVotage(device, level, timeout_ms); });
}

KR2270_EXPORT int32_t KR2270_DiInFifo(KR2270Device* device, int32_t flag, int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::DiInFifo(device, flag, timeout_ms); });
}

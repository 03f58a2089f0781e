// Analog input setup and the analog snapshot.
#include "acquisition/acquisition.h"
#include "command/bytes.h"
#include "command/command.h"
#include "config/checks.h"
#include "config/setting_writes.h"
#include "device/export.h"

namespace kr2270 {
namespace {

constexpr std::uint16_t kRangeRegister = 10;
constexpr std::uint16_t kSleepRegister = 13;
constexpr std::uint16_t kAdStreamRegister = 14;
constexpr std::uint16_t kSourceRegister = 15;
constexpr std::uint16_t kEndModeRegister = 17;
constexpr std::uint16_t kFullVoltageRegister = 39;
constexpr std::uint16_t kAdSnapshotRegister = 256;

struct RangeEntry {
  double span;
  double offset;
};

// The range code is read as a signed byte: 255 is -1 and falls to the default.
RangeEntry RangeOfCode(std::uint8_t code, bool ex) {
  switch (static_cast<std::int8_t>(code)) {
    case 1:
      return {ex ? 1.0 : 5.0, 0.0};
    case 2:
      return {ex ? 0.1 : 2.0, 0.0};
    case 3:
      return {ex ? 0.01 : 1.0, 0.0};
    default:
      return {10.0, 0.0};
  }
}

void RecordRange(Settings& settings, std::int32_t channel, std::uint8_t code, bool ex) {
  const auto k = static_cast<std::size_t>(channel - 1);
  const RangeEntry entry = RangeOfCode(code, ex);
  settings.ad_range[k] = code;
  settings.ad_span[k] = entry.span;
  settings.ad_offset[k] = entry.offset;
}

std::int32_t AdSetRange(Device* device, std::int32_t channel, std::int32_t range_code,
                        std::int32_t timeout_ms) {
  if (device == nullptr || !IsLineNumber(channel, kAnalogChannels)) return KR2270_ERROR_ARGUMENT;
  const std::uint8_t code = Low8(range_code);
  const std::int32_t status = SendRange(device, channel, code, timeout_ms);
  if (status != KR2270_OK) return status;
  MirrorSettings(device, [&](Settings& s) { RecordRange(s, channel, code, false); });
  return KR2270_OK;
}

std::int32_t AdSetRangeEx(Device* device, std::int32_t channel, std::int32_t ex,
                          std::int32_t range_code, std::int32_t timeout_ms) {
  if (device == nullptr || !IsLineNumber(channel, kAnalogChannels)) return KR2270_ERROR_ARGUMENT;
  const std::uint8_t code = Low8(range_code);
  const std::int32_t status = SendRange(device, channel, code, timeout_ms);
  if (status != KR2270_OK) return status;
  MirrorSettings(device, [&](Settings& s) {
    RecordRange(s, channel, code, ex != 0);
    s.ad_range_ex[channel - 1] = Low8(ex);
  });
  return KR2270_OK;
}

// Recorded before sending: the stream layout follows what the application
// asked for even when the module did not hear it.
std::int32_t AdInFifo(Device* device, const std::uint8_t* enable, std::int32_t code_bytes,
                      std::int32_t timeout_ms) {
  if (device == nullptr || enable == nullptr) return KR2270_ERROR_ARGUMENT;
  const std::uint8_t width = Low8(code_bytes);
  return UnlessStreaming(device, [&] {
    MirrorSettings(device, [&](Settings& s) {
      s.ad_code_bytes = (width == 2 || width == 4) ? width : std::uint8_t{4};
      for (int i = 0; i < kAnalogChannels; ++i) s.ad_enabled[i] = enable[i];
    });
    return SendAdStream(device, width, enable, timeout_ms);
  });
}

std::int32_t AdSetEndMode(Device* device, const std::uint8_t* mode, std::int32_t timeout_ms) {
  if (device == nullptr || mode == nullptr) return KR2270_ERROR_ARGUMENT;
  MirrorSettings(device, [&](Settings& s) {
    for (int i = 0; i < kAnalogChannels; ++i) {
      s.ad_end_mode[i] = static_cast<std::uint8_t>(unsigned{mode[i]} & 1u);
    }
  });
  return SendEndModes(device, mode, timeout_ms);
}

std::int32_t AdSetSleep(Device* device, const std::int8_t* flag, std::int32_t timeout_ms) {
  if (device == nullptr || flag == nullptr) return KR2270_ERROR_ARGUMENT;
  const std::int32_t status = SendSleep(device, flag, timeout_ms);
  if (status != KR2270_OK) return status;
  MirrorSettings(device, [&](Settings& s) {
    s.ad_sleep[0] = flag[0];
    s.ad_sleep[1] = flag[1];
  });
  return KR2270_OK;
}

std::int32_t AdSetSource(Device* device, const std::uint8_t* source, std::int32_t timeout_ms) {
  if (device == nullptr || source == nullptr) return KR2270_ERROR_ARGUMENT;
  std::uint32_t word = 0;
  for (int i = 0; i < kAnalogChannels; ++i) word = (word << 2) | (unsigned{source[i]} & 3u);
  std::uint8_t payload[2];
  PutU16BE(payload, word);
  return WriteRegisters(device, kSourceRegister, payload, timeout_ms);
}

std::int32_t AdFullVotage(Device* device, std::int32_t value, std::int32_t timeout_ms) {
  if (device == nullptr) return KR2270_ERROR_ARGUMENT;
  return WriteRegisters(device, kFullVoltageRegister, {0, Low8(value)}, timeout_ms);
}

std::int32_t AdReadAllOnce(Device* device, std::int32_t* codes, std::int32_t timeout_ms) {
  if (device == nullptr || codes == nullptr) return KR2270_ERROR_ARGUMENT;
  std::uint8_t data[4 * kAnalogChannels];
  const std::int32_t status = ReadRegisters(device, kAdSnapshotRegister, data, timeout_ms);
  if (status != KR2270_OK) return status;
  for (int i = 0; i < kAnalogChannels; ++i) {
    codes[i] = static_cast<std::int32_t>(GetU32BE(data + 4 * i));
  }
  return KR2270_OK;
}

}  // namespace

std::int32_t SendRange(Device* device, std::int32_t channel, std::uint8_t code,
                       std::int32_t timeout_ms) {
  return WriteRegisters(device, kRangeRegister, {Low8(channel), code}, timeout_ms);
}

std::int32_t SendAdStream(Device* device, std::uint8_t code_bytes, const std::uint8_t* enable,
                          std::int32_t timeout_ms) {
  return WriteRegisters(device, kAdStreamRegister, {code_bytes, PackBit0(enable, kAnalogChannels)},
                        timeout_ms);
}

std::int32_t SendEndModes(Device* device, const std::uint8_t* mode, std::int32_t timeout_ms) {
  unsigned bits = 0;
  for (int i = 0; i < kAnalogChannels; ++i) {
    bits |= (unsigned{mode[i]} & 1u) << (7 - i);  // channel 1 in the top bit
  }
  return WriteRegisters(device, kEndModeRegister, {0, static_cast<std::uint8_t>(bits)},
                        timeout_ms);
}

std::int32_t SendSleep(Device* device, const std::int8_t* flag, std::int32_t timeout_ms) {
  return WriteRegisters(device, kSleepRegister, {0, PackBit0(flag, 2)}, timeout_ms);
}

}  // namespace kr2270

KR2270_EXPORT int32_t KR2270_AdSetRange(KR2270Device* device, int32_t channel, int32_t range_code,
                                        int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::AdSetRange(device, channel, range_code, timeout_ms); });
}

KR2270_EXPORT int32_t KR2270_AdSetRangeEx(KR2270Device* device, int32_t channel, int32_t ex,
                                          int32_t range_code, int32_t timeout_ms) {
  return kr2270::Guarded(
      [&] { return kr2270::AdSetRangeEx(device, channel, ex, range_code, timeout_ms); });
}

KR2270_EXPORT int32_t KR2270_AdInFifo(KR2270Device* device, const uint8_t* enable,
                                      int32_t code_bytes, int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::AdInFifo(device, enable, code_bytes, timeout_ms); });
}

KR2270_EXPORT int32_t KR2270_AdSetEndMode(KR2270Device* device, const uint8_t* mode,
                                          int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::AdSetEndMode(device, mode, timeout_ms); });
}

KR2270_EXPORT int32_t KR2270_AdSetSleep(KR2270Device* device, const int8_t* flag,
                                        int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::AdSetSleep(device, flag, timeout_ms); });
}

KR2270_EXPORT int32_t KR2270_AdSetSource(KR2270Device* device, const uint8_t* source,
                                         int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::AdSetSource(device, source, timeout_ms); });
}

KR2270_EXPORT int32_t KR2270_AdFullVotage(KR2270Device* device, int32_t value,
                                          int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::AdFullVotage(device, value, timeout_ms); });
}

KR2270_EXPORT int32_t KR2270_AdReadAllOnce(KR2270Device* device, int32_t* codes,
                                           int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::AdReadAllOnce(device, codes, timeout_ms); });
}

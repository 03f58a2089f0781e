#include "recording/header.h"

#include <bit>

#include "command/bytes.h"
#include "kr2270c.h"

namespace kr2270 {
namespace {

constexpr std::uint8_t kMagic[4] = {'2', '2', '7', '0'};
constexpr std::size_t kVersionAt = 4;

constexpr std::size_t kChannelsAt = 5;
constexpr std::size_t kChannelStride = 31;
// Within a channel block.
constexpr std::size_t kAdEnabled = 0;
constexpr std::size_t kAdFullCode = 1;
constexpr std::size_t kAdZeroCode = 5;
constexpr std::size_t kAdSpan = 9;
constexpr std::size_t kAdOffset = 17;
constexpr std::size_t kAdRange = 25;
constexpr std::size_t kAdEndMode = 26;
constexpr std::size_t kAdReserved = 27;

constexpr std::size_t kAdSleepAt = 253;
constexpr std::size_t kCountersAt = 255;
constexpr std::size_t kCounterStride = 10;
// Within a counter block.
constexpr std::size_t kCtInFifo = 0;
constexpr std::size_t kCtMode = 1;
constexpr std::size_t kCtFreqBase = 2;

constexpr std::size_t kDiInFifoAt = 295;
constexpr std::size_t kEcInFifoAt = 296;
constexpr std::size_t kRateCodeAt = 298;
constexpr std::size_t kTriggerReservedAt = 302;
constexpr std::size_t kTriggerEnableAt = 303;
constexpr std::size_t kTriggerModeAt = 304;
constexpr std::size_t kTriggerCountAt = 305;
constexpr std::size_t kCodeBytesAt = 309;
constexpr std::size_t kRangeExAt = 310;

void PutI32LE(std::uint8_t* p, std::int32_t v) { PutU32LE(p, static_cast<std::uint32_t>(v)); }
std::int32_t GetI32LE(const std::uint8_t* p) { return static_cast<std::int32_t>(GetU32LE(p)); }

void PutF64LE(std::uint8_t* p, double v) {
  const auto bits = std::bit_cast<std::uint64_t>(v);
  PutU32LE(p, static_cast<std::uint32_t>(bits));
  PutU32LE(p + 4, static_cast<std::uint32_t>(bits >> 32));
}
double GetF64LE(const std::uint8_t* p) {
  const std::uint64_t bits = std::uint64_t{GetU32LE(p)} | (std::uint64_t{GetU32LE(p + 4)} << 32);
  return std::bit_cast<double>(bits);
}

void PutChannel(std::uint8_t* block, const Settings& s, std::size_t k) {
  block[kAdEnabled] = s.ad_enabled[k];
  PutI32LE(block + kAdFullCode, s.ad_full_code[k]);
  PutI32LE(block + kAdZeroCode, s.ad_zero_code[k]);
  PutF64LE(block + kAdSpan, s.ad_span[k]);
  PutF64LE(block + kAdOffset, s.ad_offset[k]);
  block[kAdRange] = s.ad_range[k];
  block[kAdEndMode] = s.ad_end_mode[k];
  PutI32LE(block + kAdReserved, s.ad_reserved[k]);
}

void GetChannel(const std::uint8_t* block, Settings& s, std::size_t k) {
  s.ad_enabled[k] = block[kAdEnabled];
  s.ad_full_code[k] = GetI32LE(block + kAdFullCode);
  s.ad_zero_code[k] = GetI32LE(block + kAdZeroCode);
  s.ad_span[k] = GetF64LE(block + kAdSpan);
  s.ad_offset[k] = GetF64LE(block + kAdOffset);
  s.ad_range[k] = block[kAdRange];
  s.ad_end_mode[k] = block[kAdEndMode];
  s.ad_reserved[k] = GetI32LE(block + kAdReserved);
}

void PutCounter(std::uint8_t* block, const Settings& s, std::size_t k) {
  block[kCtInFifo] = s.ct_in_fifo[k];
  block[kCtMode] = static_cast<std::uint8_t>(s.ct_mode[k]);
  PutF64LE(block + kCtFreqBase, s.ct_freq_base[k]);
}

void GetCounter(const std::uint8_t* block, Settings& s, std::size_t k) {
  s.ct_in_fifo[k] = block[kCtInFifo];
  s.ct_mode[k] = static_cast<std::int8_t>(block[kCtMode]);
  s.ct_freq_base[k] = GetF64LE(block + kCtFreqBase);
}

bool HasMagic(const std::uint8_t* bytes) {
  for (std::size_t i = 0; i < sizeof kMagic; ++i) {
    if (bytes[i] != kMagic[i]) return false;
  }
  return true;
}

std::int32_t HeaderSizeOfVersion(std::uint8_t version) {
  if (version == 0) return kHeaderBytesV0;
  if (version == 1) return kHeaderBytes;
  return 0;
}

}  // namespace

void BuildRecordingHeader(const Settings& s, std::uint8_t (&header)[kHeaderBytes]) {
  for (std::size_t i = 0; i < sizeof kMagic; ++i) header[i] = kMagic[i];
  header[kVersionAt] = kHeaderVersion;
  for (std::size_t k = 0; k < 8; ++k) PutChannel(header + kChannelsAt + kChannelStride * k, s, k);
  header[kAdSleepAt] = static_cast<std::uint8_t>(s.ad_sleep[0]);
  header[kAdSleepAt + 1] = static_cast<std::uint8_t>(s.ad_sleep[1]);
  for (std::size_t k = 0; k < 4; ++k) PutCounter(header + kCountersAt + kCounterStride * k, s, k);
  header[kDiInFifoAt] = s.di_in_fifo;
  header[kEcInFifoAt] = s.ec_in_fifo[0];
  header[kEcInFifoAt + 1] = s.ec_in_fifo[1];
  PutI32LE(header + kRateCodeAt, s.rate_code);
  header[kTriggerReservedAt] = s.trigger_reserved;
  header[kTriggerEnableAt] = s.trigger_enable;
  header[kTriggerModeAt] = s.trigger_mode;
  PutI32LE(header + kTriggerCountAt, s.trigger_count);
  header[kCodeBytesAt] = s.ad_code_bytes;
  for (std::size_t k = 0; k < 8; ++k) header[kRangeExAt + k] = s.ad_range_ex[k];
}

std::int32_t ParseRecordingHeader(const std::uint8_t* bytes, std::size_t length, Settings* settings,
                                  std::int32_t* header_size) {
  if (length <= kVersionAt || !HasMagic(bytes)) return KR2270_ERROR_FILE_READ;
  const std::int32_t size = HeaderSizeOfVersion(bytes[kVersionAt]);
  if (size == 0 || length < static_cast<std::size_t>(size)) return KR2270_ERROR_FILE_READ;
  // The splitter trusts the code width; anything but 2 or 4 is not a stream
  // this library wrote.
  const std::uint8_t code_bytes = bytes[kCodeBytesAt];
  if (code_bytes != 2 && code_bytes != 4) return KR2270_ERROR_FILE_READ;

  Settings s = *settings;
  for (std::size_t k = 0; k < 8; ++k) GetChannel(bytes + kChannelsAt + kChannelStride * k, s, k);
  s.ad_sleep[0] = static_cast<std::int8_t>(bytes[kAdSleepAt]);
  s.ad_sleep[1] = static_cast<std::int8_t>(bytes[kAdSleepAt + 1]);
  for (std::size_t k = 0; k < 4; ++k) GetCounter(bytes + kCountersAt + kCounterStride * k, s, k);
  s.di_in_fifo = bytes[kDiInFifoAt];
  s.ec_in_fifo[0] = bytes[kEcInFifoAt];
  s.ec_in_fifo[1] = bytes[kEcInFifoAt + 1];
  s.rate_code = GetI32LE(bytes + kRateCodeAt);
  s.trigger_reserved = bytes[kTriggerReservedAt];
  s.trigger_enable = bytes[kTriggerEnableAt];
  s.trigger_mode = bytes[kTriggerModeAt];
  s.trigger_count = GetI32LE(bytes + kTriggerCountAt);
  s.ad_code_bytes = code_bytes;
  if (size == kHeaderBytes) {
    for (std::size_t k = 0; k < 8; ++k) s.ad_range_ex[k] = bytes[kRangeExAt + k];
  }
  *settings = s;
  *header_size = size;
  return KR2270_OK;
}

}  // namespace kr2270

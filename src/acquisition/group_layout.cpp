#include "acquisition/group_layout.h"

namespace kr2270 {
namespace {

struct RateEntry {
  std::int32_t code;
  double groups_per_second;
  std::int32_t device_code;
  std::int32_t decimation;
};

// Codes 16 and 48 are not streamed by the module: it runs at 36 or 52 and the
// receiver keeps every 2nd or 4th group.
constexpr RateEntry kRates[] = {
    {8, 256000.0, 8, 1},  {16, 16000.0, 36, 2}, {24, 128000.0, 24, 1}, {36, 32000.0, 36, 1},
    {40, 64000.0, 40, 1}, {48, 1000.0, 52, 4},  {52, 4000.0, 52, 1},   {56, 8000.0, 56, 1},
};

const RateEntry* FindRate(std::int32_t rate_code) {
  for (const RateEntry& entry : kRates) {
    if (entry.code == rate_code) return &entry;
  }
  return nullptr;
}

bool Enabled(std::uint8_t flag) { return (flag & 1u) != 0; }

}  // namespace

std::int32_t GroupSize(const Settings& settings) {
  std::int32_t size = 0;
  for (std::uint8_t flag : settings.ad_enabled) {
    if (Enabled(flag)) size += AnalogCodeBytes(settings);
  }
  if (Enabled(settings.di_in_fifo)) size += 2;
  for (std::uint8_t flag : settings.ct_in_fifo) {
    if (Enabled(flag)) size += 4;
  }
  for (std::uint8_t flag : settings.ec_in_fifo) {
    if (Enabled(flag)) size += 4;
  }
  return size;
}

double SampleRateOfCode(std::int32_t rate_code) {
  const RateEntry* entry = FindRate(rate_code);
  return entry != nullptr ? entry->groups_per_second : 0.0;
}

std::int32_t DeviceRateCode(std::int32_t rate_code) {
  const RateEntry* entry = FindRate(rate_code);
  return entry != nullptr ? entry->device_code : rate_code;
}

std::int32_t DecimationFactor(std::int32_t rate_code) {
  const RateEntry* entry = FindRate(rate_code);
  return entry != nullptr ? entry->decimation : 1;
}

bool HasNonAdStreamChannels(const Settings& settings) {
  if (settings.di_in_fifo != 0) return true;
  for (std::uint8_t flag : settings.ct_in_fifo) {
    if (flag != 0) return true;
  }
  for (std::uint8_t flag : settings.ec_in_fifo) {
    if (flag != 0) return true;
  }
  return false;
}

}  // namespace kr2270

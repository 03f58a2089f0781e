// Conversions for other parts of the library that need the exact value a
// code converts to.
#pragma once

#include <cstdint>

#include "device/settings.h"

namespace kr2270 {

// The value KR2270_HcAdCodeToValue gives for code (a stream word) of channel
// index k (0..7) under settings, bit for bit.
double AnalogValueOf(const Settings& settings, std::int32_t k, std::int32_t code);

}  // namespace kr2270

// The register write of each setting the Device mirrors. The setters and the
// resend of the mirrored settings both go through these, so that a resend
// puts exactly the setter's bytes on the wire.
#pragma once

#include <cstdint>

#include "device/device.h"

namespace kr2270 {

// Analog inputs.
std::int32_t SendRange(Device* device, std::int32_t channel, std::uint8_t code,
                       std::int32_t timeout_ms);
std::int32_t SendAdStream(Device* device, std::uint8_t code_bytes, const std::uint8_t* enable,
                          std::int32_t timeout_ms);
std::int32_t SendEndModes(Device* device, const std::uint8_t* mode, std::int32_t timeout_ms);
std::int32_t SendSleep(Device* device, const std::int8_t* flag, std::int32_t timeout_ms);

// Digital inputs, counters and encoders.
std::int32_t SendDiStream(Device* device, std::uint8_t flag, std::int32_t timeout_ms);
std::int32_t SendCounterModes(Device* device, const std::int8_t* mode, std::int32_t timeout_ms);
std::int32_t SendCounterBase(Device* device, std::int32_t counter, std::uint32_t divisor,
                             std::int32_t timeout_ms);
std::int32_t SendCtStream(Device* device, const std::uint8_t* enable, std::int32_t timeout_ms);
std::int32_t SendEcStream(Device* device, const std::uint8_t* enable, std::int32_t timeout_ms);
// The clock divisor behind a base period the Device holds (one the module
// achieved, or one read from a recording). Rounded, because the period is a
// quotient of the divisor and truncating it back loses one count now and
// then. False when no 32-bit divisor gives it.
bool DivisorOfAchievedBase(double base_ms, std::uint32_t* divisor);

// Acquisition setup. The rate code is the host's code (16 and 48 included).
std::int32_t SendRate(Device* device, std::int32_t rate_code, std::int32_t timeout_ms);
std::int32_t SendTrigger(Device* device, std::int32_t enable, std::int32_t mode, bool start,
                         std::int32_t timeout_ms);
std::int32_t SendTriggerCount(Device* device, std::int32_t count, std::int32_t timeout_ms);
std::int32_t SendTransferSize(Device* device, std::int32_t bytes, std::int32_t timeout_ms);

// Asked before each write of a restore: false stops it (-1).
using KeepGoing = bool (*)(const Device* device);

// Re-sends every mirrored setting as the handle holds it now, in a fixed
// order, each with its setter's write; stops at the first failure and
// returns its status. Changes nothing in the Device. The caller decides
// whether the state allows it.
std::int32_t SendMirroredSettings(Device* device, std::int32_t timeout_ms,
                                  KeepGoing keep_going = nullptr);
// The same for a copy of the settings.
std::int32_t SendSettings(Device* device, const Settings& settings, std::int32_t timeout_ms,
                          KeepGoing keep_going = nullptr);

}  // namespace kr2270

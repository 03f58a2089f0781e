// The two operations every configuration export is built on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "device/device.h"

namespace kr2270 {

// Writes the payload (even length, at most 248 bytes) to consecutive holding
// registers from `address`. Returns 0, -2, -3, -4 or -5.
std::int32_t WriteRegisters(Device* device, std::uint16_t address,
                            std::span<const std::uint8_t> payload, std::int32_t timeout_ms);
inline std::int32_t WriteRegisters(Device* device, std::uint16_t address,
                                   std::initializer_list<std::uint8_t> payload,
                                   std::int32_t timeout_ms) {
  return WriteRegisters(device, address, std::span<const std::uint8_t>(payload.begin(), payload.size()),
                        timeout_ms);
}

// Reads destination.size() bytes (even) from consecutive holding registers.
// destination is written only on success. Returns 0, -1, -2, -3, -4, -6, -7.
std::int32_t ReadRegisters(Device* device, std::uint16_t address,
                           std::span<std::uint8_t> destination, std::int32_t timeout_ms);

// One request/reply exchange; the caller holds device->cmd.lock. Returns the
// reply's length (what arrived of it when the module closed the connection)
// or -2, -3, -4.
std::int32_t CommandTransaction(Device* device, std::span<const std::uint8_t> request,
                                std::uint8_t* reply, std::int32_t timeout_ms);

// Replaces the command connection with a new one to address (network byte
// order) and port, as the connect does; for the automatic reconnect.
// Returns 0 or -101.
std::int32_t ReopenCommandConnection(Device* device, std::uint32_t address, std::int32_t port,
                                     std::int32_t timeout_ms);

// When this thread last sent a request (monotonic ns): a setter's change
// took effect in the module between then and the reply.
std::int64_t LastRequestSentNs();

// Throws away whatever the module sent beyond the last reply; never waits
// for data and stops after 100 ms of a continuous flood. The caller holds
// device->cmd.lock.
void DrainCommandSocket(Device* device);

}  // namespace kr2270

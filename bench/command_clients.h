// Three clients for the same two commands (write register 39, read the 16
// analog registers from 256): this library, libmodbus, and a hand-written
// blocking send/receive client that marks the floor.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "kr2270c.h"

typedef struct _modbus modbus_t;

namespace kr2270::bench {

enum class ClientKind { kLibrary, kLibmodbus, kFloor };
const char* ClientName(ClientKind kind);

struct CommandClient {
  ClientKind kind = ClientKind::kLibrary;
  KR2270Device* device = nullptr;
  modbus_t* modbus = nullptr;
  int fd = -1;
};

inline constexpr std::uint16_t kWriteRegister = 39;  // the full-voltage selector
inline constexpr std::uint16_t kReadRegister = 256;  // the eight analog codes
inline constexpr std::uint16_t kReadRegisters = 16;
inline constexpr std::int32_t kReplyTimeoutMs = 1000;

bool ConnectClient(CommandClient& client, std::uint16_t port);
// Closes the connection; the library's handle stays for the next connect, so
// that its creation and release (a 32 MiB ring) stay out of the rounds.
void CloseClient(CommandClient& client);
void ReleaseClient(CommandClient& client);
bool WriteOneRegister(CommandClient& client);
bool ReadSixteenRegisters(CommandClient& client);

// The floor's frames, built once: function 0x10 with one register, 0x03.
std::array<std::uint8_t, 15> FloorWriteRequest(std::uint16_t address, std::uint16_t value);
std::array<std::uint8_t, 12> FloorReadRequest(std::uint16_t address, std::uint16_t registers);
// One send of the request, then receives until reply_length bytes are in;
// true when they came and carry the request's function code.
bool FloorExchange(int fd, const std::uint8_t* request, std::size_t request_length,
                   std::uint8_t* reply, std::size_t reply_length);
// A blocking TCP connection to 127.0.0.1 with Nagle off; -1 on failure.
int FloorConnect(std::uint16_t port);

}  // namespace kr2270::bench

#include "command_clients.h"

#include <arpa/inet.h>
#include <modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace kr2270::bench {
namespace {

std::uint8_t High(std::uint16_t v) { return static_cast<std::uint8_t>(v >> 8); }
std::uint8_t Low(std::uint16_t v) { return static_cast<std::uint8_t>(v); }

// The floor's requests never change, so they are built once.
const std::array<std::uint8_t, 15> kFloorWrite = FloorWriteRequest(kWriteRegister, 1);
const std::array<std::uint8_t, 12> kFloorRead = FloorReadRequest(kReadRegister, kReadRegisters);

}  // namespace

const char* ClientName(ClientKind kind) {
  switch (kind) {
    case ClientKind::kLibrary:
      return "kr2270c";
    case ClientKind::kLibmodbus:
      return "libmodbus";
    case ClientKind::kFloor:
      break;
  }
  return "hand-written";
}

// MBAP header (transaction 0, protocol 0, length, unit 1), function 0x10, the
// address, one register, 2 bytes, the value.
std::array<std::uint8_t, 15> FloorWriteRequest(std::uint16_t address, std::uint16_t value) {
  return {0, 0, 0, 0, 0, 9, 1, 0x10, High(address), Low(address), 0, 1, 2, High(value), Low(value)};
}

// MBAP header, function 0x03, the address, the number of registers.
std::array<std::uint8_t, 12> FloorReadRequest(std::uint16_t address, std::uint16_t registers) {
  return {0, 0, 0, 0, 0, 6, 1, 3, High(address), Low(address), High(registers), Low(registers)};
}

bool FloorExchange(int fd, const std::uint8_t* request, std::size_t request_length,
                   std::uint8_t* reply, std::size_t reply_length) {
  if (send(fd, request, request_length, MSG_NOSIGNAL) != static_cast<ssize_t>(request_length)) {
    return false;
  }
  std::size_t have = 0;
  while (have < reply_length) {
    const ssize_t n = recv(fd, reply + have, reply_length - have, 0);
    if (n > 0) {
      have += static_cast<std::size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      return false;
    }
  }
  return reply[7] == request[7];
}

int FloorConnect(std::uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool ConnectClient(CommandClient& client, std::uint16_t port) {
  switch (client.kind) {
    case ClientKind::kLibrary:
      if (client.device == nullptr) client.device = KR2270_DeviceCreate();
      return client.device != nullptr &&
             KR2270_CmdConnect(client.device, "127.0.0.1", 0, port, 0, 2000) == 0;
    case ClientKind::kLibmodbus:
      client.modbus = modbus_new_tcp("127.0.0.1", port);
      if (client.modbus == nullptr) return false;
      modbus_set_slave(client.modbus, 1);
      modbus_set_response_timeout(client.modbus, 1, 0);
      return modbus_connect(client.modbus) == 0;
    case ClientKind::kFloor:
      client.fd = FloorConnect(port);
      return client.fd >= 0;
  }
  return false;
}

void CloseClient(CommandClient& client) {
  if (client.device != nullptr) KR2270_CmdClose(client.device);
  if (client.modbus != nullptr) {
    modbus_close(client.modbus);
    modbus_free(client.modbus);
    client.modbus = nullptr;
  }
  if (client.fd >= 0) {
    close(client.fd);
    client.fd = -1;
  }
}

void ReleaseClient(CommandClient& client) {
  CloseClient(client);
  KR2270_DeviceClose(client.device);
  client.device = nullptr;
}

bool WriteOneRegister(CommandClient& client) {
  switch (client.kind) {
    case ClientKind::kLibrary:
      return KR2270_AdFullVotage(client.device, 1, kReplyTimeoutMs) == 0;
    case ClientKind::kLibmodbus: {
      const std::uint16_t value = 1;
      return modbus_write_registers(client.modbus, kWriteRegister, 1, &value) == 1;
    }
    case ClientKind::kFloor: {
      std::uint8_t reply[12];
      return FloorExchange(client.fd, kFloorWrite.data(), kFloorWrite.size(), reply, sizeof reply);
    }
  }
  return false;
}

bool ReadSixteenRegisters(CommandClient& client) {
  switch (client.kind) {
    case ClientKind::kLibrary: {
      std::int32_t codes[8];
      return KR2270_AdReadAllOnce(client.device, codes, kReplyTimeoutMs) == 0;
    }
    case ClientKind::kLibmodbus: {
      std::uint16_t registers[kReadRegisters];
      return modbus_read_registers(client.modbus, kReadRegister, kReadRegisters, registers) ==
             kReadRegisters;
    }
    case ClientKind::kFloor: {
      std::uint8_t reply[9 + 2 * kReadRegisters];
      return FloorExchange(client.fd, kFloorRead.data(), kFloorRead.size(), reply, sizeof reply);
    }
  }
  return false;
}

}  // namespace kr2270::bench

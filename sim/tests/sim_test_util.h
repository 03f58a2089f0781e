// Plain loopback TCP client and Modbus/TCP helpers for the simulator's tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

namespace kr2270::sim::testing {

using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;

class Client {
 public:
  enum class Event { kData, kTimeout, kClosed, kReset };

  explicit Client(uint16_t port);  // connects to 127.0.0.1; fd() < 0 on failure
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  int fd() const { return fd_; }
  bool Send(const Bytes& b);
  // One receive: data (appended to *out), time-out, orderly close or reset.
  Event RecvSome(Bytes* out, milliseconds timeout, size_t max = 65536);
  // Collects n bytes unless the time-out, a close or a reset comes first.
  Bytes RecvExact(size_t n, milliseconds timeout, Event* last = nullptr);
  // Reads one Modbus/TCP frame by its MBAP length field; empty on failure.
  Bytes RecvFrame(milliseconds timeout);
  void Close();

 private:
  int fd_ = -1;
};

Bytes WriteRequest(uint16_t address, const Bytes& payload, uint8_t unit = 1);
Bytes ReadRequest(uint16_t address, uint16_t count, uint8_t unit = 1, uint8_t function = 0x03);

// Register values of a well-formed read reply; empty (and a test failure) otherwise.
std::vector<uint16_t> ReadRegisters(Client& c, uint16_t address, uint16_t count);
// Sends a write and checks its echo.
void WriteRegisters(Client& c, uint16_t address, const Bytes& payload);

inline constexpr milliseconds kReplyWait{5000};

}  // namespace kr2270::sim::testing

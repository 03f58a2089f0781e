// Loopback TCP for test peers, the same on every platform: the test code
// never sees a descriptor type, errno or a socket header.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kr2270::test {

using TestSocket = std::intptr_t;
inline constexpr TestSocket kNoTestSocket = -1;

// A socket bound to 127.0.0.1 on a port the system chooses (*port), listening
// when listen is true (a bound, non-listening port refuses connections).
TestSocket BindLoopback(std::uint16_t* port, bool listen);
TestSocket Accept(TestSocket listener);  // kNoTestSocket on failure
TestSocket ConnectLoopback(std::uint16_t port);
void SetTestNoDelay(TestSocket s);
// 1 readable, 0 time-out, -1 error.
int WaitTestReadable(TestSocket s, int timeout_ms);
// Bytes moved, 0 on an orderly close, negative on an error.
std::ptrdiff_t SendSome(TestSocket s, const void* data, std::size_t length);
std::ptrdiff_t ReceiveSome(TestSocket s, void* data, std::size_t length);
// A receive that does not block: -2 when nothing is there yet.
inline constexpr std::ptrdiff_t kNothingYet = -2;
std::ptrdiff_t ReceiveIfAny(TestSocket s, void* data, std::size_t length);
void CloseTest(TestSocket s);
// Closes with an RST instead of an orderly close.
void ResetTest(TestSocket s);

// True where an RST that arrived before a receive reads as an orderly close
// (Wine's sockets); real systems report the reset.
bool ResetMayReadAsClose();

// Sockets and other handles the process holds now: a leak shows as growth.
int OpenHandles();

}  // namespace kr2270::test

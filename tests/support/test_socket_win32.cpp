#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "test_socket.h"

namespace kr2270::test {
namespace {

SOCKET Native(TestSocket s) { return static_cast<SOCKET>(s); }

TestSocket Wrap(SOCKET s) { return s == INVALID_SOCKET ? kNoTestSocket : static_cast<TestSocket>(s); }

void StartWinsock() {
  static const bool started = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
}

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return a;
}

int Clamp(std::size_t length) { return static_cast<int>(length < (1u << 30) ? length : (1u << 30)); }

}  // namespace

TestSocket BindLoopback(std::uint16_t* port, bool listen) {
  StartWinsock();
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return kNoTestSocket;
  sockaddr_in a = Loopback(0);
  int length = sizeof a;
  if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || (listen && ::listen(s, 64) != 0) ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
    ::closesocket(s);
    return kNoTestSocket;
  }
  *port = ntohs(a.sin_port);
  return Wrap(s);
}

TestSocket Accept(TestSocket listener) { return Wrap(::accept(Native(listener), nullptr, nullptr)); }

TestSocket ConnectLoopback(std::uint16_t port) {
  StartWinsock();
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return kNoTestSocket;
  sockaddr_in a = Loopback(port);
  if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::closesocket(s);
    return kNoTestSocket;
  }
  return Wrap(s);
}

void SetTestNoDelay(TestSocket s) {
  BOOL one = TRUE;
  ::setsockopt(Native(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

int WaitTestReadable(TestSocket s, int timeout_ms) {
  WSAPOLLFD p{};
  p.fd = Native(s);
  p.events = POLLRDNORM;
  const int r = ::WSAPoll(&p, 1, timeout_ms);
  if (r < 0) return -1;
  return r == 0 ? 0 : 1;
}

std::ptrdiff_t SendSome(TestSocket s, const void* data, std::size_t length) {
  return ::send(Native(s), static_cast<const char*>(data), Clamp(length), 0);
}

std::ptrdiff_t ReceiveSome(TestSocket s, void* data, std::size_t length) {
  return ::recv(Native(s), static_cast<char*>(data), Clamp(length), 0);
}

std::ptrdiff_t ReceiveIfAny(TestSocket s, void* data, std::size_t length) {
  // Winsock has no per-call non-blocking flag: look first.
  const int ready = WaitTestReadable(s, 0);
  if (ready == 0) return kNothingYet;
  if (ready < 0) return -1;
  return ReceiveSome(s, data, length);
}

void CloseTest(TestSocket s) {
  if (s != kNoTestSocket) ::closesocket(Native(s));
}

void ResetTest(TestSocket s) {
  if (s == kNoTestSocket) return;
  linger l{1, 0};
  ::setsockopt(Native(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
  ::closesocket(Native(s));
}

bool ResetMayReadAsClose() {
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

int OpenHandles() {
  DWORD count = 0;
  return GetProcessHandleCount(GetCurrentProcess(), &count) ? static_cast<int>(count) : -1;
}

}  // namespace kr2270::test

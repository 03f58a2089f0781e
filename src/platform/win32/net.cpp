#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include <map>
#include <mutex>

#include "platform/platform.h"

namespace kr2270::platform {
namespace {

SOCKET Native(Socket s) { return static_cast<SOCKET>(s); }

NetError ClassifyWsaError(int e) {
  switch (e) {
    case WSAEWOULDBLOCK:
    case WSAETIMEDOUT:
      return NetError::kTimeout;
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAENETRESET:
    case WSAESHUTDOWN:
      return NetError::kReset;
    default:
      return NetError::kOther;
  }
}

IoResult FromReturn(int n) {
  if (n > 0) return {n, NetError::kNone};
  if (n == 0) return {0, NetError::kClosed};
  return {0, ClassifyWsaError(WSAGetLastError())};
}

// Winsock sizes are int: a larger request is served in part, as a stream allows.
int ClampLength(std::size_t length) {
  constexpr std::size_t kMax = 1 << 30;
  return static_cast<int>(length < kMax ? length : kMax);
}

timeval ToTimeval(int ms) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  return tv;
}

// Receive time-outs, per socket. Winsock's SO_RCVTIMEO is not used: once it
// fires the socket may be left in an undefined state (so Microsoft's
// documentation of the option), which on a stream would lose or misalign
// every later group. A receive waits for readability within the time-out
// instead, and reads only then.
struct ReceiveTimeouts {
  std::mutex lock;
  std::map<SOCKET, int> ms;
};

ReceiveTimeouts& Timeouts() {
  static ReceiveTimeouts timeouts;
  return timeouts;
}

int ReceiveTimeoutOf(Socket s) {
  ReceiveTimeouts& t = Timeouts();
  std::lock_guard<std::mutex> guard(t.lock);
  const auto found = t.ms.find(Native(s));
  return found == t.ms.end() ? 0 : found->second;
}

}  // namespace

bool NetStartup() {
  // Once per process; never cleaned up, since sockets may live until exit.
  static const bool started = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

bool ParseIpv4(const char* text, std::uint32_t* address_be) {
  in_addr a{};
  if (text == nullptr || !NetStartup() || inet_pton(AF_INET, text, &a) != 1) return false;
  *address_be = a.s_addr;
  return true;
}

Socket TcpSocket() {
  if (!NetStartup()) return kNoSocket;
  // Not inheritable, the counterpart of close-on-exec.
  const SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                              WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  return s == INVALID_SOCKET ? kNoSocket : static_cast<Socket>(s);
}

void CloseSocket(Socket s) {
  if (s == kNoSocket) return;
  SetReceiveTimeout(s, 0);
  closesocket(Native(s));
}

void ShutdownSocket(Socket s) {
  if (s == kNoSocket) return;
  shutdown(Native(s), SD_BOTH);
  // shutdown alone leaves a recv blocked in another thread waiting.
  CancelIoEx(reinterpret_cast<HANDLE>(Native(s)), nullptr);
}

bool SetNonBlocking(Socket s, bool on) {
  u_long mode = on ? 1 : 0;
  return ioctlsocket(Native(s), static_cast<long>(FIONBIO), &mode) == 0;
}

bool ConnectWithTimeout(Socket s, std::uint32_t address_be, std::uint16_t port,
                        std::int32_t timeout_ms) {
  if (timeout_ms < 0) return false;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = address_be;
  to.sin_port = htons(port);
  if (connect(Native(s), reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return true;
  const int e = WSAGetLastError();
  if (e != WSAEWOULDBLOCK && e != WSAEINPROGRESS) return false;
  fd_set writable;
  fd_set failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(Native(s), &writable);
  FD_SET(Native(s), &failed);
  timeval tv = ToTimeval(timeout_ms);
  // A refused attempt shows in the except set, not the write set.
  if (select(0, nullptr, &writable, &failed, &tv) <= 0) return false;
  if (FD_ISSET(Native(s), &failed)) return false;
  int error = 0;
  int length = sizeof error;
  if (getsockopt(Native(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
    return false;
  return error == 0 && FD_ISSET(Native(s), &writable);
}

bool SetReceiveTimeout(Socket s, std::int32_t timeout_ms) {
  if (s == kNoSocket) return false;
  ReceiveTimeouts& t = Timeouts();
  std::lock_guard<std::mutex> guard(t.lock);
  if (timeout_ms > 0)
    t.ms[Native(s)] = timeout_ms;
  else
    t.ms.erase(Native(s));
  return true;
}

// Winsock has no receive low-water mark; receives wake on every segment.
bool SetReceiveLowWater(Socket, int) { return false; }

// Windows sets its ACK frequency per interface, not per socket.
bool AcknowledgePromptly(Socket) { return false; }

bool SetNoDelay(Socket s) {
  BOOL one = TRUE;
  return setsockopt(Native(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                    sizeof one) == 0;
}

// Windows fixes the probe count itself (10); only idle time and interval are set.
bool SetKeepAlive(Socket s, int idle_s, int interval_s, int) {
  tcp_keepalive values{};
  values.onoff = 1;
  values.keepalivetime = static_cast<ULONG>(idle_s) * 1000u;
  values.keepaliveinterval = static_cast<ULONG>(interval_s) * 1000u;
  DWORD returned = 0;
  return WSAIoctl(Native(s), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned,
                  nullptr, nullptr) == 0;
}

IoResult Send(Socket s, const void* data, std::size_t length) {
  if (s == kNoSocket) return {0, NetError::kOther};
  const int n = send(Native(s), static_cast<const char*>(data), ClampLength(length), 0);
  if (n < 0) return {0, ClassifyWsaError(WSAGetLastError())};
  return {n, NetError::kNone};
}

IoResult Receive(Socket s, void* data, std::size_t length) {
  if (s == kNoSocket) return {0, NetError::kOther};
  // Nothing is read when the time-out passes: the stream stays whole. An
  // error of the wait (a socket shut down meanwhile) is left to the receive.
  if (const int timeout_ms = ReceiveTimeoutOf(s); timeout_ms > 0 && WaitReadable(s, timeout_ms) == 0)
    return {0, NetError::kTimeout};
  const int n = recv(Native(s), static_cast<char*>(data), ClampLength(length), 0);
  // A receive cancelled by ShutdownSocket: the connection is over for us.
  if (n < 0 && WSAGetLastError() == WSA_OPERATION_ABORTED) return {0, NetError::kClosed};
  return FromReturn(n);
}

IoResult ReceiveNow(Socket s, void* data, std::size_t length) {
  if (s == kNoSocket) return {0, NetError::kOther};
  // No MSG_DONTWAIT here: look first, then read only what is there.
  const int ready = WaitReadable(s, 0);
  if (ready < 0) return {0, NetError::kOther};
  if (ready == 0) return {0, NetError::kTimeout};
  return FromReturn(recv(Native(s), static_cast<char*>(data), ClampLength(length), 0));
}

int WaitReadable(Socket s, int timeout_ms) {
  WSAPOLLFD p{};
  p.fd = Native(s);
  p.events = POLLRDNORM;
  const int r = WSAPoll(&p, 1, timeout_ms);
  if (r < 0) return -1;
  return r == 0 ? 0 : 1;
}

}  // namespace kr2270::platform

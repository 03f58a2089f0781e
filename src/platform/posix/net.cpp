#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/platform.h"

namespace kr2270::platform {
namespace {

NetError ClassifyErrno(int e) {
  switch (e) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case ETIMEDOUT:
      return NetError::kTimeout;
    case ECONNRESET:
    case EPIPE:
      return NetError::kReset;
    default:
      return NetError::kOther;
  }
}

IoResult FromReturn(ssize_t n) {
  if (n > 0) return {n, NetError::kNone};
  if (n == 0) return {0, NetError::kClosed};
  return {0, ClassifyErrno(errno)};
}

timeval ToTimeval(std::int32_t ms) {
  // Computed from the quotient and remainder so that no product can overflow.
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000;
  return tv;
}

}  // namespace

bool NetStartup() { return true; }

bool ParseIpv4(const char* text, std::uint32_t* address_be) {
  in_addr a{};
  if (text == nullptr || inet_pton(AF_INET, text, &a) != 1) return false;
  *address_be = a.s_addr;
  return true;
}

Socket TcpSocket() {
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  return s < 0 ? kNoSocket : s;
}

void CloseSocket(Socket s) {
  if (s != kNoSocket) ::close(s);
}

void ShutdownSocket(Socket s) {
  if (s != kNoSocket) ::shutdown(s, SHUT_RDWR);
}

bool SetNonBlocking(Socket s, bool on) {
  int flags = ::fcntl(s, F_GETFL, 0);
  if (flags < 0) return false;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return ::fcntl(s, F_SETFL, flags) == 0;
}

bool ConnectWithTimeout(Socket s, std::uint32_t address_be, std::uint16_t port,
                        std::int32_t timeout_ms) {
  if (timeout_ms < 0) return false;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = address_be;
  to.sin_port = htons(port);
  if (::connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return true;
  if (errno != EINPROGRESS && errno != EINTR) return false;
  const std::int64_t deadline = MonotonicNs() + std::int64_t{timeout_ms} * 1000000;
  for (;;) {
    const std::int64_t left_ms = (deadline - MonotonicNs() + 999999) / 1000000;
    pollfd p{s, POLLOUT, 0};
    int r = ::poll(&p, 1, static_cast<int>(left_ms > 0 ? left_ms : 0));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    break;
  }
  // Linux reports a refused attempt as writable: the pending error decides.
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return false;
  return error == 0;
}

bool SetReceiveTimeout(Socket s, std::int32_t timeout_ms) {
  timeval tv = ToTimeval(timeout_ms < 0 ? 0 : timeout_ms);
  return ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

bool SetReceiveLowWater(Socket s, int bytes) {
  return ::setsockopt(s, SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof bytes) == 0;
}

bool SetNoDelay(Socket s) {
  int one = 1;
  return ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0;
}

bool AcknowledgePromptly(Socket s) {
#if defined(TCP_QUICKACK)
  int one = 1;
  return ::setsockopt(s, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one) == 0;
#else
  (void)s;
  return false;
#endif
}

bool SetKeepAlive(Socket s, int idle_s, int interval_s, int count) {
  int one = 1;
  bool ok = ::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one) == 0;
#ifdef TCP_KEEPIDLE
  ok = ::setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idle_s, sizeof idle_s) == 0 && ok;
#elif defined(TCP_KEEPALIVE)
  ok = ::setsockopt(s, IPPROTO_TCP, TCP_KEEPALIVE, &idle_s, sizeof idle_s) == 0 && ok;
#endif
#ifdef TCP_KEEPINTVL
  ok = ::setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &interval_s, sizeof interval_s) == 0 && ok;
#endif
#ifdef TCP_KEEPCNT
  ok = ::setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) == 0 && ok;
#endif
  return ok;
}

IoResult Send(Socket s, const void* data, std::size_t length) {
  if (s == kNoSocket) return {0, NetError::kOther};
  ssize_t n;
  do {
    n = ::send(s, data, length, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return {0, ClassifyErrno(errno)};
  return {n, NetError::kNone};
}

IoResult Receive(Socket s, void* data, std::size_t length) {
  if (s == kNoSocket) return {0, NetError::kOther};
  ssize_t n;
  do {
    n = ::recv(s, data, length, 0);
  } while (n < 0 && errno == EINTR);
  return FromReturn(n);
}

IoResult ReceiveNow(Socket s, void* data, std::size_t length) {
  if (s == kNoSocket) return {0, NetError::kOther};
  ssize_t n;
  do {
    n = ::recv(s, data, length, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  return FromReturn(n);
}

int WaitReadable(Socket s, int timeout_ms) {
  pollfd p{s, POLLIN, 0};
  int r;
  do {
    r = ::poll(&p, 1, timeout_ms);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return -1;
  return r == 0 ? 0 : 1;
}

}  // namespace kr2270::platform

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "test_socket.h"

namespace kr2270::test {
namespace {

int Fd(TestSocket s) { return static_cast<int>(s); }

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return a;
}

}  // namespace

TestSocket BindLoopback(std::uint16_t* port, bool listen) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return kNoTestSocket;
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = Loopback(0);
  socklen_t length = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || (listen && ::listen(fd, 64) != 0) ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
    ::close(fd);
    return kNoTestSocket;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

TestSocket Accept(TestSocket listener) {
  const int fd = ::accept4(Fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
  return fd < 0 ? kNoTestSocket : fd;
}

TestSocket ConnectLoopback(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return kNoTestSocket;
  sockaddr_in a = Loopback(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return kNoTestSocket;
  }
  return fd;
}

void SetTestNoDelay(TestSocket s) {
  int one = 1;
  ::setsockopt(Fd(s), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int WaitTestReadable(TestSocket s, int timeout_ms) {
  pollfd p{Fd(s), POLLIN, 0};
  const int r = ::poll(&p, 1, timeout_ms);
  if (r < 0) return errno == EINTR ? 0 : -1;
  return r == 0 ? 0 : 1;
}

std::ptrdiff_t SendSome(TestSocket s, const void* data, std::size_t length) {
  return ::send(Fd(s), data, length, MSG_NOSIGNAL);
}

std::ptrdiff_t ReceiveSome(TestSocket s, void* data, std::size_t length) {
  return ::recv(Fd(s), data, length, 0);
}

std::ptrdiff_t ReceiveIfAny(TestSocket s, void* data, std::size_t length) {
  const ssize_t n = ::recv(Fd(s), data, length, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kNothingYet;
  return n;
}

void CloseTest(TestSocket s) {
  if (s != kNoTestSocket) ::close(Fd(s));
}

void ResetTest(TestSocket s) {
  if (s == kNoTestSocket) return;
  linger l{1, 0};
  ::setsockopt(Fd(s), SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::close(Fd(s));
}

bool ResetMayReadAsClose() { return false; }

int OpenHandles() {
  int count = 0;
  for (int fd = 0; fd < 4096; ++fd)
    if (::fcntl(fd, F_GETFD) != -1) ++count;
  return count;
}

}  // namespace kr2270::test

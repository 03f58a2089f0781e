#include "sim_test_util.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace kr2270::sim::testing {

Client::Client(uint16_t port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) Close();
}

Client::~Client() { Close(); }

void Client::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool Client::Send(const Bytes& b) {
  size_t done = 0;
  while (done < b.size()) {
    const ssize_t s = ::send(fd_, b.data() + done, b.size() - done, MSG_NOSIGNAL);
    if (s < 0 && errno == EINTR) continue;
    if (s <= 0) return false;
    done += static_cast<size_t>(s);
  }
  return true;
}

Client::Event Client::RecvSome(Bytes* out, milliseconds timeout, size_t max) {
  pollfd p{fd_, POLLIN, 0};
  int r;
  do {
    r = ::poll(&p, 1, static_cast<int>(timeout.count()));
  } while (r < 0 && errno == EINTR);
  if (r == 0) return Event::kTimeout;
  std::vector<uint8_t> buf(max);
  const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
  if (n > 0) {
    out->insert(out->end(), buf.begin(), buf.begin() + n);
    return Event::kData;
  }
  if (n == 0) return Event::kClosed;
  return errno == ECONNRESET ? Event::kReset : Event::kClosed;
}

Bytes Client::RecvExact(size_t n, milliseconds timeout, Event* last) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  Bytes out;
  Event e = Event::kData;
  while (out.size() < n) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline -
                                                               std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      e = Event::kTimeout;
      break;
    }
    e = RecvSome(&out, left, n - out.size());
    if (e != Event::kData) break;
  }
  if (last != nullptr) *last = e;
  return out;
}

Bytes Client::RecvFrame(milliseconds timeout) {
  Bytes head = RecvExact(6, timeout);
  if (head.size() != 6) return {};
  const size_t len = static_cast<size_t>(head[4] << 8 | head[5]);
  Bytes rest = RecvExact(len, timeout);
  if (rest.size() != len) return {};
  head.insert(head.end(), rest.begin(), rest.end());
  return head;
}

Bytes WriteRequest(uint16_t address, const Bytes& payload, uint8_t unit) {
  const auto n = static_cast<uint8_t>(payload.size());
  Bytes r{0, 0, 0, 0, 0, static_cast<uint8_t>(n + 7), unit, 0x10,
          static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
          0, static_cast<uint8_t>(n / 2), n};
  r.reserve(r.size() + payload.size());
  for (const uint8_t b : payload) r.push_back(b);
  return r;
}

Bytes ReadRequest(uint16_t address, uint16_t count, uint8_t unit, uint8_t function) {
  return {0, 0, 0, 0, 0, 6, unit, function,
          static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
          static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
}

std::vector<uint16_t> ReadRegisters(Client& c, uint16_t address, uint16_t count) {
  EXPECT_TRUE(c.Send(ReadRequest(address, count)));
  const Bytes r = c.RecvFrame(kReplyWait);
  const size_t want = 9u + 2u * count;
  if (r.size() != want || r[7] != 0x03 || r[8] != 2 * count) {
    ADD_FAILURE() << "bad read reply of " << r.size() << " bytes for register " << address;
    return {};
  }
  std::vector<uint16_t> v(count);
  for (size_t i = 0; i < count; ++i)
    v[i] = static_cast<uint16_t>(r[9 + 2 * i] << 8 | r[10 + 2 * i]);
  return v;
}

void WriteRegisters(Client& c, uint16_t address, const Bytes& payload) {
  const Bytes req = WriteRequest(address, payload);
  ASSERT_TRUE(c.Send(req));
  const Bytes r = c.RecvFrame(kReplyWait);
  Bytes echo(req.begin(), req.begin() + 12);
  echo[5] = 6;
  EXPECT_EQ(r, echo) << "write to register " << address;
}

}  // namespace kr2270::sim::testing

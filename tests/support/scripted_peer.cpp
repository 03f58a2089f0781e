#include "scripted_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace kr2270::test {
namespace {

int Listen(std::uint16_t* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::listen(fd, 64);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  *port = ntohs(a.sin_port);
  return fd;
}

// Waits for fd to become readable while watching the stop flag.
bool WaitReadable(int fd, const std::atomic<bool>& stop) {
  while (!stop.load()) {
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, 20);
    if (r > 0) return true;
    if (r < 0) return false;
  }
  return false;
}

void SleepMs(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void SendAll(int fd, const std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
    if (w <= 0) return;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
}

void Reset(int fd) {
  linger l{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::close(fd);
}

}  // namespace

Bytes EchoFor(const Bytes& request) {
  Bytes reply(request.begin(), request.begin() + 12);
  reply[4] = 0;
  reply[5] = 6;
  return reply;
}

Bytes ReadReplyFor(const Bytes& request, const Bytes& data) {
  Bytes reply(request.begin(), request.begin() + 8);
  const std::size_t n = data.size();
  reply[4] = static_cast<std::uint8_t>((n + 3) >> 8);
  reply[5] = static_cast<std::uint8_t>(n + 3);
  reply.push_back(static_cast<std::uint8_t>(n));
  reply.insert(reply.end(), data.begin(), data.end());
  return reply;
}

Bytes ExceptionFor(const Bytes& request, std::uint8_t code) {
  Bytes reply(request.begin(), request.begin() + 8);
  reply[4] = 0;
  reply[5] = 3;
  reply[7] = static_cast<std::uint8_t>(request[7] | 0x80);
  reply.push_back(code);
  return reply;
}

ScriptedPeer::ScriptedPeer() {
  command_listener_ = Listen(&command_port_);
  data_listener_ = Listen(&data_port_);
  command_thread_ = std::thread([this] { ServeCommands(); });
  data_thread_ = std::thread([this] { ServeData(); });
}

ScriptedPeer::~ScriptedPeer() {
  stop_.store(true);
  command_thread_.join();
  data_thread_.join();
  ::close(command_listener_);
  ::close(data_listener_);
  if (data_fd_ >= 0) ::close(data_fd_);
}

void ScriptedPeer::AddStep(Step step) {
  std::lock_guard<std::mutex> hold(mutex_);
  steps_.push_back(std::move(step));
}

std::vector<Bytes> ScriptedPeer::requests() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return requests_;
}

bool ScriptedPeer::WaitForRequests(std::size_t count, int timeout_ms) const {
  std::unique_lock<std::mutex> hold(mutex_);
  return changed_.wait_for(hold, std::chrono::milliseconds(timeout_ms),
                           [&] { return requests_.size() >= count; });
}

void ScriptedPeer::Reply(int fd, const Step& step) {
  SleepMs(step.delay_ms);
  std::size_t from = 0;
  for (std::size_t cut : step.split_at) {
    if (cut <= from || cut > step.reply.size()) continue;
    SendAll(fd, step.reply.data() + from, cut - from);
    from = cut;
    SleepMs(step.split_gap_ms);
  }
  SendAll(fd, step.reply.data() + from, step.reply.size() - from);
}

void ScriptedPeer::ServeCommands() {
  while (!stop_.load()) {
    if (!WaitReadable(command_listener_, stop_)) return;
    int fd = ::accept4(command_listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Bytes pending;
    bool open = true;
    while (open && WaitReadable(fd, stop_)) {
      std::uint8_t buffer[512];
      ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      pending.insert(pending.end(), buffer, buffer + n);
      while (pending.size() >= 6) {
        const std::size_t frame = 6 + (std::size_t{pending[4]} << 8 | pending[5]);
        if (pending.size() < frame) break;
        Bytes request(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(frame));
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(frame));
        Step step;
        bool have_step = false;
        {
          std::lock_guard<std::mutex> hold(mutex_);
          requests_.push_back(request);
          if (!steps_.empty()) {
            step = std::move(steps_.front());
            steps_.pop_front();
            have_step = true;
          } else if (responder_) {
            step = responder_(request);
            have_step = true;
          }
        }
        changed_.notify_all();
        if (!have_step && auto_reply_.load() && request.size() >= 12) {
          if (request[7] == 0x10) step.reply = EchoFor(request);
          if (request[7] == 0x03) {
            Bytes data(std::size_t{request[11]} * 2);
            for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
            step.reply = ReadReplyFor(request, data);
          }
        }
        Reply(fd, step);
        if (step.reset_after) {
          Reset(fd);
          open = false;
          fd = -1;
          break;
        }
        if (step.close_after) {
          open = false;
          break;
        }
      }
    }
    if (fd >= 0) ::close(fd);
  }
}

void ScriptedPeer::ServeData() {
  while (!stop_.load()) {
    int listener_or_conn = data_listener_;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      if (data_fd_ >= 0 && !data_closed_by_peer_) listener_or_conn = data_fd_;
    }
    pollfd p{listener_or_conn, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    if (listener_or_conn == data_listener_) {
      int fd = ::accept4(data_listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::lock_guard<std::mutex> hold(mutex_);
      if (data_fd_ >= 0) ::close(data_fd_);
      data_fd_ = fd;
      data_closed_by_peer_ = false;
      data_connections_.fetch_add(1);
    } else {
      std::uint8_t sink[256];
      ssize_t n = ::recv(listener_or_conn, sink, sizeof sink, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN)) {
        std::lock_guard<std::mutex> hold(mutex_);
        data_closed_by_peer_ = true;
      }
    }
    changed_.notify_all();
  }
}

bool ScriptedPeer::WaitForDataConnection(int count, int timeout_ms) const {
  std::unique_lock<std::mutex> hold(mutex_);
  return changed_.wait_for(hold, std::chrono::milliseconds(timeout_ms),
                           [&] { return data_connections_.load() >= count; });
}

bool ScriptedPeer::SendData(const Bytes& bytes) {
  int fd;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    fd = data_fd_;
  }
  if (fd < 0) return false;
  SendAll(fd, bytes.data(), bytes.size());
  return true;
}

void ScriptedPeer::CloseData(bool reset) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (data_fd_ < 0) return;
  if (reset) {
    Reset(data_fd_);
  } else {
    ::close(data_fd_);
  }
  data_fd_ = -1;
}

bool ScriptedPeer::WaitForDataClosed(int timeout_ms) const {
  std::unique_lock<std::mutex> hold(mutex_);
  return changed_.wait_for(hold, std::chrono::milliseconds(timeout_ms),
                           [&] { return data_closed_by_peer_; });
}

}  // namespace kr2270::test

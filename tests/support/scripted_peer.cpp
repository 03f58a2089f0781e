#include "scripted_peer.h"

#include <chrono>
#include <cstring>

#include "test_socket.h"

namespace kr2270::test {
namespace {

// Waits for s to become readable while watching the stop flag.
bool WaitReadable(TestSocket s, const std::atomic<bool>& stop) {
  while (!stop.load()) {
    const int r = WaitTestReadable(s, 20);
    if (r > 0) return true;
    if (r < 0) return false;
  }
  return false;
}

void SleepMs(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void SendAll(TestSocket s, const std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    const std::ptrdiff_t w = SendSome(s, p, n);
    if (w <= 0) return;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
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
  command_listener_ = BindLoopback(&command_port_, true);
  data_listener_ = BindLoopback(&data_port_, true);
  command_thread_ = std::thread([this] { ServeCommands(); });
  data_thread_ = std::thread([this] { ServeData(); });
}

ScriptedPeer::~ScriptedPeer() {
  stop_.store(true);
  command_thread_.join();
  data_thread_.join();
  CloseTest(command_listener_);
  CloseTest(data_listener_);
  CloseTest(data_fd_);
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

void ScriptedPeer::Reply(TestSocket fd, const Step& step) {
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
    TestSocket fd = Accept(command_listener_);
    if (fd == kNoTestSocket) continue;
    SetTestNoDelay(fd);
    Bytes pending;
    bool open = true;
    while (open && WaitReadable(fd, stop_)) {
      std::uint8_t buffer[512];
      const std::ptrdiff_t n = ReceiveSome(fd, buffer, sizeof buffer);
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
          ResetTest(fd);
          open = false;
          fd = kNoTestSocket;
          break;
        }
        if (step.close_after) {
          open = false;
          break;
        }
      }
    }
    CloseTest(fd);
  }
}

void ScriptedPeer::ServeData() {
  while (!stop_.load()) {
    TestSocket listener_or_conn = data_listener_;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      if (data_fd_ != kNoTestSocket && !data_closed_by_peer_) listener_or_conn = data_fd_;
    }
    if (WaitTestReadable(listener_or_conn, 20) <= 0) continue;
    if (listener_or_conn == data_listener_) {
      const TestSocket fd = Accept(data_listener_);
      if (fd == kNoTestSocket) continue;
      std::lock_guard<std::mutex> hold(mutex_);
      CloseTest(data_fd_);
      data_fd_ = fd;
      data_closed_by_peer_ = false;
      data_connections_.fetch_add(1);
    } else {
      std::uint8_t sink[256];
      const std::ptrdiff_t n = ReceiveIfAny(listener_or_conn, sink, sizeof sink);
      if (n == 0 || (n < 0 && n != kNothingYet)) {
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
  TestSocket fd;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    fd = data_fd_;
  }
  if (fd == kNoTestSocket) return false;
  SendAll(fd, bytes.data(), bytes.size());
  return true;
}

void ScriptedPeer::CloseData(bool reset) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (data_fd_ == kNoTestSocket) return;
  if (reset) {
    ResetTest(data_fd_);
  } else {
    CloseTest(data_fd_);
  }
  data_fd_ = kNoTestSocket;
}

bool ScriptedPeer::WaitForDataClosed(int timeout_ms) const {
  std::unique_lock<std::mutex> hold(mutex_);
  return changed_.wait_for(hold, std::chrono::milliseconds(timeout_ms),
                           [&] { return data_closed_by_peer_; });
}

}  // namespace kr2270::test

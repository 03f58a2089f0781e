// A raw loopback TCP peer for tests: records the request bytes it receives
// and answers with canned replies, so that tests see exactly what goes on
// the wire. It also offers a data port whose connections a test can feed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "test_socket.h"

namespace kr2270::test {

using Bytes = std::vector<std::uint8_t>;

// What the peer does with one request.
struct Step {
  Bytes reply;                  // bytes to send (may be empty)
  int delay_ms = 0;             // before the first byte
  std::vector<std::size_t> split_at;  // send in segments cut at these offsets
  int split_gap_ms = 0;         // pause between segments
  bool close_after = false;     // orderly close after the reply
  bool reset_after = false;     // reset (RST) after the reply
};

// Well-formed replies for a request frame: the write echo, or a read reply
// whose data bytes are `fill` (defaulting to 0 .. n-1).
Bytes EchoFor(const Bytes& request);
Bytes ReadReplyFor(const Bytes& request, const Bytes& data);
Bytes ExceptionFor(const Bytes& request, std::uint8_t code);

class ScriptedPeer {
 public:
  ScriptedPeer();
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  std::uint16_t port() const { return command_port_; }
  std::uint16_t data_port() const { return data_port_; }

  // Steps are used one per request, in order. Without a step the peer
  // answers a well-formed reply when auto_reply is on (the default), else
  // nothing.
  void AddStep(Step step);
  void set_auto_reply(bool on) { auto_reply_ = on; }
  // Without a step, the responder (when set) decides what to do with a request.
  void set_responder(std::function<Step(const Bytes& request)> responder) {
    std::lock_guard<std::mutex> hold(mutex_);
    responder_ = std::move(responder);
  }

  // Requests received so far (whole frames by their MBAP length).
  std::vector<Bytes> requests() const;
  bool WaitForRequests(std::size_t count, int timeout_ms) const;

  // Data port: connections accepted so far, and feeding the newest one.
  int data_connections() const { return data_connections_.load(); }
  bool WaitForDataConnection(int count, int timeout_ms) const;
  bool SendData(const Bytes& bytes);
  void CloseData(bool reset);
  // True once the newest data connection was closed by the library.
  bool WaitForDataClosed(int timeout_ms) const;

 private:
  void ServeCommands();
  void ServeData();
  void Reply(TestSocket fd, const Step& step);

  TestSocket command_listener_ = kNoTestSocket;
  TestSocket data_listener_ = kNoTestSocket;
  std::uint16_t command_port_ = 0;
  std::uint16_t data_port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> auto_reply_{true};
  std::thread command_thread_;
  std::thread data_thread_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::deque<Step> steps_;
  std::function<Step(const Bytes&)> responder_;
  std::vector<Bytes> requests_;
  TestSocket data_fd_ = kNoTestSocket;
  bool data_closed_by_peer_ = false;
  std::atomic<int> data_connections_{0};
};

}  // namespace kr2270::test

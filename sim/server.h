// Internals of the simulated module, shared by its rooms: the command
// server, the stream sender, the faults and the public API. The register
// map and the signal model are in model.h.
#pragma once

#include <arpa/inet.h>
#include <modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "sim/model.h"
#include "sim/simulator.h"

namespace kr2270::sim {

using SteadyClock = std::chrono::steady_clock;

void CloseFd(int& fd);
// Makes the next close() send RST instead of FIN.
void SetAbortiveClose(int fd);
bool SendAll(int fd, const uint8_t* p, size_t n);
bool SendAll(int fd, const std::vector<uint8_t>& v);

struct Simulator::Impl {
  explicit Impl(const Options& o) : opt(o), module(o), epoch(SteadyClock::now()) {}

  const Options opt;

  // Module state, model clock, faults and statistics.
  mutable std::mutex mu;
  detail::Module module;
  SteadyClock::time_point epoch;
  double time_base = 0.0;  // model time at `epoch`
  bool frozen = false;
  double frozen_t = 0.0;
  std::deque<ReplyFault> reply_faults;
  std::deque<DataFault> data_faults;
  std::deque<std::vector<uint8_t>> recent;
  uint64_t requests = 0;
  uint64_t restarts = 0;
  bool running = false;
  // A module samples as time goes on: a setting changed at model time t
  // applies to the groups of a run from t on, not to a whole chunk. The
  // params the stream samples with, and the changes still ahead of it.
  detail::ModelParams stream_params;
  std::deque<std::pair<double, detail::ModelParams>> param_changes;
  uint64_t run_bytes = 0;
  StreamLayout layout;
  double rate = 0.0;
  double t0 = 0.0;

  mutable std::mutex progress_mu;
  mutable std::condition_variable progress_cv;
  uint64_t progress_seq = 0;

  // Client sockets, so that Stop() can shut them down under a blocked call.
  std::mutex fd_mu;
  int cmd_client = -1;
  int data_client = -1;

  std::atomic<bool> stopping{false};
  bool started = false;
  int cmd_listen = -1;
  int data_listen = -1;
  int stop_fd = -1;    // readable once Stop() runs; never drained
  int notify_fd = -1;  // a write arrived: the data thread re-reads the registers
  int pair[2] = {-1, -1};  // libmodbus writes replies into pair[0]
  uint16_t cmd_port = 0;
  uint16_t data_port = 0;
  modbus_t* rx = nullptr;
  modbus_t* tx = nullptr;
  modbus_mapping_t* mapping = nullptr;
  std::thread cmd_thread;
  std::thread data_thread;

  double NowLocked() const {
    if (frozen) return frozen_t;
    const std::chrono::duration<double> d = SteadyClock::now() - epoch;
    return time_base + d.count() * opt.clock_scale;
  }

  void Progress() {
    {
      std::lock_guard<std::mutex> lk(progress_mu);
      ++progress_seq;
    }
    progress_cv.notify_all();
  }

  // Waits ms milliseconds unless Stop() comes first; true when stopping.
  bool WaitStop(int ms) const {
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - SteadyClock::now());
      pollfd p{stop_fd, POLLIN, 0};
      const int r = ::poll(&p, 1, static_cast<int>(std::max<int64_t>(0, left.count())));
      if (r > 0 || stopping.load()) return true;
      if (r == 0 && SteadyClock::now() >= deadline) return false;
    }
  }

  void Notify() const {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t r = ::write(notify_fd, &one, sizeof one);
  }

  int Open();
  void Cleanup();
  void CommandLoop();
  bool ServeCommands(int c);
  std::vector<uint8_t> BuildReply(const uint8_t* req, int n, bool refuse, int exception);
  bool Deliver(int c, std::vector<uint8_t> reply, const std::optional<ReplyFault>& fault);
  void DataLoop();
  bool ServeData(int c);
  void EndRun();
};

}  // namespace kr2270::sim

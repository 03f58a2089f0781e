// The stream sender: groups of the current layout paced by the monotonic
// clock on the data connection, with the data faults acting between chunks.
#include "sim/server.h"

namespace kr2270::sim {


namespace {

// Each group samples the module as it was at the group's time.
void FillGroups(const StreamLayout& l, bool sequence, detail::ModelParams& p,
                std::deque<std::pair<double, detail::ModelParams>>& changes, double t0,
                double rate, uint64_t g0, size_t n, uint8_t* out) {
  const bool two = l.code_bytes == 2;
  for (size_t i = 0; i < n; ++i) {
    const uint64_t g = g0 + i;
    if (sequence) {
      out = WriteSequenceGroup(l, g, out);
      continue;
    }
    const double t = detail::GroupTime(t0, rate, g);
    for (; !changes.empty() && changes.front().first <= t; changes.pop_front()) {
      p = changes.front().second;
    }
    for (int k = 1; k <= kAnalogChannels; ++k) {
      if ((l.analog_mask >> (k - 1) & 1u) == 0) continue;
      const uint32_t code = static_cast<uint32_t>(detail::Code(p, k, t)) & 0xFFFFFFu;
      out = two ? PutLe16(out, static_cast<uint16_t>(code >> 8)) : PutLe32(out, code);
    }
    if (l.digital) out = PutLe16(out, detail::DigitalInputs(p, t));
    for (int c = 1; c <= kCounters; ++c)
      if (l.counter_mask >> (c - 1) & 1u) out = PutLe32(out, detail::Counter(p, c, t));
    for (int e = 1; e <= kEncoders; ++e)
      if (l.encoder_mask >> (e - 1) & 1u) out = PutLe32(out, detail::Encoder(p, e, t));
  }
}

}  // namespace

void Simulator::Impl::DataLoop() {
  for (;;) {
    pollfd fds[3] = {{stop_fd, POLLIN, 0}, {notify_fd, POLLIN, 0}, {data_listen, POLLIN, 0}};
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents != 0) return;
    if (fds[1].revents != 0) {
      uint64_t v;
      [[maybe_unused]] ssize_t r = ::read(notify_fd, &v, sizeof v);
    }
    if ((fds[2].revents & POLLIN) == 0) continue;
    const int c = ::accept4(data_listen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (c < 0) continue;
    if (opt.data_no_delay) {
      const int one = 1;
      ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    bool enabled;
    {
      std::lock_guard<std::mutex> lk(mu);
      enabled = module.StreamEnabled();
    }
    if (!enabled) {  // the module only takes the connection after register 23 = 1
      ::close(c);
      continue;
    }
    {
      std::lock_guard<std::mutex> lk(fd_mu);
      if (stopping.load()) {
        ::close(c);
        return;
      }
      data_client = c;
    }
    const bool reset = ServeData(c);
    EndRun();
    std::lock_guard<std::mutex> lk(fd_mu);
    if (reset) SetAbortiveClose(c);
    ::close(c);
    data_client = -1;
  }
}

void Simulator::Impl::EndRun() {
  {
    std::lock_guard<std::mutex> lk(mu);
    if (!running) return;
    running = false;
  }
  Progress();
}

// Streams on one connection until it ends; true when it must end with a reset.
bool Simulator::Impl::ServeData(int c) {
  std::vector<uint8_t> buf;  // generated, not yet sent
  size_t sent_of_buf = 0;
  uint64_t next_group = 0;   // first group not yet generated
  SteadyClock::time_point run_epoch{};
  size_t gsize = 0;
  double real_rate = 0.0;  // groups per second of the monotonic clock
  size_t chunk = 1;
  bool sequence = opt.sequence;

  for (;;) {
    if (stopping.load()) return false;
    bool active;
    std::optional<DataFault> fault;
    uint64_t bytes_so_far;
    {
      std::lock_guard<std::mutex> lk(mu);
      if (!module.StreamEnabled()) return false;
      // Start and stop only at a chunk boundary, so a restart on the same
      // connection begins at a group boundary.
      if (sent_of_buf == buf.size()) {
        const bool start = module.StartBit();
        if (start && !running) {
          running = true;
          run_bytes = 0;
          layout = module.Layout();
          rate = GroupRateOfDeviceCode(module.DeviceRateCode());
          if (opt.flood && rate == 0.0) rate = 256000.0;
          t0 = NowLocked();
          stream_params = module.params();
          param_changes.clear();
          run_epoch = SteadyClock::now();
          next_group = 0;
          gsize = GroupSize(layout);
          real_rate = rate * opt.clock_scale;
          chunk = std::max<size_t>(1, static_cast<size_t>(real_rate / 1000.0));
          sequence = opt.sequence;
          buf.clear();
          sent_of_buf = 0;
          Progress();
        } else if (!start && running) {
          running = false;
          Progress();
        }
      }
      active = running;
      bytes_so_far = run_bytes;
      if (active && !data_faults.empty()) fault = data_faults.front();

      // Generate the next chunk when the previous one is out.
      if (active && sent_of_buf == buf.size() && gsize > 0 && real_rate > 0.0) {
        size_t n = 0;
        if (opt.flood) {
          n = std::max<size_t>(1, 65536 / gsize);
        } else {
          const std::chrono::duration<double> el = SteadyClock::now() - run_epoch;
          const auto due = static_cast<uint64_t>(el.count() * real_rate);
          if (due > next_group) n = static_cast<size_t>(std::min<uint64_t>(due - next_group, 16 * chunk));
        }
        if (n > 0) {
          buf.resize(n * gsize);
          sent_of_buf = 0;
          FillGroups(layout, sequence, stream_params, param_changes, t0, rate, next_group, n,
                     buf.data());
          next_group += n;
        }
      }
    }

    // A due fault acts before the next byte.
    if (fault && bytes_so_far >= fault->after_bytes) {
      {
        std::lock_guard<std::mutex> lk(mu);
        if (!data_faults.empty()) data_faults.pop_front();
      }
      if (fault->kind == DataFault::Kind::kReset) return true;
      if (fault->kind == DataFault::Kind::kClose) return false;
      if (WaitStop(fault->stall_ms)) return false;
      continue;
    }

    bool want_out = false;
    if (active && sent_of_buf < buf.size()) {
      size_t n = buf.size() - sent_of_buf;
      if (fault) n = static_cast<size_t>(std::min<uint64_t>(n, fault->after_bytes - bytes_so_far));
      const ssize_t s = ::send(c, buf.data() + sent_of_buf, n, MSG_NOSIGNAL);
      if (s > 0) {
        sent_of_buf += static_cast<size_t>(s);
        {
          std::lock_guard<std::mutex> lk(mu);
          run_bytes += static_cast<uint64_t>(s);
        }
        Progress();
        continue;
      }
      if (s < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
      want_out = true;
    }

    // Sleep until the socket takes more, the next chunk is due, a register
    // changes, the peer closes, or Stop().
    timespec ts{};
    timespec* timeout = nullptr;
    if (active && !want_out && gsize > 0 && real_rate > 0.0 && !opt.flood) {
      const double next_s = static_cast<double>(next_group + chunk) / real_rate;
      const auto wake = run_epoch + std::chrono::duration_cast<SteadyClock::duration>(
                                        std::chrono::duration<double>(next_s));
      const auto left = std::max(SteadyClock::duration::zero(), wake - SteadyClock::now());
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      ts.tv_sec = static_cast<time_t>(ns / 1000000000);
      ts.tv_nsec = static_cast<long>(ns % 1000000000);
      timeout = &ts;
    }
    pollfd fds[3] = {{stop_fd, POLLIN, 0},
                     {notify_fd, POLLIN, 0},
                     {c, static_cast<short>(POLLIN | (want_out ? POLLOUT : 0)), 0}};
    if (::ppoll(fds, 3, timeout, nullptr) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (fds[0].revents != 0) return false;
    if (fds[1].revents != 0) {
      uint64_t v;
      [[maybe_unused]] ssize_t r = ::read(notify_fd, &v, sizeof v);
    }
    if ((fds[2].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      // The host sends nothing; readable means closed (or stray bytes).
      uint8_t sink[256];
      const ssize_t r = ::recv(c, sink, sizeof sink, 0);
      if (r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
        return false;
    }
  }
}

}  // namespace kr2270::sim

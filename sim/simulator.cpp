#include "sim/simulator.h"

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

namespace kr2270::sim {

using SteadyClock = std::chrono::steady_clock;

ReplyFault ReplyFault::Delay(int ms) {
  ReplyFault f;
  f.kind = Kind::kDelay;
  f.delay_ms = ms;
  return f;
}
ReplyFault ReplyFault::Split(std::vector<size_t> offsets, int gap) {
  ReplyFault f;
  f.kind = Kind::kSplit;
  f.split_at = std::move(offsets);
  f.gap_ms = gap;
  return f;
}
ReplyFault ReplyFault::Drop() {
  ReplyFault f;
  f.kind = Kind::kDrop;
  return f;
}
ReplyFault ReplyFault::Exception(uint8_t code) {
  ReplyFault f;
  f.kind = Kind::kException;
  f.exception_code = code;
  return f;
}
ReplyFault ReplyFault::Replace(std::vector<uint8_t> b) {
  ReplyFault f;
  f.kind = Kind::kReplace;
  f.bytes = std::move(b);
  return f;
}
ReplyFault ReplyFault::Rewrite(std::function<std::vector<uint8_t>(std::vector<uint8_t>)> fn) {
  ReplyFault f;
  f.kind = Kind::kRewrite;
  f.rewrite = std::move(fn);
  return f;
}
ReplyFault ReplyFault::Append(std::vector<uint8_t> b) {
  ReplyFault f;
  f.kind = Kind::kAppend;
  f.bytes = std::move(b);
  return f;
}
ReplyFault ReplyFault::Truncate(size_t keep, Then then) {
  ReplyFault f;
  f.kind = Kind::kTruncate;
  f.keep = keep;
  f.then = then;
  return f;
}
ReplyFault ReplyFault::Close() {
  ReplyFault f;
  f.kind = Kind::kClose;
  return f;
}
ReplyFault ReplyFault::Reset() {
  ReplyFault f;
  f.kind = Kind::kReset;
  return f;
}

DataFault DataFault::ResetAfter(uint64_t bytes) { return {Kind::kReset, bytes, 0}; }
DataFault DataFault::CloseAfter(uint64_t bytes) { return {Kind::kClose, bytes, 0}; }
DataFault DataFault::StallAfter(uint64_t bytes, int ms) { return {Kind::kStall, bytes, ms}; }

namespace {

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Makes the next close() send RST instead of FIN.
void SetAbortiveClose(int fd) {
  linger l{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

uint16_t BoundPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  return ntohs(a.sin_port);
}

bool SendAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t s = ::send(fd, p, n, MSG_NOSIGNAL);
    if (s < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += s;
    n -= static_cast<size_t>(s);
  }
  return true;
}

bool SendAll(int fd, const std::vector<uint8_t>& v) { return SendAll(fd, v.data(), v.size()); }

bool ValidChannel(int k, int limit) { return k >= 1 && k <= limit; }

}  // namespace

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

namespace {

// Exception code for a request the module refuses, 0 when it is served.
int ValidateRequest(const uint8_t* req, int n) {
  if (req[6] != 1) return MODBUS_EXCEPTION_GATEWAY_TARGET;
  const uint8_t fn = req[7];
  if (fn != MODBUS_FC_READ_HOLDING_REGISTERS && fn != MODBUS_FC_WRITE_MULTIPLE_REGISTERS)
    return MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
  if (n < 12) return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
  const int address = req[8] << 8 | req[9];
  const int qty = req[10] << 8 | req[11];
  if (fn == MODBUS_FC_READ_HOLDING_REGISTERS) {
    if (qty < 1 || qty > MODBUS_MAX_READ_REGISTERS) return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
  } else if (qty < 1 || qty > MODBUS_MAX_WRITE_REGISTERS || n < 13 || req[12] != 2 * qty ||
             n != 13 + 2 * qty) {
    return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
  }
  for (int a = address; a < address + qty; ++a)
    if (a >= detail::kRegisterCount || !detail::Module::InMap(static_cast<uint16_t>(a)))
      return MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;
  return 0;
}

}  // namespace

int Simulator::Impl::Open() {
  stop_fd = ::eventfd(0, EFD_CLOEXEC);
  notify_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stop_fd < 0 || notify_fd < 0) return -errno;
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return -errno;

  rx = modbus_new_tcp("127.0.0.1", opt.command_port);
  tx = modbus_new_tcp("127.0.0.1", 0);
  mapping = modbus_mapping_new_start_address(0, 0, 0, 0, 0, detail::kRegisterCount, 0, 0);
  if (rx == nullptr || tx == nullptr || mapping == nullptr) return -ENOMEM;
  if (modbus_set_socket(tx, pair[0]) != 0) return -EINVAL;

  cmd_listen = modbus_tcp_listen(rx, 8);
  if (cmd_listen < 0) return -errno;
  cmd_port = BoundPort(cmd_listen);

  data_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (data_listen < 0) return -errno;
  const int one = 1;
  ::setsockopt(data_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(opt.data_port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(data_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -errno;
  if (::listen(data_listen, 4) != 0) return -errno;
  data_port = BoundPort(data_listen);
  return 0;
}

void Simulator::Impl::Cleanup() {
  CloseFd(cmd_listen);
  CloseFd(data_listen);
  CloseFd(pair[0]);
  CloseFd(pair[1]);
  CloseFd(stop_fd);
  CloseFd(notify_fd);
  // Every socket is closed above or by the threads; detach them so that no
  // libmodbus version closes a descriptor number that may be reused by now.
  if (rx != nullptr) {
    modbus_set_socket(rx, -1);
    modbus_free(rx);
  }
  if (tx != nullptr) {
    modbus_set_socket(tx, -1);
    modbus_free(tx);
  }
  if (mapping != nullptr) modbus_mapping_free(mapping);
  rx = tx = nullptr;
  mapping = nullptr;
}

// ---- command connection ------------------------------------------------------

void Simulator::Impl::CommandLoop() {
  while (!stopping.load()) {
    pollfd fds[2] = {{cmd_listen, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    const int c = ::accept4(cmd_listen, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) continue;
    // Injected splits must leave as separate segments.
    const int one = 1;
    ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    {
      std::lock_guard<std::mutex> lk(fd_mu);
      if (stopping.load()) {
        ::close(c);
        return;
      }
      cmd_client = c;
    }
    const bool reset = ServeCommands(c);
    std::lock_guard<std::mutex> lk(fd_mu);
    if (reset) SetAbortiveClose(c);
    ::close(c);
    cmd_client = -1;
  }
}

// Serves one connection until it ends; true when it must end with a reset.
bool Simulator::Impl::ServeCommands(int c) {
  modbus_set_socket(rx, c);
  uint8_t req[MODBUS_TCP_MAX_ADU_LENGTH];
  for (;;) {
    pollfd fds[2] = {{c, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (fds[1].revents != 0) return false;
    // Closed, reset, a partial request that stalls, or a frame libmodbus
    // cannot parse: the connection ends.
    const int n = modbus_receive(rx, req);
    if (n < 0) return false;
    if (n < 8) continue;

    std::optional<ReplyFault> fault;
    bool refuse = false;
    int exception = 0;
    bool wrote = false;
    {
      std::lock_guard<std::mutex> lk(mu);
      const double t = NowLocked();
      module.NoteCommand(t);
      ++requests;
      recent.emplace_back(req, req + n);
      if (recent.size() > kRecentRequests) recent.pop_front();
      if (!reply_faults.empty()) {
        fault = std::move(reply_faults.front());
        reply_faults.pop_front();
      }
      if (fault && fault->kind == ReplyFault::Kind::kException) {
        refuse = true;
        exception = fault->exception_code;
      } else {
        exception = ValidateRequest(req, n);
        refuse = exception != 0;
      }
      if (!refuse) {
        const auto address = static_cast<uint16_t>(req[8] << 8 | req[9]);
        const int qty = req[10] << 8 | req[11];
        if (req[7] == MODBUS_FC_READ_HOLDING_REGISTERS) {
          for (int i = 0; i < qty; ++i)
            mapping->tab_registers[address + i] =
                module.Read(static_cast<uint16_t>(address + i), t);
        } else {
          module.Write(address, req + 13, qty, t);
          wrote = true;
        }
      }
    }
    if (wrote) Notify();
    Progress();
    std::vector<uint8_t> reply = BuildReply(req, n, refuse, exception);
    if (!Deliver(c, std::move(reply), fault))
      return fault && (fault->kind == ReplyFault::Kind::kReset ||
                       (fault->kind == ReplyFault::Kind::kTruncate &&
                        fault->then == ReplyFault::Then::kReset));
  }
}

// libmodbus frames the reply into the socket pair; we read it back so that
// faults can alter it before it reaches the client.
std::vector<uint8_t> Simulator::Impl::BuildReply(const uint8_t* req, int n, bool refuse,
                                                 int exception) {
  int r = -1;
  if (!refuse)
    r = modbus_reply(tx, req, n, mapping);
  else if (exception > 0 && exception < MODBUS_EXCEPTION_MAX)
    r = modbus_reply_exception(tx, req, static_cast<unsigned>(exception));
  if (r < 0) {  // codes libmodbus will not send (0, 12..255)
    return {req[0], req[1], 0, 0, 0, 3, req[6], static_cast<uint8_t>(req[7] | 0x80),
            static_cast<uint8_t>(exception)};
  }
  std::vector<uint8_t> out;
  uint8_t buf[MODBUS_TCP_MAX_ADU_LENGTH];
  for (;;) {
    const ssize_t got = ::recv(pair[1], buf, sizeof buf, MSG_DONTWAIT);
    if (got <= 0) break;
    out.insert(out.end(), buf, buf + got);
  }
  return out;
}

// Sends the reply as the fault says; false when the connection must end.
bool Simulator::Impl::Deliver(int c, std::vector<uint8_t> reply,
                              const std::optional<ReplyFault>& fault) {
  if (!fault) return SendAll(c, reply);
  if (fault->delay_ms > 0 && WaitStop(fault->delay_ms)) return false;
  using Kind = ReplyFault::Kind;
  switch (fault->kind) {
    case Kind::kDelay:
    case Kind::kException:
      return SendAll(c, reply);
    case Kind::kSplit: {
      std::vector<size_t> cuts = fault->split_at;
      std::sort(cuts.begin(), cuts.end());
      size_t from = 0;
      for (size_t cut : cuts) {
        cut = std::min(cut, reply.size());
        if (cut <= from) continue;
        if (!SendAll(c, reply.data() + from, cut - from)) return false;
        if (WaitStop(fault->gap_ms)) return false;
        from = cut;
      }
      return SendAll(c, reply.data() + from, reply.size() - from);
    }
    case Kind::kDrop:
      return true;
    case Kind::kReplace:
      return SendAll(c, fault->bytes);
    case Kind::kRewrite:
      return SendAll(c, fault->rewrite ? fault->rewrite(std::move(reply)) : reply);
    case Kind::kAppend:
      reply.insert(reply.end(), fault->bytes.begin(), fault->bytes.end());
      return SendAll(c, reply);
    case Kind::kTruncate:
      if (!SendAll(c, reply.data(), std::min(fault->keep, reply.size()))) return false;
      return fault->then == ReplyFault::Then::kSilent;
    case Kind::kClose:
    case Kind::kReset:
      return false;
  }
  return false;
}

// ---- data connection -----------------------------------------------------------

namespace {

void FillGroups(const StreamLayout& l, bool sequence, const detail::ModelParams& p, double t0,
                double rate, uint64_t g0, size_t n, uint8_t* out) {
  const bool two = l.code_bytes == 2;
  for (size_t i = 0; i < n; ++i) {
    const uint64_t g = g0 + i;
    if (sequence) {
      out = WriteSequenceGroup(l, g, out);
      continue;
    }
    const double t = detail::GroupTime(t0, rate, g);
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
          const detail::ModelParams p = module.params();
          buf.resize(n * gsize);
          sent_of_buf = 0;
          FillGroups(layout, sequence, p, t0, rate, next_group, n, buf.data());
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

// ---- public API ----------------------------------------------------------------

Simulator::Simulator(const Options& options) : impl_(std::make_unique<Impl>(options)) {}

Simulator::~Simulator() {
  Stop();
  impl_->Cleanup();
}

int Simulator::Start() {
  Impl& m = *impl_;
  if (m.started) return -EALREADY;
  if (!(m.opt.clock_scale > 0.0) || !std::isfinite(m.opt.clock_scale)) return -EINVAL;
  const int r = m.Open();
  if (r != 0) {
    m.Cleanup();
    return r;
  }
  {
    std::lock_guard<std::mutex> lk(m.mu);
    m.epoch = SteadyClock::now();
    m.time_base = 0.0;
  }
  m.stopping = false;
  m.started = true;
  m.cmd_thread = std::thread([&m] { m.CommandLoop(); });
  m.data_thread = std::thread([&m] { m.DataLoop(); });
  return 0;
}

void Simulator::Stop() {
  Impl& m = *impl_;
  if (!m.started) return;
  m.stopping = true;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t r = ::write(m.stop_fd, &one, sizeof one);
  {
    // Wakes a thread blocked inside libmodbus or a send.
    std::lock_guard<std::mutex> lk(m.fd_mu);
    if (m.cmd_client >= 0) ::shutdown(m.cmd_client, SHUT_RDWR);
    if (m.data_client >= 0) ::shutdown(m.data_client, SHUT_RDWR);
  }
  m.cmd_thread.join();
  m.data_thread.join();
  m.started = false;
  m.Cleanup();
  m.Progress();
}

uint16_t Simulator::command_port() const { return impl_->cmd_port; }
uint16_t Simulator::data_port() const { return impl_->data_port; }

void Simulator::InjectReplyFault(const ReplyFault& fault) {
  std::lock_guard<std::mutex> lk(impl_->mu);
  impl_->reply_faults.push_back(fault);
}

void Simulator::Restart() {
  Impl& m = *impl_;
  {
    std::lock_guard<std::mutex> lk(m.mu);
    m.module = detail::Module(m.opt);
    m.reply_faults.clear();
    m.data_faults.clear();
    ++m.restarts;
  }
  {
    // Ends both connections; each loop closes its own socket and accepts the
    // next one.
    std::lock_guard<std::mutex> lk(m.fd_mu);
    if (m.cmd_client >= 0) ::shutdown(m.cmd_client, SHUT_RDWR);
    if (m.data_client >= 0) ::shutdown(m.data_client, SHUT_RDWR);
  }
  m.Notify();
  m.Progress();
}

void Simulator::StallStream(int ms) {
  Impl& m = *impl_;
  {
    std::lock_guard<std::mutex> lk(m.mu);
    m.data_faults.push_front(DataFault::StallAfter(0, ms));
  }
  m.Notify();
}

void Simulator::DropDataConnection(bool reset) {
  Impl& m = *impl_;
  {
    std::lock_guard<std::mutex> lk(m.mu);
    m.data_faults.push_front(reset ? DataFault::ResetAfter(0) : DataFault::CloseAfter(0));
  }
  m.Notify();
}

uint64_t Simulator::restarts() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->restarts;
}

void Simulator::InjectDataFault(const DataFault& fault) {
  {
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->data_faults.push_back(fault);
  }
  if (impl_->started) impl_->Notify();
}

uint16_t Simulator::HoldingRegister(uint16_t address) const {
  if (address >= detail::kRegisterCount) return 0;
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->module.Stored(address);
}

uint16_t Simulator::ReadRegister(uint16_t address) const {
  if (address >= detail::kRegisterCount) return 0;
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->module.Read(address, impl_->NowLocked());
}

bool Simulator::InRegisterMap(uint16_t address) { return detail::Module::InMap(address); }

uint64_t Simulator::requests_served() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->requests;
}

std::vector<std::vector<uint8_t>> Simulator::RecentRequests() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return {impl_->recent.begin(), impl_->recent.end()};
}

bool Simulator::streaming() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->running;
}

uint64_t Simulator::groups_sent() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  const size_t g = GroupSize(impl_->layout);
  return g == 0 ? 0 : impl_->run_bytes / g;
}

uint64_t Simulator::bytes_sent() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->run_bytes;
}

bool Simulator::WaitUntil(const std::function<bool(const Simulator&)>& pred,
                          std::chrono::milliseconds timeout) const {
  const auto deadline = SteadyClock::now() + timeout;
  for (;;) {
    uint64_t seen;
    {
      std::lock_guard<std::mutex> lk(impl_->progress_mu);
      seen = impl_->progress_seq;
    }
    if (pred(*this)) return true;
    std::unique_lock<std::mutex> lk(impl_->progress_mu);
    if (!impl_->progress_cv.wait_until(lk, deadline,
                                       [&] { return impl_->progress_seq != seen; })) {
      lk.unlock();
      return pred(*this);
    }
  }
}

void Simulator::FreezeTime(double seconds) {
  std::lock_guard<std::mutex> lk(impl_->mu);
  impl_->frozen = true;
  impl_->frozen_t = seconds;
}

void Simulator::UnfreezeTime() {
  std::lock_guard<std::mutex> lk(impl_->mu);
  if (!impl_->frozen) return;
  impl_->time_base = impl_->frozen_t;
  impl_->epoch = SteadyClock::now();
  impl_->frozen = false;
}

double Simulator::model_time() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->NowLocked();
}

double Simulator::ExpectedVolts(int channel, double t) const {
  if (!ValidChannel(channel, kAnalogChannels)) return 0.0;
  std::lock_guard<std::mutex> lk(impl_->mu);
  return detail::Volts(impl_->module.params(), channel, t);
}

int32_t Simulator::CodeForVolts(int channel, double volts) const {
  if (!ValidChannel(channel, kAnalogChannels)) return 0;
  std::lock_guard<std::mutex> lk(impl_->mu);
  const auto& p = impl_->module.params();
  const auto k = static_cast<size_t>(channel - 1);
  return VoltsToCode(volts, p.span[k], p.cal[k]);
}

int32_t Simulator::ExpectedCode(int channel, double t) const {
  if (!ValidChannel(channel, kAnalogChannels)) return 0;
  std::lock_guard<std::mutex> lk(impl_->mu);
  return detail::Code(impl_->module.params(), channel, t);
}

uint16_t Simulator::ExpectedDigitalInputs(double t) const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return detail::DigitalInputs(impl_->module.params(), t);
}

uint32_t Simulator::ExpectedCounter(int counter, double t) const {
  if (!ValidChannel(counter, kCounters)) return 0;
  std::lock_guard<std::mutex> lk(impl_->mu);
  return detail::Counter(impl_->module.params(), counter, t);
}

uint32_t Simulator::ExpectedEncoder(int encoder, double t) const {
  if (!ValidChannel(encoder, kEncoders)) return 0;
  std::lock_guard<std::mutex> lk(impl_->mu);
  return detail::Encoder(impl_->module.params(), encoder, t);
}

CalibrationPair Simulator::Calibration(int channel) const {
  if (!ValidChannel(channel, kAnalogChannels)) return {0, 0};
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->module.params().cal[static_cast<size_t>(channel - 1)];
}

double Simulator::Span(int channel) const {
  if (!ValidChannel(channel, kAnalogChannels)) return 0.0;
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->module.params().span[static_cast<size_t>(channel - 1)];
}

StreamLayout Simulator::stream_layout() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->layout;
}

double Simulator::group_rate() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->rate;
}

double Simulator::StreamGroupTime(uint64_t group) const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return detail::GroupTime(impl_->t0, impl_->rate, group);
}

}  // namespace kr2270::sim

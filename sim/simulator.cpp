#include "sim/server.h"

namespace kr2270::sim {

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

void SetAbortiveClose(int fd) {
  linger l{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
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

namespace {

uint16_t BoundPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  return ntohs(a.sin_port);
}

bool ValidChannel(int k, int limit) { return k >= 1 && k <= limit; }

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

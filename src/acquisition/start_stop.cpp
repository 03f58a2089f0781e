#include <algorithm>

#include "acquisition/acquisition.h"
#include "acquisition/group_layout.h"
#include "command/command.h"
#include "config/setting_writes.h"
#include "device/export.h"

namespace kr2270 {
namespace {

constexpr std::uint16_t kStreamEnableRegister = 23;
// The rounding write at start does not use the caller's time-out.
constexpr std::int32_t kRoundingTimeoutMs = 1000;
// No data for this long is not an error; it only lets the thread look round.
constexpr std::int32_t kReceiveTimeoutMs = 1000;

bool StartIsRefused(const Device* device, const Settings& run) {
  if (device->transfer_bytes.load() <= 0 || GroupSize(run) == 0) return true;
  if (device->filter_times < 0) return true;
  return device->filter_times > 0 && HasNonAdStreamChannels(run);
}

// At the decimated rates the module is asked for whole F x G windows. The
// receiver copes with any block size, so a failed write is of no concern.
void RoundTransferSize(Device* device, const Settings& run) {
  const std::int32_t factor = DecimationFactor(run.rate_code);
  if (factor == 1) return;
  const std::int32_t window = GroupSize(run) * factor;
  std::int32_t rounded = device->transfer_bytes.load() / window * window;
  if (rounded == 0) rounded = window;
  HcSetTranBytesCount(device, rounded, kRoundingTimeoutMs);
}

// The thread works from the run's settings, taken at start: the application
// may change the live ones while the stream runs.
void PrepareReceiver(Device* device) {
  ReceiverState& state = device->receiver;
  const Settings& settings = device->stream_settings;
  state.group_size = GroupSize(settings);
  state.decimation = DecimationFactor(settings.rate_code);
  state.bytes_per_second = static_cast<std::int64_t>(
      state.group_size * SampleRateOfCode(DeviceRateCode(settings.rate_code)));
  state.window_position = 0;
  state.partial_length = 0;
  state.address = 0;
  platform::ParseIpv4(device->ip_address, &state.address);
  state.command_port = device->command_port.load();
  state.data_port = device->data_port;
  state.command_lost_at = {};
  device->command_lost.store(false);
  state.group_rate = SampleRateOfCode(settings.rate_code);
  state.module_rate = SampleRateOfCode(DeviceRateCode(settings.rate_code));
  state.next_index = 0;
  state.segment_pending = true;
  state.segment_start_sent_ns = 0;
  state.segment_cause = 0;
  state.segment_index = 0;
  state.segment_bytes = 0;
  state.anchor_ns = 0;
  state.settings_number = 0;
  state.settings = settings;
  state.start_unix_ns = 0;
  state.held.clear();
  // Room for a carried partial group and at least as much again.
  const std::int32_t block = std::max(device->transfer_bytes.load(), 2 * state.group_size);
  state.block.resize(static_cast<std::size_t>(block));
}

// Only while the receiver is idle: it is the counters' writer.
void ResetStreamCounters(Device* device) {
  device->health.groups_received.store(0, std::memory_order_relaxed);
  device->health.ring_high_water.store(0, std::memory_order_relaxed);
  device->health.reconnects.store(0, std::memory_order_relaxed);
  ClearGaps(device->gaps);
}

bool CommandConnected(Device* device) {
  std::lock_guard<std::mutex> hold(device->cmd.lock);
  return device->cmd.socket != platform::kNoSocket;
}

bool ConfigureDataSocket(platform::Socket s, std::uint32_t address, std::uint16_t port,
                         std::int32_t timeout_ms) {
  if (!platform::SetNonBlocking(s, true) ||
      !platform::ConnectWithTimeout(s, address, port, timeout_ms) ||
      !platform::SetNonBlocking(s, false) || !platform::SetReceiveTimeout(s, kReceiveTimeoutMs)) {
    return false;
  }
  // Best effort: a stack without keepalive still streams, it only notices a
  // pulled cable later.
  platform::SetKeepAlive(s);
  return true;
}

std::int32_t WriteTrigger(Device* device, bool start, std::int32_t timeout_ms) {
  const Settings settings = CopyOfSettings(device);
  return SendTrigger(device, settings.trigger_enable, settings.trigger_mode, start, timeout_ms);
}

std::int32_t StartAcquisition(Device* device, std::int32_t timeout_ms) {
  // A second start would reset the ring under the running receiver. Checked
  // before data_lock too: a running receiver holds it through each receive.
  if (device->streaming.load() != 0) return KR2270_ERROR_ARGUMENT;
  std::unique_lock<std::mutex> hold(device->data_lock);
  if (device->streaming.load() != 0) return KR2270_ERROR_ARGUMENT;
  // A setter on another thread either lands in the copy or is posted.
  AcceptConversionChanges(device);
  // The layout setters are held off by data_lock from here on.
  const Settings run = CopyOfSettings(device);
  // An attached reader fills the ring too: one producer per ring.
  if (device->reader != nullptr || StartIsRefused(device, run)) {
    EndRunTimeline(device);
    return KR2270_ERROR_ARGUMENT;
  }
  RoundTransferSize(device, run);
  device->stream_settings = run;
  PrepareReceiver(device);
  FifoReset(device->stream_fifo);
  ResetStreamPositions(device, run);
  BeginRunTimeline(device, run, device->receiver.group_rate);
  device->lost_groups.store(0);
  device->data_link_lost.store(false);
  ResetStreamCounters(device);
  const std::int32_t connected = ConnectDataSocket(device, timeout_ms, device->data_port);
  if (connected != KR2270_OK) {
    EndRunTimeline(device);
    return connected;
  }
  device->streaming.store(1);
  ++device->receiver.run;
  device->receiver_wake.notify_all();
  hold.unlock();
  return WriteTrigger(device, true, timeout_ms);
}

std::int32_t StopAcquisition(Device* device, std::int32_t timeout_ms) {
  // Wakes a receive in progress so that data_lock comes free at once.
  platform::ShutdownSocket(device->data_socket_wake.exchange(platform::kNoSocket));
  std::int32_t disabled = KR2270_OK;
  {
    std::unique_lock<std::mutex> hold(device->data_lock);
    device->streaming.store(0);
    // A reconnect in progress gives up at its next look.
    device->receiver_wake.notify_all();
    platform::CloseSocket(device->data_socket);
    disabled = WriteStreamEnable(device, 0, timeout_ms);
    device->data_socket = platform::kNoSocket;
    // A reconnect may have stored a new socket after the exchange above.
    device->data_socket_wake.store(platform::kNoSocket);
    // Once the stop returns, the thread no longer touches the ring, so that
    // playback or a new start may use it.
    device->receiver_wake.wait(hold, [&] { return !device->receiver.busy; });
    EndRunTimeline(device);
    SettleAtStop(device);
  }
  NotifyGroupWaiters(device);
  // Both writes are tried; the first failure is the one reported.
  const std::int32_t cleared = WriteTrigger(device, false, timeout_ms);
  return disabled != KR2270_OK ? disabled : cleared;
}

}  // namespace

std::int32_t WriteStreamEnable(Device* device, std::uint8_t value, std::int32_t timeout_ms) {
  return WriteRegisters(device, kStreamEnableRegister, {0x00, value}, timeout_ms);
}

std::int32_t ConnectDataSocket(Device* device, std::int32_t timeout_ms, std::int32_t port) {
  std::uint32_t address = 0;
  if (!CommandConnected(device) || !platform::ParseIpv4(device->ip_address, &address) ||
      port <= 0 || port > 0xFFFF) {
    return KR2270_ERROR_CONNECT;
  }
  const std::int32_t enabled = WriteStreamEnable(device, 1, timeout_ms);
  if (enabled != KR2270_OK) return enabled;
  const platform::Socket s = platform::TcpSocket();
  if (s == platform::kNoSocket) return KR2270_ERROR_CONNECT;
  if (!ConfigureDataSocket(s, address, static_cast<std::uint16_t>(port), timeout_ms)) {
    platform::CloseSocket(s);
    return KR2270_ERROR_CONNECT;
  }
  // No receive low-water mark: bytes held below it go unacknowledged until
  // the delayed-ACK timer runs out, and a sender with Nagle's algorithm then
  // holds its next segment back for as long (tens of milliseconds).
  device->data_socket = s;
  device->data_socket_wake.store(s);
  return KR2270_OK;
}

std::int32_t HcStart(Device* device, std::int32_t start, std::int32_t timeout_ms) {
  if (device == nullptr) return KR2270_ERROR_ARGUMENT;
  return (start & 1) != 0 ? StartAcquisition(device, timeout_ms)
                          : StopAcquisition(device, timeout_ms);
}

std::int32_t HcGetLostGroups(Device* device, std::uint64_t* lost) {
  if (device == nullptr || lost == nullptr) return KR2270_ERROR_ARGUMENT;
  *lost = device->lost_groups.load(std::memory_order_acquire);
  return KR2270_OK;
}

std::int32_t HcIsDataLost(Device* device) {
  if (device == nullptr) return KR2270_ERROR_ARGUMENT;
  return device->data_link_lost.load() ? 1 : 0;
}

}  // namespace kr2270

KR2270_EXPORT int32_t KR2270_HcStart(KR2270Device* device, int32_t start, int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::HcStart(device, start, timeout_ms); });
}

KR2270_EXPORT int32_t KR2270_HcGetLostGroups(KR2270Device* device, uint64_t* lost) {
  return kr2270::Guarded([&] { return kr2270::HcGetLostGroups(device, lost); });
}

KR2270_EXPORT int32_t KR2270_HcIsDataLost(KR2270Device* device) {
  return kr2270::Guarded([&] { return kr2270::HcIsDataLost(device); });
}

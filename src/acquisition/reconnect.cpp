// The automatic reconnect: after the data connection failed while streaming,
// the receiver thread brings the module back to the settings the stream was
// started with before a single new group arrives, restarts the stream and
// records the gap.
#include <algorithm>
#include <chrono>

#include "acquisition/acquisition.h"
#include "command/command.h"
#include "config/setting_writes.h"
#include "device/export.h"

namespace kr2270 {
namespace {

using ReconnectClock = std::chrono::steady_clock;

constexpr std::uint16_t kStreamEnableRegister = 23;
constexpr std::int32_t kFirstBackOffMs = 50;
constexpr std::int32_t kLongestBackOffMs = 1000;
// Each exchange of an attempt; short, so that a stop meanwhile is not held up.
constexpr std::int32_t kAttemptTimeoutMs = 500;

bool Stopping(const Device* device) {
  return device->streaming.load() == 0 || device->thread_run.load() == 0;
}

std::int32_t MsUntil(ReconnectClock::time_point when) {
  // Rounded up: the wait allowed is never cut short by a fraction.
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - ReconnectClock::now()).count();
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(left, 0, INT32_MAX));
}

// Reads the stream enable over the command connection, opening a new one
// when the old one no longer answers. A module that does not hold the enable
// it was given has lost every setting: it restarted.
std::int32_t ReachModule(Device* device, std::int32_t timeout_ms, bool* restarted) {
  const ReceiverState& state = device->receiver;
  std::uint8_t enable[2] = {};
  std::int32_t status = ReadRegisters(device, kStreamEnableRegister, enable, timeout_ms);
  if (status != KR2270_OK) {
    status = ReopenCommandConnection(device, state.address, state.command_port, timeout_ms);
    if (status == KR2270_OK) status = ReadRegisters(device, kStreamEnableRegister, enable, timeout_ms);
  }
  if (status == KR2270_OK && enable[1] != 1) *restarted = true;
  return status;
}

// The connection begins at a group boundary: nothing carries over.
void ForgetPartialGroup(ReceiverState& state) {
  state.partial_length = 0;
  state.window_position = 0;
}

void DropDataSocket(Device* device) {
  platform::CloseSocket(device->data_socket);
  device->data_socket = platform::kNoSocket;
  device->data_socket_wake.store(platform::kNoSocket);
}

// One attempt; called and returns with data_lock held, which it gives up for
// the command exchanges.
std::int32_t BringBackStream(Device* device, std::unique_lock<std::mutex>& hold,
                             std::int32_t timeout_ms, bool* restarted) {
  ReceiverState& state = device->receiver;
  const Settings& settings = state.started_settings;
  DropDataSocket(device);
  hold.unlock();
  std::int32_t status = ReachModule(device, timeout_ms, restarted);
  if (status == KR2270_OK) status = SendSettings(device, settings, timeout_ms);
  hold.lock();
  if (status != KR2270_OK || Stopping(device)) return status;
  ForgetPartialGroup(state);
  status = ConnectDataSocket(device, timeout_ms, state.data_port);
  if (status != KR2270_OK) return status;
  hold.unlock();
  status = SendTrigger(device, settings.trigger_enable, settings.trigger_mode, true, timeout_ms);
  hold.lock();
  return status;
}

// The groups the module sent while nobody listened, from the time and the rate.
std::uint64_t EstimatedMissing(const ReceiverState& state, ReconnectClock::duration down) {
  if (state.group_size <= 0 || state.decimation <= 0) return 0;
  const double rate = static_cast<double>(state.bytes_per_second) /
                      static_cast<double>(state.group_size) / static_cast<double>(state.decimation);
  const double seconds = std::chrono::duration<double>(down).count();
  return static_cast<std::uint64_t>(seconds * rate + 0.5);
}

}  // namespace

Comeback RestoreStream(Device* device, std::unique_lock<std::mutex>& hold) {
  const auto lost_at = ReconnectClock::now();
  const auto give_up_at = lost_at + std::chrono::milliseconds(device->reconnect_wait_ms.load());
  const std::uint64_t index = device->health.groups_received.load(std::memory_order_relaxed);
  device->health.last_error.store(KR2270_ERROR_RESET, std::memory_order_relaxed);
  bool restarted = false;
  std::int32_t back_off_ms = kFirstBackOffMs;
  for (;;) {
    if (Stopping(device)) return Comeback::kStopped;
    const std::int32_t left = MsUntil(give_up_at);
    if (left == 0) return Comeback::kGaveUp;
    const std::int32_t status =
        BringBackStream(device, hold, std::min(kAttemptTimeoutMs, left), &restarted);
    if (Stopping(device)) return Comeback::kStopped;
    if (status == KR2270_OK) {
      const std::int32_t cause = restarted ? KR2270_GAP_MODULE_RESTART : KR2270_GAP_LINK_LOST;
      RecordGap(device->gaps, index, EstimatedMissing(device->receiver, ReconnectClock::now() - lost_at),
                cause, true);
      device->health.reconnects.fetch_add(1, std::memory_order_relaxed);
      return Comeback::kBack;
    }
    device->health.last_error.store(status, std::memory_order_relaxed);
    const auto wait = std::chrono::milliseconds(std::min(back_off_ms, MsUntil(give_up_at)));
    device->receiver_wake.wait_for(hold, wait, [&] { return Stopping(device); });
    back_off_ms = std::min(2 * back_off_ms, kLongestBackOffMs);
  }
}

bool ReconnectWanted(const Device* device) {
  return device->auto_reconnect.load() && !Stopping(device) &&
         device->data_socket_wake.load() != platform::kNoSocket;
}

std::int32_t SetAutoReconnect(Device* device, std::int32_t enable, std::int32_t max_wait_ms) {
  if (device == nullptr || max_wait_ms < 0) return KR2270_ERROR_ARGUMENT;
  device->reconnect_wait_ms.store(max_wait_ms);
  device->auto_reconnect.store((enable & 1) != 0);
  return KR2270_OK;
}

}  // namespace kr2270

KR2270_EXPORT int32_t KR2270_SetAutoReconnect(KR2270Device* device, int32_t enable,
                                              int32_t max_wait_ms) {
  return kr2270::Guarded([&] { return kr2270::SetAutoReconnect(device, enable, max_wait_ms); });
}

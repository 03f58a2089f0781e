// The automatic reconnect: after the data connection failed while streaming,
// the receiver thread brings the module back to the settings the handle
// holds now before a single new group arrives and restarts the stream; the
// first groups of the new connection place the gap.
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

bool StillWanted(const Device* device) { return !Stopping(device); }

// The application closed the command connection: reopening it behind its
// back would undo the close.
bool CommandClosedByApplication(const Device* device) {
  return device->command_closed_by_application.load();
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
  if (status != KR2270_OK && !CommandClosedByApplication(device)) {
    status = ReopenCommandConnection(device, state.address, state.command_port, timeout_ms);
    if (status == KR2270_OK) status = ReadRegisters(device, kStreamEnableRegister, enable, timeout_ms);
  }
  if (status == KR2270_OK && enable[1] != 1) *restarted = true;
  return status;
}

// The connection begins at a group boundary: nothing carries over, and the
// module numbers its groups from 0 again.
void BeginConnection(ReceiverState& state) {
  state.partial_length = 0;
  state.window_position = 0;
  state.segment_bytes = 0;
}

void DropDataSocket(Device* device) {
  platform::CloseSocket(device->data_socket);
  device->data_socket = platform::kNoSocket;
  device->data_socket_wake.store(platform::kNoSocket);
}

// One attempt; called and returns with data_lock held, which it gives up for
// the command exchanges. The settings go as the handle holds them now, as
// KR2270_CmdRestoreSettings sends them, and a stop cuts the restore short.
std::int32_t BringBackStream(Device* device, std::unique_lock<std::mutex>& hold,
                             std::int32_t timeout_ms, bool* restarted, std::int64_t* start_sent_ns) {
  ReceiverState& state = device->receiver;
  DropDataSocket(device);
  hold.unlock();
  std::int32_t status = ReachModule(device, timeout_ms, restarted);
  if (status == KR2270_OK) status = SendMirroredSettings(device, timeout_ms, StillWanted);
  hold.lock();
  if (status != KR2270_OK || Stopping(device)) return status;
  BeginConnection(state);
  status = ConnectDataSocket(device, timeout_ms, state.data_port);
  if (status != KR2270_OK) return status;
  const Settings& run = device->stream_settings;
  hold.unlock();
  *start_sent_ns = platform::MonotonicNs();
  status = SendTrigger(device, run.trigger_enable, run.trigger_mode, true, timeout_ms);
  hold.lock();
  return status;
}

}  // namespace

Comeback RestoreStream(Device* device, std::unique_lock<std::mutex>& hold) {
  PlaceHeldGroups(device);
  const auto lost_at = ReconnectClock::now();
  const auto give_up_at = lost_at + std::chrono::milliseconds(device->reconnect_wait_ms.load());
  device->health.last_error.store(KR2270_ERROR_RESET, std::memory_order_relaxed);
  bool restarted = false;
  std::int32_t back_off_ms = kFirstBackOffMs;
  for (;;) {
    if (Stopping(device)) return Comeback::kStopped;
    const std::int32_t left = MsUntil(give_up_at);
    if (left == 0 || CommandClosedByApplication(device)) return Comeback::kGaveUp;
    std::int64_t start_sent_ns = 0;
    const std::int32_t status = BringBackStream(device, hold, std::min(kAttemptTimeoutMs, left),
                                                &restarted, &start_sent_ns);
    if (Stopping(device)) return Comeback::kStopped;
    if (status == KR2270_OK) {
      ReceiverState& state = device->receiver;
      state.segment_pending = true;
      state.segment_start_sent_ns = start_sent_ns;
      state.segment_cause = restarted ? KR2270_GAP_MODULE_RESTART : KR2270_GAP_LINK_LOST;
      device->health.reconnects.fetch_add(1, std::memory_order_relaxed);
      device->command_lost.store(false);
      return Comeback::kBack;
    }
    device->health.last_error.store(status, std::memory_order_relaxed);
    const auto wait = std::chrono::milliseconds(std::min(back_off_ms, MsUntil(give_up_at)));
    device->receiver_wake.wait_for(hold, wait, [&] { return Stopping(device); });
    back_off_ms = std::min(2 * back_off_ms, kLongestBackOffMs);
  }
}

void ReopenLostCommandConnection(Device* device, std::unique_lock<std::mutex>& hold) {
  ReceiverState& state = device->receiver;
  const auto now = ReconnectClock::now();
  if (state.command_lost_at == ReconnectClock::time_point{}) {
    state.command_lost_at = now;
    state.command_next_try = now;
    state.command_back_off_ms = kFirstBackOffMs;
  }
  if (now < state.command_next_try) return;
  if (CommandClosedByApplication(device)) {
    device->command_lost.store(false);
    state.command_lost_at = {};
    return;
  }
  if (now - state.command_lost_at > std::chrono::milliseconds(device->reconnect_wait_ms.load())) {
    device->command_lost.store(false);  // given up: the application sees the failures
    state.command_lost_at = {};
    return;
  }
  // Busy: a stop waits for the attempt before it writes its own commands.
  state.busy = true;
  hold.unlock();
  const std::int32_t status =
      ReopenCommandConnection(device, state.address, state.command_port, kAttemptTimeoutMs);
  hold.lock();
  state.busy = false;
  device->receiver_wake.notify_all();
  if (status == KR2270_OK) {
    device->command_lost.store(false);
    device->health.reconnects.fetch_add(1, std::memory_order_relaxed);
    state.command_lost_at = {};
    return;
  }
  state.command_next_try = ReconnectClock::now() + std::chrono::milliseconds(state.command_back_off_ms);
  state.command_back_off_ms = std::min(2 * state.command_back_off_ms, kLongestBackOffMs);
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

#include "device/health.h"

#include <algorithm>
#include <cstring>

#include "device/export.h"

#ifndef KR2270_VERSION_TEXT
#error "the build defines KR2270_VERSION_TEXT"
#endif

namespace kr2270 {
namespace {

// The smallest struct_size accepted: the size field and last_error.
constexpr std::uint32_t kMinHealthBytes = 8;

KR2270Health Snapshot(Device* device) {
  const HealthCounters& counters = device->health;
  constexpr auto relaxed = std::memory_order_relaxed;
  KR2270Health health{};
  health.struct_size = sizeof(KR2270Health);
  health.last_error = counters.last_error.load(relaxed);
  health.groups_received = counters.groups_received.load(relaxed);
  health.groups_dropped = device->lost_groups.load(relaxed);
  {
    std::lock_guard<std::mutex> hold(device->gaps.lock);
    health.gaps = device->gaps.log.total;
  }
  health.reconnects = counters.reconnects.load(relaxed);
  health.command_timeouts = counters.command_timeouts.load(relaxed);
  health.stale_replies = device->cmd.stale_replies.load(relaxed);
  health.ring_fill_bytes = FifoFilled(device->stream_fifo);
  health.ring_high_water = counters.ring_high_water.load(relaxed);
  health.command_connected = device->cmd.wake.load() != platform::kNoSocket ? 1 : 0;
  health.data_connected =
      device->data_socket_wake.load() != platform::kNoSocket && !device->data_link_lost.load() ? 1 : 0;
  return health;
}

std::int32_t GetHealth(Device* device, KR2270Health* health) {
  if (device == nullptr || health == nullptr || health->struct_size < kMinHealthBytes) {
    return KR2270_ERROR_ARGUMENT;
  }
  KR2270Health snapshot = Snapshot(device);
  snapshot.struct_size = std::min<std::uint32_t>(health->struct_size, sizeof snapshot);
  std::memcpy(health, &snapshot, snapshot.struct_size);
  return KR2270_OK;
}

}  // namespace

void NoteCommandConnectionGone(Device* device) {
  // A connection closed by the application is no failure to repair.
  if (device->auto_reconnect.load() && device->streaming.load() != 0 &&
      device->cmd.wake.load() != platform::kNoSocket) {
    device->command_lost.store(true);
  }
}

std::int32_t NoteCommandFailure(Device* device, std::int32_t status) {
  device->health.last_error.store(status, std::memory_order_relaxed);
  if (status == KR2270_ERROR_RESET || status == KR2270_ERROR_SOCKET) {
    NoteCommandConnectionGone(device);
  }
  if (status == KR2270_ERROR_TIMEOUT) {
    device->health.command_timeouts.fetch_add(1, std::memory_order_relaxed);
  }
  return status;
}

}  // namespace kr2270

KR2270_EXPORT int32_t KR2270_GetHealth(KR2270Device* device, KR2270Health* health) {
  return kr2270::Guarded([&] { return kr2270::GetHealth(device, health); });
}

KR2270_EXPORT const char* KR2270_GetVersion(void) { return KR2270_VERSION_TEXT; }

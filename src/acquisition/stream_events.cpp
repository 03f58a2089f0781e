// What an application learns about the stream besides its groups: a wait
// for groups to arrive, and where groups are missing.
#include <algorithm>
#include <chrono>
#include <cstdint>

#include "acquisition/acquisition.h"
#include "acquisition/group_layout.h"
#include "device/export.h"

namespace kr2270 {
namespace {

using WaitClock = std::chrono::steady_clock;

// Nothing more will arrive until the application starts again.
bool StreamEnded(const Device* device) {
  return device->streaming.load() == 0 || device->data_link_lost.load() ||
         device->thread_run.load() == 0;
}

// Averaged outputs stand for filter_times stream groups each; a length that
// is no whole number of them can only be given approximately.
KR2270Gap InSplitterUnits(const KR2270GapRecord& record, std::int32_t filter_times) {
  KR2270Gap gap{record.position, record.missing, record.cause, record.estimated};
  if (filter_times <= 0) return gap;
  const auto times = static_cast<std::uint64_t>(filter_times);
  if (gap.missing_groups % times != 0) gap.estimated = 1;
  gap.group_index /= times;
  gap.missing_groups = (gap.missing_groups + times / 2) / times;
  return gap;
}

// The most groups (outputs when averaging) the ring can ever hold at once.
std::int64_t RingCapacity(const Device* device) {
  const std::int32_t group = GroupSize(device->stream_settings);
  if (group <= 0) return 0;
  const std::int64_t groups = device->stream_fifo.size / static_cast<std::uint32_t>(group);
  return device->filter_times > 0 ? groups / device->filter_times : groups;
}

}  // namespace

void NotifyGroupWaiters(Device* device) {
  // Taking the lock orders the notification after a waiter's last look.
  std::lock_guard<std::mutex> hold(device->wait_lock);
  device->groups_ready.notify_all();
}

std::int32_t HcWaitGroups(Device* device, std::int32_t min_groups, std::int32_t timeout_ms) {
  if (device == nullptr || min_groups < 1 || timeout_ms < 0) return KR2270_ERROR_ARGUMENT;
  // Such a wait could only end by its time-out or the end of the stream.
  if (min_groups > RingCapacity(device)) return KR2270_ERROR_ARGUMENT;
  const auto deadline = WaitClock::now() + std::chrono::milliseconds(timeout_ms);
  std::unique_lock<std::mutex> hold(device->wait_lock);
  for (;;) {
    const std::int32_t count = HcCodeCanReadGroupCount(device);
    if (count >= min_groups) return count;
    if (StreamEnded(device)) return KR2270_ERROR_RESET;
    if (timeout_ms == 0) {
      device->groups_ready.wait(hold);
    } else if (device->groups_ready.wait_until(hold, deadline) == std::cv_status::timeout) {
      const std::int32_t last = HcCodeCanReadGroupCount(device);
      return last >= min_groups ? last : KR2270_ERROR_TIMEOUT;
    }
  }
}

std::int32_t HcGetGaps(Device* device, KR2270Gap* gaps, std::int32_t max_gaps) {
  if (device == nullptr || max_gaps < 0 || (max_gaps > 0 && gaps == nullptr)) {
    return KR2270_ERROR_ARGUMENT;
  }
  std::uint64_t total = 0;
  const std::vector<KR2270GapRecord> kept = KeptGaps(device->gaps, &total);
  const std::size_t n = std::min(kept.size(), static_cast<std::size_t>(max_gaps));
  for (std::size_t i = 0; i < n; ++i) gaps[i] = InSplitterUnits(kept[i], device->filter_times);
  return static_cast<std::int32_t>(std::min<std::uint64_t>(total, INT32_MAX));
}

}  // namespace kr2270

KR2270_EXPORT int32_t KR2270_HcWaitGroups(KR2270Device* device, int32_t min_groups,
                                          int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::HcWaitGroups(device, min_groups, timeout_ms); });
}

KR2270_EXPORT int32_t KR2270_HcGetGaps(KR2270Device* device, KR2270Gap* gaps, int32_t max_gaps) {
  return kr2270::Guarded([&] { return kr2270::HcGetGaps(device, gaps, max_gaps); });
}

#include "acquisition/timeline.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "acquisition/acquisition.h"
#include "command/command.h"
#include "device/device.h"
#include "device/export.h"

namespace kr2270 {

bool SameConversion(const Settings& a, const Settings& b) {
  auto same = [](const auto& x, const auto& y) { return std::memcmp(&x, &y, sizeof x) == 0; };
  return same(a.ad_zero_code, b.ad_zero_code) && same(a.ad_full_code, b.ad_full_code) &&
         same(a.ad_span, b.ad_span) && same(a.ad_offset, b.ad_offset) &&
         same(a.ad_range, b.ad_range) && same(a.ad_range_ex, b.ad_range_ex) &&
         same(a.ct_mode, b.ct_mode) && same(a.ct_freq_base, b.ct_freq_base);
}

KR2270ConversionSettings ConversionOf(const Settings& s) {
  KR2270ConversionSettings c{};
  for (int k = 0; k < 8; ++k) {
    c.zero_code[k] = s.ad_zero_code[k];
    c.full_code[k] = s.ad_full_code[k];
    c.full_scale[k] = s.ad_span[k];
    c.offset[k] = s.ad_offset[k];
    c.range_code[k] = s.ad_range[k];
    c.extended_range[k] = s.ad_range_ex[k];
  }
  for (int k = 0; k < 4; ++k) {
    c.counter_mode[k] = s.ct_mode[k];
    c.counter_base_ms[k] = s.ct_freq_base[k];
  }
  return c;
}

void ApplyConversion(const KR2270ConversionSettings& c, Settings* s) {
  for (int k = 0; k < 8; ++k) {
    s->ad_zero_code[k] = c.zero_code[k];
    s->ad_full_code[k] = c.full_code[k];
    s->ad_span[k] = c.full_scale[k];
    s->ad_offset[k] = c.offset[k];
    s->ad_range[k] = c.range_code[k];
    s->ad_range_ex[k] = c.extended_range[k];
  }
  for (int k = 0; k < 4; ++k) {
    s->ct_mode[k] = c.counter_mode[k];
    s->ct_freq_base[k] = c.counter_base_ms[k];
  }
}

// --- the ring's producer ---------------------------------------------------------

void ResetStreamPositions(Device* device, const Settings& settings) {
  {
    std::lock_guard<std::mutex> hold(device->marks.lock);
    device->marks.queue.clear();
    device->marks.count.store(0, std::memory_order_release);
  }
  device->producer = ProducerPosition{};
  SplitPosition& split = device->split;
  split.taken = 0;
  split.next_index = 0;
  split.settings_number = 0;
  split.settings = settings;
  split.indices.Clear();
  split.rows.clear();
  split.averaging_dropped.store(0, std::memory_order_relaxed);
}

bool MarkNextGroups(Device* device, std::uint64_t index, std::uint64_t settings_number,
                    const Settings& settings) {
  ProducerPosition& producer = device->producer;
  const bool jump = index != producer.assumed_index;
  const bool changed = settings_number != producer.settings_number;
  if (!jump && !changed) return true;
  StreamMarks& marks = device->marks;
  std::lock_guard<std::mutex> hold(marks.lock);
  if (marks.queue.size() >= kMaxStreamMarks) return false;
  StreamMark mark;
  mark.put_before = producer.put;
  mark.index = index;
  mark.settings_number = settings_number;
  mark.new_settings = changed;
  if (changed) mark.settings = settings;
  marks.queue.push_back(mark);
  // Published before the groups it describes: the splitter, which sees the
  // groups through the ring's release store, sees the mark too.
  marks.count.store(marks.queue.size(), std::memory_order_release);
  return true;
}

void CountPutGroups(Device* device, std::uint64_t index, std::uint64_t settings_number,
                    std::uint64_t count) {
  ProducerPosition& producer = device->producer;
  producer.put += count;
  producer.assumed_index = index + count;
  producer.settings_number = settings_number;
}

std::uint64_t PutGroupsAt(Device* device, const std::uint8_t* groups, std::uint64_t count,
                          std::size_t group_size, std::uint64_t index,
                          std::uint64_t settings_number, const Settings& settings) {
  StreamFifo& ring = device->stream_fifo;
  const std::uint64_t fit = std::min<std::uint64_t>(count, FifoFree(ring) / group_size);
  if (fit == 0 || !MarkNextGroups(device, index, settings_number, settings)) return count;
  FifoPut(ring, groups, static_cast<std::uint32_t>(fit * group_size));
  CountPutGroups(device, index, settings_number, fit);
  return count - fit;
}

// --- the run ------------------------------------------------------------------------

void AcceptConversionChanges(Device* device) {
  RunTimeline& timeline = device->timeline;
  std::lock_guard<std::mutex> hold(timeline.lock);
  timeline.accepting = true;
  timeline.pending.clear();
  timeline.pending_count.store(0, std::memory_order_release);
}

void BeginRunTimeline(Device* device, const Settings& run, double group_rate) {
  RunTimeline& timeline = device->timeline;
  std::lock_guard<std::mutex> hold(timeline.lock);
  timeline.start_unix_ns = 0;
  timeline.group_rate = group_rate;
  timeline.next_index.store(0, std::memory_order_relaxed);
  timeline.groups.store(0, std::memory_order_relaxed);
  timeline.anchored = false;
  timeline.settings.Clear();
  timeline.settings.Append(ConversionOf(run));
}

void EndRunTimeline(Device* device) {
  std::lock_guard<std::mutex> hold(device->timeline.lock);
  device->timeline.accepting = false;
}

void PostConversionChange(Device* device, const Settings& settings) {
  RunTimeline& timeline = device->timeline;
  std::lock_guard<std::mutex> hold(timeline.lock);
  if (!timeline.accepting) return;
  PendingChange change;
  change.settings = settings;
  // The module took the change between the request and its reply: the
  // first group sampled after the middle of that exchange. The receiver
  // never places it before a group it has already handed on.
  if (timeline.anchored && timeline.group_rate > 0.0) {
    const std::int64_t now = platform::MonotonicNs();
    const std::int64_t sent = LastRequestSentNs();
    const std::int64_t taken = sent > 0 && sent <= now ? sent + (now - sent) / 2 : now;
    const double periods =
        static_cast<double>(taken - timeline.segment_anchor_ns) * timeline.group_rate / 1e9;
    if (periods > 0.0) change.earliest_index = timeline.segment_index + static_cast<std::uint64_t>(std::ceil(periods));
  }
  timeline.pending.push_back(change);
  timeline.pending_count.store(timeline.pending.size(), std::memory_order_release);
}

// --- exports ----------------------------------------------------------------------

namespace {

constexpr std::uint32_t kMinTimelineBytes = 8;

template <typename Entry, typename Copy>
std::int32_t CopyNumbered(Entry* out, std::int32_t max, std::uint64_t* total_out, Copy copy) {
  if (max < 0 || (max > 0 && out == nullptr)) return KR2270_ERROR_ARGUMENT;
  std::uint64_t total = 0;
  const std::size_t n = copy(out, static_cast<std::size_t>(max), &total);
  if (total_out != nullptr) *total_out = total;
  return static_cast<std::int32_t>(n);
}

KR2270Timeline LiveTimeline(Device* device) {
  KR2270Timeline t{};
  t.source = 1;
  {
    RunTimeline& timeline = device->timeline;
    std::lock_guard<std::mutex> hold(timeline.lock);
    t.start_unix_ns = timeline.start_unix_ns;
    t.group_rate = timeline.group_rate;
    t.settings = timeline.settings.total;
  }
  t.next_index = device->timeline.next_index.load(std::memory_order_relaxed);
  t.groups = device->timeline.groups.load(std::memory_order_relaxed);
  {
    std::lock_guard<std::mutex> hold(device->gaps.lock);
    t.gaps = device->gaps.log.total;
    t.missing_groups = device->gaps.missing;
  }
  return t;
}

std::int32_t HcGetTimeline(Device* device, KR2270Timeline* out) {
  if (device == nullptr || out == nullptr || out->struct_size < kMinTimelineBytes) {
    return KR2270_ERROR_ARGUMENT;
  }
  KR2270Timeline t{};
  if (device->reader != nullptr) {
    RecordedTimeline(device, &t);
  } else {
    t = LiveTimeline(device);
  }
  t.averaging = std::max(device->filter_times, 0);
  t.averaging_dropped = device->split.averaging_dropped.load(std::memory_order_relaxed);
  t.struct_size = std::min<std::uint32_t>(out->struct_size, sizeof t);
  std::memcpy(out, &t, t.struct_size);
  return KR2270_OK;
}

std::int32_t GetConversionSettings(Device* device, KR2270ConversionSettings* out) {
  if (device == nullptr || out == nullptr) return KR2270_ERROR_ARGUMENT;
  *out = ConversionOf(CopyOfSettings(device));
  return KR2270_OK;
}

std::int32_t HcGetSettingsSince(Device* device, std::uint64_t from, KR2270ConversionSettings* out,
                                std::int32_t max, std::uint64_t* total) {
  if (device == nullptr) return KR2270_ERROR_ARGUMENT;
  return CopyNumbered(out, max, total, [&](KR2270ConversionSettings* to, std::size_t n,
                                           std::uint64_t* all) {
    RunTimeline& timeline = device->timeline;
    std::lock_guard<std::mutex> hold(timeline.lock);
    *all = timeline.settings.total;
    return timeline.settings.CopySince(from, to, n);
  });
}

std::int32_t HcGetGapsSince(Device* device, std::uint64_t from, KR2270GapRecord* out,
                            std::int32_t max, std::uint64_t* total) {
  if (device == nullptr) return KR2270_ERROR_ARGUMENT;
  return CopyNumbered(out, max, total, [&](KR2270GapRecord* to, std::size_t n, std::uint64_t* all) {
    std::lock_guard<std::mutex> hold(device->gaps.lock);
    *all = device->gaps.log.total;
    return device->gaps.log.CopySince(from, to, n);
  });
}

}  // namespace
}  // namespace kr2270

KR2270_EXPORT int32_t KR2270_HcGetTimeline(KR2270Device* device, KR2270Timeline* timeline) {
  return kr2270::Guarded([&] { return kr2270::HcGetTimeline(device, timeline); });
}

KR2270_EXPORT int32_t KR2270_GetConversionSettings(KR2270Device* device,
                                                   KR2270ConversionSettings* settings) {
  return kr2270::Guarded([&] { return kr2270::GetConversionSettings(device, settings); });
}

KR2270_EXPORT int32_t KR2270_HcGetSettingsSince(KR2270Device* device, uint64_t first_number,
                                                KR2270ConversionSettings* settings,
                                                int32_t max_settings, uint64_t* total) {
  return kr2270::Guarded(
      [&] { return kr2270::HcGetSettingsSince(device, first_number, settings, max_settings, total); });
}

KR2270_EXPORT int32_t KR2270_HcGetGapsSince(KR2270Device* device, uint64_t first_number,
                                            KR2270GapRecord* gaps, int32_t max_gaps,
                                            uint64_t* total) {
  return kr2270::Guarded(
      [&] { return kr2270::HcGetGapsSince(device, first_number, gaps, max_gaps, total); });
}

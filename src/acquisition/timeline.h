// The timeline of the stream: which index and which conversion settings each
// group in the ring has. The producer of the ring (the receiver, or playback)
// leaves a mark wherever the index jumps or the settings change; the
// splitter walks the marks as it takes groups, so that every group split
// knows its index and its settings without a search.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "acquisition/channel_queue.h"
#include "acquisition/numbered_log.h"
#include "device/settings.h"
#include "kr2270c.h"

namespace kr2270 {

// From the group put after put_before groups on, the index is `index` and,
// when new_settings, the settings are `settings` (number settings_number).
struct StreamMark {
  std::uint64_t put_before = 0;
  std::uint64_t index = 0;
  std::uint64_t settings_number = 0;
  bool new_settings = false;
  Settings settings;
};

// Marks waiting in the ring, in put order. Bounded: a producer that finds it
// full drops the groups that would need one more (a counted gap), so that a
// stream of tiny gaps with nobody splitting cannot take unbounded memory.
inline constexpr std::size_t kMaxStreamMarks = 4096;

struct StreamMarks {
  std::mutex lock;
  std::deque<StreamMark> queue;
  std::atomic<std::size_t> count{0};  // lets the splitter skip the lock
};

// What the splitter will assume for the next group the producer puts.
struct ProducerPosition {
  std::uint64_t put = 0;  // groups put since the ring began this stream
  std::uint64_t assumed_index = 0;
  std::uint64_t settings_number = 0;
};

// The settings of the rows of the last split from `row` on.
struct SettingsRow {
  std::size_t row = 0;
  Settings settings;
};

// One output of the averaging split: the window of groups from `first`
// (counted from the splitter's place in the ring), the index of its first
// group, and which of the settings met on the way it converts with (0:
// those in force at the start).
struct AveragingWindow {
  std::uint64_t first = 0;
  std::uint64_t index = 0;
  std::size_t settings_row = 0;
};

struct AveragingPlan {
  std::vector<AveragingWindow> windows;
  std::uint64_t consumed = 0;  // groups taken from the ring, windows and dropped
  std::uint64_t dropped = 0;   // of interrupted windows
};

// The splitter's place in the timeline; touched by the splitting thread only
// (and by a start or a replay's open, while nothing splits).
struct SplitPosition {
  std::uint64_t taken = 0;  // groups taken from the ring since it began this stream
  std::uint64_t next_index = 0;
  std::uint64_t settings_number = 0;
  Settings settings;
  ChannelQueue<std::uint64_t> indices;  // of the last split's rows
  std::vector<SettingsRow> rows;        // of the last split, first row first
  std::atomic<std::uint64_t> averaging_dropped{0};
  std::vector<StreamMark> marks_ahead;  // scratch of the averaging split
  AveragingPlan plan;                   // the same
};

// A conversion setting changed while streaming, to be placed by the
// receiver no earlier than earliest_index.
struct PendingChange {
  std::uint64_t earliest_index = 0;
  Settings settings;
};

inline constexpr std::size_t kLatestSettings = 1024;

// The run as the receiver saw it, for the setters and any reader.
struct RunTimeline {
  std::mutex lock;  // a leaf lock; guards the fields without their own atomics
  bool accepting = false;  // from a start to its stop: changes are posted
  std::int64_t start_unix_ns = 0;
  double group_rate = 0.0;
  std::atomic<std::uint64_t> next_index{0};
  std::atomic<std::uint64_t> groups{0};
  // Where the receiver's current connection stands, for placing a change:
  // the index of its first group and when that was sampled (monotonic ns).
  bool anchored = false;
  std::uint64_t segment_index = 0;
  std::int64_t segment_anchor_ns = 0;
  std::deque<PendingChange> pending;
  std::atomic<std::size_t> pending_count{0};
  NumberedLog<KR2270ConversionSettings, 1, kLatestSettings> settings;
};

// The conversion part of settings, for the logs and the sidecar.
KR2270ConversionSettings ConversionOf(const Settings& settings);
// Writes the conversion part back into settings; the rest stays.
void ApplyConversion(const KR2270ConversionSettings& conversion, Settings* settings);

}  // namespace kr2270

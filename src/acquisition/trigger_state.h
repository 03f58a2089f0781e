// What the host-side trigger keeps per handle (see trigger.h). Touched by
// the splitting thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "acquisition/channel_queue.h"
#include "acquisition/timeline.h"
#include "device/settings.h"
#include "kr2270c.h"

namespace kr2270 {

// A completed capture in storage of its own, laid out as the channel queues
// of a split, so that taking it is a swap.
struct CaptureQueues {
  ChannelQueue<std::int32_t> ad[8];
  ChannelQueue<std::uint16_t> di;
  ChannelQueue<std::uint32_t> ct[4];
  ChannelQueue<std::uint32_t> ec[2];
  ChannelQueue<std::uint64_t> indices;
  std::vector<SettingsRow> rows;
};

struct Capture {
  CaptureQueues queues;
  KR2270CaptureInfo info{};
};

// Positions count groups split since the ring began its stream (as
// SplitPosition::taken). From `position` on the indices count up from `index`.
struct IndexRun {
  std::uint64_t position = 0;
  std::uint64_t index = 0;
};

// From `position` on the groups convert with `settings`.
struct KeptSettings {
  std::uint64_t position = 0;
  Settings settings;
};

// A test on one stream word: kNever, kAlways, or the 24-bit code shifted to
// the top of an int32 (code * 256) compared with bound.
struct CodeTest {
  enum Kind : std::uint8_t { kNever, kAlways, kAtLeast, kBelow } kind = kNever;
  std::int32_t bound = 0;
};

// The level and hysteresis as code tests for one channel's settings.
struct LevelCodes {
  bool valid = false;
  std::int32_t zero = 0, full = 0;
  double span = 0.0, offset = 0.0;
  CodeTest arm;   // the other side of the level
  CodeTest fire;  // past the level
};

enum class TriggerPhase : std::uint8_t { kSearching, kReady, kCapturing, kHoldoff, kDone };

struct TriggerState {
  bool armed = false;
  bool no_channel = false;  // the last split lacked the channel
  KR2270TriggerSetup setup{};
  TriggerPhase phase = TriggerPhase::kSearching;
  std::uint64_t watch_from = 0;  // first position watched in this stream
  std::uint64_t seen_end = 0;    // position after the last group watched
  std::uint64_t capture_first = 0;
  std::uint64_t trigger_position = 0;
  std::uint64_t capture_end = 0;
  std::uint64_t resume_at = 0;  // end of the hold-off
  std::uint64_t kept_groups = 0;
  std::deque<IndexRun> runs;
  std::vector<std::size_t> jumps;  // offsets in the last split where the index jumps
  std::deque<KeptSettings> settings;
  std::deque<Capture> ready;
  std::vector<Capture> spare;  // storage of captures taken, for reuse
  std::uint64_t triggers = 0;
  std::uint64_t dropped = 0;
  LevelCodes level;
};

}  // namespace kr2270

// The host-side trigger. It runs inside the plain split, on the codes the
// split has just parsed: the search is one pass over one channel's queue.
// The groups a capture may need stay in the stream ring (the ring's `held`
// bytes) instead of being copied; a capture is parsed out of the ring once,
// when its last group was split, into storage of its own.
#include "acquisition/trigger.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "acquisition/acquisition.h"
#include "acquisition/group_layout.h"
#include "convert/convert.h"
#include "device/export.h"

namespace kr2270 {
namespace {

constexpr std::int32_t kMaxReady = 64;
constexpr std::int32_t kDefaultReady = 4;
constexpr std::size_t kSpareCaptures = 2;  // storage kept for reuse
constexpr std::int32_t kLowestCode = -8388608;
constexpr std::int32_t kHighestCode = 8388607;
constexpr std::int32_t kDigitalInputs = 16;

// --- tests on codes --------------------------------------------------------------

// The word's 24-bit code at the top of an int32, where it orders as the code.
inline std::int32_t Shifted(std::int32_t word) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(word) << 8);
}

// Blocks without a branch per word let the compiler vectorise the test; the
// word is then found in the block that holds it.
constexpr std::size_t kScanBlock = 16;

template <bool kAtLeast>
std::size_t FirstWord(const std::int32_t* words, std::size_t from, std::size_t to,
                      std::int32_t bound) {
  const auto passes = [bound](std::int32_t word) {
    return kAtLeast ? Shifted(word) >= bound : Shifted(word) < bound;
  };
  std::size_t j = from;
  for (; j + kScanBlock <= to; j += kScanBlock) {
    int hits = 0;
    for (std::size_t i = 0; i < kScanBlock; ++i) hits |= passes(words[j + i]) ? 1 : 0;
    if (hits != 0) break;
  }
  for (; j < to; ++j) {
    if (passes(words[j])) return j;
  }
  return to;
}

// The first of words[from .. to) that passes test; `to` when none does.
std::size_t FirstPassing(const std::int32_t* words, std::size_t from, std::size_t to,
                         CodeTest test) {
  switch (test.kind) {
    case CodeTest::kNever:
      return to;
    case CodeTest::kAlways:
      return from;
    case CodeTest::kAtLeast:
      return FirstWord<true>(words, from, to, test.bound);
    case CodeTest::kBelow:
      return FirstWord<false>(words, from, to, test.bound);
  }
  return to;
}

// The first of words[from .. to) whose bit reads `one`.
std::size_t FirstWithBit(const std::uint16_t* words, std::size_t from, std::size_t to, int bit,
                         bool one) {
  const unsigned want = one ? 1u : 0u;
  std::size_t j = from;
  for (; j + kScanBlock <= to; j += kScanBlock) {
    unsigned hits = 0;
    for (std::size_t i = 0; i < kScanBlock; ++i)
      hits |= ((static_cast<unsigned>(words[j + i]) >> bit) & 1u) ^ want ^ 1u;
    if (hits != 0) break;
  }
  for (; j < to; ++j) {
    if (((static_cast<unsigned>(words[j]) >> bit) & 1u) == want) return j;
  }
  return to;
}

// The codes whose value passes `test` (monotone in the code: the conversion
// is linear) are all codes from a bound on, or all codes below it. The bound
// is found by bisection with the conversion itself, so that the test on codes
// agrees with KR2270_HcAdCodeToValue bit for bit.
template <typename Test>
CodeTest CodesWhere(const Settings& settings, std::int32_t k, Test test) {
  const auto passes = [&](std::int32_t code) { return test(AnalogValueOf(settings, k, code)); };
  const bool low = passes(kLowestCode);
  const bool high = passes(kHighestCode);
  if (low == high) return CodeTest{low ? CodeTest::kAlways : CodeTest::kNever, 0};
  std::int32_t below = kLowestCode;  // passes as `low`
  std::int32_t above = kHighestCode;  // passes as `high`
  while (above - below > 1) {
    const std::int32_t middle = below + (above - below) / 2;
    (passes(middle) == low ? below : above) = middle;
  }
  const std::int32_t bound = static_cast<std::int32_t>(static_cast<std::uint32_t>(above) << 8);
  return CodeTest{high ? CodeTest::kAtLeast : CodeTest::kBelow, bound};
}

bool SameScale(const LevelCodes& level, const Settings& s, std::int32_t k) {
  return level.valid && level.zero == s.ad_zero_code[k] && level.full == s.ad_full_code[k] &&
         level.span == s.ad_span[k] && level.offset == s.ad_offset[k];
}

// The level and the hysteresis in codes of the settings in force: computed
// again only when the channel's scale changed.
const LevelCodes& LevelFor(TriggerState& t, const Settings& s) {
  const std::int32_t k = t.setup.channel - 1;
  LevelCodes& level = t.level;
  if (SameScale(level, s, k)) return level;
  const double at = t.setup.level;
  const double h = t.setup.hysteresis;
  if (t.setup.slope == KR2270_TRIGGER_RISING) {
    level.arm = CodesWhere(s, k, [&](double v) { return v < at - h; });
    level.fire = CodesWhere(s, k, [&](double v) { return v >= at; });
  } else {
    level.arm = CodesWhere(s, k, [&](double v) { return v > at + h; });
    level.fire = CodesWhere(s, k, [&](double v) { return v <= at; });
  }
  level.valid = true;
  level.zero = s.ad_zero_code[k];
  level.full = s.ad_full_code[k];
  level.span = s.ad_span[k];
  level.offset = s.ad_offset[k];
  return level;
}

// --- what the trigger keeps beside the ring ----------------------------------------

// A stream the trigger had not seen continue: a start, a replay's open, or
// splits it did not watch.
void Restart(TriggerState& t, std::uint64_t first) {
  t.runs.clear();
  t.settings.clear();
  t.watch_from = first;
  t.seen_end = first;
  t.kept_groups = 0;
  if (t.phase != TriggerPhase::kDone) t.phase = TriggerPhase::kSearching;
}

// Offsets in [lo, hi] of the split where the index jumps: indices rise by
// one per group except at a gap, so a range without a jump is seen from its
// ends alone.
void FindJumps(const std::uint64_t* indices, std::size_t lo, std::size_t hi,
               std::vector<std::size_t>* jumps) {
  if (indices[hi] - indices[lo] == hi - lo) return;
  if (hi - lo == 1) {
    jumps->push_back(hi);
    return;
  }
  const std::size_t middle = lo + (hi - lo) / 2;
  FindJumps(indices, lo, middle, jumps);
  FindJumps(indices, middle, hi, jumps);
}

// Notes where the indices of the split that begins at position `first` jump
// (a jump before its first group included) in runs and in t.jumps.
void NoteIndexRuns(TriggerState& t, const std::uint64_t* indices, std::uint64_t first,
                   std::size_t k) {
  t.jumps.clear();
  if (t.runs.empty()) {
    t.runs.push_back(IndexRun{first, indices[0]});
  } else if (t.runs.back().index + (first - t.runs.back().position) != indices[0]) {
    t.runs.push_back(IndexRun{first, indices[0]});
    t.jumps.push_back(0);
  }
  const std::size_t inside = t.jumps.size();
  if (k > 1) FindJumps(indices, 0, k - 1, &t.jumps);
  for (std::size_t j = inside; j < t.jumps.size(); ++j)
    t.runs.push_back(IndexRun{first + t.jumps[j], indices[t.jumps[j]]});
}

void NoteSettingsRows(TriggerState& t, const std::vector<SettingsRow>& rows, std::uint64_t first) {
  for (const SettingsRow& row : rows) {
    if (!t.settings.empty() && SameConversion(t.settings.back().settings, row.settings)) continue;
    t.settings.push_back(KeptSettings{first + row.row, row.settings});
  }
}

// Drops what lies wholly before position `from`.
template <typename Entries>
void TrimBefore(Entries& entries, std::uint64_t from) {
  while (entries.size() > 1 && entries[1].position <= from) entries.pop_front();
}

// --- captures --------------------------------------------------------------------------

QueueRefs QueuesOf(CaptureQueues& q) { return QueueRefs{q.ad, &q.di, q.ct, q.ec}; }

void FillIndices(const TriggerState& t, Capture& c, std::uint64_t first, std::size_t n) {
  std::uint64_t* out = c.queues.indices.Extend(n);
  std::size_t r = 0;
  while (r + 1 < t.runs.size() && t.runs[r + 1].position <= first) ++r;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t p = first + i;
    if (r + 1 < t.runs.size() && t.runs[r + 1].position == p) ++r;
    out[i] = t.runs[r].index + (p - t.runs[r].position);
  }
}

void FillRows(const TriggerState& t, Capture& c, std::uint64_t first, std::uint64_t end) {
  std::size_t r = 0;
  while (r + 1 < t.settings.size() && t.settings[r + 1].position <= first) ++r;
  c.queues.rows.push_back(SettingsRow{0, t.settings[r].settings});
  for (++r; r < t.settings.size() && t.settings[r].position < end; ++r)
    c.queues.rows.push_back(SettingsRow{t.settings[r].position - first, t.settings[r].settings});
}

// Index jumps between rows of the capture, and the indices they skip.
void CountGaps(const std::uint64_t* indices, std::size_t n, KR2270CaptureInfo* info) {
  for (std::size_t i = 1; i < n; ++i) {
    if (indices[i] == indices[i - 1] + 1) continue;
    ++info->gaps;
    info->missing_groups += indices[i] - indices[i - 1] - 1;
  }
}

std::int64_t TimeOfIndex(Device* device, std::uint64_t index) {
  KR2270Timeline timeline{};
  timeline.struct_size = sizeof timeline;
  if (KR2270_HcGetTimeline(device, &timeline) != 0 || timeline.group_rate <= 0.0 ||
      timeline.start_unix_ns == 0)
    return 0;
  return timeline.start_unix_ns +
         std::llround(static_cast<double>(index) * 1e9 / timeline.group_rate);
}

Capture FreshCapture(TriggerState& t) {
  if (t.spare.empty()) return Capture{};
  Capture c = std::move(t.spare.back());
  t.spare.pop_back();
  c.queues.indices.Clear();
  c.queues.rows.clear();
  c.info = KR2270CaptureInfo{};
  return c;
}

void Recycle(TriggerState& t, Capture&& c) {
  if (t.spare.size() < kSpareCaptures) t.spare.push_back(std::move(c));
}

// The capture in progress is complete: parses it out of the ring, where the
// split that begins at position `split_first` is being taken.
void Complete(Device* device, TriggerState& t, std::uint64_t split_first) {
  const std::uint64_t first = t.capture_first;
  const auto n = static_cast<std::size_t>(t.capture_end - first);
  const auto group = static_cast<std::uint64_t>(GroupSize(device->stream_settings));
  Capture c = FreshCapture(t);
  // Behind the read position, or ahead of it (a wrapped `back`) when the
  // capture begins inside the split.
  const auto back = static_cast<std::uint32_t>((split_first - first) * group);
  ParseGroupsInto(device->stream_settings,
                  FifoPeekBack(device->stream_fifo, back, static_cast<std::uint32_t>(n * group)),
                  n, QueuesOf(c.queues));
  FillIndices(t, c, first, n);
  FillRows(t, c, first, t.capture_end);
  KR2270CaptureInfo& info = c.info;
  info.struct_size = sizeof info;
  info.number = t.triggers - 1;
  info.groups = n;
  info.trigger_row = t.trigger_position - first;
  info.pre_short = info.trigger_row < static_cast<std::uint64_t>(t.setup.pre) ? 1 : 0;
  const std::uint64_t* indices = c.queues.indices.data.get();
  info.first_index = indices[0];
  info.trigger_index = indices[info.trigger_row];
  info.trigger_unix_ns = TimeOfIndex(device, info.trigger_index);
  CountGaps(indices, n, &info);
  t.ready.push_back(std::move(c));
  const std::int32_t limit = t.setup.max_ready == 0 ? kDefaultReady : t.setup.max_ready;
  if (t.ready.size() > static_cast<std::size_t>(limit)) {
    Recycle(t, std::move(t.ready.front()));
    t.ready.pop_front();
    ++t.dropped;
  }
}

void Begin(TriggerState& t, std::uint64_t position) {
  ++t.triggers;
  const auto pre = static_cast<std::uint64_t>(t.setup.pre);
  t.trigger_position = position;
  t.capture_first = position - t.watch_from >= pre ? position - pre : t.watch_from;
  t.capture_end = position + static_cast<std::uint64_t>(t.setup.post);
  t.phase = TriggerPhase::kCapturing;
}

// --- the search ---------------------------------------------------------------------------

// Where the split's rows first pass the test of the phase (the other side
// when searching, the level when ready), from `from` on.
std::size_t NextMatch(Device* device, TriggerState& t, const Settings& settings, std::size_t from,
                      std::size_t to) {
  const bool other_side = t.phase == TriggerPhase::kSearching;
  if (t.setup.source == KR2270_TRIGGER_DIGITAL) {
    const bool rising = t.setup.slope == KR2270_TRIGGER_RISING;
    return FirstWithBit(device->di_queue.data.get(), from, to, t.setup.channel - 1,
                        other_side ? !rising : rising);
  }
  const LevelCodes& level = LevelFor(t, settings);
  return FirstPassing(device->ad_queue[t.setup.channel - 1].data.get(), from, to,
                      other_side ? level.arm : level.fire);
}

// Runs the search over rows from .. to of the split that begins at position
// `first`: one settings row, no gap inside.
void Scan(Device* device, TriggerState& t, const Settings& settings, std::uint64_t first,
          std::size_t from, std::size_t to) {
  std::size_t i = from;
  while (i < to) {
    switch (t.phase) {
      case TriggerPhase::kSearching:
      case TriggerPhase::kReady: {
        const std::size_t j = NextMatch(device, t, settings, i, to);
        if (j == to) return;
        if (t.phase == TriggerPhase::kSearching) {
          t.phase = TriggerPhase::kReady;
          i = j + 1;
        } else {
          Begin(t, first + j);
          i = j;
        }
        break;
      }
      case TriggerPhase::kCapturing:
        if (t.capture_end > first + to) return;
        Complete(device, t, first);
        i = static_cast<std::size_t>(t.capture_end - first);
        t.resume_at = t.capture_end + static_cast<std::uint64_t>(t.setup.holdoff);
        t.phase = t.setup.repeat != 0 ? TriggerPhase::kHoldoff : TriggerPhase::kDone;
        break;
      case TriggerPhase::kHoldoff:
        if (t.resume_at > first + to) return;
        i = std::max(i, static_cast<std::size_t>(t.resume_at - first));
        t.phase = TriggerPhase::kSearching;
        break;
      case TriggerPhase::kDone:
        return;
    }
  }
}

// The split in pieces of one settings row and no gap; a gap sends a search
// that had seen the other side back to looking for it.
void ScanSplit(Device* device, TriggerState& t, std::uint64_t first, std::size_t k) {
  const std::vector<SettingsRow>& rows = device->split.rows;
  std::size_t r = 0;
  std::size_t g = 0;
  for (std::size_t at = 0; at < k;) {
    while (r + 1 < rows.size() && rows[r + 1].row <= at) ++r;
    if (g < t.jumps.size() && t.jumps[g] == at) {
      if (t.phase == TriggerPhase::kReady) t.phase = TriggerPhase::kSearching;
      ++g;
    }
    std::size_t next = k;
    if (r + 1 < rows.size()) next = std::min(next, rows[r + 1].row);
    if (g < t.jumps.size()) next = std::min(next, t.jumps[g]);
    Scan(device, t, rows[r].settings, first, at, next);
    at = next;
  }
}

bool ChannelInStream(const KR2270TriggerSetup& setup, const Settings& layout) {
  if (setup.source == KR2270_TRIGGER_DIGITAL) return (layout.di_in_fifo & 1u) != 0;
  return (layout.ad_enabled[setup.channel - 1] & 1u) != 0;
}

// The oldest position the trigger still needs after the split ending at `end`.
std::uint64_t NeededFrom(const TriggerState& t, std::uint64_t end) {
  if (t.phase == TriggerPhase::kCapturing) return t.capture_first;
  if (t.phase == TriggerPhase::kDone) return end;
  const auto pre = static_cast<std::uint64_t>(t.setup.pre);
  return end - t.watch_from >= pre ? end - pre : t.watch_from;
}

// --- the exports ----------------------------------------------------------------------------

bool ValidSetup(const KR2270TriggerSetup& s) {
  const bool analog = s.source == KR2270_TRIGGER_ANALOG;
  const bool digital = s.source == KR2270_TRIGGER_DIGITAL;
  if (!analog && !digital) return false;
  if (s.channel < 1 || s.channel > (analog ? 8 : kDigitalInputs)) return false;
  if (s.slope != KR2270_TRIGGER_RISING && s.slope != KR2270_TRIGGER_FALLING) return false;
  if (analog && (!std::isfinite(s.level) || !std::isfinite(s.hysteresis) || s.hysteresis < 0.0))
    return false;
  if (s.pre < 0 || s.post < 1 || s.pre > KR2270_TRIGGER_MAX_GROUPS - s.post) return false;
  if (s.repeat != 0 && s.repeat != 1) return false;
  if (s.max_ready < 0 || s.max_ready > kMaxReady) return false;
  return s.holdoff >= 0;
}

// The layout the next split will parse: the run's or the recording's, else
// what the next start will take.
Settings NextLayout(Device* device) {
  if (device->streaming.load() != 0 || device->reader != nullptr) return device->stream_settings;
  return CopyOfSettings(device);
}

// Gives the ring back what the trigger kept.
void ReleaseKept(Device* device) {
  FifoTake(device->stream_fifo, 0, 0);
  device->trigger.kept_groups = 0;
}

std::int32_t HcTriggerArm(Device* device, const KR2270TriggerSetup* setup) {
  if (device == nullptr || setup == nullptr || setup->struct_size < sizeof(KR2270TriggerSetup))
    return KR2270_ERROR_ARGUMENT;
  if (!ValidSetup(*setup) || device->filter_times != 0 ||
      !ChannelInStream(*setup, NextLayout(device)))
    return KR2270_ERROR_ARGUMENT;
  ReleaseKept(device);
  TriggerState& t = device->trigger;
  while (!t.ready.empty()) {
    Recycle(t, std::move(t.ready.front()));
    t.ready.pop_front();
  }
  t.setup = *setup;
  t.setup.struct_size = sizeof(KR2270TriggerSetup);
  t.armed = true;
  t.no_channel = false;
  t.phase = TriggerPhase::kSearching;
  t.triggers = 0;
  t.dropped = 0;
  t.level = LevelCodes{};
  Restart(t, device->split.taken);
  return KR2270_OK;
}

std::int32_t HcTriggerDisarm(Device* device) {
  if (device == nullptr) return KR2270_ERROR_ARGUMENT;
  ReleaseKept(device);
  TriggerState& t = device->trigger;
  t.armed = false;
  t.runs.clear();
  t.settings.clear();
  return KR2270_OK;
}

template <typename T>
void SwapQueue(ChannelQueue<T>& a, ChannelQueue<T>& b) {
  std::swap(a.data, b.data);
  std::swap(a.count, b.count);
  std::swap(a.capacity, b.capacity);
}

std::int32_t HcTriggerTake(Device* device, KR2270CaptureInfo* info) {
  if (device == nullptr || (info != nullptr && info->struct_size < 8)) return KR2270_ERROR_ARGUMENT;
  TriggerState& t = device->trigger;
  if (t.ready.empty()) return 0;
  Capture c = std::move(t.ready.front());
  t.ready.pop_front();
  CaptureQueues& q = c.queues;
  for (int i = 0; i < 8; ++i) SwapQueue(device->ad_queue[i], q.ad[i]);
  SwapQueue(device->di_queue, q.di);
  for (int i = 0; i < 4; ++i) SwapQueue(device->ct_queue[i], q.ct[i]);
  for (int i = 0; i < 2; ++i) SwapQueue(device->ec_queue[i], q.ec[i]);
  SwapQueue(device->split.indices, q.indices);
  std::swap(device->split.rows, q.rows);
  const auto groups = static_cast<std::int32_t>(c.info.groups);
  if (info != nullptr) {
    const std::uint32_t size = std::min<std::uint32_t>(info->struct_size, sizeof c.info);
    c.info.struct_size = size;
    std::memcpy(info, &c.info, size);
  }
  Recycle(t, std::move(c));
  return groups;
}

std::int32_t StateOf(const TriggerState& t) {
  if (!t.armed) return KR2270_TRIGGER_OFF;
  if (t.no_channel) return KR2270_TRIGGER_NO_CHANNEL;
  switch (t.phase) {
    case TriggerPhase::kSearching:
      return KR2270_TRIGGER_SEARCHING;
    case TriggerPhase::kReady:
      return KR2270_TRIGGER_READY;
    case TriggerPhase::kCapturing:
      return KR2270_TRIGGER_CAPTURING;
    case TriggerPhase::kHoldoff:
      return KR2270_TRIGGER_HOLDOFF;
    case TriggerPhase::kDone:
      return KR2270_TRIGGER_DONE;
  }
  return KR2270_TRIGGER_OFF;
}

std::int32_t HcTriggerGetStatus(Device* device, KR2270TriggerStatus* out) {
  if (device == nullptr || out == nullptr || out->struct_size < 8) return KR2270_ERROR_ARGUMENT;
  const TriggerState& t = device->trigger;
  KR2270TriggerStatus status{};
  status.state = StateOf(t);
  status.triggers = t.triggers;
  status.ready = t.ready.size();
  status.dropped = t.dropped;
  status.kept_groups = t.kept_groups;
  status.struct_size = std::min<std::uint32_t>(out->struct_size, sizeof status);
  std::memcpy(out, &status, status.struct_size);
  return KR2270_OK;
}

}  // namespace

std::uint32_t WatchSplit(Device* device, std::size_t k) {
  TriggerState& t = device->trigger;
  if (!t.armed || k == 0) return 0;
  const std::uint64_t end = device->split.taken;
  const std::uint64_t first = end - k;
  if (first != t.seen_end) Restart(t, first);
  t.seen_end = end;
  t.no_channel = !ChannelInStream(t.setup, device->stream_settings);
  if (t.no_channel) {
    t.kept_groups = 0;
    return 0;
  }
  try {
    NoteIndexRuns(t, device->split.indices.data.get(), first, k);
    NoteSettingsRows(t, device->split.rows, first);
    ScanSplit(device, t, first, k);
  } catch (...) {
    // No memory for a capture: it is dropped and counted, and the search
    // starts afresh after this split, which the ring must let go of.
    if (t.phase == TriggerPhase::kCapturing) ++t.dropped;
    Restart(t, end);
    return 0;
  }
  const std::uint64_t needed = NeededFrom(t, end);
  TrimBefore(t.runs, needed);
  TrimBefore(t.settings, needed);
  t.kept_groups = end - needed;
  return static_cast<std::uint32_t>(t.kept_groups *
                                    static_cast<std::uint64_t>(GroupSize(device->stream_settings)));
}

}  // namespace kr2270

KR2270_EXPORT int32_t KR2270_HcTriggerArm(KR2270Device* device, const KR2270TriggerSetup* setup) {
  return kr2270::Guarded([&] { return kr2270::HcTriggerArm(device, setup); });
}

KR2270_EXPORT int32_t KR2270_HcTriggerDisarm(KR2270Device* device) {
  return kr2270::Guarded([&] { return kr2270::HcTriggerDisarm(device); });
}

KR2270_EXPORT int32_t KR2270_HcTriggerTake(KR2270Device* device, KR2270CaptureInfo* info) {
  return kr2270::Guarded([&] { return kr2270::HcTriggerTake(device, info); });
}

KR2270_EXPORT int32_t KR2270_HcTriggerGetStatus(KR2270Device* device,
                                                KR2270TriggerStatus* status) {
  return kr2270::Guarded([&] { return kr2270::HcTriggerGetStatus(device, status); });
}

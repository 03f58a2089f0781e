// The splitter beside memcpy and a naive splitter, its allocations once the
// queues reached their working size, and code-to-value conversion beside a
// plain scalar loop. No network: groups are put into the ring directly.
#include <cstdlib>
#include <cstring>
#include <random>

#include "acquisition/stream_fifo.h"
#include "alloc_count.h"
#include "anchors.h"
#include "bench_util.h"
#include "device/device.h"
#include "sections.h"
#include "sim/simulator.h"
#include "stream_consumer.h"

namespace kr2270::bench {
namespace {

// 10 ms of the highest load: what one split takes at the recommended pace.
constexpr std::size_t kGroupsPerSplit = 2560;
constexpr std::int32_t kConvertBlock = 4096;

std::vector<std::uint8_t> SequenceGroups(const sim::StreamLayout& layout, std::size_t count) {
  std::vector<std::uint8_t> bytes(count * sim::GroupSize(layout));
  std::uint8_t* out = bytes.data();
  for (std::size_t g = 0; g < count; ++g) out = sim::WriteSequenceGroup(layout, g, out);
  return bytes;
}

void AddSplitRows(const Config& config, Report& report) {
  KR2270Device* device = KR2270_DeviceCreate();
  if (device == nullptr) return;
  UseFullLayout(device);
  const sim::StreamLayout layout = FullLayout();
  const std::vector<std::uint8_t> groups = SequenceGroups(layout, kGroupsPerSplit);
  std::vector<std::uint8_t> copy(groups.size());
  NaiveQueues naive;
  const int warmup = 50;
  const int rounds = std::max(200, static_cast<int>(2000 * config.scale));
  std::vector<double> memcpy_s, split_s, naive_s;
  std::uint64_t allocations = 0;
  long bad_splits = 0;
  for (int r = 0; r < warmup + rounds; ++r) {
    FifoPut(device->stream_fifo, groups.data(), static_cast<std::uint32_t>(groups.size()));
    const double t0 = NowSeconds();
    std::memcpy(copy.data(), groups.data(), groups.size());
    const double t1 = NowSeconds();
    const std::uint64_t a0 = AllocationCount();
    const std::int32_t k = KR2270_HcCodeSplit(device, static_cast<std::int32_t>(kGroupsPerSplit));
    const std::uint64_t a1 = AllocationCount();
    const double t2 = NowSeconds();
    NaiveSplit(layout, copy.data(), kGroupsPerSplit, naive);
    const double t3 = NowSeconds();
    if (k != static_cast<std::int32_t>(kGroupsPerSplit)) ++bad_splits;
    if (r < warmup) continue;
    allocations += a1 - a0;
    memcpy_s.push_back(t1 - t0);
    split_s.push_back(t2 - t1);
    naive_s.push_back(t3 - t2);
  }
  // The library's queues against the naive ones: both must hold the pattern.
  StreamConsumer check;
  PrepareConsumer(check, device, layout, static_cast<std::int32_t>(kGroupsPerSplit));
  FifoPut(device->stream_fifo, groups.data(), static_cast<std::uint32_t>(groups.size()));
  const std::int32_t k = ConsumeOnce(check);
  const bool naive_right = naive.ct[3].size() == kGroupsPerSplit &&
                           naive.ct[3].back() == sim::SequenceCounter(kGroupsPerSplit - 1, 4);
  KR2270_DeviceClose(device);

  const double bytes = static_cast<double>(groups.size());
  // A split that gives wrong codes has no speed worth a row.
  const bool library_right = check.mismatches == 0 && k > 0 && bad_splits == 0;
  const double split_rate = library_right ? bytes / Median(split_s) / 1e9 : kNone;
  report.rows.push_back({"Split (58 B groups, 2560 per split)", split_rate, "GB/s", "memcpy",
                         bytes / Median(memcpy_s) / 1e9, Bound::kAtLeast, GoalOn::kRatio, 0.30});
  report.rows.push_back({"Split (58 B groups, 2560 per split)", split_rate, "GB/s",
                         "naive push_back splitter", bytes / Median(naive_s) / 1e9, Bound::kAtLeast,
                         GoalOn::kRatio, 3.0});
  report.rows.push_back({"Heap allocations per split at working size",
                         static_cast<double>(allocations) / rounds, "", "", kNone, Bound::kAtMost,
                         GoalOn::kValue, 0.0});
  char note[200];
  std::snprintf(note, sizeof note,
                "Split: %d rounds; short splits %ld; library queues %s the pattern (%d groups "
                "checked); naive queues %s",
                rounds, bad_splits, library_right ? "match" : "DO NOT match", k,
                naive_right ? "match" : "DO NOT match");
  report.notes.push_back(note);
}

// Ten splits of 2560 groups per period of a 10 Hz sine on channel 1 (at
// 256000 groups/s), the pattern elsewhere: one period, to be put over and over.
std::vector<std::uint8_t> SinePeriod(const sim::StreamLayout& layout) {
  constexpr std::size_t kPeriod = 10 * kGroupsPerSplit;
  std::vector<std::uint8_t> bytes = SequenceGroups(layout, kPeriod);
  const std::size_t group = sim::GroupSize(layout);
  const sim::CalibrationPair host_default{4194303, 8388607};
  for (std::size_t g = 0; g < kPeriod; ++g) {
    const double volts = 2.0 * sim::ModelSine(static_cast<double>(g) / static_cast<double>(kPeriod));
    const auto code = static_cast<std::uint32_t>(sim::VoltsToCode(volts, 10.0, host_default));
    for (std::size_t b = 0; b < 4; ++b)
      bytes[g * group + b] = static_cast<std::uint8_t>(code >> (8 * b));
  }
  return bytes;
}

// A trigger armed on the splitting path against the plain split of the same
// groups: a repeated capture of 10 ms (pre 1280, post 1280) once per period,
// taken as it completes. CPU per split, the captures' share included.
void AddTriggerRows(const Config& config, Report& report) {
  KR2270Device* plain = KR2270_DeviceCreate();
  KR2270Device* armed = KR2270_DeviceCreate();
  if (plain == nullptr || armed == nullptr) return;
  UseFullLayout(plain);
  UseFullLayout(armed);
  const sim::StreamLayout layout = FullLayout();
  const std::vector<std::uint8_t> period = SinePeriod(layout);
  const std::size_t split_bytes = period.size() / 10;
  KR2270TriggerSetup setup{};
  setup.struct_size = sizeof setup;
  setup.source = KR2270_TRIGGER_ANALOG;
  setup.channel = 1;
  setup.slope = KR2270_TRIGGER_RISING;
  setup.level = 1.0;
  setup.hysteresis = 0.1;
  setup.pre = 1280;
  setup.post = 1280;
  setup.repeat = 1;
  const bool armed_ok = KR2270_HcTriggerArm(armed, &setup) == 0;
  const int warmup = 50;
  const int rounds = std::max(400, static_cast<int>(4000 * config.scale)) / 10 * 10;
  // Thread CPU time summed over each period of ten splits (one capture in
  // each), the median period taken: preemption and a stray slow round on a
  // shared machine stay out, the capture's share stays in.
  std::vector<double> plain_periods, armed_periods;
  double plain_ns = 0.0, armed_ns = 0.0;
  long captures = 0, bad_captures = 0, bad_splits = 0;
  KR2270CaptureInfo info{};
  for (int r = 0; r < warmup + rounds; ++r) {
    const std::uint8_t* slice = period.data() + static_cast<std::size_t>(r % 10) * split_bytes;
    FifoPut(plain->stream_fifo, slice, static_cast<std::uint32_t>(split_bytes));
    FifoPut(armed->stream_fifo, slice, static_cast<std::uint32_t>(split_bytes));
    const std::int64_t t0 = ThreadClockNs();
    const std::int32_t k_plain = KR2270_HcCodeSplit(plain, static_cast<std::int32_t>(kGroupsPerSplit));
    const std::int64_t t1 = ThreadClockNs();
    const std::int32_t k_armed = KR2270_HcCodeSplit(armed, static_cast<std::int32_t>(kGroupsPerSplit));
    info.struct_size = sizeof info;
    std::int32_t taken = 0;
    while ((taken = KR2270_HcTriggerTake(armed, &info)) > 0) {
      ++captures;
      if (taken != 2560 || info.trigger_row != 1280 || info.gaps != 0) ++bad_captures;
    }
    const std::int64_t t2 = ThreadClockNs();
    if (k_plain != static_cast<std::int32_t>(kGroupsPerSplit) || k_armed != k_plain) ++bad_splits;
    if (r < warmup) {
      captures = 0;
      continue;
    }
    plain_ns += static_cast<double>(t1 - t0);
    armed_ns += static_cast<double>(t2 - t1);
    if (r % 10 == 9) {
      plain_periods.push_back(plain_ns / 10.0);
      armed_periods.push_back(armed_ns / 10.0);
      plain_ns = armed_ns = 0.0;
    }
  }
  KR2270_DeviceClose(plain);
  KR2270_DeviceClose(armed);
  // One rising crossing of 1 V per period of ten splits.
  const long expected = rounds / 10;
  const bool right = armed_ok && bad_splits == 0 && bad_captures == 0 &&
                     std::abs(captures - expected) <= 1;
  report.rows.push_back({"Split with a repeated trigger armed (58 B groups, 10 ms captures), CPU per split",
                         right ? Median(armed_periods) / 1e3 : kNone, "us", "plain split",
                         Median(plain_periods) / 1e3, Bound::kAtMost, GoalOn::kRatio, 1.2});
  char note[200];
  std::snprintf(note, sizeof note,
                "Trigger: %d rounds; %ld captures of 2560 groups taken (%ld expected), %ld wrong, "
                "%ld short splits",
                rounds, captures, expected, bad_captures, bad_splits);
  report.notes.push_back(note);
}

void AddConversionRows(const Config& config, Report& report) {
  KR2270Device* device = KR2270_DeviceCreate();
  if (device == nullptr) return;
  const Settings& s = device->settings;
  // Raw words as they come from the stream: any 24-bit code, stray upper bits.
  std::mt19937 random(2270);
  std::vector<std::int32_t> raw(kConvertBlock);
  for (auto& w : raw) w = static_cast<std::int32_t>(random());
  std::vector<std::int32_t> lib_codes = raw, scalar_codes = raw;
  std::vector<double> lib_values(kConvertBlock), scalar_values(kConvertBlock);
  const auto convert_lib = [&] {
    KR2270_AdCodeToValue(device, 1, lib_codes.data(), kConvertBlock, lib_values.data());
  };
  const auto convert_scalar = [&] {
    ScalarCodeToValue(scalar_codes.data(), kConvertBlock, scalar_values.data(), s.ad_zero_code[0],
                      s.ad_full_code[0], s.ad_span[0], s.ad_offset[0]);
  };
  // Both start from the same raw words and agree bit for bit.
  convert_lib();
  convert_scalar();
  const bool same =
      lib_codes == scalar_codes &&
      std::memcmp(lib_values.data(), scalar_values.data(), lib_values.size() * sizeof(double)) == 0;
  // Later calls see the codes already sign-extended: the same values, with
  // bit 23 as random as before.
  const int calls = 64;
  const int rounds = std::max(50, static_cast<int>(400 * config.scale));
  std::vector<double> lib_s, scalar_s;
  for (int r = 0; r < rounds; ++r) {
    const double t0 = NowSeconds();
    for (int c = 0; c < calls; ++c) convert_lib();
    const double t1 = NowSeconds();
    for (int c = 0; c < calls; ++c) convert_scalar();
    const double t2 = NowSeconds();
    lib_s.push_back(t1 - t0);
    scalar_s.push_back(t2 - t1);
  }
  const double values = static_cast<double>(calls) * kConvertBlock;
  report.rows.push_back({"KR2270_AdCodeToValue, 4096-value blocks", values / Median(lib_s) / 1e6,
                         "M values/s", "plain scalar loop", values / Median(scalar_s) / 1e6,
                         Bound::kAtLeast, GoalOn::kRatio, 2.0});
  report.notes.push_back(std::string("Conversion: library and scalar loop agree bit for bit: ") +
                         (same ? "yes" : "NO"));
  KR2270_DeviceClose(device);
}

}  // namespace

void RunSplitSection(const Config& config, Report& report) {
  AddSplitRows(config, report);
  AddTriggerRows(config, report);
  AddConversionRows(config, report);
}

}  // namespace kr2270::bench

// The splitter beside memcpy and a naive splitter, its allocations once the
// queues reached their working size, and code-to-value conversion beside a
// plain scalar loop. No network: groups are put into the ring directly.
#include <cstring>
#include <random>

#include "acquisition/stream_fifo.h"
#include "alloc_count.h"
#include "anchors.h"
#include "bench_util.h"
#include "device/device.h"
#include "sections.h"
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
  AddConversionRows(config, report);
}

}  // namespace kr2270::bench

// The timeline against the simulated module: every group at its index
// through ring drops and reconnects at every rate, settings changed during a
// run, recordings that carry both, and the calls around a reconnect that
// must stay bounded. In sequence mode the code of channel 1 names the
// module's group number on the current connection (8g), so a group at the
// wrong index cannot pass.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../fuzz/stream_check.h"
#include "device/device.h"
#include "eventually.h"
#include "kr2270c.h"
#include "recording/sidecar.h"
#include "sim/simulator.h"
#include "sim_device.h"
#include "stream_probe.h"
#include "temp_dir.h"

namespace kr2270 {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using test::HealthOf;
using test::MsSince;
constexpr std::int32_t T = 2000;

struct Taken {
  std::vector<std::uint64_t> indices;
  std::vector<std::int32_t> codes;
  std::vector<double> volts;
  std::vector<std::uint32_t> counts;  // of counter `counter`, when streamed
};

// Splits whatever is buffered (live or read from a recording) into `taken`;
// returns the groups split.
std::int32_t SplitInto(KR2270Device* device, Taken& taken, int counter) {
  const std::int32_t k = KR2270_HcCodeSplit(device, KR2270_HcCodeCanReadGroupCount(device));
  if (k <= 0) return 0;
  const auto n = static_cast<std::size_t>(k);
  const std::size_t at = taken.indices.size();
  taken.indices.resize(at + n);
  taken.codes.resize(at + n);
  taken.volts.resize(at + n);
  EXPECT_EQ(KR2270_HcCodeGetIndex(device, taken.indices.data() + at), k);
  EXPECT_EQ(KR2270_HcCodeGetAd(device, 1, taken.codes.data() + at), k);
  std::vector<std::int32_t> codes(taken.codes.begin() + static_cast<std::ptrdiff_t>(at), taken.codes.end());
  EXPECT_EQ(KR2270_HcAdCodeToValue(device, 1, codes.data(), k, taken.volts.data() + at), 0);
  if (counter != 0) {
    taken.counts.resize(at + n);
    EXPECT_EQ(KR2270_HcCodeGetCt(device, counter, taken.counts.data() + at), k);
  }
  return k;
}

// A handle on its own simulated module.
class Module : public test::ConnectedModule {
 public:
  using ConnectedModule::ConnectedModule;
  // Tests shrink the ring; the handle frees it at its full size.
  ~Module() {
    KR2270_HcStart(device, 0, T);
    device->stream_fifo.size = kStreamFifoBytes;
  }

  std::int32_t TakeBuffered(Taken& taken, int counter = 0) { return SplitInto(device, taken, counter); }

  // Takes groups until `until` holds or the stream ends; false on a time-out.
  template <typename Until>
  bool TakeUntil(Taken& taken, Until until, int counter = 0, int deadline_ms = 15000) {
    const auto start = Clock::now();
    while (!until()) {
      if (MsSince(start) > deadline_ms) return false;
      const std::int32_t ready = KR2270_HcWaitGroups(device, 1, 200);
      if (ready == KR2270_ERROR_TIMEOUT) continue;
      if (ready < 0) return false;
      TakeBuffered(taken, counter);
    }
    return true;
  }

  void DrainAfterStop(Taken& taken, int counter = 0) {
    while (TakeBuffered(taken, counter) > 0) {
    }
  }

  std::vector<KR2270GapRecord> Gaps() {
    std::vector<KR2270GapRecord> gaps(64);
    const std::int32_t n = KR2270_HcGetGapsSince(device, 0, gaps.data(), 64, nullptr);
    gaps.resize(static_cast<std::size_t>(std::max(n, 0)));
    return gaps;
  }
};

sim::Options Sequence() {
  sim::Options options;
  options.sequence = true;
  return options;
}

// A flat input on channel 1, so that each group's volts are known.
sim::Options FlatInput(double volts) {
  sim::Options options;
  options.signal[0] = {volts, 0.0, 10.0};
  return options;
}

// --- every group at its index ----------------------------------------------------

struct RateCase {
  std::int32_t rate_code;
  std::int32_t averaging;
};

class TimelineAtEveryRate : public ::testing::TestWithParam<RateCase> {};

std::int32_t DecimationOf(std::int32_t rate_code) {
  return rate_code == 16 ? 2 : rate_code == 48 ? 4 : 1;
}

// The module's group number on the current connection that a taken row
// stands for: its code is 8g (the window's mean when averaging).
double ModuleGroupOf(std::int32_t code) { return static_cast<double>(code) / 8.0; }

TEST_P(TimelineAtEveryRate, RingDropsAndAReconnectKeepEveryGroupAtItsIndex) {
  const RateCase c = GetParam();
  const std::int32_t decimation = DecimationOf(c.rate_code);
  Module m(Sequence());
  oracle::StreamSetup setup;
  setup.analog_mask = 0x01;
  setup.counter_mask = 0;
  setup.rate_code = c.rate_code;
  setup.transfer_bytes = 4 * 64 * decimation;
  ASSERT_EQ(oracle::Configure(m.device, setup, T), "");
  ASSERT_EQ(KR2270_AdFilterTimesPC(m.device, c.averaging, nullptr), 0);
  ASSERT_EQ(KR2270_SetAutoReconnect(m.device, 1, 10000), 0);
  // A ring of 256 groups: a test that does not split for a moment loses some.
  m.device->stream_fifo.size = 1024;
  ASSERT_EQ(KR2270_HcStart(m.device, 1, T), 0);

  Taken taken;
  for (int round = 1; round <= 2; ++round) {
    ASSERT_TRUE(test::Eventually(
        [&] { return HealthOf(m.device).gaps >= static_cast<std::uint64_t>(round); }))
        << "the ring never ran over";
    m.TakeBuffered(taken);
  }
  const std::size_t before_drop = taken.indices.size();
  m.sim.DropDataConnection(false);
  ASSERT_TRUE(m.TakeUntil(taken, [&] {
    return HealthOf(m.device).reconnects == 1 && taken.indices.size() > before_drop + 40;
  }));
  // Counted in groups, not gaps: the ring may already be full and dropping,
  // which extends the gap in progress instead of opening a new one.
  const std::uint64_t dropped_before = HealthOf(m.device).groups_dropped;
  ASSERT_TRUE(test::Eventually([&] { return HealthOf(m.device).groups_dropped > dropped_before; }))
      << "no drop after the reconnect";
  ASSERT_EQ(KR2270_HcStart(m.device, 0, T), 0);
  m.DrainAfterStop(taken);

  // Rows split before the reconnect: index = group number / decimation.
  // After it the module counts from 0 again: index - that is one constant.
  const double per_index = decimation;
  const std::uint64_t step = c.averaging > 0 ? static_cast<std::uint64_t>(c.averaging) : 1;
  const double window_middle = c.averaging > 0 ? (c.averaging - 1) / 2.0 : 0.0;
  bool second = false;
  double offset = 0.0;
  std::uint64_t last_first_segment = 0;
  for (std::size_t i = 0; i < taken.indices.size(); ++i) {
    const std::uint64_t index = taken.indices[i];
    ASSERT_EQ(index % step, 0u) << "windows align to the index";
    if (i > 0) {
      ASSERT_GT(index, taken.indices[i - 1]) << "row " << i;
    }
    const double group = ModuleGroupOf(taken.codes[i]) / per_index;
    if (!second && i > 0 && group + window_middle < static_cast<double>(taken.indices[i - 1])) {
      second = true;  // the new connection's first row
      last_first_segment = taken.indices[i - 1];
      offset = static_cast<double>(index) + window_middle - group;
      ASSERT_EQ(offset, std::floor(offset)) << "row " << i;
    }
    const double expected = second ? group + offset : group;
    ASSERT_EQ(static_cast<double>(index) + window_middle, expected) << "row " << i << " at index " << index;
  }
  ASSERT_TRUE(second) << "no rows after the reconnect";
  // Every jump of the index is a gap the log holds.
  const std::vector<KR2270GapRecord> gaps = m.Gaps();
  const auto link = std::find_if(gaps.begin(), gaps.end(), [](const KR2270GapRecord& g) {
    return g.cause == KR2270_GAP_LINK_LOST;
  });
  ASSERT_NE(link, gaps.end());
  EXPECT_EQ(link->estimated, 1);
  EXPECT_GT(link->index, last_first_segment);
  EXPECT_GE(static_cast<double>(link->index + link->missing) + window_middle, offset);
  for (const KR2270GapRecord& gap : gaps) {
    if (gap.cause != KR2270_GAP_RING_FULL) continue;
    EXPECT_EQ(gap.estimated, 0);
    EXPECT_GT(gap.missing, 0u);
  }
  KR2270Timeline timeline{};
  timeline.struct_size = sizeof timeline;
  ASSERT_EQ(KR2270_HcGetTimeline(m.device, &timeline), 0);
  EXPECT_GT(timeline.start_unix_ns, 0);
  EXPECT_EQ(timeline.gaps, gaps.size());
  if (c.averaging == 0) {
    // Without averaging every index up to the last row is a row or lies in
    // a gap (the ring may have run over once more before the stop).
    std::uint64_t missing = 0;
    for (const KR2270GapRecord& gap : gaps) {
      if (gap.index < taken.indices.back()) missing += gap.missing;
    }
    EXPECT_EQ(taken.indices.back() + 1, taken.indices.size() + missing);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rates, TimelineAtEveryRate,
    ::testing::Values(RateCase{8, 0}, RateCase{16, 0}, RateCase{24, 3}, RateCase{36, 0},
                      RateCase{40, 3}, RateCase{48, 0}, RateCase{52, 3}, RateCase{56, 0},
                      RateCase{16, 3}, RateCase{48, 3}),
    [](const ::testing::TestParamInfo<RateCase>& info) {
      return "code" + std::to_string(info.param.rate_code) + "_average" +
             std::to_string(info.param.averaging);
    });

// --- settings in force ---------------------------------------------------------------

// Channel 1 and counter 4 (mode 0: 4000 counts per second of model time)
// at 8000 groups per second, 10 ms blocks.
void StreamChannelAndCounter(KR2270Device* device) {
  const std::uint8_t analog[8] = {1, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(KR2270_AdInFifo(device, analog, 4, T), 0);
  std::uint8_t counters[4] = {0, 0, 0, 1};
  ASSERT_EQ(KR2270_CtInFifo(device, counters, T), 0);
  ASSERT_EQ(KR2270_HcSetFreq(device, 56, T), 0);
  ASSERT_EQ(KR2270_HcSetTranBytesCount(device, 640, T), 0);
}

std::vector<KR2270ConversionSettings> SettingsOfRecording(KR2270Device* device) {
  std::vector<KR2270ConversionSettings> settings(16);
  const std::int32_t n = KR2270_DFRGetSettings(device, 0, settings.data(), 16, nullptr);
  settings.resize(static_cast<std::size_t>(std::max(n, 0)));
  return settings;
}

// Replays the whole recording at `first_file` through the splitter.
Taken Replay(const std::string& first_file, KR2270Timeline* timeline, int counter = 0) {
  KR2270Device* device = KR2270_DeviceCreate();
  Taken taken;
  EXPECT_EQ(KR2270_DFROpen(device, first_file.c_str(), 0), 0);
  timeline->struct_size = sizeof *timeline;
  EXPECT_EQ(KR2270_DFRGetTimeline(device, timeline), 0);
  for (;;) {
    std::int32_t read = 0;
    EXPECT_EQ(KR2270_DFRRead(device, -1, 100000, &read), 0);
    if (read == 0) break;
    SplitInto(device, taken, counter);
  }
  EXPECT_EQ(KR2270_DFRClose(device), 0);
  KR2270_DeviceClose(device);
  return taken;
}

std::string FirstFile(KR2270Device* device) {
  char path[512];
  EXPECT_GT(KR2270_DFWGetFileName(device, 0, path, sizeof path), 0);
  return path;
}

TEST(TimelineSettings, ARangeChangedMidRecordingReplaysWithTheVoltsTheModuleMeasured) {
  Module m(FlatInput(2.5));
  test::TempDir dir;
  StreamChannelAndCounter(m.device);
  ASSERT_EQ(KR2270_AdSetRange(m.device, 1, 0, T), 0);  // 10 V
  ASSERT_EQ(KR2270_DFWOpen(m.device, dir.path.c_str(), 0), 0);
  ASSERT_EQ(KR2270_HcStart(m.device, 1, T), 0);
  Taken live;
  // How long each change took: the module took it somewhere in that time,
  // which bounds how far its estimated place can be off.
  long change_ms[3] = {};
  const auto set_range = [&](int change, std::int32_t code) {
    const auto start = Clock::now();
    EXPECT_EQ(KR2270_AdSetRange(m.device, 1, code, T), 0);
    change_ms[change] = MsSince(start) + 1;
  };
  ASSERT_TRUE(m.TakeUntil(live, [&] { return live.indices.size() >= 1600; }));
  set_range(1, 1);  // 5 V while it streams
  ASSERT_TRUE(m.TakeUntil(live, [&] { return live.indices.size() >= 3200; }));
  set_range(2, 2);  // 2 V: 2.5 V clips at full scale
  ASSERT_TRUE(m.TakeUntil(live, [&] { return live.indices.size() >= 4800; }));
  ASSERT_EQ(KR2270_HcStart(m.device, 0, T), 0);
  m.DrainAfterStop(live);
  const std::string first = FirstFile(m.device);
  ASSERT_EQ(KR2270_DFWClose(m.device), 0);

  std::vector<KR2270ConversionSettings> changes(8);
  ASSERT_EQ(KR2270_HcGetSettingsSince(m.device, 0, changes.data(), 8, nullptr), 3);
  EXPECT_EQ(changes[1].full_scale[0], 5.0);
  EXPECT_EQ(changes[2].full_scale[0], 2.0);
  // Every group converts to what the module measured, but for the groups
  // whose moment is uncertain: within a millisecond of a change, or within
  // the time the change took.
  const auto near_change = [&](std::uint64_t index) {
    for (int c = 1; c <= 2; ++c) {
      const auto at = static_cast<std::int64_t>(changes[static_cast<std::size_t>(c)].index);
      const std::int64_t uncertain = 8 + 8 * change_ms[c];
      if (std::llabs(static_cast<std::int64_t>(index) - at) <= uncertain) return true;
    }
    return false;
  };
  const double full_scale_of_two_volts = m.sim.Span(1);
  EXPECT_EQ(full_scale_of_two_volts, 2.0);
  std::size_t checked = 0;
  for (std::size_t i = 0; i < live.indices.size(); ++i) {
    if (near_change(live.indices[i])) continue;
    const double expected = live.indices[i] >= changes[2].index ? 2.0 : 2.5;
    ASSERT_NEAR(live.volts[i], expected, 1e-4) << "live group at index " << live.indices[i];
    ++checked;
  }
  EXPECT_GT(checked, 4000u);

  KR2270Timeline timeline{};
  const Taken replay = Replay(first, &timeline);
  EXPECT_EQ(timeline.source, 2);
  EXPECT_EQ(timeline.settings, 3u);
  ASSERT_EQ(replay.indices, live.indices) << "the recording holds every group the run took";
  for (std::size_t i = 0; i < replay.volts.size(); ++i) {
    ASSERT_EQ(replay.volts[i], live.volts[i]) << "replayed group at index " << replay.indices[i];
  }
  KR2270Device* reader = KR2270_DeviceCreate();
  ASSERT_EQ(KR2270_DFROpen(reader, first.c_str(), 0), 0);
  const std::vector<KR2270ConversionSettings> recorded = SettingsOfRecording(reader);
  ASSERT_EQ(recorded.size(), 3u);
  EXPECT_EQ(recorded[1].index, changes[1].index);
  EXPECT_EQ(recorded[2].range_code[0], 2);
  KR2270_DFRClose(reader);
  KR2270_DeviceClose(reader);
}

TEST(TimelineSettings, TheReconnectAfterARestartRestoresTheRangeSetDuringTheRun) {
  Module m(FlatInput(0.8));
  StreamChannelAndCounter(m.device);
  ASSERT_EQ(KR2270_AdSetRange(m.device, 1, 1, T), 0);  // 5 V
  ASSERT_EQ(KR2270_SetAutoReconnect(m.device, 1, 10000), 0);
  ASSERT_EQ(KR2270_HcStart(m.device, 1, T), 0);
  Taken taken;
  ASSERT_TRUE(m.TakeUntil(taken, [&] { return taken.indices.size() >= 400; }));
  ASSERT_EQ(KR2270_AdSetRange(m.device, 1, 3, T), 0);  // 1 V
  ASSERT_TRUE(m.TakeUntil(taken, [&] { return taken.indices.size() >= 800; }));
  m.sim.Restart();  // back to 10 V in the module
  ASSERT_TRUE(m.TakeUntil(taken, [&] { return HealthOf(m.device).reconnects == 1; }));
  const std::size_t after = taken.indices.size();
  ASSERT_TRUE(m.TakeUntil(taken, [&] { return taken.indices.size() >= after + 400; }));
  EXPECT_EQ(m.sim.Span(1), 1.0) << "the reconnect re-sent the range the run started with";
  for (std::size_t i = after; i < taken.indices.size(); ++i) {
    ASSERT_NEAR(taken.volts[i], 0.8, 1e-4) << "group at index " << taken.indices[i];
  }
  const std::vector<KR2270GapRecord> gaps = m.Gaps();
  ASSERT_FALSE(gaps.empty());
  EXPECT_EQ(gaps.back().cause, KR2270_GAP_MODULE_RESTART);
}

// --- a recording through the C API alone ---------------------------------------------

TEST(TimelineRecording, AResetAndARestartReplayEveryGroupAtItsTrueTime) {
  Module m(sim::Options{});
  test::TempDir dir;
  StreamChannelAndCounter(m.device);
  ASSERT_EQ(KR2270_SetAutoReconnect(m.device, 1, 10000), 0);
  ASSERT_EQ(KR2270_DFWOpen(m.device, dir.path.c_str(), 0), 0);
  ASSERT_EQ(KR2270_HcStart(m.device, 1, T), 0);
  Taken live;
  ASSERT_TRUE(m.TakeUntil(live, [&] { return live.indices.size() >= 2000; }, 4));
  m.sim.DropDataConnection(true);
  ASSERT_TRUE(m.TakeUntil(live, [&] { return HealthOf(m.device).reconnects == 1; }, 4));
  const std::size_t after_reset = live.indices.size();
  ASSERT_TRUE(m.TakeUntil(live, [&] { return live.indices.size() >= after_reset + 2000; }, 4));
  m.sim.Restart();
  ASSERT_TRUE(m.TakeUntil(live, [&] { return HealthOf(m.device).reconnects == 2; }, 4));
  const std::size_t after_restart = live.indices.size();
  ASSERT_TRUE(m.TakeUntil(live, [&] { return live.indices.size() >= after_restart + 2000; }, 4));
  ASSERT_EQ(KR2270_HcStart(m.device, 0, T), 0);
  m.DrainAfterStop(live, 4);
  const std::string first = FirstFile(m.device);
  ASSERT_EQ(KR2270_DFWClose(m.device), 0);

  KR2270Timeline timeline{};
  const Taken replay = Replay(first, &timeline, 4);
  EXPECT_EQ(timeline.source, 2);
  EXPECT_EQ(timeline.complete, 1);
  EXPECT_EQ(timeline.gaps, 2u);
  ASSERT_EQ(replay.indices, live.indices);
  ASSERT_EQ(replay.counts, live.counts);
  // Counter 4 counts 4000 per second of model time, which the restart does
  // not stop: model time less the group's time is one constant, to a
  // millisecond, before, between and after both gaps.
  double lowest = 1e300;
  double highest = -1e300;
  for (std::size_t i = 0; i < replay.indices.size(); ++i) {
    const double model_time = replay.counts[i] / 4000.0;
    const double group_time = static_cast<double>(replay.indices[i]) / 8000.0;
    lowest = std::min(lowest, model_time - group_time);
    highest = std::max(highest, model_time - group_time);
  }
  EXPECT_LE(highest - lowest, 0.001 + 1 / 4000.0) << "groups misplaced in time by "
                                                    << (highest - lowest) * 1000 << " ms";
  KR2270Device* reader = KR2270_DeviceCreate();
  ASSERT_EQ(KR2270_DFROpen(reader, first.c_str(), 0), 0);
  std::vector<KR2270GapRecord> gaps(4);
  ASSERT_EQ(KR2270_DFRGetGaps(reader, 0, gaps.data(), 4, nullptr), 2);
  EXPECT_EQ(gaps[0].cause, KR2270_GAP_LINK_LOST);
  EXPECT_EQ(gaps[1].cause, KR2270_GAP_MODULE_RESTART);
  // The recording holds every group the run took before the gap.
  const auto before_gap = std::count_if(live.indices.begin(), live.indices.end(),
                                        [&](std::uint64_t index) { return index < gaps[0].index; });
  EXPECT_EQ(gaps[0].position, static_cast<std::uint64_t>(before_gap));
  EXPECT_GE(after_reset, gaps[0].position);
  KR2270_DFRClose(reader);
  KR2270_DeviceClose(reader);
}

TEST(TimelineRecording, TheSidecarOfAKilledWriterStillPlacesEveryGroup) {
  test::TempDir dir;
  // The writer is forked before this process starts a thread: a child of a
  // threaded process may not start threads of its own (TSan refuses it).
  int ports[2];
  int ready[2];
  ASSERT_EQ(pipe(ports), 0);
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The writing process: records until it is killed.
    close(ports[1]);
    close(ready[0]);
    std::uint16_t port[2] = {};
    if (read(ports[0], port, sizeof port) != static_cast<ssize_t>(sizeof port)) _exit(1);
    KR2270Device* device = KR2270_DeviceCreate();
    if (KR2270_CmdConnect(device, "127.0.0.1", 0, port[0], port[1], T) != 0) _exit(2);
    StreamChannelAndCounter(device);
    if (KR2270_DFWOpen(device, dir.path.c_str(), 0) != 0 || KR2270_HcStart(device, 1, T) != 0) _exit(3);
    char path[512];
    bool told = false;
    for (;;) {
      if (KR2270_HcWaitGroups(device, 1, 1000) > 0) KR2270_HcCodeSplit(device, 1 << 20);
      std::int64_t bytes = 0;
      KR2270_DFWGetInfo(device, &bytes, nullptr);
      if (!told && bytes > 80000 && KR2270_DFWGetFileName(device, 0, path, sizeof path) > 0) {
        told = write(ready[1], path, strlen(path)) > 0;
      }
    }
  }
  close(ports[0]);
  sim::Simulator simulator{sim::Options{}};
  ASSERT_EQ(simulator.Start(), 0);
  const std::uint16_t port[2] = {simulator.command_port(), simulator.data_port()};
  EXPECT_EQ(write(ports[1], port, sizeof port), static_cast<ssize_t>(sizeof port));
  close(ports[1]);
  close(ready[1]);
  char path[512] = {};
  const ssize_t got = read(ready[0], path, sizeof path - 1);
  close(ready[0]);
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_GT(got, 0) << "the writer never got going";
  const std::string first = path;

  std::string text;
  ASSERT_TRUE(ReadWholeFile(SidecarPathOf(first), 1 << 20, &text));
  RecordingTimeline sidecar;
  ASSERT_TRUE(ParseSidecar(text, &sidecar)) << text;
  EXPECT_FALSE(sidecar.complete);
  EXPECT_GT(sidecar.start_unix_ns, 0);
  EXPECT_EQ(sidecar.group_bytes, 8);
  KR2270Timeline timeline{};
  const Taken replay = Replay(first, &timeline, 4);
  EXPECT_EQ(timeline.source, 2) << "the sidecar was taken";
  EXPECT_EQ(timeline.complete, 0);
  ASSERT_GE(replay.indices.size(), sidecar.groups) << "the files hold at least what it counted";
  for (std::size_t i = 0; i < replay.indices.size(); ++i) ASSERT_EQ(replay.indices[i], i);
}

// --- bounded calls around a reconnect ------------------------------------------------

TEST(TimelineBounds, AStopOrACloseDuringASlowRestoreReturnsPromptly) {
  for (const bool close_instead : {false, true}) {
    SCOPED_TRACE(close_instead ? "close" : "stop");
    auto m = std::make_unique<Module>(Sequence());
    StreamChannelAndCounter(m->device);
    ASSERT_EQ(KR2270_SetAutoReconnect(m->device, 1, 30000), 0);
    ASSERT_EQ(KR2270_HcStart(m->device, 1, T), 0);
    Taken taken;
    ASSERT_TRUE(m->TakeUntil(taken, [&] { return taken.indices.size() >= 200; }));
    // Every reply from now on 300 ms late: the restore of about 23 writes
    // would take 7 s.
    for (int i = 0; i < 60; ++i) m->sim.InjectReplyFault(sim::ReplyFault::Delay(300));
    const std::uint64_t served = m->sim.requests_served();
    m->sim.DropDataConnection(false);
    ASSERT_TRUE(m->sim.WaitUntil(
        [&](const sim::Simulator& s) { return s.requests_served() >= served + 3; },
        std::chrono::seconds(10)))
        << "the restore never began";
    const auto start = Clock::now();
    if (close_instead) {
      KR2270_DeviceClose(m->device);
      m->device = KR2270_DeviceCreate();  // for the fixture's own close
    } else {
      KR2270_HcStart(m->device, 0, T);
    }
    EXPECT_LT(MsSince(start), 2500) << "a restore ran on under the stop";
    m.reset();
  }
}

TEST(TimelineBounds, ACommandAfterATimedOutOneEndsWithinItsOwnTimeOut) {
  Module m(Sequence());
  std::int32_t codes[8];
  m.sim.InjectReplyFault(sim::ReplyFault::Delay(3000));
  ASSERT_EQ(KR2270_AdReadAllOnce(m.device, codes, 100), KR2270_ERROR_TIMEOUT);
  // The next read waits for the owed reply first; that wait is part of its
  // own second, not added to it.
  m.sim.InjectReplyFault(sim::ReplyFault::Delay(3000));
  const auto start = Clock::now();
  EXPECT_EQ(KR2270_AdReadAllOnce(m.device, codes, 1000), KR2270_ERROR_TIMEOUT);
  EXPECT_LT(MsSince(start), 1250);
}

TEST(TimelineBounds, AWaitForMoreGroupsThanTheRingHoldsIsRefused) {
  Module m(Sequence());
  StreamChannelAndCounter(m.device);  // 8-byte groups: the ring holds 4 Mi of them
  ASSERT_EQ(KR2270_HcStart(m.device, 1, T), 0);
  EXPECT_EQ(KR2270_HcWaitGroups(m.device, (32 << 20) / 8 + 1, 100), KR2270_ERROR_ARGUMENT);
  EXPECT_GT(KR2270_HcWaitGroups(m.device, 8, 2000), 0);
}

TEST(TimelineBounds, TheReconnectNeverReopensACommandConnectionTheApplicationClosed) {
  Module m(Sequence());
  StreamChannelAndCounter(m.device);
  ASSERT_EQ(KR2270_SetAutoReconnect(m.device, 1, 10000), 0);
  ASSERT_EQ(KR2270_HcStart(m.device, 1, T), 0);
  Taken taken;
  ASSERT_TRUE(m.TakeUntil(taken, [&] { return taken.indices.size() >= 200; }));
  KR2270_CmdClose(m.device);
  const std::uint64_t served = m.sim.requests_served();
  m.sim.DropDataConnection(false);
  EXPECT_FALSE(m.TakeUntil(taken, [] { return false; }, 0, 5000)) << "the stream went on";
  EXPECT_EQ(KR2270_HcIsDataLost(m.device), 1);
  EXPECT_EQ(HealthOf(m.device).command_connected, 0);
  EXPECT_EQ(m.sim.requests_served(), served) << "a command reached the module";
}

// --- settings changed beside a running stream (ThreadSanitizer) ----------------------

TEST(TimelineSim, SettersOnAnotherThreadBesideAStreamThatSplitsAndConverts) {
  Module m(FlatInput(0.5));
  StreamChannelAndCounter(m.device);
  ASSERT_EQ(KR2270_HcStart(m.device, 1, T), 0);
  std::atomic<bool> done{false};
  std::thread setter([&] {
    std::int8_t modes[4] = {0, 0, 0, 0};
    for (int i = 0; !done.load(); ++i) {
      KR2270_AdSetRange(m.device, 1, i % 2 == 0 ? 1 : 0, T);
      modes[3] = static_cast<std::int8_t>(i % 2 == 0 ? 1 : 0);
      KR2270_CtSetModeAll(m.device, modes, T);
      std::int32_t zero[8];
      std::int32_t full[8];
      KR2270_AdReadZeroFull(m.device, zero, full, T);
      // Paced, so that most groups lie away from the moment of a change.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  Taken taken;
  const bool ran = m.TakeUntil(taken, [&] { return taken.indices.size() >= 4000; });
  done.store(true);
  setter.join();
  ASSERT_TRUE(ran);
  KR2270ConversionSettings now{};
  ASSERT_EQ(KR2270_GetConversionSettings(m.device, &now), 0);
  // Both ranges hold 0.5 V; only the moment of each change is estimated, so
  // a group converted with the other range is one within a millisecond of it.
  std::size_t right = 0;
  for (const double volts : taken.volts) right += std::fabs(volts - 0.5) < 1e-4 ? 1 : 0;
  EXPECT_GT(right, taken.volts.size() * 8 / 10);
  std::uint64_t total = 0;
  ASSERT_GE(KR2270_HcGetSettingsSince(m.device, 0, nullptr, 0, &total), 0);
  EXPECT_GT(total, 1u);
}

}  // namespace
}  // namespace kr2270

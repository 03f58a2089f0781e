// The host-side trigger against the simulated module's sine and digital
// inputs: the trigger group against the model, exact pre and post lengths,
// repeated captures a period apart, a range changed mid-run, a capture
// across a reconnect's gap, the ring kept bounded, and a full-rate run
// without loss.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

#include "../fuzz/stream_check.h"
#include "eventually.h"
#include "kr2270c.h"
#include "sim/simulator.h"
#include "sim_device.h"
#include "stream_probe.h"

namespace kr2270 {
namespace {

using Clock = std::chrono::steady_clock;
using test::HealthOf;
using test::MsSince;
constexpr std::int32_t T = 2000;
constexpr double kHz = 10.0;  // of the sine on channel 1

// One capture as taken, with what the queues served.
struct Taken {
  KR2270CaptureInfo info{};
  std::vector<std::int32_t> codes;  // channel 1, sign-extended
  std::vector<double> volts;        // channel 1, with the settings of each row
  std::vector<std::uint16_t> digital;
  std::vector<std::uint64_t> indices;
};

class Module : public test::ConnectedModule {
 public:
  using ConnectedModule::ConnectedModule;

  std::string Configure(std::int32_t rate_code, bool digital = false) {
    oracle::StreamSetup setup;
    setup.analog_mask = 0x01;
    setup.counter_mask = 0;
    setup.digital = digital;
    setup.rate_code = rate_code;
    setup.transfer_bytes = rate_code == 8 ? 4 * 2560 : 4 * 80;
    return oracle::Configure(device, setup, T) + AdoptCalibration();
  }

  // Volts as the module means them.
  std::string AdoptCalibration() {
    std::int32_t zero[8], full[8];
    return KR2270_AdReadZeroFull(device, zero, full, T) == 0 ? "" : "AdReadZeroFull";
  }

  // Splits what is buffered (the application's own use of it: every row's
  // index checked to follow the last), then takes every completed capture.
  void SplitAndTake(std::vector<Taken>& out) {
    const std::int32_t k = KR2270_HcCodeSplit(device, KR2270_HcCodeCanReadGroupCount(device));
    if (k > 0) {
      split_indices.resize(static_cast<std::size_t>(k));
      EXPECT_EQ(KR2270_HcCodeGetIndex(device, split_indices.data()), k);
      for (std::uint64_t index : split_indices) {
        if (split_any) {
          EXPECT_GT(index, last_split_index);
        }
        last_split_index = index;
        split_any = true;
      }
      split_groups += static_cast<std::uint64_t>(k);
    }
    for (;;) {
      Taken t;
      t.info.struct_size = sizeof t.info;
      const std::int32_t n = KR2270_HcTriggerTake(device, &t.info);
      ASSERT_GE(n, 0);
      if (n == 0) return;
      ASSERT_EQ(static_cast<std::uint64_t>(n), t.info.groups);
      const auto rows = static_cast<std::size_t>(n);
      t.indices.resize(rows);
      EXPECT_EQ(KR2270_HcCodeGetIndex(device, t.indices.data()), n);
      t.codes.resize(rows);
      t.volts.resize(rows);
      EXPECT_EQ(KR2270_HcCodeGetAd(device, 1, t.codes.data()), n);
      EXPECT_EQ(KR2270_HcAdCodeToValue(device, 1, t.codes.data(), n, t.volts.data()), 0);
      t.digital.resize(rows);
      KR2270_HcCodeGetDi(device, t.digital.data());
      out.push_back(std::move(t));
    }
  }

  bool RunUntil(std::vector<Taken>& out, const std::function<bool()>& until,
                int deadline_ms = 20000) {
    const auto start = Clock::now();
    while (!until()) {
      if (MsSince(start) > deadline_ms) return false;
      const std::int32_t ready = KR2270_HcWaitGroups(device, 1, 200);
      if (ready == KR2270_ERROR_TIMEOUT) continue;
      if (ready < 0) return false;
      SplitAndTake(out);
      if (::testing::Test::HasFatalFailure()) return false;
    }
    return true;
  }

  // The model's value of channel 1 at timeline index i of the first
  // connection, converted as the library converts the run's codes.
  double ModelVolts(std::uint64_t index) {
    std::int32_t code = sim.ExpectedCode(1, sim.StreamGroupTime(index));
    double volts = 0.0;
    KR2270_AdCodeToValue(device, 1, &code, 1, &volts);
    return volts;
  }

  KR2270TriggerStatus Status() {
    KR2270TriggerStatus status{};
    status.struct_size = sizeof status;
    EXPECT_EQ(KR2270_HcTriggerGetStatus(device, &status), 0);
    return status;
  }

  std::vector<std::uint64_t> split_indices;
  std::uint64_t last_split_index = 0;
  bool split_any = false;
  std::uint64_t split_groups = 0;
};

sim::Options Sine(double dc, double amplitude) {
  sim::Options options;
  options.signal[0] = {dc, amplitude, kHz};
  return options;
}

KR2270TriggerSetup Analog(double level, double hysteresis, std::int32_t slope, std::int64_t pre,
                          std::int64_t post) {
  KR2270TriggerSetup setup{};
  setup.struct_size = sizeof setup;
  setup.source = KR2270_TRIGGER_ANALOG;
  setup.channel = 1;
  setup.slope = slope;
  setup.level = level;
  setup.hysteresis = hysteresis;
  setup.pre = pre;
  setup.post = post;
  return setup;
}

// The model's trigger index: from `from` on, the first index on the other
// side of level -/+ hysteresis, then the first past the level.
std::uint64_t ModelTrigger(Module& m, const KR2270TriggerSetup& s, std::uint64_t from) {
  const bool rising = s.slope == KR2270_TRIGGER_RISING;
  auto other_side = [&](double v) {
    return rising ? v < s.level - s.hysteresis : v > s.level + s.hysteresis;
  };
  auto past = [&](double v) { return rising ? v >= s.level : v <= s.level; };
  std::uint64_t i = from;
  while (!other_side(m.ModelVolts(i))) ++i;
  for (++i; !past(m.ModelVolts(i)); ++i) {
  }
  return i;
}

// pre and post exact; only a capture whose trigger came within `pre` groups
// of the run's start (watched from index 0) may be short at the front.
void ExpectLengths(const Taken& t, std::uint64_t pre, std::uint64_t post) {
  if (t.info.pre_short != 0) {
    EXPECT_LT(t.info.trigger_index, pre);
    EXPECT_EQ(t.info.trigger_row, t.info.trigger_index);
  } else {
    EXPECT_EQ(t.info.trigger_row, pre);
  }
  EXPECT_EQ(t.info.groups, t.info.trigger_row + post);
  EXPECT_EQ(t.info.first_index + t.info.trigger_row, t.info.trigger_index);
}

// Rows hold the model's codes at their indices, and consecutive indices.
void ExpectModelRows(Module& m, const Taken& t) {
  for (std::size_t r = 0; r < t.codes.size(); ++r) {
    ASSERT_EQ(t.indices[r], t.info.first_index + r) << "row " << r;
    ASSERT_EQ(t.codes[r], m.sim.ExpectedCode(1, m.sim.StreamGroupTime(t.indices[r])))
        << "row " << r;
  }
}

TEST(Trigger, TheTriggerGroupIsTheModelsFirstCrossingAndPreAndPostAreExact) {
  for (const std::int32_t slope : {KR2270_TRIGGER_RISING, KR2270_TRIGGER_FALLING}) {
    SCOPED_TRACE(slope == KR2270_TRIGGER_RISING ? "rising" : "falling");
    Module m(Sine(0.0, 2.0));
    ASSERT_EQ(m.Configure(56), "");  // 8000 groups/s: 800 a period
    const KR2270TriggerSetup setup = Analog(0.7, 0.2, slope, 300, 500);
    ASSERT_EQ(KR2270_HcTriggerArm(m.device, &setup), 0);
    EXPECT_EQ(m.Status().state, KR2270_TRIGGER_SEARCHING);
    ASSERT_EQ(KR2270_HcStart(m.device, 1, T), 0);
    std::vector<Taken> captures;
    ASSERT_TRUE(m.RunUntil(captures, [&] { return !captures.empty(); }));
    ASSERT_EQ(captures.size(), 1u);
    const Taken& c = captures[0];
    EXPECT_EQ(c.info.trigger_index, ModelTrigger(m, setup, 0));
    ExpectLengths(c, 300, 500);
    const std::uint64_t pre = c.info.trigger_row;
    ASSERT_GT(pre, 0u);
    EXPECT_EQ(c.info.gaps, 0u);
    EXPECT_EQ(c.info.number, 0u);
    ExpectModelRows(m, c);
    const bool rising = slope == KR2270_TRIGGER_RISING;
    EXPECT_TRUE(rising ? c.volts[pre] >= 0.7 : c.volts[pre] <= 0.7);
    EXPECT_TRUE(rising ? c.volts[pre - 1] < 0.7 : c.volts[pre - 1] > 0.7);
    // Time from the index, as the timeline gives it.
    KR2270Timeline timeline{};
    timeline.struct_size = sizeof timeline;
    ASSERT_EQ(KR2270_HcGetTimeline(m.device, &timeline), 0);
    EXPECT_EQ(c.info.trigger_unix_ns,
              timeline.start_unix_ns +
                  std::llround(static_cast<double>(c.info.trigger_index) * 1e9 / 8000.0));
    // Single: nothing more, and the ring keeps nothing for it.
    ASSERT_TRUE(m.RunUntil(captures, [&] { return m.split_groups > c.info.trigger_index + 2400; }));
    EXPECT_EQ(captures.size(), 1u);
    EXPECT_EQ(m.Status().state, KR2270_TRIGGER_DONE);
    EXPECT_EQ(m.Status().kept_groups, 0u);
  }
}

TEST(Trigger, RepeatedCapturesFollowTheModelAPeriodApartThroughARangeChange) {
  Module m(Sine(0.5, 0.8));
  ASSERT_EQ(m.Configure(56), "");
  KR2270TriggerSetup setup = Analog(0.9, 0.05, KR2270_TRIGGER_RISING, 100, 200);
  setup.repeat = 1;
  setup.max_ready = 64;
  ASSERT_EQ(KR2270_HcTriggerArm(m.device, &setup), 0);
  ASSERT_EQ(KR2270_HcStart(m.device, 1, T), 0);
  std::vector<Taken> captures;
  ASSERT_TRUE(m.RunUntil(captures, [&] { return captures.size() >= 3; }));
  // The model's codes are the run's until the range changes.
  std::uint64_t from = 0;
  for (std::size_t n = 0; n < 3; ++n) {
    SCOPED_TRACE(n);
    EXPECT_EQ(captures[n].info.trigger_index, ModelTrigger(m, setup, from));
    ExpectModelRows(m, captures[n]);
    from = captures[n].info.trigger_index + 200;  // re-armed after the capture's last group
  }
  // 10 V to 2 V: the codes change scale, the level in volts does not.
  ASSERT_EQ(KR2270_AdSetRange(m.device, 1, 2, T), 0);
  ASSERT_TRUE(m.RunUntil(captures, [&] { return captures.size() >= 8; }));
  ASSERT_EQ(KR2270_HcStart(m.device, 0, T), 0);

  // Where the change took effect: the timeline places it to within about a
  // millisecond of the module's first group at 2 V, so a group or two there
  // may convert with the other range, and a capture may be triggered by it.
  std::vector<KR2270ConversionSettings> changes(4);
  ASSERT_EQ(KR2270_HcGetSettingsSince(m.device, 0, changes.data(), 4, nullptr), 2);
  const std::uint64_t change = changes[1].index;
  const auto near_change = [&](std::uint64_t index) {
    return index + 16 > change && index < change + 16;
  };
  int at_change = 0;
  for (std::size_t n = 0; n < captures.size(); ++n) {
    const Taken& c = captures[n];
    SCOPED_TRACE(n);
    EXPECT_EQ(c.info.number, n);
    ExpectLengths(c, 100, 200);
    if (n > 0) {
      EXPECT_EQ(c.info.pre_short, 0);
    }
    // What triggered it is a crossing in the values as converted.
    const std::size_t row = c.info.trigger_row;
    ASSERT_GE(c.volts[row], 0.9);
    if (row > 0) {
      ASSERT_LT(c.volts[row - 1], 0.9);
    }
    if (near_change(c.info.trigger_index)) {
      ++at_change;
      continue;
    }
    // Every other crossing is a whole number of 10 Hz periods from the first.
    const std::uint64_t phase = (c.info.trigger_index - captures[0].info.trigger_index + 1) % 800;
    EXPECT_LE(phase, 2u) << "trigger at index " << c.info.trigger_index;
  }
  EXPECT_LE(at_change, 1);
  // The last captures converted with 2 V: codes from zero five times those at 10 V.
  const std::int32_t zero = m.sim.Calibration(1).zero;
  const Taken& last = captures.back();
  const Taken& first = captures[1];
  EXPECT_GT(last.codes[100] - zero, 4 * (first.codes[100] - zero));
}

TEST(Trigger, ADigitalEdgeTriggersAtTheFirstGroupThatShowsIt) {
  Module m(Sine(0.0, 1.0));
  ASSERT_EQ(m.Configure(56, true), "");
  std::uint8_t outputs[12] = {};
  ASSERT_EQ(KR2270_DoWriteAllOnce(m.device, outputs, T), 0);
  KR2270TriggerSetup setup{};
  setup.struct_size = sizeof setup;
  setup.source = KR2270_TRIGGER_DIGITAL;
  setup.channel = 3;
  setup.slope = KR2270_TRIGGER_RISING;
  setup.pre = 400;
  setup.post = 50;
  ASSERT_EQ(KR2270_HcTriggerArm(m.device, &setup), 0);
  ASSERT_EQ(KR2270_HcStart(m.device, 1, T), 0);
  std::vector<Taken> captures;
  ASSERT_TRUE(m.RunUntil(captures, [&] { return m.split_groups > 800; }));
  EXPECT_TRUE(captures.empty()) << "input 3 is low";
  outputs[2] = 1;  // output 3 reads back on input 3
  ASSERT_EQ(KR2270_DoWriteAllOnce(m.device, outputs, T), 0);
  ASSERT_TRUE(m.RunUntil(captures, [&] { return !captures.empty(); }));
  const Taken& c = captures[0];
  ASSERT_EQ(c.info.groups, 450u);
  EXPECT_EQ(c.info.pre_short, 0);
  for (std::size_t r = 0; r < 450; ++r) {
    ASSERT_EQ((c.digital[r] >> 2) & 1, r >= 400 ? 1 : 0) << "row " << r;
  }
}

TEST(Trigger, ACaptureAcrossAReconnectKeepsItsLengthAndFlagsTheGap) {
  Module m(Sine(0.0, 2.0));
  ASSERT_EQ(m.Configure(56), "");
  ASSERT_EQ(KR2270_SetAutoReconnect(m.device, 1, 10000), 0);
  // Trigger within the first period and a half; the link drops at 3000
  // groups, well inside the 8000 groups that follow it.
  m.sim.InjectDataFault(sim::DataFault::CloseAfter(3000 * 4));
  const KR2270TriggerSetup setup = Analog(0.0, 0.5, KR2270_TRIGGER_RISING, 200, 8000);
  ASSERT_EQ(KR2270_HcTriggerArm(m.device, &setup), 0);
  ASSERT_EQ(KR2270_HcStart(m.device, 1, T), 0);
  std::vector<Taken> captures;
  ASSERT_TRUE(m.RunUntil(captures, [&] { return !captures.empty(); }));
  const Taken& c = captures[0];
  ASSERT_LT(c.info.trigger_index, 3000u);
  ExpectLengths(c, 200, 8000);
  std::vector<KR2270GapRecord> gaps(8);
  ASSERT_EQ(KR2270_HcGetGapsSince(m.device, 0, gaps.data(), 8, nullptr), 1);
  ASSERT_EQ(c.info.gaps, 1u);
  EXPECT_EQ(c.info.missing_groups, gaps[0].missing);
  std::size_t jumps = 0;
  for (std::size_t r = 1; r < c.indices.size(); ++r) {
    if (c.indices[r] == c.indices[r - 1] + 1) continue;
    ++jumps;
    EXPECT_EQ(c.indices[r - 1] + 1, gaps[0].index);
    EXPECT_EQ(c.indices[r], gaps[0].index + gaps[0].missing);
    EXPECT_EQ(c.indices[r - 1], 2999u) << "the last group before the drop";
  }
  EXPECT_EQ(jumps, 1u);
}

TEST(Trigger, CapturesWaitUntilTakenAndTheRingKeepsOnlyWhatTheyNeed) {
  Module m(Sine(0.0, 2.0));
  ASSERT_EQ(m.Configure(56), "");
  KR2270TriggerSetup setup = Analog(0.5, 0.0, KR2270_TRIGGER_RISING, 1000, 100);
  setup.repeat = 1;
  setup.max_ready = 2;
  setup.holdoff = 1000;
  ASSERT_EQ(KR2270_HcTriggerArm(m.device, &setup), 0);
  ASSERT_EQ(KR2270_HcStart(m.device, 1, T), 0);
  // Split without taking: captures pile up to two, the oldest dropped.
  const auto start = Clock::now();
  std::uint64_t most_kept = 0;
  while (m.Status().triggers < 5 && MsSince(start) < 20000) {
    const std::int32_t ready = KR2270_HcWaitGroups(m.device, 1, 200);
    if (ready > 0) KR2270_HcCodeSplit(m.device, ready);
    most_kept = std::max(most_kept, m.Status().kept_groups);
  }
  ASSERT_GE(m.Status().triggers, 5u);
  EXPECT_LE(most_kept, 1100u) << "pre + post at most";
  ASSERT_EQ(KR2270_HcStart(m.device, 0, T), 0);
  while (KR2270_HcCodeSplit(m.device, KR2270_HcCodeCanReadGroupCount(m.device)) > 0) {
  }
  const KR2270TriggerStatus status = m.Status();
  EXPECT_EQ(status.ready, 2u);
  EXPECT_EQ(status.dropped + status.ready + (status.state == KR2270_TRIGGER_CAPTURING ? 1 : 0),
            status.triggers);
  // The ones left are the newest, and they survive the stop.
  std::vector<Taken> captures;
  m.SplitAndTake(captures);
  ASSERT_EQ(captures.size(), 2u);
  EXPECT_EQ(captures[0].info.number, status.dropped);
  EXPECT_EQ(captures[1].info.number, status.dropped + 1);
  EXPECT_EQ(m.Status().ready, 0u);
  // Disarmed: the ring gives back what it kept.
  ASSERT_EQ(KR2270_HcTriggerDisarm(m.device), 0);
  EXPECT_EQ(m.Status().state, KR2270_TRIGGER_OFF);
  EXPECT_EQ(m.Status().kept_groups, 0u);
}

TEST(Trigger, ArmingRefusesWhatItCannotDo) {
  Module m(Sine(0.0, 1.0));
  ASSERT_EQ(m.Configure(56), "");  // channel 1 only, no digital word
  const KR2270TriggerSetup good = Analog(0.0, 0.1, KR2270_TRIGGER_RISING, 10, 10);
  const std::vector<std::function<void(KR2270TriggerSetup&)>> bad = {
      [](KR2270TriggerSetup& s) { s.struct_size = 8; },
      [](KR2270TriggerSetup& s) { s.source = 3; },
      [](KR2270TriggerSetup& s) { s.channel = 2; },  // not in the stream
      [](KR2270TriggerSetup& s) { s.channel = 9; },
      [](KR2270TriggerSetup& s) { s.source = KR2270_TRIGGER_DIGITAL; },  // no digital word
      [](KR2270TriggerSetup& s) { s.slope = 0; },
      [](KR2270TriggerSetup& s) { s.level = std::nan(""); },
      [](KR2270TriggerSetup& s) { s.hysteresis = -0.1; },
      [](KR2270TriggerSetup& s) { s.pre = -1; },
      [](KR2270TriggerSetup& s) { s.post = 0; },
      [](KR2270TriggerSetup& s) { s.pre = KR2270_TRIGGER_MAX_GROUPS; },
      [](KR2270TriggerSetup& s) { s.repeat = 2; },
      [](KR2270TriggerSetup& s) { s.max_ready = 65; },
      [](KR2270TriggerSetup& s) { s.holdoff = -1; },
  };
  for (std::size_t i = 0; i < bad.size(); ++i) {
    KR2270TriggerSetup s = good;
    bad[i](s);
    EXPECT_EQ(KR2270_HcTriggerArm(m.device, &s), KR2270_ERROR_ARGUMENT) << "case " << i;
    EXPECT_EQ(m.Status().state, KR2270_TRIGGER_OFF) << "case " << i;
  }
  ASSERT_EQ(KR2270_AdFilterTimesPC(m.device, 4, nullptr), 0);
  EXPECT_EQ(KR2270_HcTriggerArm(m.device, &good), KR2270_ERROR_ARGUMENT) << "averaging";
  ASSERT_EQ(KR2270_AdFilterTimesPC(m.device, 0, nullptr), 0);
  EXPECT_EQ(KR2270_HcTriggerArm(m.device, &good), 0);
  KR2270CaptureInfo info{};
  info.struct_size = sizeof info;
  EXPECT_EQ(KR2270_HcTriggerTake(m.device, &info), 0);
  EXPECT_EQ(KR2270_HcTriggerTake(m.device, nullptr), 0);
}

TEST(Trigger, AFullRateRunLosesNoGroupWhileCapturing) {
  Module m(Sine(0.0, 2.0));
  oracle::StreamSetup stream;  // all eight channels and counter 1: 36-byte groups
  stream.rate_code = 8;
  stream.transfer_bytes = 36 * 1800;
  ASSERT_EQ(oracle::Configure(m.device, stream, T) + m.AdoptCalibration(), "");
  KR2270TriggerSetup setup = Analog(1.0, 0.1, KR2270_TRIGGER_RISING, 1280, 1280);
  setup.repeat = 1;
  setup.max_ready = 64;
  ASSERT_EQ(KR2270_HcTriggerArm(m.device, &setup), 0);
  ASSERT_EQ(KR2270_HcStart(m.device, 1, T), 0);
  std::vector<Taken> captures;
  ASSERT_TRUE(m.RunUntil(captures, [&] { return m.split_groups >= 256000; }, 30000));
  ASSERT_EQ(KR2270_HcStart(m.device, 0, T), 0);
  EXPECT_EQ(test::LostGroups(m.device), 0u);
  EXPECT_EQ(HealthOf(m.device).gaps, 0u);
  // 25600 groups a period: one capture each.
  const double periods = static_cast<double>(m.split_groups) / 25600.0;
  EXPECT_GE(static_cast<double>(captures.size()), std::floor(periods) - 1);
  EXPECT_LE(static_cast<double>(captures.size()), std::ceil(periods));
  for (const Taken& c : captures) {
    SCOPED_TRACE(c.info.number);
    ExpectLengths(c, 1280, 1280);
    if (c.info.number > 0) {
      EXPECT_EQ(c.info.pre_short, 0);
    }
    ExpectModelRows(m, c);
  }
}

}  // namespace
}  // namespace kr2270

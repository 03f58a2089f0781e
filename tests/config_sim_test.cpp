// Round trips against the simulated module: what the setters configure is
// what the snapshots and conversions give back, compared with the model.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "device/device.h"
#include "kr2270c.h"
#include "sim/simulator.h"

namespace {

namespace sim = kr2270::sim;

constexpr int32_t kTimeout = 2000;

// A started simulator with one connected handle; the handle goes first.
struct Rig {
  explicit Rig(const sim::Options& options = sim::Options()) : module(options) {}
  ~Rig() {
    if (device != nullptr) {
      KR2270_CmdClose(device);
      KR2270_DeviceClose(device);
    }
  }
  bool Connect() {
    if (module.Start() != 0) return false;
    device = KR2270_DeviceCreate();
    return device != nullptr && KR2270_CmdConnect(device, "127.0.0.1", 0, module.command_port(),
                                                  module.data_port(), 1000) == 0;
  }

  sim::Simulator module;
  KR2270Device* device = nullptr;
};

// Signals that stay inside the range, so no channel clips.
sim::Options OptionsForSpan(double span, bool ex_ranges) {
  sim::Options options;
  options.ex_ranges = ex_ranges;
  for (int k = 1; k <= sim::kAnalogChannels; ++k) {
    options.signal[static_cast<std::size_t>(k - 1)] = {span * (k - 4.5) / 6.0, 0.3 * span, 10.0 * k};
  }
  return options;
}

TEST(ConfigSim, SnapshotConvertsToTheSimulatedVoltageOnEveryRange) {
  const struct { bool ex; int32_t code; double span; } cases[] = {
      {false, 0, 10.0}, {false, 1, 5.0}, {false, 2, 2.0}, {false, 3, 1.0},
      {true, 1, 1.0},   {true, 2, 0.1},  {true, 3, 0.01}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.ex ? "ex " : "plain ") << c.code);
    Rig rig(OptionsForSpan(c.span, c.ex));
    ASSERT_TRUE(rig.Connect());
    for (int32_t ch = 1; ch <= 8; ++ch) {
      ASSERT_EQ(c.ex ? KR2270_AdSetRangeEx(rig.device, ch, 1, c.code, kTimeout)
                     : KR2270_AdSetRange(rig.device, ch, c.code, kTimeout), 0);
      ASSERT_EQ(rig.module.Span(ch), c.span);  // host and module agree on the range
    }
    int32_t zero[8], full[8], codes[8];
    ASSERT_EQ(KR2270_AdReadZeroFull(rig.device, zero, full, kTimeout), 0);
    const double t = 0.37;
    rig.module.FreezeTime(t);
    ASSERT_EQ(KR2270_AdReadAllOnce(rig.device, codes, kTimeout), 0);
    for (int32_t ch = 1; ch <= 8; ++ch) {
      double value = 0.0;
      ASSERT_EQ(KR2270_AdCodeToValue(rig.device, ch, &codes[ch - 1], 1, &value), 0);
      const double code_step = c.span / (full[ch - 1] - zero[ch - 1]);
      EXPECT_NEAR(value, rig.module.ExpectedVolts(ch, t), code_step) << "channel " << ch;
    }
  }
}

TEST(ConfigSim, OutputsComeBackOnTheInputs) {
  Rig rig;
  ASSERT_TRUE(rig.Connect());
  const double t = 2.25;
  rig.module.FreezeTime(t);
  const std::vector<std::vector<uint8_t>> patterns = {
      {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
      {0, 1, 1, 0, 1, 0, 0, 1, 1, 0, 1, 0},
      {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
  };
  for (const auto& outputs : patterns) {
    ASSERT_EQ(KR2270_DoWriteAllOnce(rig.device, outputs.data(), kTimeout), 0);
    uint8_t inputs[16];
    ASSERT_EQ(KR2270_DiReadAllOnce(rig.device, inputs, kTimeout), 0);
    const uint16_t expected = rig.module.ExpectedDigitalInputs(t);
    for (int k = 0; k < 16; ++k) EXPECT_EQ(inputs[k], (expected >> k) & 1) << "input " << k + 1;
    EXPECT_EQ(std::vector<uint8_t>(inputs, inputs + 12), outputs);
  }
}

TEST(ConfigSim, CounterClearRestartsOnlyTheSelectedCounter) {
  Rig rig;
  ASSERT_TRUE(rig.Connect());
  rig.module.FreezeTime(5.0);
  uint32_t before[4];
  ASSERT_EQ(KR2270_CtReadAllOnce(rig.device, before, kTimeout), 0);
  EXPECT_EQ(before[0], rig.module.ExpectedCounter(1, 5.0));
  EXPECT_GT(before[0], 0u);

  const uint8_t clear[4] = {1, 0, 0, 0};
  ASSERT_EQ(KR2270_CtClear(rig.device, clear, kTimeout), 0);
  rig.module.FreezeTime(5.5);
  uint32_t after[4];
  ASSERT_EQ(KR2270_CtReadAllOnce(rig.device, after, kTimeout), 0);
  for (int c = 1; c <= 4; ++c) EXPECT_EQ(after[c - 1], rig.module.ExpectedCounter(c, 5.5)) << c;
  // Counter 1 counts from the clear at 5 s; counter 2 from power-on.
  EXPECT_EQ(after[0], static_cast<uint32_t>(sim::CounterInputHz(1) * 0.5));
  EXPECT_EQ(after[1], static_cast<uint32_t>(sim::CounterInputHz(2) * 5.5));
  // The module and the host are back in the previous mode and base period.
  EXPECT_EQ(rig.module.HoldingRegister(52), 0);
  EXPECT_EQ(rig.device->settings.ct_mode[0], 0);
  EXPECT_EQ(rig.device->settings.ct_freq_base[0], 1000.0);
}

TEST(ConfigSim, CounterFrequenciesMatchTheSimulatedInputs) {
  Rig rig;
  ASSERT_TRUE(rig.Connect());
  // Counters 1 and 3 count per 100 ms base; 2 and 4 measure the period in
  // 1 us bases.
  const int8_t modes[4] = {1, 3, 1, 3};
  ASSERT_EQ(KR2270_CtSetModeAll(rig.device, modes, kTimeout), 0);
  const double bases[4] = {100.0, 0.001, 100.0, 0.001};
  for (int32_t c = 1; c <= 4; ++c) {
    double achieved = 0.0;
    ASSERT_EQ(KR2270_CtSetFreqBase(rig.device, c, bases[c - 1], &achieved, kTimeout), 0);
    EXPECT_NEAR(achieved, bases[c - 1], bases[c - 1] * 1e-12);
  }
  rig.module.FreezeTime(1.0);
  uint32_t counts[4];
  ASSERT_EQ(KR2270_CtReadAllOnce(rig.device, counts, kTimeout), 0);
  for (int32_t c = 1; c <= 4; ++c) {
    double hz = 0.0;
    ASSERT_EQ(KR2270_CtCodeToValue(rig.device, c, &counts[c - 1], 1, &hz), 0);
    EXPECT_NEAR(hz, sim::CounterInputHz(c), sim::CounterInputHz(c) * 1e-9) << "counter " << c;
  }
}

TEST(ConfigSim, PulseOutputFinishesAfterItsCount) {
  Rig rig;
  ASSERT_TRUE(rig.Connect());
  rig.module.FreezeTime(1.0);
  double hz = 0.0;
  double duty = 0.0;
  ASSERT_EQ(KR2270_PwmSetPulse(rig.device, 1, 1000.0, 0.5, &hz, &duty, kTimeout), 0);
  ASSERT_EQ(KR2270_PwmSetCount(rig.device, 1, 10, kTimeout), 0);
  const uint8_t start[4] = {1, 0, 0, 0};
  ASSERT_EQ(KR2270_PwmStartAll(rig.device, start, kTimeout), 0);
  uint8_t over[4] = {};
  ASSERT_EQ(KR2270_PwmIsOver(rig.device, over, kTimeout), 0);
  EXPECT_EQ(over[0], 0);  // running
  for (int i = 1; i < 4; ++i) EXPECT_EQ(over[i], 1);  // never started
  // Ten periods of 1 ms later.
  rig.module.FreezeTime(1.0 + 10.0 / hz + 0.001);
  ASSERT_EQ(KR2270_PwmIsOver(rig.device, over, kTimeout), 0);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(over[i], 1);
}

TEST(ConfigSim, WrittenCalibrationIsAdoptedOnlyWhenReadBack) {
  Rig rig;
  ASSERT_TRUE(rig.Connect());
  ASSERT_EQ(KR2270_AdWriteZero(rig.device, 3, 4000000, kTimeout), 0);
  ASSERT_EQ(KR2270_AdWriteFull(rig.device, 3, 8000000, kTimeout), 0);
  EXPECT_EQ(rig.module.Calibration(3).zero, 4000000);
  EXPECT_EQ(rig.module.Calibration(3).full, 8000000);
  EXPECT_EQ(rig.device->settings.ad_zero_code[2], 4194303);  // not yet adopted

  int32_t zero[8];
  int32_t full[8];
  ASSERT_EQ(KR2270_AdReadZeroFull(rig.device, zero, full, kTimeout), 0);
  for (int ch = 1; ch <= 8; ++ch) {
    EXPECT_EQ(zero[ch - 1], rig.module.Calibration(ch).zero);
    EXPECT_EQ(full[ch - 1], rig.module.Calibration(ch).full);
    EXPECT_EQ(rig.device->settings.ad_zero_code[ch - 1], rig.module.Calibration(ch).zero);
    EXPECT_EQ(rig.device->settings.ad_full_code[ch - 1], rig.module.Calibration(ch).full);
  }
  // The adopted pair converts the module's codes back to its voltage.
  const double t = 0.8;
  rig.module.FreezeTime(t);
  int32_t codes[8];
  ASSERT_EQ(KR2270_AdReadAllOnce(rig.device, codes, kTimeout), 0);
  double value = 0.0;
  ASSERT_EQ(KR2270_AdCodeToValue(rig.device, 3, &codes[2], 1, &value), 0);
  EXPECT_NEAR(value, rig.module.ExpectedVolts(3, t), 10.0 / 4000000.0);
}

TEST(ConfigSim, ReferenceValueRoundTrip) {
  Rig rig;
  ASSERT_TRUE(rig.Connect());
  for (int32_t reference : {-123456789, 0x7FFFFFFF, 42}) {
    ASSERT_EQ(KR2270_AdWriteRef(rig.device, reference, kTimeout), 0);
    int32_t read = 1;
    ASSERT_EQ(KR2270_AdReadRef(rig.device, &read, kTimeout), 0);
    EXPECT_EQ(read, reference);
  }
}

}  // namespace

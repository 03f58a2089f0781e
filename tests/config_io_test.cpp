// Digital I/O, counters and encoders, pulse outputs, watchdog and calibration:
// request bytes on the wire, unpacked snapshots, argument checks, and what
// the Device records.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "device/device.h"
#include "kr2270c.h"
#include "scripted_peer.h"

namespace {

using kr2270::test::Bytes;
using kr2270::test::ExceptionFor;
using kr2270::test::ReadReplyFor;
using kr2270::test::ScriptedPeer;
using kr2270::test::Step;

constexpr int32_t kTimeout = 2000;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Request frames as the Modbus/TCP layout defines them.
Bytes WriteFrame(uint16_t address, const Bytes& payload) {
  const auto n = static_cast<uint8_t>(payload.size());
  Bytes frame = {0, 0, 0, 0, 0, static_cast<uint8_t>(n + 7), 0x01, 0x10,
                 static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                 0, static_cast<uint8_t>(n / 2), n};
  for (uint8_t byte : payload) frame.push_back(byte);
  return frame;
}

Bytes ReadFrame(uint16_t address, uint16_t bytes) {
  return {0, 0, 0, 0, 0, 6, 0x01, 0x03, static_cast<uint8_t>(address >> 8),
          static_cast<uint8_t>(address), 0, static_cast<uint8_t>(bytes / 2)};
}

void AppendBE32(Bytes& bytes, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(value >> shift));
}

// Pulse payload: 00, output, period, high time.
Bytes PulsePayload(uint8_t output, uint32_t period, uint32_t high) {
  Bytes payload = {0x00, output};
  AppendBE32(payload, period);
  AppendBE32(payload, high);
  return payload;
}

class IoConfig : public testing::Test {
 protected:
  void SetUp() override {
    device_ = KR2270_DeviceCreate();
    ASSERT_NE(device_, nullptr);
    ASSERT_EQ(KR2270_CmdConnect(device_, "127.0.0.1", 0, peer_.port(), peer_.data_port(), 1000), 0);
  }
  void TearDown() override {
    KR2270_CmdClose(device_);
    KR2270_DeviceClose(device_);
  }
  kr2270::Settings& settings() { return device_->settings; }

  // A valid call after the ones under test: its reply proves that anything
  // they might have sent has reached the peer.
  void ExpectNothingSentBefore() {
    ASSERT_EQ(KR2270_AdWriteRef(device_, 0x01020304, kTimeout), 0);
    const auto requests = peer_.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], WriteFrame(60, {0x01, 0x02, 0x03, 0x04}));
  }

  void ReplyToRead(uint16_t address, const Bytes& data) {
    peer_.AddStep({ReadReplyFor(ReadFrame(address, static_cast<uint16_t>(data.size())), data)});
  }

  ScriptedPeer peer_;
  KR2270Device* device_ = nullptr;
};

struct WireCase {
  std::string name;
  std::function<int32_t(KR2270Device*)> call;
  Bytes request;
};

void RunWireCases(KR2270Device* device, const ScriptedPeer& peer, const std::vector<WireCase>& cases) {
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    ASSERT_EQ(cases[i].call(device), 0);
    const auto requests = peer.requests();
    ASSERT_EQ(requests.size(), i + 1);
    EXPECT_EQ(requests.back(), cases[i].request);
  }
}

TEST_F(IoConfig, DigitalSettersPutTheDescribedBytesOnTheWire) {
  const uint8_t out_1_12[12] = {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  const uint8_t out_all[12] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 3};
  const uint8_t out_even[12] = {2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2};
  const uint8_t mode_1_9[12] = {1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
  const uint8_t level_3_1[12] = {3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  const uint8_t level_seven[12] = {7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  const uint8_t level_each[12] = {1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3, 0};
  RunWireCases(device_, peer_, {
      {"outputs 1 and 12", [&](KR2270Device* d) { return KR2270_DoWriteAllOnce(d, out_1_12, kTimeout); },
       WriteFrame(36, {0x08, 0x01, 0x00, 0x00})},
      {"all outputs", [&](KR2270Device* d) { return KR2270_DoWriteAllOnce(d, out_all, kTimeout); },
       WriteFrame(36, {0x0F, 0xFF, 0x00, 0x00})},
      {"outputs use bit 0 only", [&](KR2270Device* d) { return KR2270_DoWriteAllOnce(d, out_even, kTimeout); },
       WriteFrame(36, {0x00, 0x00, 0x00, 0x00})},
      {"modes 1 and 9", [&](KR2270Device* d) { return KR2270_DoSetMode(d, mode_1_9, kTimeout); },
       WriteFrame(34, {0x01, 0x01})},
      {"levels 3 and 1", [&](KR2270Device* d) { return KR2270_DoSetVotage(d, level_3_1, kTimeout); },
       WriteFrame(38, {0x00, 0x40, 0x00, 0x03})},
      {"level 7 counts as 3", [&](KR2270Device* d) { return KR2270_DoSetVotage(d, level_seven, kTimeout); },
       WriteFrame(38, {0x00, 0x00, 0x00, 0x03})},
      // 1,2,3,0 per byte: 0b00111001 = 0x39 in each of bytes 3, 2, 1.
      {"levels in every byte", [&](KR2270Device* d) { return KR2270_DoSetVotage(d, level_each, kTimeout); },
       WriteFrame(38, {0x00, 0x39, 0x39, 0x39})},
      {"di in fifo flag 3", [](KR2270Device* d) { return KR2270_DiInFifo(d, 3, kTimeout); },
       WriteFrame(35, {0x00, 0x01})},
      {"di in fifo flag 2", [](KR2270Device* d) { return KR2270_DiInFifo(d, 2, kTimeout); },
       WriteFrame(35, {0x00, 0x00})},
  });
}

TEST_F(IoConfig, DiInFifoRecordsBitZeroOnSuccessOnly) {
  ASSERT_EQ(KR2270_DiInFifo(device_, 3, kTimeout), 0);
  EXPECT_EQ(settings().di_in_fifo, 1);
  peer_.AddStep({ExceptionFor(WriteFrame(35, {0x00, 0x00}), 2)});
  EXPECT_EQ(KR2270_DiInFifo(device_, 2, kTimeout), -5);
  EXPECT_EQ(settings().di_in_fifo, 1);
  ASSERT_EQ(KR2270_DiInFifo(device_, 2, kTimeout), 0);
  EXPECT_EQ(settings().di_in_fifo, 0);
}

TEST_F(IoConfig, DigitalInputsComeFromTheFirstRegisterOnly) {
  ReplyToRead(280, {0x80, 0x01, 0xFF, 0xFF});
  uint8_t inputs[16];
  std::memset(inputs, 0x55, sizeof inputs);
  ASSERT_EQ(KR2270_DiReadAllOnce(device_, inputs, kTimeout), 0);
  EXPECT_EQ(peer_.requests().back(), ReadFrame(280, 4));
  for (int k = 0; k < 16; ++k) {
    EXPECT_EQ(inputs[k], (k == 0 || k == 15) ? 1 : 0) << "input " << k + 1;
  }
  peer_.AddStep({ExceptionFor(ReadFrame(280, 4), 4)});
  EXPECT_EQ(KR2270_DiReadAllOnce(device_, inputs, kTimeout), -7);
  EXPECT_EQ(inputs[0], 1);
  EXPECT_EQ(inputs[15], 1);
}

TEST_F(IoConfig, CounterSettersPutTheDescribedBytesOnTheWire) {
  const int8_t modes[4] = {1, 0, 3, 2};
  const int8_t mode_seven[4] = {7, 0, 0, 0};
  uint8_t ct_enable[4] = {3, 0, 1, 0};
  uint8_t ec_enable[2] = {3, 1};
  const uint8_t ec_none[2] = {0, 0};
  const uint8_t ec_second[2] = {0, 1};
  const uint8_t ec_both[2] = {1, 1};
  RunWireCases(device_, peer_, {
      {"base 1000 ms, counter 1",
       [](KR2270Device* d) { return KR2270_CtSetFreqBase(d, 1, 1000.0, nullptr, kTimeout); },
       WriteFrame(40, {0x02, 0xFA, 0xF0, 0x80})},
      {"base 1 ms, counter 4",
       [](KR2270Device* d) { return KR2270_CtSetFreqBase(d, 4, 1.0, nullptr, kTimeout); },
       WriteFrame(46, {0x00, 0x00, 0xC3, 0x50})},
      {"base 0.5 ms, counter 2",
       [](KR2270Device* d) { return KR2270_CtSetFreqBase(d, 2, 0.5, nullptr, kTimeout); },
       WriteFrame(42, {0x00, 0x00, 0x61, 0xA8})},
      {"base 100000 ms wraps",
       [](KR2270Device* d) { return KR2270_CtSetFreqBase(d, 3, 100000.0, nullptr, kTimeout); },
       WriteFrame(44, {0x2A, 0x05, 0xF2, 0x00})},
      {"base 0 ms", [](KR2270Device* d) { return KR2270_CtSetFreqBase(d, 1, 0.0, nullptr, kTimeout); },
       WriteFrame(40, {0x00, 0x00, 0x00, 0x00})},
      // -1 ms: divisor -50000, low 32 bits 4294917296.
      {"negative base", [](KR2270Device* d) { return KR2270_CtSetFreqBase(d, 1, -1.0, nullptr, kTimeout); },
       WriteFrame(40, {0xFF, 0xFF, 0x3C, 0xB0})},
      {"modes 1 0 3 2", [&](KR2270Device* d) { return KR2270_CtSetModeAll(d, modes, kTimeout); },
       WriteFrame(52, {0x00, 0xB1})},
      {"mode 7 sent as 3", [&](KR2270Device* d) { return KR2270_CtSetModeAll(d, mode_seven, kTimeout); },
       WriteFrame(52, {0x00, 0x03})},
      {"counters in fifo", [&](KR2270Device* d) { return KR2270_CtInFifo(d, ct_enable, kTimeout); },
       WriteFrame(53, {0x00, 0x05})},
      {"encoders in fifo", [&](KR2270Device* d) { return KR2270_EcInFifo(d, ec_enable, kTimeout); },
       WriteFrame(194, {0x00, 0x03})},
      {"encoder clear none", [&](KR2270Device* d) { return KR2270_EcClear(d, ec_none, kTimeout); },
       WriteFrame(193, {0x00, 0x00})},
      {"encoder clear second", [&](KR2270Device* d) { return KR2270_EcClear(d, ec_second, kTimeout); },
       WriteFrame(193, {0x00, 0x02})},
      {"encoder clear both", [&](KR2270Device* d) { return KR2270_EcClear(d, ec_both, kTimeout); },
       WriteFrame(193, {0x00, 0x03})},
  });
}

struct BaseCase {
  double requested_ms;
  double achieved_ms;
  double tolerance;
};

TEST_F(IoConfig, BasePeriodReportsAndRecordsWhatWasSent) {
  const std::vector<BaseCase> cases = {
      {1000.0, 1000.0, 0.0}, {0.5, 0.5, 0.0}, {1.0, 1.0, 0.0},
      {100000.0, 14100.65408, 1e-5}, {0.0, 0.0, 0.0},
  };
  for (const BaseCase& c : cases) {
    SCOPED_TRACE(c.requested_ms);
    double achieved = -7.0;
    ASSERT_EQ(KR2270_CtSetFreqBase(device_, 3, c.requested_ms, &achieved, kTimeout), 0);
    EXPECT_NEAR(achieved, c.achieved_ms, c.tolerance);
    EXPECT_EQ(settings().ct_freq_base[2], achieved);
  }
}

TEST_F(IoConfig, BasePeriodWithoutAnIntegerDivisorIsRefused) {
  double achieved = 5.0;
  // 50e6 / (1000 / 1e300) is far beyond the 64-bit range.
  for (double base : {kNaN, kInf, -kInf, 1e300, -1e300}) {
    SCOPED_TRACE(base);
    EXPECT_EQ(KR2270_CtSetFreqBase(device_, 1, base, &achieved, kTimeout), -1);
  }
  EXPECT_EQ(achieved, 5.0);
  EXPECT_EQ(settings().ct_freq_base[0], 1000.0);
  ExpectNothingSentBefore();
}

TEST_F(IoConfig, CounterModesAreRecordedUnmaskedOnSuccessOnly) {
  const int8_t modes[4] = {7, -1, 3, 2};
  ASSERT_EQ(KR2270_CtSetModeAll(device_, modes, kTimeout), 0);
  EXPECT_EQ(std::memcmp(settings().ct_mode, modes, 4), 0);
  const int8_t other[4] = {0, 0, 0, 0};
  peer_.AddStep({ExceptionFor(WriteFrame(52, {0x00, 0x00}), 2)});
  EXPECT_EQ(KR2270_CtSetModeAll(device_, other, kTimeout), -5);
  EXPECT_EQ(std::memcmp(settings().ct_mode, modes, 4), 0);
}

TEST_F(IoConfig, FailedBasePeriodLeavesDeviceAndCallerValue) {
  peer_.AddStep({ExceptionFor(WriteFrame(40, {0x00, 0x00, 0xC3, 0x50}), 2)});
  double achieved = 5.0;
  EXPECT_EQ(KR2270_CtSetFreqBase(device_, 1, 1.0, &achieved, kTimeout), -5);
  EXPECT_EQ(achieved, 5.0);
  EXPECT_EQ(settings().ct_freq_base[0], 1000.0);
}

TEST_F(IoConfig, StreamEnablesRewriteTheCallersArrays) {
  uint8_t ct[4] = {3, 0, 1, 0xFE};
  uint8_t ec[2] = {2, 0xFF};
  ASSERT_EQ(KR2270_CtInFifo(device_, ct, kTimeout), 0);
  ASSERT_EQ(KR2270_EcInFifo(device_, ec, kTimeout), 0);
  const uint8_t ct_expected[4] = {1, 0, 1, 0};
  const uint8_t ec_expected[2] = {0, 1};
  EXPECT_EQ(std::memcmp(ct, ct_expected, 4), 0);
  EXPECT_EQ(std::memcmp(settings().ct_in_fifo, ct_expected, 4), 0);
  EXPECT_EQ(std::memcmp(ec, ec_expected, 2), 0);
  EXPECT_EQ(std::memcmp(settings().ec_in_fifo, ec_expected, 2), 0);
  EXPECT_EQ(peer_.requests().back(), WriteFrame(194, {0x00, 0x02}));
}

TEST_F(IoConfig, StreamEnablesAreRecordedBeforeSendingAndKeptOnFailure) {
  uint8_t ec[2] = {1, 1};
  peer_.AddStep({ExceptionFor(WriteFrame(194, {0x00, 0x03}), 2)});
  EXPECT_EQ(KR2270_EcInFifo(device_, ec, kTimeout), -5);
  EXPECT_EQ(settings().ec_in_fifo[0], 1);
  EXPECT_EQ(settings().ec_in_fifo[1], 1);
  uint8_t ct[4] = {0, 1, 0, 3};
  peer_.AddStep({Bytes{}});  // no reply
  EXPECT_EQ(KR2270_CtInFifo(device_, ct, 50), -2);
  const uint8_t expected[4] = {0, 1, 0, 1};
  EXPECT_EQ(std::memcmp(settings().ct_in_fifo, expected, 4), 0);
  EXPECT_EQ(std::memcmp(ct, expected, 4), 0);
}

TEST_F(IoConfig, CounterClearRunsTheTimedSequenceAndRestores) {
  const int8_t modes[4] = {0, 1, 3, 0};
  std::memcpy(settings().ct_mode, modes, 4);
  settings().ct_freq_base[1] = 500.0;
  const uint8_t clear[4] = {0, 1, 0, 0};
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(KR2270_CtClear(device_, clear, kTimeout), 0);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  const std::vector<Bytes> expected = {
      WriteFrame(42, {0x00, 0x00, 0xC3, 0x50}),
      WriteFrame(52, {0x00, 0x38}),  // counter 2 in mode 2, counter 3 in mode 3
      WriteFrame(52, {0x00, 0x34}),
      WriteFrame(42, {0x01, 0x7D, 0x78, 0x40}),
  };
  EXPECT_EQ(peer_.requests(), expected);
  EXPECT_GE(elapsed, std::chrono::milliseconds(2));
  EXPECT_EQ(std::memcmp(settings().ct_mode, modes, 4), 0);
  EXPECT_EQ(settings().ct_freq_base[1], 500.0);
}

TEST_F(IoConfig, CounterClearWithNothingSelectedWritesTheModesTwice) {
  const int8_t modes[4] = {1, 1, 0, 3};
  std::memcpy(settings().ct_mode, modes, 4);
  const uint8_t clear[4] = {};
  ASSERT_EQ(KR2270_CtClear(device_, clear, kTimeout), 0);
  const std::vector<Bytes> expected(2, WriteFrame(52, {0x00, 0xC5}));
  EXPECT_EQ(peer_.requests(), expected);
}

TEST_F(IoConfig, CounterClearSucceedsWhenTheModuleIsGone) {
  Step gone;
  gone.close_after = true;  // no reply, then the connection is closed
  peer_.AddStep(gone);
  const uint8_t clear[4] = {1, 0, 0, 1};
  ASSERT_EQ(KR2270_CtClear(device_, clear, kTimeout), 0);
  // Nothing was accepted, so nothing changed on the host.
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(settings().ct_mode[i], 0);
    EXPECT_EQ(settings().ct_freq_base[i], 1000.0);
  }
}

TEST_F(IoConfig, CounterAndEncoderSnapshots) {
  Bytes counters;
  for (uint32_t v : {0u, 1u, 0x80000001u, 0xFFFFFFFFu}) AppendBE32(counters, v);
  ReplyToRead(272, counters);
  uint32_t ct[4] = {};
  ASSERT_EQ(KR2270_CtReadAllOnce(device_, ct, kTimeout), 0);
  EXPECT_EQ(ct[0], 0u);
  EXPECT_EQ(ct[1], 1u);
  EXPECT_EQ(ct[2], 0x80000001u);
  EXPECT_EQ(ct[3], 0xFFFFFFFFu);

  ReplyToRead(282, {0x00, 0x00, 0x00, 0x05, 0xFF, 0xFF, 0xFF, 0xFF,
                    0x80, 0x00, 0x00, 0x01, 0x12, 0x34, 0x56, 0x78});
  uint32_t ec[2] = {};
  ASSERT_EQ(KR2270_EcReadAllOnce(device_, ec, kTimeout), 0);
  EXPECT_EQ(ec[0], 5u);
  EXPECT_EQ(ec[1], 0x80000001u);

  const auto requests = peer_.requests();
  EXPECT_EQ(requests[0], ReadFrame(272, 16));
  EXPECT_EQ(requests[1], ReadFrame(282, 16));

  peer_.AddStep({ExceptionFor(ReadFrame(272, 16), 2)});
  peer_.AddStep({ExceptionFor(ReadFrame(282, 16), 4)});
  EXPECT_EQ(KR2270_CtReadAllOnce(device_, ct, kTimeout), -1);
  EXPECT_EQ(KR2270_EcReadAllOnce(device_, ec, kTimeout), -7);
  EXPECT_EQ(ct[3], 0xFFFFFFFFu);
  EXPECT_EQ(ec[1], 0x80000001u);
}

TEST_F(IoConfig, PulseAndWatchdogSettersPutTheDescribedBytesOnTheWire) {
  const uint8_t bits[4] = {1, 0, 1, 3};
  RunWireCases(device_, peer_, {
      {"1000 Hz, duty 0.25",
       [](KR2270Device* d) { return KR2270_PwmSetPulse(d, 1, 1000.0, 0.25, nullptr, nullptr, kTimeout); },
       WriteFrame(80, {0x00, 0x01, 0x00, 0x00, 0xC3, 0x50, 0x00, 0x00, 0x30, 0xD4})},
      {"3 Hz, duty 0.5",
       [](KR2270Device* d) { return KR2270_PwmSetPulse(d, 2, 3.0, 0.5, nullptr, nullptr, kTimeout); },
       WriteFrame(80, PulsePayload(2, 16666666, 8333333))},
      {"1 MHz, duty 0.3",
       [](KR2270Device* d) { return KR2270_PwmSetPulse(d, 3, 1000000.0, 0.3, nullptr, nullptr, kTimeout); },
       WriteFrame(80, PulsePayload(3, 50, 15))},
      {"0.01 Hz wraps",
       [](KR2270Device* d) { return KR2270_PwmSetPulse(d, 4, 0.01, 0.0, nullptr, nullptr, kTimeout); },
       WriteFrame(80, {0x00, 0x04, 0x2A, 0x05, 0xF2, 0x00, 0x00, 0x00, 0x00, 0x00})},
      {"duty 1 gives the period",
       [](KR2270Device* d) { return KR2270_PwmSetPulse(d, 1, 1000.0, 1.0, nullptr, nullptr, kTimeout); },
       WriteFrame(80, PulsePayload(1, 50000, 50000))},
      // -50000 counts: low 32 bits 4294917296, a quarter of that as high time.
      {"negative frequency",
       [](KR2270Device* d) { return KR2270_PwmSetPulse(d, 1, -1000.0, 0.25, nullptr, nullptr, kTimeout); },
       WriteFrame(80, PulsePayload(1, 4294917296u, 1073729324u))},
      // 50e6 / 1e-11 (about 5e18) still fits an int64: sent modulo 2^32.
      {"tiny frequency in range",
       [](KR2270Device* d) { return KR2270_PwmSetPulse(d, 1, 1e-11, 0.0, nullptr, nullptr, kTimeout); },
       WriteFrame(80, PulsePayload(1, static_cast<uint32_t>(static_cast<int64_t>(50000000.0 / 1e-11)), 0))},
      {"count -1", [](KR2270Device* d) { return KR2270_PwmSetCount(d, 2, -1, kTimeout); },
       WriteFrame(96, {0x00, 0x02, 0xFF, 0xFF, 0xFF, 0xFF})},
      {"count 100000", [](KR2270Device* d) { return KR2270_PwmSetCount(d, 4, 100000, kTimeout); },
       WriteFrame(96, {0x00, 0x04, 0x00, 0x01, 0x86, 0xA0})},
      {"phase bits", [&](KR2270Device* d) { return KR2270_PwmSetPhase(d, bits, kTimeout); },
       WriteFrame(104, {0x00, 0x0D})},
      {"start bits", [&](KR2270Device* d) { return KR2270_PwmStartAll(d, bits, kTimeout); },
       WriteFrame(105, {0x00, 0x0D})},
      {"watchdog on", [](KR2270Device* d) { return KR2270_SetWtdStatus(d, 1, 1000, kTimeout); },
       WriteFrame(180, {0x03, 0xE8})},
      {"watchdog period low 16 bits", [](KR2270Device* d) { return KR2270_SetWtdStatus(d, 2, 0x12345, kTimeout); },
       WriteFrame(180, {0x23, 0x45})},
      {"watchdog off", [](KR2270Device* d) { return KR2270_SetWtdStatus(d, 0, 1000, kTimeout); },
       WriteFrame(180, {0x00, 0x00})},
      {"watchdog enable 256 is off", [](KR2270Device* d) { return KR2270_SetWtdStatus(d, 256, 1000, kTimeout); },
       WriteFrame(180, {0x00, 0x00})},
  });
}

struct PulseCase {
  double frequency;
  double duty;
  double achieved_hz;
  double achieved_duty;
  double tolerance;
};

TEST_F(IoConfig, PulseReportsWhatWasSent) {
  const std::vector<PulseCase> cases = {
      {1000.0, 0.25, 1000.0, 0.25, 0.0},
      {3.0, 0.5, 50000000.0 / 16666666.0, 0.5, 0.0},
      {1000000.0, 0.3, 1000000.0, 0.3, 0.0},
      {0.01, 0.5, 0.0709187, 0.5, 1e-7},
  };
  for (const PulseCase& c : cases) {
    SCOPED_TRACE(c.frequency);
    double hz = -1.0;
    double duty = -1.0;
    ASSERT_EQ(KR2270_PwmSetPulse(device_, 1, c.frequency, c.duty, &hz, &duty, kTimeout), 0);
    EXPECT_NEAR(hz, c.achieved_hz, c.tolerance);
    EXPECT_NEAR(duty, c.achieved_duty, c.tolerance);
  }
  // 3 Hz comes out as 3.00000012 Hz.
  double hz = 0.0;
  ASSERT_EQ(KR2270_PwmSetPulse(device_, 1, 3.0, 0.5, &hz, nullptr, kTimeout), 0);
  EXPECT_NEAR(hz, 3.00000012, 1e-8);
}

TEST_F(IoConfig, PulseWithoutIntegerCountsIsRefused) {
  struct Bad {
    double frequency;
    double duty;
  };
  const std::vector<Bad> cases = {
      {0.0, 0.5}, {-0.0, 0.5}, {kInf, 0.5}, {-kInf, 0.5}, {kNaN, 0.5},
      {1e-300, 0.5},  // 50e6 / f beyond the int64 range
      {5e-12, 0.5},   // 1e19: just beyond
      {1000.0, kNaN}, {1000.0, kInf}, {1000.0, -kInf},
      {1000.0, 1e300},  // high time beyond the int64 range
  };
  double hz = 7.0;
  double duty = 7.0;
  for (const Bad& c : cases) {
    SCOPED_TRACE(std::to_string(c.frequency) + " " + std::to_string(c.duty));
    EXPECT_EQ(KR2270_PwmSetPulse(device_, 1, c.frequency, c.duty, &hz, &duty, kTimeout), -1);
  }
  EXPECT_EQ(hz, 7.0);
  EXPECT_EQ(duty, 7.0);
  ExpectNothingSentBefore();
}

TEST_F(IoConfig, PulseFinishedFlagsAreTheInvertedRunBits) {
  ReplyToRead(105, {0xFF, 0x0D});
  uint8_t over[4] = {9, 9, 9, 9};
  ASSERT_EQ(KR2270_PwmIsOver(device_, over, kTimeout), 0);
  EXPECT_EQ(peer_.requests().back(), ReadFrame(105, 2));
  const uint8_t expected[4] = {0, 1, 0, 0};
  EXPECT_EQ(std::memcmp(over, expected, 4), 0);
  ReplyToRead(105, {0x00, 0xF0});
  ASSERT_EQ(KR2270_PwmIsOver(device_, over, kTimeout), 0);
  const uint8_t all_over[4] = {1, 1, 1, 1};
  EXPECT_EQ(std::memcmp(over, all_over, 4), 0);
  peer_.AddStep({ExceptionFor(ReadFrame(105, 2), 2)});
  EXPECT_EQ(KR2270_PwmIsOver(device_, over, kTimeout), -1);
  EXPECT_EQ(std::memcmp(over, all_over, 4), 0);
}

TEST_F(IoConfig, CalibrationWritesPutTheDescribedBytesOnTheWire) {
  const kr2270::Settings before = settings();
  RunWireCases(device_, peer_, {
      {"zero of channel 2", [](KR2270Device* d) { return KR2270_AdWriteZero(d, 2, 4194303, kTimeout); },
       WriteFrame(200, {0x00, 0x02, 0x00, 0x3F, 0xFF, 0xFF})},
      {"full of channel 8", [](KR2270Device* d) { return KR2270_AdWriteFull(d, 8, 8388607, kTimeout); },
       WriteFrame(202, {0x00, 0x08, 0x00, 0x7F, 0xFF, 0xFF})},
      {"negative zero code", [](KR2270Device* d) { return KR2270_AdWriteZero(d, 1, -2, kTimeout); },
       WriteFrame(200, {0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFE})},
      {"reference -1", [](KR2270Device* d) { return KR2270_AdWriteRef(d, -1, kTimeout); },
       WriteFrame(60, {0xFF, 0xFF, 0xFF, 0xFF})},
  });
  EXPECT_EQ(std::memcmp(settings().ad_zero_code, before.ad_zero_code, sizeof before.ad_zero_code), 0);
  EXPECT_EQ(std::memcmp(settings().ad_full_code, before.ad_full_code, sizeof before.ad_full_code), 0);
}

TEST_F(IoConfig, ReferenceValueIsReadBigEndian) {
  ReplyToRead(60, {0xFF, 0xFF, 0xFF, 0xFF});
  ReplyToRead(60, {0x12, 0x34, 0x56, 0x78});
  int32_t value = 0;
  ASSERT_EQ(KR2270_AdReadRef(device_, &value, kTimeout), 0);
  EXPECT_EQ(value, -1);
  ASSERT_EQ(KR2270_AdReadRef(device_, &value, kTimeout), 0);
  EXPECT_EQ(value, 0x12345678);
  EXPECT_EQ(peer_.requests().back(), ReadFrame(60, 4));
  peer_.AddStep({ExceptionFor(ReadFrame(60, 4), 4)});
  EXPECT_EQ(KR2270_AdReadRef(device_, &value, kTimeout), -7);
  EXPECT_EQ(value, 0x12345678);
}

struct PairCase {
  int32_t zero;
  int32_t full;
  bool adopted;
};

TEST_F(IoConfig, OnlyPlausibleCalibrationPairsAreAdopted) {
  const PairCase pairs[8] = {
      {4194303, 8388607, true},
      {1000, 11000, false},  // span exactly 10000
      {1000, 11001, true},
      {5000000, 4000000, false},  // full below zero
      {-100000, 100000, true},
      // Spans that wrap as int32: INT32_MIN..INT32_MAX is -1, the reverse +1.
      {std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), false},
      {std::numeric_limits<int32_t>::max(), std::numeric_limits<int32_t>::min(), false},
      {0, 0, false},
  };
  Bytes block;
  for (const PairCase& p : pairs) {
    AppendBE32(block, static_cast<uint32_t>(p.zero));
    AppendBE32(block, static_cast<uint32_t>(p.full));
  }
  for (int i = 0; i < 8; ++i) {
    settings().ad_zero_code[i] = 10 + i;
    settings().ad_full_code[i] = 20 + i;
  }
  ReplyToRead(200, block);
  int32_t zero[8] = {};
  int32_t full[8] = {};
  ASSERT_EQ(KR2270_AdReadZeroFull(device_, zero, full, kTimeout), 0);
  EXPECT_EQ(peer_.requests().back(), ReadFrame(200, 64));
  for (int i = 0; i < 8; ++i) {
    SCOPED_TRACE("channel " + std::to_string(i + 1));
    EXPECT_EQ(zero[i], pairs[i].zero);
    EXPECT_EQ(full[i], pairs[i].full);
    EXPECT_EQ(settings().ad_zero_code[i], pairs[i].adopted ? pairs[i].zero : 10 + i);
    EXPECT_EQ(settings().ad_full_code[i], pairs[i].adopted ? pairs[i].full : 20 + i);
  }
}

TEST_F(IoConfig, UncalibratedModuleKeepsEveryPair) {
  ReplyToRead(200, Bytes(64, 0));
  int32_t zero[8];
  int32_t full[8];
  std::memset(zero, 0x11, sizeof zero);
  std::memset(full, 0x11, sizeof full);
  const kr2270::Settings before = settings();
  ASSERT_EQ(KR2270_AdReadZeroFull(device_, zero, full, kTimeout), 0);
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(zero[i], 0);
    EXPECT_EQ(full[i], 0);
    EXPECT_EQ(settings().ad_zero_code[i], before.ad_zero_code[i]);
    EXPECT_EQ(settings().ad_full_code[i], before.ad_full_code[i]);
  }
}

TEST_F(IoConfig, FailedCalibrationReadTouchesNothing) {
  peer_.AddStep({ExceptionFor(ReadFrame(200, 64), 4)});
  int32_t zero[8] = {1, 1, 1, 1, 1, 1, 1, 1};
  int32_t full[8] = {2, 2, 2, 2, 2, 2, 2, 2};
  EXPECT_EQ(KR2270_AdReadZeroFull(device_, zero, full, kTimeout), -7);
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(zero[i], 1);
    EXPECT_EQ(full[i], 2);
    EXPECT_EQ(settings().ad_zero_code[i], 4194303);
  }
}

TEST_F(IoConfig, BadArgumentsSendNothing) {
  uint8_t bytes[16] = {};
  const int8_t modes[4] = {};
  uint32_t words[4] = {};
  int32_t codes[8] = {};
  double achieved = 0.0;
  KR2270Device* none = nullptr;
  EXPECT_EQ(KR2270_DiReadAllOnce(none, bytes, kTimeout), -1);
  EXPECT_EQ(KR2270_DiReadAllOnce(device_, nullptr, kTimeout), -1);
  EXPECT_EQ(KR2270_DoWriteAllOnce(none, bytes, kTimeout), -1);
  EXPECT_EQ(KR2270_DoWriteAllOnce(device_, nullptr, kTimeout), -1);
  EXPECT_EQ(KR2270_DoSetMode(none, bytes, kTimeout), -1);
  EXPECT_EQ(KR2270_DoSetMode(device_, nullptr, kTimeout), -1);
  EXPECT_EQ(KR2270_DoSetVotage(none, bytes, kTimeout), -1);
  EXPECT_EQ(KR2270_DoSetVotage(device_, nullptr, kTimeout), -1);
  EXPECT_EQ(KR2270_DiInFifo(none, 1, kTimeout), -1);

  EXPECT_EQ(KR2270_CtSetFreqBase(none, 1, 1.0, &achieved, kTimeout), -1);
  EXPECT_EQ(KR2270_CtSetFreqBase(none, 0, 1.0, &achieved, kTimeout), -1);
  for (int32_t counter : {0, 5, -1}) {
    EXPECT_EQ(KR2270_CtSetFreqBase(device_, counter, 1.0, &achieved, kTimeout), -8);
    EXPECT_EQ(KR2270_CtSetFreqBase(device_, counter, kNaN, &achieved, kTimeout), -8);
  }
  EXPECT_EQ(KR2270_CtSetModeAll(none, modes, kTimeout), -1);
  EXPECT_EQ(KR2270_CtSetModeAll(device_, nullptr, kTimeout), -1);
  EXPECT_EQ(KR2270_CtClear(none, bytes, kTimeout), -1);
  EXPECT_EQ(KR2270_CtClear(none, nullptr, kTimeout), -1);
  EXPECT_EQ(KR2270_CtClear(device_, nullptr, kTimeout), -8);
  EXPECT_EQ(KR2270_CtInFifo(none, bytes, kTimeout), -1);
  EXPECT_EQ(KR2270_CtInFifo(device_, nullptr, kTimeout), -1);
  EXPECT_EQ(KR2270_EcInFifo(none, bytes, kTimeout), -1);
  EXPECT_EQ(KR2270_EcInFifo(device_, nullptr, kTimeout), -1);
  EXPECT_EQ(KR2270_EcClear(none, bytes, kTimeout), -1);
  EXPECT_EQ(KR2270_EcClear(device_, nullptr, kTimeout), -1);
  EXPECT_EQ(KR2270_CtReadAllOnce(none, words, kTimeout), -1);
  EXPECT_EQ(KR2270_CtReadAllOnce(device_, nullptr, kTimeout), -1);
  EXPECT_EQ(KR2270_EcReadAllOnce(none, words, kTimeout), -1);
  EXPECT_EQ(KR2270_EcReadAllOnce(device_, nullptr, kTimeout), -1);

  for (int32_t output : {0, 5}) {
    EXPECT_EQ(KR2270_PwmSetPulse(device_, output, 1000.0, 0.5, nullptr, nullptr, kTimeout), -1);
    EXPECT_EQ(KR2270_PwmSetCount(device_, output, 1, kTimeout), -1);
  }
  EXPECT_EQ(KR2270_PwmSetPulse(none, 1, 1000.0, 0.5, nullptr, nullptr, kTimeout), -1);
  EXPECT_EQ(KR2270_PwmSetCount(none, 1, 1, kTimeout), -1);
  EXPECT_EQ(KR2270_PwmSetPhase(none, bytes, kTimeout), -1);
  EXPECT_EQ(KR2270_PwmSetPhase(device_, nullptr, kTimeout), -1);
  EXPECT_EQ(KR2270_PwmStartAll(none, bytes, kTimeout), -1);
  EXPECT_EQ(KR2270_PwmStartAll(device_, nullptr, kTimeout), -1);
  EXPECT_EQ(KR2270_PwmIsOver(none, bytes, kTimeout), -1);
  EXPECT_EQ(KR2270_PwmIsOver(device_, nullptr, kTimeout), -1);
  EXPECT_EQ(KR2270_SetWtdStatus(none, 1, 1, kTimeout), -1);

  for (int32_t channel : {0, 9}) {
    EXPECT_EQ(KR2270_AdWriteZero(device_, channel, 1, kTimeout), -1);
    EXPECT_EQ(KR2270_AdWriteFull(device_, channel, 1, kTimeout), -1);
  }
  EXPECT_EQ(KR2270_AdWriteZero(none, 1, 1, kTimeout), -1);
  EXPECT_EQ(KR2270_AdWriteFull(none, 1, 1, kTimeout), -1);
  EXPECT_EQ(KR2270_AdReadZeroFull(none, codes, codes, kTimeout), -1);
  EXPECT_EQ(KR2270_AdReadZeroFull(device_, nullptr, codes, kTimeout), -1);
  EXPECT_EQ(KR2270_AdReadZeroFull(device_, codes, nullptr, kTimeout), -1);
  EXPECT_EQ(KR2270_AdReadRef(none, codes, kTimeout), -1);
  EXPECT_EQ(KR2270_AdReadRef(device_, nullptr, kTimeout), -1);
  EXPECT_EQ(KR2270_AdWriteRef(none, 1, kTimeout), -1);

  EXPECT_EQ(settings().ct_in_fifo[0], 0);
  EXPECT_EQ(settings().ct_freq_base[0], 1000.0);
  ExpectNothingSentBefore();
}

}  // namespace

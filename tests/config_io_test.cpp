// Digital I/O, counters and encoders, pulse outputs, watchdog and calibration:
// bytes on the wire, snapshots, argument checks and what the Device records.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <limits>
#include <vector>

#include "device/device.h"
#include "kr2270c.h"
#include "scripted_peer.h"

namespace {

using kr2270::test::Bytes;
using kr2270::test::ExceptionFor;
using Call = std::function<int32_t(KR2270Device*)>;
constexpr int32_t kT = 2000;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
constexpr int32_t kMax = std::numeric_limits<int32_t>::max();

Bytes WriteFrame(uint16_t reg, const Bytes& payload) {
  const auto n = static_cast<uint8_t>(payload.size());
  Bytes f = {0, 0, 0, 0, 0, static_cast<uint8_t>(n + 7), 1, 0x10, static_cast<uint8_t>(reg >> 8),
             static_cast<uint8_t>(reg), 0, static_cast<uint8_t>(n / 2), n};
  for (uint8_t b : payload) f.push_back(b);
  return f;
}
Bytes ReadFrame(uint16_t reg, uint16_t bytes) {
  return {0, 0, 0, 0, 0, 6, 1, 3, static_cast<uint8_t>(reg >> 8), static_cast<uint8_t>(reg), 0,
          static_cast<uint8_t>(bytes / 2)};
}
// Big-endian words, optionally after a two-byte head.
Bytes Be32(std::vector<uint32_t> words, Bytes head = {}) {
  for (uint32_t w : words)
    for (int shift = 24; shift >= 0; shift -= 8) head.push_back(static_cast<uint8_t>(w >> shift));
  return head;
}

class IoConfig : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(dev_ = KR2270_DeviceCreate(), nullptr);
    ASSERT_EQ(KR2270_CmdConnect(dev_, "127.0.0.1", 0, peer_.port(), peer_.data_port(), 1000), 0);
  }
  void TearDown() override { KR2270_DeviceClose(dev_); }
  kr2270::Settings& s() { return dev_->settings; }
  void Reply(uint16_t reg, const Bytes& data) {
    peer_.AddStep({kr2270::test::ReadReplyFor(ReadFrame(reg, static_cast<uint16_t>(data.size())), data)});
  }
  void Refuse(const Bytes& request, uint8_t code = 2) { peer_.AddStep({ExceptionFor(request, code)}); }
  kr2270::test::ScriptedPeer peer_;
  KR2270Device* dev_ = nullptr;
};

TEST_F(IoConfig, SettersSendTheDescribedBytes) {
  const uint8_t out_1_12[12] = {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  const uint8_t out_all[12] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 3};
  const uint8_t mode_1_9[12] = {1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
  const uint8_t lvl[12] = {3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, lvl7[12] = {7};
  const uint8_t lvl_each[12] = {1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3, 0};
  const int8_t modes[4] = {1, 0, 3, 2}, mode7[4] = {7, 0, 0, 0};
  uint8_t ct_on[4] = {3, 0, 1, 0}, ec_on[2] = {3, 1};
  const uint8_t ec0[2] = {0, 0}, ec2[2] = {0, 1}, ec3[2] = {1, 1}, bits[4] = {1, 0, 1, 3};
  const struct { Call call; uint16_t reg; Bytes payload; } cases[] = {
      {[&](auto d) { return KR2270_DoWriteAllOnce(d, out_1_12, kT); }, 36, {0x08, 0x01, 0, 0}},
      {[&](auto d) { return KR2270_DoWriteAllOnce(d, out_all, kT); }, 36, {0x0F, 0xFF, 0, 0}},
      {[&](auto d) { return KR2270_DoSetMode(d, mode_1_9, kT); }, 34, {0x01, 0x01}},
      {[&](auto d) { return KR2270_DoSetVotage(d, lvl, kT); }, 38, {0x00, 0x40, 0x00, 0x03}},
      {[&](auto d) { return KR2270_DoSetVotage(d, lvl7, kT); }, 38, {0, 0, 0, 0x03}},
      {[&](auto d) { return KR2270_DoSetVotage(d, lvl_each, kT); }, 38, {0, 0x39, 0x39, 0x39}},
      {[](auto d) { return KR2270_DiInFifo(d, 3, kT); }, 35, {0x00, 0x01}},
      {[](auto d) { return KR2270_DiInFifo(d, 2, kT); }, 35, {0x00, 0x00}},
      {[](auto d) { return KR2270_CtSetFreqBase(d, 1, 1000.0, nullptr, kT); }, 40, {0x02, 0xFA, 0xF0, 0x80}},
      {[](auto d) { return KR2270_CtSetFreqBase(d, 4, 1.0, nullptr, kT); }, 46, {0, 0, 0xC3, 0x50}},
      {[](auto d) { return KR2270_CtSetFreqBase(d, 2, 0.5, nullptr, kT); }, 42, {0, 0, 0x61, 0xA8}},
      {[](auto d) { return KR2270_CtSetFreqBase(d, 3, 1e5, nullptr, kT); }, 44, {0x2A, 0x05, 0xF2, 0x00}},
      {[](auto d) { return KR2270_CtSetFreqBase(d, 1, 0.0, nullptr, kT); }, 40, {0, 0, 0, 0}},
      {[](auto d) { return KR2270_CtSetFreqBase(d, 1, -1.0, nullptr, kT); }, 40, Be32({4294917296u})},
      {[&](auto d) { return KR2270_CtSetModeAll(d, modes, kT); }, 52, {0x00, 0xB1}},
      {[&](auto d) { return KR2270_CtSetModeAll(d, mode7, kT); }, 52, {0x00, 0x03}},
      {[&](auto d) { return KR2270_CtInFifo(d, ct_on, kT); }, 53, {0x00, 0x05}},
      {[&](auto d) { return KR2270_EcInFifo(d, ec_on, kT); }, 194, {0x00, 0x03}},
      {[&](auto d) { return KR2270_EcClear(d, ec0, kT); }, 193, {0x00, 0x00}},
      {[&](auto d) { return KR2270_EcClear(d, ec2, kT); }, 193, {0x00, 0x02}},
      {[&](auto d) { return KR2270_EcClear(d, ec3, kT); }, 193, {0x00, 0x03}},
      {[](auto d) { return KR2270_PwmSetPulse(d, 1, 1000.0, 0.25, nullptr, nullptr, kT); }, 80,
       {0x00, 0x01, 0x00, 0x00, 0xC3, 0x50, 0x00, 0x00, 0x30, 0xD4}},
      {[](auto d) { return KR2270_PwmSetPulse(d, 2, 3.0, 0.5, nullptr, nullptr, kT); }, 80,
       Be32({16666666, 8333333}, {0, 2})},
      {[](auto d) { return KR2270_PwmSetPulse(d, 3, 1e6, 0.3, nullptr, nullptr, kT); }, 80, Be32({50, 15}, {0, 3})},
      {[](auto d) { return KR2270_PwmSetPulse(d, 4, 0.01, 0.0, nullptr, nullptr, kT); }, 80,
       {0x00, 0x04, 0x2A, 0x05, 0xF2, 0x00, 0, 0, 0, 0}},
      {[](auto d) { return KR2270_PwmSetPulse(d, 1, 1000.0, 1.0, nullptr, nullptr, kT); }, 80,
       Be32({50000, 50000}, {0, 1})},
      {[](auto d) { return KR2270_PwmSetPulse(d, 1, -1000.0, 0.25, nullptr, nullptr, kT); }, 80,
       Be32({4294917296u, 1073729324u}, {0, 1})},  // -50000 counts, low 32 bits
      {[](auto d) { return KR2270_PwmSetCount(d, 2, -1, kT); }, 96, {0, 2, 0xFF, 0xFF, 0xFF, 0xFF}},
      {[&](auto d) { return KR2270_PwmSetPhase(d, bits, kT); }, 104, {0x00, 0x0D}},
      {[&](auto d) { return KR2270_PwmStartAll(d, bits, kT); }, 105, {0x00, 0x0D}},
      {[](auto d) { return KR2270_SetWtdStatus(d, 1, 1000, kT); }, 180, {0x03, 0xE8}},
      {[](auto d) { return KR2270_SetWtdStatus(d, 2, 0x12345, kT); }, 180, {0x23, 0x45}},
      {[](auto d) { return KR2270_SetWtdStatus(d, 0, 1000, kT); }, 180, {0x00, 0x00}},
      {[](auto d) { return KR2270_SetWtdStatus(d, 256, 1000, kT); }, 180, {0x00, 0x00}},
      {[](auto d) { return KR2270_AdWriteZero(d, 2, 4194303, kT); }, 200, {0, 2, 0x00, 0x3F, 0xFF, 0xFF}},
      {[](auto d) { return KR2270_AdWriteFull(d, 8, 8388607, kT); }, 202, {0, 8, 0x00, 0x7F, 0xFF, 0xFF}},
      {[](auto d) { return KR2270_AdWriteRef(d, -1, kT); }, 60, {0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(c.call(dev_), 0) << "register " << c.reg;
    EXPECT_EQ(peer_.requests().back(), WriteFrame(c.reg, c.payload)) << "register " << c.reg;
  }
  EXPECT_EQ(peer_.requests().size(), std::size(cases));
  // Records: di flag bit 0, modes unmasked, stream flags rewritten in place.
  EXPECT_EQ(s().di_in_fifo, 0);
  EXPECT_EQ(s().ct_mode[0], 7);
  const uint8_t ct_bits[4] = {1, 0, 1, 0}, ec_bits[2] = {1, 1};
  EXPECT_EQ(std::memcmp(ct_on, ct_bits, 4), 0);
  EXPECT_EQ(std::memcmp(s().ct_in_fifo, ct_bits, 4), 0);
  EXPECT_EQ(std::memcmp(ec_on, ec_bits, 2), 0);
  EXPECT_EQ(std::memcmp(s().ec_in_fifo, ec_bits, 2), 0);
  // Calibration writes do not touch the host's pairs.
  EXPECT_EQ(s().ad_zero_code[1], 4194303);
  EXPECT_EQ(s().ad_full_code[7], 8388607);
}

TEST_F(IoConfig, AchievedPeriodsAndPulsesReflectTheCountsSent) {
  const struct { double asked, achieved, tolerance; } bases[] = {
      {1000.0, 1000.0, 0}, {0.5, 0.5, 0}, {1e5, 14100.65408, 1e-5}, {0.0, 0.0, 0}};
  for (const auto& b : bases) {
    double achieved = -1.0;
    ASSERT_EQ(KR2270_CtSetFreqBase(dev_, 3, b.asked, &achieved, kT), 0);
    EXPECT_NEAR(achieved, b.achieved, b.tolerance) << b.asked;
    EXPECT_EQ(s().ct_freq_base[2], achieved);
  }
  const struct { double hz, duty, achieved_hz, achieved_duty, tolerance; } pulses[] = {
      {1000.0, 0.25, 1000.0, 0.25, 0}, {3.0, 0.5, 3.00000012, 0.5, 1e-8},
      {1e6, 0.3, 1e6, 0.3, 0}, {0.01, 0.5, 0.0709187, 0.5, 1e-7}};
  for (const auto& p : pulses) {
    double hz = -1.0, duty = -1.0;
    ASSERT_EQ(KR2270_PwmSetPulse(dev_, 1, p.hz, p.duty, &hz, &duty, kT), 0);
    EXPECT_NEAR(hz, p.achieved_hz, p.tolerance) << p.hz;
    EXPECT_NEAR(duty, p.achieved_duty, p.tolerance) << p.hz;
  }
}

TEST_F(IoConfig, BadArgumentsAndDoublesWithoutAnIntegerCountSendNothing) {
  uint8_t b[16] = {};
  const int8_t m[4] = {};
  uint32_t w[4] = {};
  int32_t c[8] = {};
  double kept = 5.0, kept2 = 5.0;
  KR2270Device* no = nullptr;
  KR2270Device* d = dev_;
  const int32_t minus8[] = {
      KR2270_CtSetFreqBase(d, 0, 1.0, &kept, kT), KR2270_CtSetFreqBase(d, 5, kNaN, &kept, kT),
      KR2270_CtClear(d, nullptr, kT)};
  const int32_t minus1[] = {
      KR2270_DiReadAllOnce(no, b, kT), KR2270_DiReadAllOnce(d, nullptr, kT),
      KR2270_DoWriteAllOnce(d, nullptr, kT), KR2270_DoSetMode(d, nullptr, kT),
      KR2270_DoSetVotage(d, nullptr, kT), KR2270_DiInFifo(no, 1, kT),
      KR2270_CtSetFreqBase(no, 0, 1.0, &kept, kT), KR2270_CtSetModeAll(d, nullptr, kT),
      KR2270_CtSetModeAll(no, m, kT), KR2270_CtClear(no, nullptr, kT),
      KR2270_CtInFifo(d, nullptr, kT), KR2270_EcInFifo(no, b, kT), KR2270_EcClear(d, nullptr, kT),
      KR2270_CtReadAllOnce(d, nullptr, kT), KR2270_EcReadAllOnce(no, w, kT),
      KR2270_PwmSetPulse(d, 0, 1000.0, 0.5, &kept, &kept2, kT),
      KR2270_PwmSetPulse(d, 5, 1000.0, 0.5, &kept, &kept2, kT),
      KR2270_PwmSetCount(d, 5, 1, kT), KR2270_PwmSetPhase(d, nullptr, kT),
      KR2270_PwmStartAll(d, nullptr, kT), KR2270_PwmIsOver(d, nullptr, kT),
      KR2270_SetWtdStatus(no, 1, 1, kT), KR2270_AdWriteZero(d, 0, 1, kT),
      KR2270_AdWriteFull(d, 9, 1, kT), KR2270_AdReadZeroFull(d, c, nullptr, kT),
      KR2270_AdReadZeroFull(d, nullptr, c, kT), KR2270_AdReadRef(d, nullptr, kT),
      KR2270_AdWriteRef(no, 1, kT)};
  for (int32_t status : minus8) EXPECT_EQ(status, -8);
  for (int32_t status : minus1) EXPECT_EQ(status, -1);
  // 50e6 / (1000 / 1e300) and 50e6 / 5e-12 leave the int64 range, as does
  // the high time 50000 * 1e300.
  for (double base : {kNaN, kInf, -kInf, 1e300}) {
    EXPECT_EQ(KR2270_CtSetFreqBase(d, 1, base, &kept, kT), -1) << base;
  }
  const double bad_pulses[][2] = {{0.0, 0.5}, {-0.0, 0.5}, {kInf, 0.5}, {-kInf, 0.5}, {kNaN, 0.5},
                                  {1e-300, 0.5}, {5e-12, 0.5}, {1000.0, kNaN}, {1000.0, kInf},
                                  {1000.0, 1e300}};
  for (const auto& p : bad_pulses) {
    EXPECT_EQ(KR2270_PwmSetPulse(d, 1, p[0], p[1], &kept, &kept2, kT), -1) << p[0] << " " << p[1];
  }
  EXPECT_EQ(kept, 5.0);
  EXPECT_EQ(kept2, 5.0);
  EXPECT_EQ(s().ct_freq_base[0], 1000.0);
  ASSERT_EQ(KR2270_AdWriteRef(d, 7, kT), 0);  // its reply proves nothing went before it
  EXPECT_EQ(peer_.requests(), std::vector<Bytes>{WriteFrame(60, {0, 0, 0, 7})});
}

TEST_F(IoConfig, FailedWritesRecordOnlyTheRecordBeforeSendSettings) {
  const int8_t modes[4] = {1, 1, 1, 1};
  uint8_t ec[2] = {1, 1}, ct[4] = {0, 1, 0, 3};
  double achieved = 5.0;
  Refuse(WriteFrame(35, {0, 1}));
  Refuse(WriteFrame(52, {0, 0x55}));
  Refuse(WriteFrame(40, {0, 0, 0xC3, 0x50}));
  Refuse(WriteFrame(194, {0, 3}));
  EXPECT_EQ(KR2270_DiInFifo(dev_, 1, kT), -5);
  EXPECT_EQ(KR2270_CtSetModeAll(dev_, modes, kT), -5);
  EXPECT_EQ(KR2270_CtSetFreqBase(dev_, 1, 1.0, &achieved, kT), -5);
  EXPECT_EQ(KR2270_EcInFifo(dev_, ec, kT), -5);
  EXPECT_EQ(s().di_in_fifo, 0);
  EXPECT_EQ(s().ct_mode[0], 0);
  EXPECT_EQ(s().ct_freq_base[0], 1000.0);
  EXPECT_EQ(achieved, 5.0);
  EXPECT_EQ(s().ec_in_fifo[1], 1);
  peer_.AddStep({Bytes{}});  // no reply
  EXPECT_EQ(KR2270_CtInFifo(dev_, ct, 50), -2);
  const uint8_t expected[4] = {0, 1, 0, 1};
  EXPECT_EQ(std::memcmp(s().ct_in_fifo, expected, 4), 0);
  EXPECT_EQ(std::memcmp(ct, expected, 4), 0);
}

TEST_F(IoConfig, CounterClearSequenceWithItsPause) {
  const int8_t modes[4] = {0, 1, 3, 0};
  std::memcpy(s().ct_mode, modes, 4);
  s().ct_freq_base[1] = 500.0;
  const uint8_t clear[4] = {0, 1, 0, 0}, none[4] = {};
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(KR2270_CtClear(dev_, clear, kT), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2));
  ASSERT_EQ(KR2270_CtClear(dev_, none, kT), 0);  // only the modes, twice
  const std::vector<Bytes> expected = {
      WriteFrame(42, {0, 0, 0xC3, 0x50}), WriteFrame(52, {0, 0x38}),  // counter 2 in mode 2
      WriteFrame(52, {0, 0x34}), WriteFrame(42, {0x01, 0x7D, 0x78, 0x40}),
      WriteFrame(52, {0, 0x34}), WriteFrame(52, {0, 0x34})};
  EXPECT_EQ(peer_.requests(), expected);
  EXPECT_EQ(std::memcmp(s().ct_mode, modes, 4), 0);
  EXPECT_EQ(s().ct_freq_base[1], 500.0);
}

TEST_F(IoConfig, CounterClearReportsSuccessWhenTheModuleIsGone) {
  kr2270::test::Step gone;
  gone.close_after = true;
  peer_.AddStep(gone);
  const uint8_t clear[4] = {1, 0, 0, 1};
  EXPECT_EQ(KR2270_CtClear(dev_, clear, kT), 0);
  EXPECT_EQ(s().ct_mode[0], 0);  // nothing was accepted
  EXPECT_EQ(s().ct_freq_base[0], 1000.0);
}

TEST_F(IoConfig, SnapshotsUnpackTheDescribedLayouts) {
  Reply(280, {0x80, 0x01, 0xFF, 0xFF});
  Reply(272, Be32({0, 1, 0x80000001u, 0xFFFFFFFFu}));
  Reply(282, Be32({5, 0xFFFFFFFFu, 0x80000001u, 0x12345678}));
  Reply(105, {0xFF, 0x0D});
  Reply(60, {0xFF, 0xFF, 0xFF, 0xFF});
  uint8_t in[16], over[4];
  uint32_t ct[4], ec[2];
  int32_t ref = 0;
  ASSERT_EQ(KR2270_DiReadAllOnce(dev_, in, kT), 0);
  ASSERT_EQ(KR2270_CtReadAllOnce(dev_, ct, kT), 0);
  ASSERT_EQ(KR2270_EcReadAllOnce(dev_, ec, kT), 0);
  ASSERT_EQ(KR2270_PwmIsOver(dev_, over, kT), 0);
  ASSERT_EQ(KR2270_AdReadRef(dev_, &ref, kT), 0);
  EXPECT_EQ(peer_.requests(), (std::vector<Bytes>{ReadFrame(280, 4), ReadFrame(272, 16),
                                                  ReadFrame(282, 16), ReadFrame(105, 2), ReadFrame(60, 4)}));
  for (int k = 0; k < 16; ++k) EXPECT_EQ(in[k], k == 0 || k == 15) << k;
  EXPECT_EQ(std::vector<uint32_t>(ct, ct + 4), (std::vector<uint32_t>{0, 1, 0x80000001u, 0xFFFFFFFFu}));
  EXPECT_EQ(std::vector<uint32_t>(ec, ec + 2), (std::vector<uint32_t>{5, 0x80000001u}));
  EXPECT_EQ(std::vector<uint8_t>(over, over + 4), (std::vector<uint8_t>{0, 1, 0, 0}));
  EXPECT_EQ(ref, -1);
  // Failed reads leave the arrays as they were.
  for (uint16_t reg : {280, 272, 282, 105, 60}) Refuse(ReadFrame(reg, 2), reg == 60 ? 4 : 2);
  EXPECT_EQ(KR2270_DiReadAllOnce(dev_, in, kT), -1);
  EXPECT_EQ(KR2270_CtReadAllOnce(dev_, ct, kT), -1);
  EXPECT_EQ(KR2270_EcReadAllOnce(dev_, ec, kT), -1);
  EXPECT_EQ(KR2270_PwmIsOver(dev_, over, kT), -1);
  EXPECT_EQ(KR2270_AdReadRef(dev_, &ref, kT), -7);
  EXPECT_EQ(in[15], 1);
  EXPECT_EQ(ct[3], 0xFFFFFFFFu);
  EXPECT_EQ(ec[1], 0x80000001u);
  EXPECT_EQ(over[1], 1);
  EXPECT_EQ(ref, -1);
}

TEST_F(IoConfig, OnlyPlausibleCalibrationPairsAreAdopted) {
  const struct { int32_t zero, full; bool adopted; } pairs[8] = {
      {4194303, 8388607, true}, {1000, 11000, false} /* span exactly 10000 */, {1000, 11001, true},
      {5000000, 4000000, false}, {-100000, 100000, true},
      {kMin, kMax, false}, {kMax, kMin, false},  // int32 spans of -1 and +1
      {0, 0, false}};
  std::vector<uint32_t> words;
  for (int i = 0; i < 8; ++i) {
    words.push_back(static_cast<uint32_t>(pairs[i].zero));
    words.push_back(static_cast<uint32_t>(pairs[i].full));
    s().ad_zero_code[i] = 10 + i;
    s().ad_full_code[i] = 20 + i;
  }
  Reply(200, Be32(words));
  Reply(200, Bytes(64, 0));  // uncalibrated: nothing adopted
  Refuse(ReadFrame(200, 64), 4);
  int32_t zero[8], full[8];
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(KR2270_AdReadZeroFull(dev_, zero, full, kT), 0);
    for (int i = 0; i < 8; ++i) {
      const bool adopted = round == 0 && pairs[i].adopted;
      EXPECT_EQ(zero[i], round == 0 ? pairs[i].zero : 0) << i;
      EXPECT_EQ(full[i], round == 0 ? pairs[i].full : 0) << i;
      EXPECT_EQ(s().ad_zero_code[i], adopted ? pairs[i].zero : 10 + i) << i;
      EXPECT_EQ(s().ad_full_code[i], adopted ? pairs[i].full : 20 + i) << i;
      s().ad_zero_code[i] = 10 + i;
      s().ad_full_code[i] = 20 + i;
    }
  }
  zero[0] = 77;
  EXPECT_EQ(KR2270_AdReadZeroFull(dev_, zero, full, kT), -7);
  EXPECT_EQ(zero[0], 77);
  EXPECT_EQ(s().ad_zero_code[0], 10);
  EXPECT_EQ(peer_.requests().back(), ReadFrame(200, 64));
}

}  // namespace

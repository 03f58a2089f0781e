// Analog setup and snapshot: bytes on the wire, the range table, and what the
// Device records on success and on failure.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "device/device.h"
#include "kr2270c.h"
#include "scripted_peer.h"

namespace {

using kr2270::test::Bytes;
using Call = std::function<int32_t(KR2270Device*)>;
constexpr int32_t kT = 2000;

Bytes WriteFrame(uint16_t reg, const Bytes& payload) {
  const auto n = static_cast<uint8_t>(payload.size());
  Bytes f = {0, 0, 0, 0, 0, static_cast<uint8_t>(n + 7), 1, 0x10, static_cast<uint8_t>(reg >> 8),
             static_cast<uint8_t>(reg), 0, static_cast<uint8_t>(n / 2), n};
  for (uint8_t b : payload) f.push_back(b);
  return f;
}
const Bytes kSnapshotRead = {0, 0, 0, 0, 0, 6, 1, 3, 0x01, 0x00, 0, 16};

uint64_t BitsOf(double v) {
  uint64_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

class AnalogConfig : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(dev_ = KR2270_DeviceCreate(), nullptr);
    ASSERT_EQ(KR2270_CmdConnect(dev_, "127.0.0.1", 0, peer_.port(), peer_.data_port(), 1000), 0);
  }
  void TearDown() override { KR2270_DeviceClose(dev_); }
  kr2270::Settings& s() { return dev_->settings; }
  void Refuse(uint16_t reg, const Bytes& payload) {
    peer_.AddStep({kr2270::test::ExceptionFor(WriteFrame(reg, payload), 2)});
  }
  kr2270::test::ScriptedPeer peer_;
  KR2270Device* dev_ = nullptr;
};

TEST_F(AnalogConfig, SettersSendTheDescribedBytes) {
  const uint8_t ends[8] = {1, 0, 0, 0, 0, 0, 0, 1}, first[8] = {1, 0, 0, 0, 0, 0, 0, 0};
  const uint8_t src[8] = {3, 0, 0, 0, 0, 0, 0, 1}, six[8] = {6, 0, 0, 0, 0, 0, 0, 0};
  const int8_t sleep[2] = {3, -1}, sleep2[2] = {2, 1};
  const struct { Call call; uint16_t reg; Bytes payload; } cases[] = {
      {[](auto d) { return KR2270_AdSetRange(d, 3, 2, kT); }, 10, {0x03, 0x02}},
      {[](auto d) { return KR2270_AdSetRange(d, 8, 0x1FF, kT); }, 10, {0x08, 0xFF}},
      {[](auto d) { return KR2270_AdSetRangeEx(d, 1, 1, 3, kT); }, 10, {0x01, 0x03}},
      {[&](auto d) { return KR2270_AdInFifo(d, ends, 3, kT); }, 14, {0x03, 0x81}},
      {[&](auto d) { return KR2270_AdSetEndMode(d, first, kT); }, 17, {0x00, 0x80}},
      {[&](auto d) { return KR2270_AdSetSource(d, src, kT); }, 15, {0xC0, 0x01}},
      {[&](auto d) { return KR2270_AdSetSource(d, six, kT); }, 15, {0x80, 0x00}},
      {[&](auto d) { return KR2270_AdSetSleep(d, sleep, kT); }, 13, {0x00, 0x03}},
      {[&](auto d) { return KR2270_AdSetSleep(d, sleep2, kT); }, 13, {0x00, 0x02}},
      {[](auto d) { return KR2270_AdFullVotage(d, 0x1234, kT); }, 39, {0x00, 0x34}},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(c.call(dev_), 0);
    EXPECT_EQ(peer_.requests().back(), WriteFrame(c.reg, c.payload)) << "register " << c.reg;
  }
  EXPECT_EQ(peer_.requests().size(), std::size(cases));
  EXPECT_EQ(s().ad_sleep[0], 2);  // the caller's bytes, unmasked
  EXPECT_EQ(s().ad_sleep[1], 1);
}

TEST_F(AnalogConfig, RangeTable) {
  const uint64_t ten = BitsOf(10.0);
  const struct { int32_t ex, code; uint64_t span; } cases[] = {  // ex -1: plain setter
      {-1, 1, BitsOf(5.0)}, {-1, 2, BitsOf(2.0)}, {-1, 3, BitsOf(1.0)}, {-1, 0, ten},
      {-1, 4, ten}, {-1, 255, ten}, {-1, 0x101, BitsOf(5.0)}, {0, 2, BitsOf(2.0)},
      {1, 1, BitsOf(1.0)}, {1, 2, 0x3FB999999999999A}, {1, 3, 0x3F847AE147AE147B},
      {1, 0, ten}, {1, 4, ten}, {1, 255, ten},
      {256, 2, 0x3FB999999999999A},  // the flag counts as a whole: Ex column, stored as 0
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "ex " << c.ex << " code " << c.code);
    s().ad_offset[4] = 9.0;
    ASSERT_EQ(c.ex < 0 ? KR2270_AdSetRange(dev_, 5, c.code, kT)
                       : KR2270_AdSetRangeEx(dev_, 5, c.ex, c.code, kT), 0);
    EXPECT_EQ(BitsOf(s().ad_span[4]), c.span);
    EXPECT_EQ(s().ad_offset[4], 0.0);
    EXPECT_EQ(s().ad_range[4], static_cast<uint8_t>(c.code));
    if (c.ex >= 0) {
      EXPECT_EQ(s().ad_range_ex[4], static_cast<uint8_t>(c.ex));
    }
  }
  ASSERT_EQ(KR2270_AdSetRangeEx(dev_, 2, 1, 2, kT), 0);
  ASSERT_EQ(KR2270_AdSetRange(dev_, 2, 2, kT), 0);  // keeps the flag, plain column
  EXPECT_EQ(s().ad_range_ex[1], 1);
  EXPECT_EQ(s().ad_span[1], 2.0);
}

TEST_F(AnalogConfig, BadArgumentsSendAndRecordNothing) {
  const uint8_t bytes[8] = {};
  const int8_t sleep[2] = {};
  int32_t codes[8] = {};
  for (int32_t ch : {0, 9}) {
    EXPECT_EQ(KR2270_AdSetRange(dev_, ch, 1, kT), -1);
    EXPECT_EQ(KR2270_AdSetRangeEx(dev_, ch, 1, 1, kT), -1);
  }
  EXPECT_EQ(KR2270_AdSetRange(nullptr, 1, 1, kT), -1);
  EXPECT_EQ(KR2270_AdSetRangeEx(nullptr, 1, 1, 1, kT), -1);
  EXPECT_EQ(KR2270_AdInFifo(nullptr, bytes, 2, kT), -1);
  EXPECT_EQ(KR2270_AdInFifo(dev_, nullptr, 2, kT), -1);
  EXPECT_EQ(KR2270_AdSetEndMode(dev_, nullptr, kT), -1);
  EXPECT_EQ(KR2270_AdSetSleep(dev_, nullptr, kT), -1);
  EXPECT_EQ(KR2270_AdSetSleep(nullptr, sleep, kT), -1);
  EXPECT_EQ(KR2270_AdSetSource(dev_, nullptr, kT), -1);
  EXPECT_EQ(KR2270_AdFullVotage(nullptr, 1, kT), -1);
  EXPECT_EQ(KR2270_AdReadAllOnce(dev_, nullptr, kT), -1);
  EXPECT_EQ(KR2270_AdReadAllOnce(nullptr, codes, kT), -1);
  EXPECT_EQ(s().ad_code_bytes, 4);
  EXPECT_EQ(s().ad_span[0], 10.0);
  // The reply to a valid call proves that nothing was sent before it.
  ASSERT_EQ(KR2270_AdFullVotage(dev_, 7, kT), 0);
  EXPECT_EQ(peer_.requests(), std::vector<Bytes>{WriteFrame(39, {0, 7})});
}

TEST_F(AnalogConfig, FailureKeepsOnlyTheRecordBeforeSendSettings) {
  const uint8_t mode[8] = {1, 3, 2, 0, 0, 0, 0, 5}, enable[8] = {2, 0, 1, 0, 0, 0, 0, 0};
  const int8_t sleep[2] = {1, 1};
  Refuse(10, {1, 1});
  Refuse(10, {1, 1});
  Refuse(13, {0, 3});
  Refuse(17, {0, 0xC1});
  EXPECT_EQ(KR2270_AdSetRange(dev_, 1, 1, kT), -5);
  EXPECT_EQ(KR2270_AdSetRangeEx(dev_, 1, 1, 1, kT), -5);
  EXPECT_EQ(KR2270_AdSetSleep(dev_, sleep, kT), -5);
  EXPECT_EQ(s().ad_span[0], 10.0);
  EXPECT_EQ(s().ad_range[0], 0);
  EXPECT_EQ(s().ad_range_ex[0], 0);
  EXPECT_EQ(s().ad_sleep[0], 0);
  EXPECT_EQ(KR2270_AdSetEndMode(dev_, mode, kT), -5);
  const uint8_t end_bits[8] = {1, 1, 0, 0, 0, 0, 0, 1};
  EXPECT_EQ(std::memcmp(s().ad_end_mode, end_bits, 8), 0);
  peer_.AddStep({Bytes{}});  // no reply
  EXPECT_EQ(KR2270_AdInFifo(dev_, enable, 2, 50), -2);
  EXPECT_EQ(std::memcmp(s().ad_enabled, enable, 8), 0);  // whole bytes: 2 is kept as 2
  EXPECT_EQ(s().ad_code_bytes, 2);
  EXPECT_EQ(peer_.requests().back(), WriteFrame(14, {0x02, 0x04}));
}

TEST_F(AnalogConfig, InFifoStoresFourForOtherWidths) {
  const uint8_t enable[8] = {};
  for (int32_t width : {3, 0x104, 2}) ASSERT_EQ(KR2270_AdInFifo(dev_, enable, width, kT), 0);
  EXPECT_EQ(peer_.requests()[0], WriteFrame(14, {0x03, 0x00}));
  EXPECT_EQ(peer_.requests()[1], WriteFrame(14, {0x04, 0x00}));
  ASSERT_EQ(KR2270_AdInFifo(dev_, enable, 3, kT), 0);
  EXPECT_EQ(s().ad_code_bytes, 4);
}

TEST_F(AnalogConfig, SnapshotUnpacksBigEndianWordsOrLeavesTheArray) {
  Bytes data = {0x00, 0x12, 0x34, 0x56, 0xFF, 0x80, 0x00, 0x00};
  data.resize(32);
  data[31] = 1;
  peer_.AddStep({kr2270::test::ReadReplyFor(kSnapshotRead, data)});
  peer_.AddStep({kr2270::test::ExceptionFor(kSnapshotRead, 4)});
  peer_.AddStep({kr2270::test::ExceptionFor(kSnapshotRead, 2)});
  int32_t codes[8];
  ASSERT_EQ(KR2270_AdReadAllOnce(dev_, codes, kT), 0);
  EXPECT_EQ(peer_.requests().back(), kSnapshotRead);
  const int32_t expected[8] = {0x00123456, static_cast<int32_t>(0xFF800000u), 0, 0, 0, 0, 0, 1};
  EXPECT_EQ(std::memcmp(codes, expected, sizeof codes), 0);
  EXPECT_EQ(KR2270_AdReadAllOnce(dev_, codes, kT), -7);
  EXPECT_EQ(KR2270_AdReadAllOnce(dev_, codes, kT), -1);
  EXPECT_EQ(std::memcmp(codes, expected, sizeof codes), 0);
}

}  // namespace

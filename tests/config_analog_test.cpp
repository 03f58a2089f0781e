// Analog setup and snapshot: request bytes on the wire, the range table, and
// what the Device records on success and failure.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "device/device.h"
#include "kr2270c.h"
#include "scripted_peer.h"

namespace {

using kr2270::test::Bytes;
using kr2270::test::ScriptedPeer;
using kr2270::test::Step;

constexpr int32_t kTimeout = 2000;

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

uint64_t BitsOf(double value) {
  uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

template <typename T>
bool SameBytes(const T& a, const T& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// The fields the analog setters may write.
bool SameAnalogSettings(const kr2270::Settings& a, const kr2270::Settings& b) {
  return SameBytes(a.ad_enabled, b.ad_enabled) && SameBytes(a.ad_code_bytes, b.ad_code_bytes) &&
         SameBytes(a.ad_range, b.ad_range) && SameBytes(a.ad_range_ex, b.ad_range_ex) &&
         SameBytes(a.ad_span, b.ad_span) && SameBytes(a.ad_offset, b.ad_offset) &&
         SameBytes(a.ad_end_mode, b.ad_end_mode) && SameBytes(a.ad_sleep, b.ad_sleep);
}

class AnalogConfig : public testing::Test {
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
    ASSERT_EQ(KR2270_AdFullVotage(device_, 7, kTimeout), 0);
    const auto requests = peer_.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], WriteFrame(39, {0x00, 0x07}));
  }

  ScriptedPeer peer_;
  KR2270Device* device_ = nullptr;
};

struct WireCase {
  std::string name;
  std::function<int32_t(KR2270Device*)> call;
  Bytes request;
};

TEST_F(AnalogConfig, SettersPutTheDescribedBytesOnTheWire) {
  const uint8_t fifo_ends[8] = {1, 0, 0, 0, 0, 0, 0, 1};
  const uint8_t end_mode_first[8] = {1, 0, 0, 0, 0, 0, 0, 0};
  const uint8_t end_mode_masked[8] = {0, 0, 0, 0, 0, 0, 2, 3};
  const uint8_t source_ends[8] = {3, 0, 0, 0, 0, 0, 0, 1};
  const uint8_t source_six[8] = {6, 0, 0, 0, 0, 0, 0, 0};
  const int8_t sleep_both[2] = {3, -1};
  const int8_t sleep_second[2] = {2, 1};
  const std::vector<WireCase> cases = {
      {"range channel 3 code 2", [](KR2270Device* d) { return KR2270_AdSetRange(d, 3, 2, kTimeout); },
       WriteFrame(10, {0x03, 0x02})},
      {"range sends the low byte", [](KR2270Device* d) { return KR2270_AdSetRange(d, 8, 0x1FF, kTimeout); },
       WriteFrame(10, {0x08, 0xFF})},
      {"range ex does not send the flag",
       [](KR2270Device* d) { return KR2270_AdSetRangeEx(d, 1, 1, 3, kTimeout); },
       WriteFrame(10, {0x01, 0x03})},
      {"in fifo width 3, channels 1 and 8",
       [&](KR2270Device* d) { return KR2270_AdInFifo(d, fifo_ends, 3, kTimeout); },
       WriteFrame(14, {0x03, 0x81})},
      {"end mode channel 1 in the top bit",
       [&](KR2270Device* d) { return KR2270_AdSetEndMode(d, end_mode_first, kTimeout); },
       WriteFrame(17, {0x00, 0x80})},
      {"end mode uses bit 0 only",
       [&](KR2270Device* d) { return KR2270_AdSetEndMode(d, end_mode_masked, kTimeout); },
       WriteFrame(17, {0x00, 0x01})},
      {"source channels 1 and 8",
       [&](KR2270Device* d) { return KR2270_AdSetSource(d, source_ends, kTimeout); },
       WriteFrame(15, {0xC0, 0x01})},
      {"source 6 counts as 2",
       [&](KR2270Device* d) { return KR2270_AdSetSource(d, source_six, kTimeout); },
       WriteFrame(15, {0x80, 0x00})},
      {"sleep both flags", [&](KR2270Device* d) { return KR2270_AdSetSleep(d, sleep_both, kTimeout); },
       WriteFrame(13, {0x00, 0x03})},
      {"sleep second flag", [&](KR2270Device* d) { return KR2270_AdSetSleep(d, sleep_second, kTimeout); },
       WriteFrame(13, {0x00, 0x02})},
      {"full voltage low byte", [](KR2270Device* d) { return KR2270_AdFullVotage(d, 0x1234, kTimeout); },
       WriteFrame(39, {0x00, 0x34})},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    ASSERT_EQ(cases[i].call(device_), 0);
    const auto requests = peer_.requests();
    ASSERT_EQ(requests.size(), i + 1);
    EXPECT_EQ(requests.back(), cases[i].request);
  }
}

struct RangeCase {
  int32_t ex;  // -1: the plain setter
  int32_t code;
  uint64_t span_bits;
};

TEST_F(AnalogConfig, RangeTableGivesSpanAndZeroOffset) {
  const uint64_t k10 = BitsOf(10.0);
  const std::vector<RangeCase> cases = {
      {-1, 1, BitsOf(5.0)},   {-1, 2, BitsOf(2.0)}, {-1, 3, BitsOf(1.0)},
      {-1, 0, k10},           {-1, 4, k10},         {-1, 255, k10},
      {-1, 127, k10},         {-1, 0x101, BitsOf(5.0)},
      {0, 1, BitsOf(5.0)},    {0, 2, BitsOf(2.0)},  {0, 3, BitsOf(1.0)},
      {1, 1, BitsOf(1.0)},    {1, 2, 0x3FB999999999999Aull}, {1, 3, 0x3F847AE147AE147Bull},
      {1, 0, k10},            {1, 4, k10},          {1, 255, k10},
      // The flag counts as a whole 32-bit value: 256 selects the Ex column.
      {256, 2, 0x3FB999999999999Aull},
  };
  for (const RangeCase& c : cases) {
    SCOPED_TRACE("ex " + std::to_string(c.ex) + " code " + std::to_string(c.code));
    settings().ad_offset[4] = 99.0;  // the table's offset must overwrite it
    const int32_t status = c.ex < 0 ? KR2270_AdSetRange(device_, 5, c.code, kTimeout)
                                    : KR2270_AdSetRangeEx(device_, 5, c.ex, c.code, kTimeout);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(BitsOf(settings().ad_span[4]), c.span_bits);
    EXPECT_EQ(BitsOf(settings().ad_offset[4]), BitsOf(0.0));
    EXPECT_EQ(settings().ad_range[4], static_cast<uint8_t>(c.code));
    if (c.ex >= 0) {
      EXPECT_EQ(settings().ad_range_ex[4], static_cast<uint8_t>(c.ex));
    }
  }
}

TEST_F(AnalogConfig, PlainRangeKeepsTheExFlagButUsesThePlainColumn) {
  ASSERT_EQ(KR2270_AdSetRangeEx(device_, 2, 1, 2, kTimeout), 0);
  EXPECT_EQ(settings().ad_range_ex[1], 1);
  ASSERT_EQ(KR2270_AdSetRange(device_, 2, 2, kTimeout), 0);
  EXPECT_EQ(settings().ad_range_ex[1], 1);
  EXPECT_EQ(settings().ad_span[1], 2.0);
  ASSERT_EQ(KR2270_AdSetRangeEx(device_, 2, 0, 1, kTimeout), 0);
  EXPECT_EQ(settings().ad_range_ex[1], 0);
  EXPECT_EQ(settings().ad_span[1], 5.0);
}

TEST_F(AnalogConfig, BadArgumentsSendAndRecordNothing) {
  const uint8_t bytes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  const int8_t sleep[2] = {1, 1};
  int32_t codes[8] = {};
  const kr2270::Settings before = settings();
  EXPECT_EQ(KR2270_AdSetRange(nullptr, 1, 1, kTimeout), -1);
  EXPECT_EQ(KR2270_AdSetRangeEx(nullptr, 1, 1, 1, kTimeout), -1);
  for (int32_t channel : {0, 9, -1}) {
    EXPECT_EQ(KR2270_AdSetRange(device_, channel, 1, kTimeout), -1);
    EXPECT_EQ(KR2270_AdSetRangeEx(device_, channel, 1, 1, kTimeout), -1);
  }
  EXPECT_EQ(KR2270_AdInFifo(nullptr, bytes, 2, kTimeout), -1);
  EXPECT_EQ(KR2270_AdInFifo(device_, nullptr, 2, kTimeout), -1);
  EXPECT_EQ(KR2270_AdSetEndMode(nullptr, bytes, kTimeout), -1);
  EXPECT_EQ(KR2270_AdSetEndMode(device_, nullptr, kTimeout), -1);
  EXPECT_EQ(KR2270_AdSetSleep(nullptr, sleep, kTimeout), -1);
  EXPECT_EQ(KR2270_AdSetSleep(device_, nullptr, kTimeout), -1);
  EXPECT_EQ(KR2270_AdSetSource(nullptr, bytes, kTimeout), -1);
  EXPECT_EQ(KR2270_AdSetSource(device_, nullptr, kTimeout), -1);
  EXPECT_EQ(KR2270_AdFullVotage(nullptr, 1, kTimeout), -1);
  EXPECT_EQ(KR2270_AdReadAllOnce(nullptr, codes, kTimeout), -1);
  EXPECT_EQ(KR2270_AdReadAllOnce(device_, nullptr, kTimeout), -1);
  EXPECT_TRUE(SameAnalogSettings(before, settings()));
  ExpectNothingSentBefore();
}

TEST_F(AnalogConfig, InFifoRecordsWholeBytesAndWidth) {
  const uint8_t enable[8] = {2, 1, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(KR2270_AdInFifo(device_, enable, 2, kTimeout), 0);
  EXPECT_EQ(peer_.requests().back(), WriteFrame(14, {0x02, 0x02}));
  EXPECT_EQ(settings().ad_enabled[0], 2);  // kept whole, though it counts as off
  EXPECT_EQ(settings().ad_enabled[1], 1);
  EXPECT_EQ(settings().ad_code_bytes, 2);
  ASSERT_EQ(KR2270_AdInFifo(device_, enable, 0x104, kTimeout), 0);
  EXPECT_EQ(settings().ad_code_bytes, 4);
  ASSERT_EQ(KR2270_AdInFifo(device_, enable, 3, kTimeout), 0);
  EXPECT_EQ(settings().ad_code_bytes, 4);
}

TEST_F(AnalogConfig, SleepRecordsTheCallersBytesUnmasked) {
  const int8_t sleep[2] = {-2, 5};
  ASSERT_EQ(KR2270_AdSetSleep(device_, sleep, kTimeout), 0);
  EXPECT_EQ(settings().ad_sleep[0], -2);
  EXPECT_EQ(settings().ad_sleep[1], 5);
}

TEST_F(AnalogConfig, SettersRecordingOnSuccessKeepTheDeviceWhenRefused) {
  const int8_t sleep[2] = {1, 1};
  peer_.AddStep({kr2270::test::ExceptionFor(WriteFrame(10, {0x01, 0x01}), 2)});
  peer_.AddStep({kr2270::test::ExceptionFor(WriteFrame(10, {0x01, 0x01}), 2)});
  peer_.AddStep({kr2270::test::ExceptionFor(WriteFrame(13, {0x00, 0x03}), 2)});
  const kr2270::Settings before = settings();
  EXPECT_EQ(KR2270_AdSetRange(device_, 1, 1, kTimeout), -5);
  EXPECT_EQ(KR2270_AdSetRangeEx(device_, 1, 1, 1, kTimeout), -5);
  EXPECT_EQ(KR2270_AdSetSleep(device_, sleep, kTimeout), -5);
  EXPECT_TRUE(SameAnalogSettings(before, settings()));
}

TEST_F(AnalogConfig, EndModeIsRecordedBeforeSendingAndKeptWhenRefused) {
  const uint8_t mode[8] = {1, 3, 2, 0, 0, 0, 0, 5};
  peer_.AddStep({kr2270::test::ExceptionFor(WriteFrame(17, {0x00, 0xC1}), 4)});
  EXPECT_EQ(KR2270_AdSetEndMode(device_, mode, kTimeout), -5);
  const uint8_t expected[8] = {1, 1, 0, 0, 0, 0, 0, 1};
  EXPECT_EQ(std::memcmp(settings().ad_end_mode, expected, 8), 0);
  EXPECT_EQ(peer_.requests().back(), WriteFrame(17, {0x00, 0xC1}));
}

TEST_F(AnalogConfig, InFifoIsRecordedBeforeSendingAndKeptOnTimeOut) {
  const uint8_t enable[8] = {0, 0, 1, 0, 0, 0, 0, 0};
  peer_.AddStep({Bytes{}});  // no reply
  EXPECT_EQ(KR2270_AdInFifo(device_, enable, 2, 50), -2);
  EXPECT_EQ(std::memcmp(settings().ad_enabled, enable, 8), 0);
  EXPECT_EQ(settings().ad_code_bytes, 2);
}

TEST_F(AnalogConfig, SnapshotUnpacksBigEndianWords) {
  Bytes data = {0x00, 0x12, 0x34, 0x56, 0xFF, 0x80, 0x00, 0x00};
  for (uint8_t i = 0; i < 24; ++i) data.push_back(i == 23 ? 0x01 : 0x00);
  peer_.AddStep({kr2270::test::ReadReplyFor(ReadFrame(256, 32), data)});
  int32_t codes[8];
  std::memset(codes, 0x5A, sizeof codes);
  ASSERT_EQ(KR2270_AdReadAllOnce(device_, codes, kTimeout), 0);
  EXPECT_EQ(peer_.requests().back(), ReadFrame(256, 32));
  EXPECT_EQ(codes[0], 0x00123456);
  EXPECT_EQ(static_cast<uint32_t>(codes[1]), 0xFF800000u);
  for (int i = 2; i < 7; ++i) EXPECT_EQ(codes[i], 0);
  EXPECT_EQ(codes[7], 1);
}

TEST_F(AnalogConfig, FailedSnapshotLeavesTheArray) {
  peer_.AddStep({kr2270::test::ExceptionFor(ReadFrame(256, 32), 4)});
  peer_.AddStep({kr2270::test::ExceptionFor(ReadFrame(256, 32), 2)});
  int32_t codes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(KR2270_AdReadAllOnce(device_, codes, kTimeout), -7);
  EXPECT_EQ(KR2270_AdReadAllOnce(device_, codes, kTimeout), -1);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(codes[i], i + 1);
}

}  // namespace

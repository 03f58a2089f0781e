// Re-sending the mirrored settings: the exact frames on the wire, the order,
// the stop at the first failure, and the refusal while streaming.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "kr2270c.h"
#include "scripted_peer.h"

namespace {

using kr2270::test::Bytes;
using kr2270::test::ScriptedPeer;
using kr2270::test::Step;

constexpr int32_t kTimeout = 2000;

// A function-0x10 request frame as the module must receive it.
Bytes WriteFrame(std::uint16_t address, const Bytes& payload) {
  const auto n = static_cast<std::uint8_t>(payload.size());
  Bytes frame = {0, 0, 0, 0, 0, static_cast<std::uint8_t>(n + 7), 1, 0x10,
                 static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address),
                 0, static_cast<std::uint8_t>(n / 2), n};
  for (std::uint8_t byte : payload) frame.push_back(byte);
  return frame;
}

std::vector<Bytes> Since(const ScriptedPeer& peer, std::size_t first) {
  const std::vector<Bytes> all = peer.requests();
  return {all.begin() + static_cast<std::ptrdiff_t>(first), all.end()};
}

class RestoreSettingsTest : public ::testing::Test {
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

  ScriptedPeer peer_;
  KR2270Device* device_ = nullptr;
};

TEST_F(RestoreSettingsTest, FreshHandleSendsTheDefaultsInOrder) {
  ASSERT_EQ(KR2270_CmdRestoreSettings(device_, kTimeout), 0);
  std::vector<Bytes> expected;
  for (std::uint8_t ch = 1; ch <= 8; ++ch) expected.push_back(WriteFrame(10, {ch, 0}));
  expected.push_back(WriteFrame(14, {4, 0xFF}));  // all eight channels, 4-byte codes
  expected.push_back(WriteFrame(17, {0, 0}));
  expected.push_back(WriteFrame(13, {0, 0}));
  expected.push_back(WriteFrame(52, {0, 0}));
  for (std::uint16_t counter = 1; counter <= 4; ++counter) {
    // 1000 ms of the 50 MHz clock.
    expected.push_back(WriteFrame(static_cast<std::uint16_t>(38 + 2 * counter),
                                  {0x02, 0xFA, 0xF0, 0x80}));
  }
  expected.push_back(WriteFrame(35, {0, 0}));
  expected.push_back(WriteFrame(53, {0, 0}));
  expected.push_back(WriteFrame(194, {0, 0}));
  // No rate was ever set: none is sent.
  expected.push_back(WriteFrame(22, {0, 0}));
  expected.push_back(WriteFrame(26, {0, 0, 0, 0}));
  expected.push_back(WriteFrame(20, {0, 0}));
  EXPECT_EQ(peer_.requests(), expected);
}

// Each setter called once, in the resend's order: the resend must repeat the
// setters' frames byte for byte.
TEST_F(RestoreSettingsTest, RepeatsExactlyWhatTheSettersSent) {
  for (int32_t ch = 1; ch <= 8; ++ch) {
    const int32_t code = (ch * 3) % 5;  // 0..4, 4 falls to the default range
    ASSERT_EQ(ch % 2 == 0 ? KR2270_AdSetRangeEx(device_, ch, 1, code, kTimeout)
                          : KR2270_AdSetRange(device_, ch, code, kTimeout), 0);
  }
  const uint8_t ad_enable[8] = {1, 0, 1, 1, 0, 0, 0, 1};
  ASSERT_EQ(KR2270_AdInFifo(device_, ad_enable, 2, kTimeout), 0);
  const uint8_t end_mode[8] = {0, 1, 1, 0, 0, 0, 0, 1};
  ASSERT_EQ(KR2270_AdSetEndMode(device_, end_mode, kTimeout), 0);
  const int8_t sleep[2] = {1, 0};
  ASSERT_EQ(KR2270_AdSetSleep(device_, sleep, kTimeout), 0);
  const int8_t ct_mode[4] = {3, 1, 0, 2};
  ASSERT_EQ(KR2270_CtSetModeAll(device_, ct_mode, kTimeout), 0);
  // Divisor 11 is one whose period truncates back to 10 when recomputed;
  // a period of 0 gives divisor 0.
  const double base_ms[4] = {0.00022, 7.3333, 0.0, 1000.0};
  for (int32_t counter = 1; counter <= 4; ++counter) {
    ASSERT_EQ(KR2270_CtSetFreqBase(device_, counter, base_ms[counter - 1], nullptr, kTimeout), 0);
  }
  ASSERT_EQ(KR2270_DiInFifo(device_, 1, kTimeout), 0);
  uint8_t ct_enable[4] = {0, 1, 0, 1};
  ASSERT_EQ(KR2270_CtInFifo(device_, ct_enable, kTimeout), 0);
  uint8_t ec_enable[2] = {1, 1};
  ASSERT_EQ(KR2270_EcInFifo(device_, ec_enable, kTimeout), 0);
  ASSERT_EQ(KR2270_HcSetFreq(device_, 16, kTimeout), 0);
  ASSERT_EQ(KR2270_HcSetTri(device_, 1, 2, kTimeout), 0);
  ASSERT_EQ(KR2270_HcSetTriCount(device_, -123456, kTimeout), 0);
  ASSERT_EQ(KR2270_HcSetTranBytesCount(device_, 70000, kTimeout), 0);
  const std::vector<Bytes> by_setters = peer_.requests();
  ASSERT_EQ(by_setters.size(), 23u);

  ASSERT_EQ(KR2270_CmdRestoreSettings(device_, kTimeout), 0);
  EXPECT_EQ(Since(peer_, by_setters.size()), by_setters);
  // Spot checks of what both must carry.
  EXPECT_EQ(by_setters[8], WriteFrame(14, {2, 0x8D}));
  EXPECT_EQ(by_setters[12], WriteFrame(40, {0, 0, 0, 11}));
  EXPECT_EQ(by_setters[19], WriteFrame(16, {0, 36}));  // 16 runs the module at 36
  EXPECT_EQ(by_setters[22], WriteFrame(20, {0x11, 0x70}));  // low 16 bits of 70000
}

TEST_F(RestoreSettingsTest, StopsAtTheFirstRefusedWriteAndReturnsItsStatus) {
  int seen = 0;
  peer_.set_responder([&seen](const Bytes& request) {
    Step step;
    // The fourth write (range of channel 4) gets an exception: a bad echo.
    step.reply = ++seen == 4 ? kr2270::test::ExceptionFor(request, 2)
                             : kr2270::test::EchoFor(request);
    return step;
  });
  EXPECT_EQ(KR2270_CmdRestoreSettings(device_, kTimeout), KR2270_ERROR_WRITE_ECHO);
  // The library sends one request at a time: none followed the refused one.
  EXPECT_EQ(peer_.requests().size(), 4u);
}

TEST_F(RestoreSettingsTest, RefusedWhileStreamingWithNothingSent) {
  ASSERT_EQ(KR2270_HcSetTranBytesCount(device_, 320, kTimeout), 0);
  ASSERT_EQ(KR2270_HcStart(device_, 1, kTimeout), 0);
  const std::size_t before = peer_.requests().size();
  EXPECT_EQ(KR2270_CmdRestoreSettings(device_, kTimeout), KR2270_ERROR_ARGUMENT);
  EXPECT_EQ(peer_.requests().size(), before);
  ASSERT_EQ(KR2270_HcStart(device_, 0, kTimeout), 0);
  EXPECT_EQ(KR2270_CmdRestoreSettings(nullptr, kTimeout), KR2270_ERROR_ARGUMENT);
}

TEST_F(RestoreSettingsTest, NotConnectedFailsAtTheFirstWrite) {
  KR2270_CmdClose(device_);
  EXPECT_EQ(KR2270_CmdRestoreSettings(device_, kTimeout), KR2270_ERROR_SOCKET);
}

// Clearing a counter sets a 1 ms base for a moment and then puts the old one
// back: it must be the same clock divisor, not one recomputed from the period.
TEST_F(RestoreSettingsTest, CounterClearPutsBackTheExactDivisor) {
  ASSERT_EQ(KR2270_CtSetFreqBase(device_, 1, 0.00022, nullptr, kTimeout), 0);
  const uint8_t clear[4] = {1, 0, 0, 0};
  ASSERT_EQ(KR2270_CtClear(device_, clear, kTimeout), 0);
  const std::vector<Bytes> sent = peer_.requests();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.back(), WriteFrame(40, {0, 0, 0, 11}));
  const std::size_t before = sent.size();
  ASSERT_EQ(KR2270_CmdRestoreSettings(device_, kTimeout), 0);
  const std::vector<Bytes> resent = Since(peer_, before);
  ASSERT_EQ(resent.size(), 22u);
  EXPECT_EQ(resent[12], WriteFrame(40, {0, 0, 0, 11}));
}

}  // namespace

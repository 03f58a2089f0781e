#include "stream_consumer.h"

#include <gtest/gtest.h>

#include "acquisition/stream_fifo.h"
#include "device/device.h"
#include "sim/simulator.h"
#include "stream_runs.h"

namespace kr2270::bench {
namespace {

std::vector<std::uint8_t> PatternGroups(const sim::StreamLayout& layout, std::uint64_t first,
                                        std::size_t count) {
  std::vector<std::uint8_t> bytes(count * sim::GroupSize(layout));
  std::uint8_t* out = bytes.data();
  for (std::size_t i = 0; i < count; ++i) out = sim::WriteSequenceGroup(layout, first + i, out);
  return bytes;
}

// A Device whose settings stream the full layout, fed through its ring.
class ConsumerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device_ = KR2270_DeviceCreate();
    ASSERT_NE(device_, nullptr);
    Settings& s = device_->settings;
    s.di_in_fifo = 1;
    for (auto& e : s.ct_in_fifo) e = 1;
    for (auto& e : s.ec_in_fifo) e = 1;
    // The split parses with the run's settings, which a start would copy.
    device_->stream_settings = s;
    PrepareConsumer(consumer_, device_, FullLayout(), 1000);
  }
  void TearDown() override { KR2270_DeviceClose(device_); }
  void Put(const std::vector<std::uint8_t>& bytes) {
    ASSERT_EQ(FifoPut(device_->stream_fifo, bytes.data(), static_cast<std::uint32_t>(bytes.size())),
              bytes.size());
  }

  KR2270Device* device_ = nullptr;
  StreamConsumer consumer_;
};

TEST_F(ConsumerTest, FullLayoutIsTheModulesHighestLoad) {
  EXPECT_EQ(sim::GroupSize(FullLayout()), 58u);
  EXPECT_EQ(KR2270_HcGetGroupBc(device_), 58);
}

TEST_F(ConsumerTest, UnbrokenPatternAcrossSplits) {
  Put(PatternGroups(FullLayout(), 0, 2500));  // three splits of at most 1000
  EXPECT_EQ(ConsumeAll(consumer_), 2500);
  EXPECT_EQ(consumer_.next_group, 2500u);
  EXPECT_EQ(consumer_.mismatches, 0u);
  EXPECT_EQ(ConsumeOnce(consumer_), 0);
}

TEST_F(ConsumerTest, EveryGroupCheckSeesADroppedGroup) {
  std::vector<std::uint8_t> bytes = PatternGroups(FullLayout(), 0, 10);
  const auto after = PatternGroups(FullLayout(), 11, 10);  // group 10 never came
  bytes.insert(bytes.end(), after.begin(), after.end());
  Put(bytes);
  ConsumeAll(consumer_);
  EXPECT_EQ(consumer_.mismatches, 10u);  // every group after the gap is off by one
}

TEST_F(ConsumerTest, EveryGroupCheckSeesOneWrongByte) {
  for (const std::size_t at : {0u, 31u, 33u, 57u}) {  // analog 1, analog 8, digital, encoder 2
    std::vector<std::uint8_t> bytes = PatternGroups(FullLayout(), consumer_.next_group, 5);
    bytes[2 * 58 + at] ^= 0x10;
    Put(bytes);
    const std::uint64_t before = consumer_.mismatches;
    ConsumeAll(consumer_);
    EXPECT_EQ(consumer_.mismatches - before, 1u) << "byte " << at;
  }
}

TEST_F(ConsumerTest, EndsCheckCountsAGapAndResumesAfterIt) {
  consumer_.check = Check::kEndsOnly;
  Put(PatternGroups(FullLayout(), 0, 100));
  ASSERT_EQ(ConsumeOnce(consumer_), 100);
  Put(PatternGroups(FullLayout(), 150, 100));  // 50 groups dropped
  ASSERT_EQ(ConsumeOnce(consumer_), 100);
  EXPECT_EQ(consumer_.gaps, 1u);
  EXPECT_EQ(consumer_.mismatches, 0u);
  EXPECT_EQ(consumer_.next_group, 250u);
  Put(PatternGroups(FullLayout(), 250, 100));
  ASSERT_EQ(ConsumeOnce(consumer_), 100);
  EXPECT_EQ(consumer_.gaps, 1u);
}

TEST_F(ConsumerTest, EndsCheckSeesAJumpInsideASplit) {
  consumer_.check = Check::kEndsOnly;
  Put(PatternGroups(FullLayout(), 0, 40));
  Put(PatternGroups(FullLayout(), 90, 60));  // 50 dropped between the ends
  ASSERT_EQ(ConsumeOnce(consumer_), 100);
  EXPECT_EQ(consumer_.gaps, 1u);
  EXPECT_EQ(consumer_.mismatches, 0u);
  EXPECT_EQ(consumer_.next_group, 150u);
}

TEST_F(ConsumerTest, EndsCheckSeesAGroupOffThePattern) {
  consumer_.check = Check::kEndsOnly;
  std::vector<std::uint8_t> bytes = PatternGroups(FullLayout(), 0, 10);
  bytes[9 * 58 + 4] ^= 1;  // channel 2 of the last group
  Put(bytes);
  ASSERT_EQ(ConsumeOnce(consumer_), 10);
  EXPECT_EQ(consumer_.mismatches, 1u);
  EXPECT_EQ(consumer_.gaps, 0u);
}

TEST_F(ConsumerTest, ConversionLeavesSignExtendedCodesAndValues) {
  // Group 1048575 carries 8 * 1048575 = 0x7FFFF8 on channel 1 and 0x7FFFFF on
  // channel 8; one group later the codes wrap past bit 23.
  Put(PatternGroups(FullLayout(), 1048575, 2));
  consumer_.next_group = 1048575;
  ASSERT_EQ(ConsumeOnce(consumer_), 2);
  EXPECT_EQ(consumer_.mismatches, 0u);
  EXPECT_EQ(consumer_.ad[7][0], 0x7FFFFF);
  EXPECT_EQ(consumer_.ad[0][1], -8388608);  // 0x800000 sign-extended
  // The last conversion is counter 4's, in mode 0: the count itself.
  EXPECT_EQ(consumer_.values[0], static_cast<double>(sim::SequenceCounter(1048575, 4)));
}

TEST(ConfigureFullStreamTest, WritesTheLayoutToTheModule) {
  sim::Simulator simulator;
  ASSERT_EQ(simulator.Start(), 0);
  KR2270Device* device = KR2270_DeviceCreate();
  ASSERT_EQ(KR2270_CmdConnect(device, "127.0.0.1", 0, simulator.command_port(),
                              simulator.data_port(), 2000),
            0);
  ASSERT_EQ(ConfigureFullStream(device, 56, 4640, 2000), 0);
  EXPECT_EQ(simulator.HoldingRegister(14), 0x04FF);     // 4-byte codes, channels 1..8
  EXPECT_EQ(simulator.HoldingRegister(35) & 1, 1);      // digital word
  EXPECT_EQ(simulator.HoldingRegister(53) & 0xF, 0xF);  // counters 1..4
  EXPECT_EQ(simulator.HoldingRegister(194) & 3, 3);     // encoders 1, 2
  EXPECT_EQ(simulator.HoldingRegister(16), 56);
  EXPECT_EQ(KR2270_HcGetGroupBc(device), 58);
  KR2270_CmdClose(device);
  KR2270_DeviceClose(device);
}

// At 8000 groups/s, so that a slow machine (or a sanitizer) keeps up.
TEST(StreamRunTest, LibraryAndPlainReceiverBothGetTheStream) {
  SimProcess sim = StartSimProcess(KR2270_SIM_EXE, {"--sequence"});
  ASSERT_GT(sim.pid, 0);
  const LibraryRun lib = RunLibraryStream(sim, 56, 0.3, Pace::kEvery10Ms, Check::kEveryGroup, true);
  const PlainRun plain = RunPlainReceiver(sim, 56, 0.3);
  StopSimProcess(sim);
  ASSERT_TRUE(lib.ok);
  EXPECT_GT(lib.groups, 0u);
  EXPECT_EQ(lib.mismatches, 0u);
  EXPECT_EQ(lib.lost, 0u);
  EXPECT_FALSE(lib.data_lost);
  ASSERT_TRUE(plain.ok);
  EXPECT_GT(plain.bytes, 0u);
}

}  // namespace
}  // namespace kr2270::bench

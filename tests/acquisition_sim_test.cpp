// End to end: the library against the simulated module streaming the
// sequence pattern.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "acquisition/acquisition.h"
#include "command/command.h"
#include "kr2270c.h"
#include "sim/sequence.h"
#include "sim/simulator.h"

namespace kr2270 {
namespace {

using namespace std::chrono_literals;

struct SimRig {
  sim::Simulator module;
  Device* device = KR2270_DeviceCreate();

  explicit SimRig(bool sequence = true) : module(Options(sequence)) {
    EXPECT_EQ(module.Start(), 0);
    EXPECT_EQ(
        KR2270_CmdConnect(device, "127.0.0.1", 0, module.command_port(), module.data_port(), 2000),
        0);
  }
  ~SimRig() { KR2270_DeviceClose(device); }

  static sim::Options Options(bool sequence) {
    sim::Options o;
    o.sequence = sequence;
    return o;
  }

  // The enables go straight to their registers: the library's own setters
  // for them belong to the configuration exports.
  void Stream(const sim::StreamLayout& l) {
    Settings& s = device->settings;
    for (int k = 0; k < 8; ++k) s.ad_enabled[k] = (l.analog_mask >> k) & 1u;
    s.ad_code_bytes = l.code_bytes;
    s.di_in_fifo = l.digital ? 1 : 0;
    for (int c = 0; c < 4; ++c) s.ct_in_fifo[c] = (l.counter_mask >> c) & 1u;
    for (int e = 0; e < 2; ++e) s.ec_in_fifo[e] = (l.encoder_mask >> e) & 1u;
    ASSERT_EQ(WriteRegisters(device, 14, {l.code_bytes, l.analog_mask}, 2000), 0);
    ASSERT_EQ(WriteRegisters(device, 35, {0, static_cast<std::uint8_t>(l.digital)}, 2000), 0);
    ASSERT_EQ(WriteRegisters(device, 53, {0, l.counter_mask}, 2000), 0);
    ASSERT_EQ(WriteRegisters(device, 194, {0, l.encoder_mask}, 2000), 0);
  }
};

// Splits what is buffered and checks it against groups first*F, (first+1)*F,
// ... of the pattern. Returns the number of groups checked.
std::int32_t SplitAndCheck(Device* device, const sim::StreamLayout& l, std::uint64_t first,
                           std::uint64_t factor) {
  const std::int32_t n = KR2270_HcCodeSplit(device, 1 << 20);
  if (n <= 0) return n;
  std::vector<std::int32_t> ad(static_cast<std::size_t>(n));
  std::vector<std::uint16_t> di(static_cast<std::size_t>(n));
  std::vector<std::uint32_t> ct(static_cast<std::size_t>(n));
  for (int k = 1; k <= 8; ++k) {
    if (((l.analog_mask >> (k - 1)) & 1u) == 0) continue;
    EXPECT_EQ(KR2270_HcCodeGetAd(device, k, ad.data()), n);
    for (std::int32_t i = 0; i < n; ++i) {
      const std::uint64_t g = (first + static_cast<std::uint64_t>(i)) * factor;
      if (static_cast<std::uint32_t>(ad[static_cast<std::size_t>(i)]) !=
          sim::SequenceAnalog(g, k, 4)) {
        ADD_FAILURE() << "analog " << k << " group " << g;
        return -1;
      }
    }
  }
  if (l.digital) {
    EXPECT_EQ(KR2270_HcCodeGetDi(device, di.data()), n);
    EXPECT_EQ(di.back(),
              sim::SequenceDigital((first + static_cast<std::uint64_t>(n) - 1) * factor));
  }
  for (int c = 1; c <= 4; ++c) {
    if (((l.counter_mask >> (c - 1)) & 1u) == 0) continue;
    EXPECT_EQ(KR2270_HcCodeGetCt(device, c, ct.data()), n);
    EXPECT_EQ(ct.back(),
              sim::SequenceCounter((first + static_cast<std::uint64_t>(n) - 1) * factor, c));
  }
  return n;
}

// Runs the stream until `groups` groups have been split and checked.
void Collect(Device* device, const sim::StreamLayout& l, std::uint64_t groups,
             std::uint64_t factor) {
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  std::uint64_t checked = 0;
  while (checked < groups) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << checked << " of " << groups;
    const std::int32_t n = SplitAndCheck(device, l, checked, factor);
    ASSERT_GE(n, 0);
    checked += static_cast<std::uint64_t>(n);
    if (n == 0) std::this_thread::sleep_for(2ms);
  }
}

TEST(EndToEnd, EveryRateCodeDeliversTheWholeStream) {
  struct Rate {
    std::int32_t code;
    double rate;
    std::uint64_t factor;
  };
  SimRig rig;
  const sim::StreamLayout l{4, 0xFF, false, 0, 0};
  for (const Rate r :
       {Rate{8, 256000, 1}, Rate{16, 16000, 2}, Rate{24, 128000, 1}, Rate{36, 32000, 1},
        Rate{40, 64000, 1}, Rate{48, 1000, 4}, Rate{52, 4000, 1}, Rate{56, 8000, 1}}) {
    SCOPED_TRACE(testing::Message() << "rate code " << r.code);
    const double rate = r.rate;
    ASSERT_EQ(KR2270_HcSetFreq(rig.device, r.code, 2000), 0);
    // About 10 ms of stream per block.
    ASSERT_EQ(KR2270_HcSetTranBytesCount(rig.device,
                                         static_cast<std::int32_t>(rate * 32 / 100) + 64, 2000),
              0);
    ASSERT_EQ(KR2270_HcStart(rig.device, 1, 2000), 0);
    Collect(rig.device, l, static_cast<std::uint64_t>(rate / 5), r.factor);  // 0.2 s
    ASSERT_EQ(KR2270_HcStart(rig.device, 0, 2000), 0);
    std::uint64_t lost = 1;
    EXPECT_EQ(KR2270_HcGetLostGroups(rig.device, &lost), 0);
    EXPECT_EQ(lost, 0u);
    EXPECT_EQ(KR2270_HcIsDataLost(rig.device), 0);
  }
}

TEST(EndToEnd, EveryChannelAtTheHighestRate) {
  SimRig rig;
  const sim::StreamLayout l{4, 0xFF, true, 0x0F, 0x03};
  rig.Stream(l);
  ASSERT_EQ(KR2270_HcGetGroupBc(rig.device), 58);
  ASSERT_EQ(KR2270_HcSetFreq(rig.device, 8, 2000), 0);
  ASSERT_EQ(KR2270_HcSetTranBytesCount(rig.device, 58 * 2560, 2000), 0);
  ASSERT_EQ(KR2270_HcStart(rig.device, 1, 2000), 0);
  Collect(rig.device, l, 256000 / 4, 1);
  EXPECT_EQ(KR2270_HcStart(rig.device, 0, 2000), 0);
}

TEST(EndToEnd, CloseWhileStreaming) {
  SimRig rig;
  ASSERT_EQ(KR2270_HcSetFreq(rig.device, 8, 2000), 0);
  ASSERT_EQ(KR2270_HcSetTranBytesCount(rig.device, 81920, 2000), 0);
  ASSERT_EQ(KR2270_HcStart(rig.device, 1, 2000), 0);
  ASSERT_TRUE(
      rig.module.WaitUntil([](const sim::Simulator& m) { return m.groups_sent() > 1000; }, 5000ms));
  KR2270_DeviceClose(rig.device);
  rig.device = nullptr;
  EXPECT_TRUE(rig.module.WaitUntil([](const sim::Simulator& m) { return !m.streaming(); }, 5000ms));
}

TEST(EndToEnd, AResetOfTheDataConnectionIsReported) {
  SimRig rig;
  rig.module.InjectDataFault(sim::DataFault::ResetAfter(32 * 4000));
  ASSERT_EQ(KR2270_HcSetFreq(rig.device, 52, 2000), 0);
  ASSERT_EQ(KR2270_HcSetTranBytesCount(rig.device, 1280, 2000), 0);
  ASSERT_EQ(KR2270_HcStart(rig.device, 1, 2000), 0);
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (KR2270_HcIsDataLost(rig.device) != 1) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    std::this_thread::sleep_for(1ms);
  }
  // A reset may discard what was still in flight; what did arrive is intact.
  const std::int32_t groups =
      SplitAndCheck(rig.device, sim::StreamLayout{4, 0xFF, false, 0, 0}, 0, 1);
  EXPECT_GT(groups, 0);
  EXPECT_LE(groups, 4000);
  EXPECT_EQ(KR2270_HcStart(rig.device, 0, 2000), 0);
  EXPECT_EQ(KR2270_HcIsDataLost(rig.device), 1);
}

}  // namespace
}  // namespace kr2270

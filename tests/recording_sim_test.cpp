// A recording of the simulated module's live stream replays as it was split
// live, and carries the settings it was made with.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "device/device.h"
#include "kr2270c.h"
#include "temp_dir.h"
#include "sim/simulator.h"

namespace kr2270 {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

using test::TempDir;

// Every channel queue of one or more splits, appended.
struct SplitGroups {
  std::vector<std::int32_t> ad[8];
  std::vector<std::uint16_t> di;
  std::vector<std::uint32_t> ct[4];
  std::vector<std::uint32_t> ec[2];
  std::size_t groups = 0;
};

template <typename T, typename Fetch>
void AppendQueue(std::vector<T>& to, std::int32_t n, Fetch fetch) {
  std::vector<T> part(static_cast<std::size_t>(n));
  if (fetch(part.data()) == n) to.insert(to.end(), part.begin(), part.end());
}

// Splits everything buffered into `into`.
void SplitAll(Device* device, SplitGroups& into) {
  for (;;) {
    const std::int32_t n = KR2270_HcCodeSplit(device, 100000);
    if (n <= 0) return;
    into.groups += static_cast<std::size_t>(n);
    for (int k = 1; k <= 8; ++k) {
      AppendQueue(into.ad[k - 1], n,
                  [&](std::int32_t* p) { return KR2270_HcCodeGetAd(device, k, p); });
    }
    AppendQueue(into.di, n, [&](std::uint16_t* p) { return KR2270_HcCodeGetDi(device, p); });
    for (int c = 1; c <= 4; ++c) {
      AppendQueue(into.ct[c - 1], n,
                  [&](std::uint32_t* p) { return KR2270_HcCodeGetCt(device, c, p); });
    }
    for (int e = 1; e <= 2; ++e) {
      AppendQueue(into.ec[e - 1], n,
                  [&](std::uint32_t* p) { return KR2270_HcCodeGetEc(device, e, p); });
    }
  }
}

TEST(RecordingSim, ALiveRecordingReplaysAsItWasSplitLive) {
  TempDir dir;
  sim::Simulator module;
  ASSERT_EQ(module.Start(), 0);
  Device* live = KR2270_DeviceCreate();
  ASSERT_EQ(
      KR2270_CmdConnect(live, "127.0.0.1", 0, module.command_port(), module.data_port(), 2000), 0);

  std::uint8_t ad_enable[8] = {1, 0, 1, 1, 0, 0, 0, 1};
  std::uint8_t end_mode[8] = {0, 1, 0, 1, 1, 0, 0, 1};
  std::int8_t sleep[2] = {1, 0};
  std::uint8_t ct_enable[4] = {0, 1, 0, 0};
  std::uint8_t ec_enable[2] = {1, 0};
  std::int8_t ct_modes[4] = {0, 1, 2, 3};
  std::int32_t zero[8], full[8];
  ASSERT_EQ(KR2270_AdInFifo(live, ad_enable, 2, 2000), 0);
  ASSERT_EQ(KR2270_AdSetRange(live, 3, 1, 2000), 0);
  ASSERT_EQ(KR2270_AdSetEndMode(live, end_mode, 2000), 0);
  ASSERT_EQ(KR2270_AdSetSleep(live, sleep, 2000), 0);
  ASSERT_EQ(KR2270_AdReadZeroFull(live, zero, full, 2000), 0);
  ASSERT_EQ(KR2270_DiInFifo(live, 1, 2000), 0);
  ASSERT_EQ(KR2270_CtInFifo(live, ct_enable, 2000), 0);
  ASSERT_EQ(KR2270_EcInFifo(live, ec_enable, 2000), 0);
  ASSERT_EQ(KR2270_CtSetModeAll(live, ct_modes, 2000), 0);
  double base_ms = 0;
  ASSERT_EQ(KR2270_CtSetFreqBase(live, 2, 10.0, &base_ms, 2000), 0);
  ASSERT_EQ(KR2270_HcSetTri(live, 0, 2, 2000), 0);
  ASSERT_EQ(KR2270_HcSetTriCount(live, 12345, 2000), 0);
  ASSERT_EQ(KR2270_HcSetFreq(live, 16, 2000), 0);  // decimated on the host
  const std::int32_t group = KR2270_HcGetGroupBc(live);
  ASSERT_EQ(group, 4 * 2 + 2 + 4 + 4);
  ASSERT_EQ(KR2270_HcSetTranBytesCount(live, 320 * group, 2000), 0);  // about 10 ms

  SetRecordFileLimit(live, 16384);  // a chain of files, groups cut at their ends
  ASSERT_EQ(KR2270_DFWOpen(live, dir.path.c_str(), 0), 0);
  const std::string first_file = live->writer.path;
  ASSERT_EQ(KR2270_HcStart(live, 1, 2000), 0);
  ASSERT_TRUE(
      module.WaitUntil([](const sim::Simulator& m) { return m.groups_sent() >= 8000; }, 10s));
  // The library offers nothing to wait on for its ring: polled, bounded.
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (KR2270_HcCodeCanReadGroupCount(live) < 4000) {  // every 2nd of 8000 is kept
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_EQ(KR2270_HcStart(live, 0, 2000), 0);
  std::int32_t files = 0;
  EXPECT_EQ(KR2270_DFWGetInfo(live, nullptr, &files), 0);
  EXPECT_GE(files, 3);
  ASSERT_EQ(KR2270_DFWClose(live), 0);
  std::uint64_t lost = 1;
  ASSERT_EQ(KR2270_HcGetLostGroups(live, &lost), 0);
  ASSERT_EQ(lost, 0u);
  SplitGroups split_live;
  SplitAll(live, split_live);
  ASSERT_GE(split_live.groups, 4000u);

  // Played back on a fresh handle, whose settings come from the recording.
  Device* player = KR2270_DeviceCreate();
  ASSERT_EQ(KR2270_DFROpen(player, first_file.c_str(), 0), 0);
  double total = 0, rate = 0;
  EXPECT_EQ(KR2270_DFRGetGroupTotal(player, &total, nullptr), 0);
  EXPECT_EQ(total, static_cast<double>(split_live.groups));
  EXPECT_EQ(KR2270_DFRGetFreq(player, &rate), 0);
  EXPECT_EQ(rate, 16000.0);
  SplitGroups split_played;
  std::int32_t read = 0;
  do {
    ASSERT_EQ(KR2270_DFRRead(player, -1, 1000, &read), 0);
    SplitAll(player, split_played);
  } while (read > 0);
  EXPECT_EQ(split_played.groups, split_live.groups);
  for (int k = 0; k < 8; ++k) EXPECT_EQ(split_played.ad[k], split_live.ad[k]) << "analog " << k + 1;
  EXPECT_EQ(split_played.di, split_live.di);
  for (int c = 0; c < 4; ++c)
    EXPECT_EQ(split_played.ct[c], split_live.ct[c]) << "counter " << c + 1;
  for (int e = 0; e < 2; ++e)
    EXPECT_EQ(split_played.ec[e], split_live.ec[e]) << "encoder " << e + 1;

  std::uint8_t u8[8];
  std::int8_t i8[4];
  std::int32_t a[8], b[8];
  double bases[4];
  EXPECT_EQ(KR2270_DFRGetAdInFifo(player, u8), 0);
  EXPECT_TRUE(std::equal(u8, u8 + 8, ad_enable));
  EXPECT_EQ(KR2270_DFRGetRange(player, u8), 0);
  EXPECT_EQ(u8[2], 1);
  EXPECT_EQ(KR2270_DFRAdGetEndMode(player, a), 0);
  for (int k = 0; k < 8; ++k) EXPECT_EQ(a[k], end_mode[k]);
  EXPECT_EQ(KR2270_DFRAdGetSleep(player, a), 0);
  EXPECT_EQ(a[0], sleep[0]);
  EXPECT_EQ(a[1], sleep[1]);
  EXPECT_EQ(KR2270_DFRAdReadZeroFull(player, a, b), 0);
  for (int k = 0; k < 8; ++k) {
    EXPECT_EQ(a[k], module.Calibration(k + 1).zero);
    EXPECT_EQ(b[k], module.Calibration(k + 1).full);
  }
  EXPECT_EQ(KR2270_DFRGetDiInFifo(player, u8), 0);
  EXPECT_EQ(u8[0], 1);
  EXPECT_EQ(KR2270_DFRGetCtInFifo(player, u8), 0);
  EXPECT_TRUE(std::equal(u8, u8 + 4, ct_enable));
  EXPECT_EQ(KR2270_DFRGetEcInFifo(player, u8), 0);
  EXPECT_TRUE(std::equal(u8, u8 + 2, ec_enable));
  EXPECT_EQ(KR2270_DFRCtGetModeAll(player, i8), 0);
  EXPECT_TRUE(std::equal(i8, i8 + 4, ct_modes));
  EXPECT_EQ(KR2270_DFRCtGetFreqBase(player, bases), 0);
  EXPECT_EQ(bases[1], base_ms);
  EXPECT_EQ(KR2270_DFRGetTri(player, a, b), 0);
  EXPECT_EQ(a[0], 0);
  EXPECT_EQ(b[0], 2);
  EXPECT_EQ(KR2270_DFRGetTriCount(player, a), 0);
  EXPECT_EQ(a[0], 12345);

  EXPECT_EQ(KR2270_DFRClose(player), 0);
  KR2270_DeviceClose(player);
  KR2270_DeviceClose(live);
}

}  // namespace
}  // namespace kr2270

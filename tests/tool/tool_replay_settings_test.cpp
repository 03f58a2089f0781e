// kr2270 play on a recording whose range changed while it was made: every
// row converts with the range in force for its group.
#include <chrono>
#include <cmath>
#include <filesystem>

#include <gtest/gtest.h>

#include "kr2270c.h"
#include "run_process.h"
#include "sim/simulator.h"

namespace kr2270::testing {
namespace {

constexpr int T = 2000;

std::uint64_t GroupsReceived(KR2270Device* device) {
  KR2270Health health{};
  health.struct_size = sizeof health;
  EXPECT_EQ(KR2270_GetHealth(device, &health), 0);
  return health.groups_received;
}

// Splits (and drops) what arrives until `groups` have been received.
bool StreamUntil(KR2270Device* device, std::uint64_t groups) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (GroupsReceived(device) < groups) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    const std::int32_t ready = KR2270_HcWaitGroups(device, 1, 200);
    if (ready > 0) KR2270_HcCodeSplit(device, ready);
  }
  return true;
}

TEST(ToolReplay, ARangeChangedMidRecordingConvertsEachRowWithItsOwnRange) {
  sim::Options options;
  options.signal[0] = {2.5, 0.0, 10.0};  // 2.5 V, flat
  sim::Simulator module(options);
  ASSERT_EQ(module.Start(), 0);
  TempDir dir;
  KR2270Device* device = KR2270_DeviceCreate();
  ASSERT_EQ(KR2270_CmdConnect(device, "127.0.0.1", 0, module.command_port(), module.data_port(), T), 0);
  std::int32_t zero[8], full[8];
  ASSERT_EQ(KR2270_AdReadZeroFull(device, zero, full, T), 0);
  const std::uint8_t analog[8] = {1, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(KR2270_AdInFifo(device, analog, 4, T), 0);
  ASSERT_EQ(KR2270_HcSetFreq(device, 56, T), 0);
  ASSERT_EQ(KR2270_HcSetTranBytesCount(device, 320, T), 0);
  ASSERT_EQ(KR2270_AdSetRange(device, 1, 0, T), 0);  // 10 V
  ASSERT_EQ(KR2270_DFWOpen(device, dir.path.c_str(), 0), 0);
  char first[512];
  ASSERT_GT(KR2270_DFWGetFileName(device, 0, first, sizeof first), 0);
  ASSERT_EQ(KR2270_HcStart(device, 1, T), 0);
  ASSERT_TRUE(StreamUntil(device, 1600));
  const auto change_start = std::chrono::steady_clock::now();
  ASSERT_EQ(KR2270_AdSetRange(device, 1, 1, T), 0);  // 5 V while it streams
  const auto change_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - change_start).count() + 1;
  const std::uint64_t after_change = GroupsReceived(device);
  ASSERT_TRUE(StreamUntil(device, after_change + 1600));
  ASSERT_EQ(KR2270_HcStart(device, 0, T), 0);
  ASSERT_EQ(KR2270_DFWClose(device), 0);
  // Where the library placed the change: the module took it somewhere in
  // the exchange, so groups within its length (and a millisecond) of that
  // place may have been measured with either range.
  KR2270ConversionSettings changes[4];
  ASSERT_EQ(KR2270_HcGetSettingsSince(device, 0, changes, 4, nullptr), 2);
  const std::uint64_t change = changes[1].index;
  ASSERT_EQ(changes[1].full_scale[0], 5.0);
  KR2270_DeviceClose(device);

  const std::string csv_path = dir.File("replay.csv");
  const ProcessResult r = RunProcess({KR2270_TOOL_PATH, "play", first, "--codes", "--csv", csv_path});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  const auto lines = Lines(ReadFile(csv_path));
  ASSERT_GE(lines.size(), after_change + 1600);
  ASSERT_EQ(SplitCsvRow(lines[0])[1], "ai1_V");
  const auto uncertain = static_cast<std::uint64_t>(8 + 8 * change_ms);  // 8 groups a millisecond
  std::size_t checked = 0;
  for (std::size_t row = 1; row < lines.size(); ++row) {
    const std::uint64_t group = row - 1;
    if (group + uncertain >= change && group <= change + uncertain) continue;
    ASSERT_NEAR(std::stod(SplitCsvRow(lines[row])[1]), 2.5, 1e-3)
        << "group " << group << (group < change ? " (10 V)" : " (5 V)");
    ++checked;
  }
  EXPECT_GT(checked, 3000u);
}

}  // namespace
}  // namespace kr2270::testing

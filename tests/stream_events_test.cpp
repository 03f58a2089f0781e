// What an application learns about the stream besides its groups: the
// blocking wait, the gap log and the health snapshot. The module streams the
// sequence pattern, so each group names its own stream index and every gap
// can be located independently of the library's bookkeeping.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <future>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "../fuzz/stream_check.h"
#include "acquisition/gap_log.h"
#include "device/device.h"
#include "kr2270c.h"
#include "stream_probe.h"
#include "scripted_peer.h"
#include "sim/sequence.h"
#include "sim/simulator.h"

namespace kr2270 {
namespace {

using Clock = std::chrono::steady_clock;
using test::HealthOf;
using test::MsSince;
using test::LostGroups;
constexpr std::int32_t T = 2000;

std::vector<KR2270Gap> Gaps(KR2270Device* device) {
  const std::int32_t total = KR2270_HcGetGaps(device, nullptr, 0);
  std::vector<KR2270Gap> gaps(static_cast<std::size_t>(total > 0 ? total : 0));
  EXPECT_EQ(KR2270_HcGetGaps(device, gaps.data(), total), total);
  return gaps;
}

// Analog channel 1 and counter 1: 8-byte groups whose counter word is 4 x the
// stream index.
oracle::StreamSetup CounterSetup(std::int32_t rate_code) {
  oracle::StreamSetup s;
  s.analog_mask = 0x01;
  s.counter_mask = 0x1;
  s.rate_code = rate_code;
  s.transfer_bytes = 1600;
  return s;
}

class StreamEvents : public ::testing::Test {
 protected:
  void SetUp() override {
    device_ = KR2270_DeviceCreate();
    ASSERT_NE(device_, nullptr);
    ASSERT_EQ(KR2270_CmdConnect(device_, "127.0.0.1", 0, peer_.port(), peer_.data_port(), T), 0);
  }
  void TearDown() override {
    KR2270_HcStart(device_, 0, T);
    if (!small_ring_.empty()) {
      device_->stream_fifo.buffer = saved_buffer_;
      device_->stream_fifo.size = saved_size_;
    }
    KR2270_DeviceClose(device_);
  }

  void Start(const oracle::StreamSetup& s) {
    ASSERT_EQ(oracle::Configure(device_, s, T), "");
    setup_ = s;
    const int connections = peer_.data_connections();
    ASSERT_EQ(KR2270_HcStart(device_, 1, T), 0);
    ASSERT_TRUE(peer_.WaitForDataConnection(connections + 1, T));
  }

  // Only while the receiver is idle; the device's own ring comes back at the end.
  void UseSmallRing(std::uint32_t size) {
    small_ring_.assign(size, 0);
    saved_buffer_ = device_->stream_fifo.buffer;
    saved_size_ = device_->stream_fifo.size;
    device_->stream_fifo.buffer = small_ring_.data();
    device_->stream_fifo.size = size;
  }

  void SendGroups(std::uint64_t first, std::uint64_t count) {
    const sim::StreamLayout layout = setup_.Layout();
    const std::size_t size = sim::GroupSize(layout);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(count) * size);
    for (std::uint64_t i = 0; i < count; ++i) {
      sim::WriteSequenceGroup(layout, first + i, bytes.data() + i * size);
    }
    ASSERT_TRUE(peer_.SendData(bytes));
  }

  // Splits what is buffered and appends the decimated index of each group.
  std::int32_t TakeAll(std::vector<std::uint64_t>* indices) {
    const std::int32_t k = KR2270_HcCodeSplit(device_, KR2270_HcCodeCanReadGroupCount(device_));
    if (k <= 0) return k;
    std::vector<std::uint32_t> counter(static_cast<std::size_t>(k));
    EXPECT_EQ(KR2270_HcCodeGetCt(device_, 1, counter.data()), k);
    for (const std::uint32_t v : counter) indices->push_back(v / 4 / setup_.Factor());
    return k;
  }

  test::ScriptedPeer peer_;
  KR2270Device* device_ = nullptr;
  oracle::StreamSetup setup_;
  std::vector<std::uint8_t> small_ring_;
  std::uint8_t* saved_buffer_ = nullptr;
  std::uint32_t saved_size_ = 0;
};

// --- the wait --------------------------------------------------------------------

TEST_F(StreamEvents, WaitReturnsAtOnceWhenEnoughIsBufferedAndWakesOnPublication) {
  Start(CounterSetup(8));
  auto waiter = std::async(std::launch::async, [&] { return KR2270_HcWaitGroups(device_, 300, 10000); });
  SendGroups(0, 100);
  SendGroups(100, 250);
  const std::int32_t woken = waiter.get();
  EXPECT_GE(woken, 300);
  EXPECT_LE(woken, 350);
  ASSERT_EQ(KR2270_HcWaitGroups(device_, 350, 10000), 350);
  // Already buffered: a 1 ms limit cannot pass first.
  EXPECT_EQ(KR2270_HcWaitGroups(device_, 1, 1), 350);
  EXPECT_EQ(KR2270_HcWaitGroups(device_, 350, 1), 350);
  // Averaged outputs count: 350 groups make 35 outputs of 10. The averaging
  // is set between runs; the buffered groups stay.
  ASSERT_EQ(KR2270_HcStart(device_, 0, T), 0);
  double rate = 0;
  ASSERT_EQ(KR2270_AdFilterTimesPC(device_, 10, &rate), 0);
  EXPECT_EQ(KR2270_HcWaitGroups(device_, 35, 1), 35);
  EXPECT_EQ(KR2270_HcWaitGroups(device_, 36, 50), KR2270_ERROR_RESET);
}

TEST_F(StreamEvents, WaitHonoursItsTimeOutAndRefusesBadArguments) {
  Start(CounterSetup(8));
  SendGroups(0, 5);
  ASSERT_EQ(KR2270_HcWaitGroups(device_, 5, 10000), 5);
  const auto start = Clock::now();
  EXPECT_EQ(KR2270_HcWaitGroups(device_, 6, 150), KR2270_ERROR_TIMEOUT);
  const long waited = MsSince(start);
  EXPECT_GE(waited, 150);
  EXPECT_LT(waited, 5000);
  EXPECT_EQ(KR2270_HcWaitGroups(nullptr, 1, 10), KR2270_ERROR_ARGUMENT);
  EXPECT_EQ(KR2270_HcWaitGroups(device_, 0, 10), KR2270_ERROR_ARGUMENT);
  EXPECT_EQ(KR2270_HcWaitGroups(device_, 1, -1), KR2270_ERROR_ARGUMENT);
}

TEST_F(StreamEvents, WaitWithoutLimitEndsWhenAnotherThreadStops) {
  Start(CounterSetup(8));
  SendGroups(0, 10);
  ASSERT_EQ(KR2270_HcWaitGroups(device_, 10, 10000), 10);
  auto waiter = std::async(std::launch::async, [&] { return KR2270_HcWaitGroups(device_, 11, 0); });
  ASSERT_EQ(KR2270_HcStart(device_, 0, T), 0);
  EXPECT_EQ(waiter.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(waiter.get(), KR2270_ERROR_RESET);
  // What is buffered stays available after the stop.
  EXPECT_EQ(KR2270_HcWaitGroups(device_, 10, 0), 10);
  EXPECT_EQ(KR2270_HcWaitGroups(device_, 11, 0), KR2270_ERROR_RESET);
}

TEST_F(StreamEvents, WaitEndsWhenTheDataConnectionIsLost) {
  for (const bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "close");
    Start(CounterSetup(8));
    auto waiter = std::async(std::launch::async, [&] { return KR2270_HcWaitGroups(device_, 1000, 0); });
    SendGroups(0, 20);
    if (!reset) {
      // The 20 groups must be in before the close; a reset may discard them.
      ASSERT_EQ(KR2270_HcWaitGroups(device_, 20, 10000), 20);
    }
    peer_.CloseData(reset);
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(waiter.get(), KR2270_ERROR_RESET);
    EXPECT_EQ(KR2270_HcIsDataLost(device_), 1);
    const KR2270Health health = HealthOf(device_);
    EXPECT_EQ(health.data_connected, 0);
    EXPECT_EQ(health.last_error, KR2270_ERROR_RESET);
    ASSERT_EQ(KR2270_HcStart(device_, 0, T), 0);
    KR2270_HcCodeSplit(device_, KR2270_HcCodeCanReadGroupCount(device_));
  }
}

// --- gap positions -----------------------------------------------------------------

// Checks each gap against the stream indices of the groups taken: the group
// at the gap's index must lie exactly missing_groups beyond its predecessor,
// and every jump in the indices must be a gap.
void ExpectGapsMatchIndices(const std::vector<KR2270Gap>& gaps,
                            const std::vector<std::uint64_t>& indices, std::uint64_t sent) {
  std::size_t next_gap = 0;
  std::uint64_t expected = 0;
  for (std::size_t i = 0; i <= indices.size(); ++i) {
    const std::uint64_t actual = i < indices.size() ? indices[i] : sent;
    if (actual == expected) {
      if (i < indices.size()) ++expected;
      continue;
    }
    ASSERT_LT(next_gap, gaps.size()) << "unrecorded jump at group " << i;
    const KR2270Gap& gap = gaps[next_gap++];
    EXPECT_EQ(gap.group_index, i);
    EXPECT_EQ(gap.missing_groups, actual - expected) << "gap at group " << i;
    EXPECT_EQ(gap.cause, KR2270_GAP_RING_FULL);
    EXPECT_EQ(gap.estimated, 0);
    expected = actual + 1;
  }
  EXPECT_EQ(next_gap, gaps.size()) << "gaps recorded where no group is missing";
}

TEST_F(StreamEvents, RingDropGapsLieExactlyWhereGroupsAreMissing) {
  for (const std::int32_t rate : {8, 48}) {
    SCOPED_TRACE(rate);
    if (small_ring_.empty()) UseSmallRing(32 * 1024);
    Start(CounterSetup(rate));
    const std::uint64_t factor = setup_.Factor();
    const std::uint64_t ring_groups = 32 * 1024 / 8;
    std::vector<std::uint64_t> indices;
    std::uint64_t sent = 0;
    // Three rounds: the application stops splitting until the ring has
    // overflowed, then catches up.
    for (int round = 0; round < 3; ++round) {
      const std::uint64_t lost_before = LostGroups(device_);
      const std::uint64_t burst = 3 * ring_groups * factor;
      SendGroups(sent, burst);
      sent += burst;
      const auto start = Clock::now();
      while (LostGroups(device_) == lost_before && MsSince(start) < 20000) std::this_thread::yield();
      ASSERT_GT(LostGroups(device_), lost_before) << "round " << round;
      // Whatever of the burst got into the ring is in once the receiver has
      // counted every byte of it.
      while (HealthOf(device_).groups_received + LostGroups(device_) < sent / factor &&
             MsSince(start) < 20000) {
        TakeAll(&indices);
      }
      while (TakeAll(&indices) > 0) {
      }
    }
    const std::uint64_t decimated_sent = sent / factor;
    ASSERT_EQ(indices.size() + LostGroups(device_), decimated_sent);
    const std::vector<KR2270Gap> gaps = Gaps(device_);
    EXPECT_GE(gaps.size(), 3u);
    ExpectGapsMatchIndices(gaps, indices, decimated_sent);
    std::uint64_t missing = 0;
    for (const KR2270Gap& gap : gaps) missing += gap.missing_groups;
    EXPECT_EQ(missing, LostGroups(device_));
    const KR2270Health health = HealthOf(device_);
    EXPECT_EQ(health.groups_dropped, LostGroups(device_));
    EXPECT_EQ(health.groups_received, indices.size());
    EXPECT_EQ(health.gaps, gaps.size());
    EXPECT_EQ(health.ring_high_water, 32u * 1024u);  // it was full
    EXPECT_EQ(health.ring_fill_bytes, 0u);
    ASSERT_EQ(KR2270_HcStart(device_, 0, T), 0);
  }
}

TEST_F(StreamEvents, StartClearsGapsAndStreamCounters) {
  UseSmallRing(4096);
  Start(CounterSetup(8));
  SendGroups(0, 4096);
  const auto start = Clock::now();
  while (LostGroups(device_) == 0 && MsSince(start) < 20000) std::this_thread::yield();
  ASSERT_GT(LostGroups(device_), 0u);
  ASSERT_GT(KR2270_HcGetGaps(device_, nullptr, 0), 0);
  ASSERT_EQ(KR2270_HcStart(device_, 0, T), 0);
  Start(CounterSetup(8));
  EXPECT_EQ(KR2270_HcGetGaps(device_, nullptr, 0), 0);
  const KR2270Health health = HealthOf(device_);
  EXPECT_EQ(health.groups_received, 0u);
  EXPECT_EQ(health.groups_dropped, 0u);
  EXPECT_EQ(health.gaps, 0u);
  EXPECT_EQ(health.ring_high_water, 0u);
  EXPECT_EQ(health.data_connected, 1);
  EXPECT_EQ(health.command_connected, 1);
}

// --- the gap log's bounds and units ---------------------------------------------

// Gap i: 3 groups missing at index 10i, after 7i groups handed on.
void RecordSpacedGaps(GapLog& log, std::uint64_t from, std::uint64_t to) {
  for (std::uint64_t i = from; i < to; ++i) RecordGap(log, 10 * i, 3, 7 * i, KR2270_GAP_RING_FULL, false);
}

TEST(StreamGapLog, AReaderThatKeepsUpReadsEveryGapInOrderPastTheBound) {
  KR2270Device* device = KR2270_DeviceCreate();
  ASSERT_NE(device, nullptr);
  std::vector<KR2270GapRecord> seen;
  std::vector<KR2270GapRecord> page(kLatestGaps);
  std::uint64_t recorded = 0;
  // 40 rounds of 3000 gaps, read after each: 120000 gaps, far past what is kept.
  for (int round = 0; round < 40; ++round) {
    RecordSpacedGaps(device->gaps, recorded, recorded + 3000);
    recorded += 3000;
    std::uint64_t total = 0;
    for (;;) {
      const std::int32_t n = KR2270_HcGetGapsSince(device, seen.size(), page.data(),
                                                   static_cast<std::int32_t>(page.size()), &total);
      ASSERT_GE(n, 0);
      if (n == 0) break;
      ASSERT_EQ(page[0].number, seen.size()) << "a gap was dropped before it was read";
      seen.insert(seen.end(), page.begin(), page.begin() + n);
    }
    EXPECT_EQ(total, recorded);
  }
  ASSERT_EQ(seen.size(), recorded);
  for (std::uint64_t i = 0; i < recorded; ++i) {
    ASSERT_EQ(seen[i].number, i);
    ASSERT_EQ(seen[i].index, 10 * i);
    ASSERT_EQ(seen[i].position, 7 * i);
  }
  KR2270Timeline timeline{};
  timeline.struct_size = sizeof timeline;
  ASSERT_EQ(KR2270_HcGetTimeline(device, &timeline), 0);
  EXPECT_EQ(timeline.gaps, recorded);
  EXPECT_EQ(timeline.missing_groups, 3 * recorded);
  KR2270_DeviceClose(device);
}

TEST(StreamGapLog, AReaderThatFellBehindSeesWhatWasDropped) {
  GapLog log;
  RecordSpacedGaps(log, 0, 10000);
  std::vector<KR2270GapRecord> page(10000);
  // The first 1000 are kept for good, then the newest 4096.
  const std::size_t n = log.log.CopySince(0, page.data(), page.size());
  ASSERT_EQ(n, kKeptGaps + kLatestGaps);
  EXPECT_EQ(page[kKeptGaps - 1].number, kKeptGaps - 1);
  EXPECT_EQ(page[kKeptGaps].number, 10000 - kLatestGaps);  // the hole shows in the numbers
  EXPECT_EQ(log.log.CopySince(9999, page.data(), page.size()), 1u);
  EXPECT_EQ(log.log.CopySince(10000, page.data(), page.size()), 0u);
  EXPECT_EQ(log.log.CopySince(3000, page.data(), 5), 5u);
  EXPECT_EQ(page[0].number, 10000 - kLatestGaps);
}

TEST(StreamGapLog, ADropRightBehindTheNewestOfItsCauseLengthensIt) {
  GapLog log;
  RecordGap(log, 100, 5, 40, KR2270_GAP_RING_FULL, false);
  RecordGap(log, 105, 7, 40, KR2270_GAP_RING_FULL, false);   // no group between: the same gap
  RecordGap(log, 112, 1, 40, KR2270_GAP_LINK_LOST, true);    // another cause: a gap of its own
  RecordGap(log, 200, 2, 127, KR2270_GAP_RING_FULL, false);  // groups between: another gap
  std::uint64_t total = 0;
  const std::vector<KR2270GapRecord> kept = KeptGaps(log, &total);
  ASSERT_EQ(total, 3u);
  EXPECT_EQ(kept[0].missing, 12u);
  EXPECT_EQ(kept[1].cause, KR2270_GAP_LINK_LOST);
  EXPECT_EQ(kept[2].number, 2u);
  EXPECT_EQ(log.missing, 15u);
}

TEST(StreamGapLog, ExportCopiesOldestFirstInSplitterUnits) {
  KR2270Device* device = KR2270_DeviceCreate();
  ASSERT_NE(device, nullptr);
  // The legacy call counts in groups handed on: the gaps' positions.
  RecordGap(device->gaps, 1100, 20, 100, KR2270_GAP_RING_FULL, false);
  RecordGap(device->gaps, 1270, 25, 250, KR2270_GAP_RING_FULL, false);
  RecordGap(device->gaps, 1445, 30, 400, KR2270_GAP_RING_FULL, false);
  KR2270Gap gaps[2] = {};
  EXPECT_EQ(KR2270_HcGetGaps(device, gaps, 2), 3);
  EXPECT_EQ(gaps[0].group_index, 100u);
  EXPECT_EQ(gaps[1].group_index, 250u);
  EXPECT_EQ(gaps[1].missing_groups, 25u);
  // Averaging 10 groups per output: positions and lengths in outputs.
  device->filter_times = 10;
  EXPECT_EQ(KR2270_HcGetGaps(device, gaps, 2), 3);
  EXPECT_EQ(gaps[0].group_index, 10u);
  EXPECT_EQ(gaps[0].missing_groups, 2u);
  EXPECT_EQ(gaps[0].estimated, 0);
  EXPECT_EQ(gaps[1].group_index, 25u);
  EXPECT_EQ(gaps[1].estimated, 1);  // 25 groups are no whole number of outputs
  EXPECT_EQ(KR2270_HcGetGaps(device, nullptr, 1), KR2270_ERROR_ARGUMENT);
  EXPECT_EQ(KR2270_HcGetGaps(device, gaps, -1), KR2270_ERROR_ARGUMENT);
  EXPECT_EQ(KR2270_HcGetGaps(nullptr, gaps, 1), KR2270_ERROR_ARGUMENT);
  KR2270_DeviceClose(device);
}

// --- health against known faults --------------------------------------------------

TEST(StreamHealth, CountsCommandTimeOutsAndTheLateReplyDiscarded) {
  sim::Simulator simulator;
  ASSERT_EQ(simulator.Start(), 0);
  KR2270Device* device = KR2270_DeviceCreate();
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(HealthOf(device).command_connected, 0);
  ASSERT_EQ(KR2270_CmdConnect(device, "127.0.0.1", 0, simulator.command_port(),
                              simulator.data_port(), T), 0);
  EXPECT_EQ(HealthOf(device).command_connected, 1);
  // The reply comes 300 ms late, after a 50 ms time-out, and well within the
  // time the next exchange gives a late reply to turn up.
  simulator.InjectReplyFault(sim::ReplyFault::Delay(300));
  EXPECT_EQ(KR2270_HcSetFreq(device, 8, 50), KR2270_ERROR_TIMEOUT);
  KR2270Health health = HealthOf(device);
  EXPECT_EQ(health.command_timeouts, 1u);
  EXPECT_EQ(health.stale_replies, 0u);
  EXPECT_EQ(health.last_error, KR2270_ERROR_TIMEOUT);
  ASSERT_EQ(KR2270_HcSetFreq(device, 8, T), 0);
  health = HealthOf(device);
  EXPECT_EQ(health.command_timeouts, 1u);
  EXPECT_EQ(health.stale_replies, 1u);
  KR2270_CmdClose(device);
  EXPECT_EQ(HealthOf(device).command_connected, 0);
  KR2270_DeviceClose(device);
}

TEST(StreamHealth, FillsNoMoreThanTheCallerSizeAndGivesTheVersion) {
  KR2270Device* device = KR2270_DeviceCreate();
  ASSERT_NE(device, nullptr);
  unsigned char bytes[sizeof(KR2270Health) + 8];
  std::memset(bytes, 0xA5, sizeof bytes);
  const std::uint32_t small = 16;
  std::memcpy(bytes, &small, sizeof small);
  ASSERT_EQ(KR2270_GetHealth(device, reinterpret_cast<KR2270Health*>(bytes)), 0);
  std::uint32_t filled = 0;
  std::memcpy(&filled, bytes, sizeof filled);
  EXPECT_EQ(filled, small);
  for (std::size_t i = small; i < sizeof bytes; ++i) ASSERT_EQ(bytes[i], 0xA5) << i;
  // A newer caller's larger struct: only the known part is written.
  const std::uint32_t large = sizeof bytes;
  std::memcpy(bytes, &large, sizeof large);
  ASSERT_EQ(KR2270_GetHealth(device, reinterpret_cast<KR2270Health*>(bytes)), 0);
  std::memcpy(&filled, bytes, sizeof filled);
  EXPECT_EQ(filled, sizeof(KR2270Health));
  EXPECT_EQ(bytes[sizeof bytes - 1], 0xA5);
  KR2270Health tiny{};
  tiny.struct_size = 7;
  EXPECT_EQ(KR2270_GetHealth(device, &tiny), KR2270_ERROR_ARGUMENT);
  EXPECT_EQ(KR2270_GetHealth(device, nullptr), KR2270_ERROR_ARGUMENT);
  EXPECT_EQ(KR2270_GetHealth(nullptr, &tiny), KR2270_ERROR_ARGUMENT);
  KR2270_DeviceClose(device);
  ASSERT_NE(KR2270_GetVersion(), nullptr);
  EXPECT_TRUE(std::regex_match(KR2270_GetVersion(), std::regex("[0-9]+\\.[0-9]+\\.[0-9]+")));
}

}  // namespace
}  // namespace kr2270

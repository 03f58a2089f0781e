// The automatic reconnect against the simulated module's faults. The module
// streams the sequence pattern, in which the analog code and the counter of
// one group both name the group's index: a group parsed with a layout it was
// not sent with cannot pass the check.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../fuzz/stream_check.h"
#include "device/device.h"
#include "kr2270c.h"
#include "stream_probe.h"
#include "sim/simulator.h"
#include "sim_device.h"

namespace kr2270 {
namespace {

using Clock = std::chrono::steady_clock;
using test::HealthOf;
using test::MsSince;
constexpr std::int32_t T = 2000;

struct Taken {
  std::uint32_t analog;
  std::uint32_t counter;
};

// The stream layout registers, as the module holds them.
std::vector<std::uint16_t> LayoutRegisters(const sim::Simulator& simulator) {
  return {simulator.HoldingRegister(14), simulator.HoldingRegister(16),
          simulator.HoldingRegister(35), simulator.HoldingRegister(53),
          simulator.HoldingRegister(194)};
}

class StreamReconnect : public test::SimDeviceTest {
 protected:
  void SetUp() override {
    SimDeviceTest::SetUp();
    if (HasFatalFailure()) return;
    // Channel 1 and counter 1 at 8000 groups/s: 8-byte groups, where the
    // module's power-on layout has 32.
    setup_.analog_mask = 0x01;
    setup_.counter_mask = 0x1;
    setup_.rate_code = 56;
    setup_.transfer_bytes = 800;
    ASSERT_EQ(oracle::Configure(device_, setup_, T), "");
  }

  // Waits for groups and takes them until `count` are taken in all; false
  // when the wait ends the stream or the deadline passes.
  bool TakeUntil(std::size_t count, int deadline_ms, std::int32_t* wait_status) {
    const auto start = Clock::now();
    while (taken_.size() < count) {
      if (MsSince(start) > deadline_ms) return false;
      const std::int32_t ready = KR2270_HcWaitGroups(device_, 1, 1000);
      *wait_status = ready;
      if (ready == KR2270_ERROR_TIMEOUT) continue;
      if (ready < 0) return false;
      TakeBuffered();
    }
    return true;
  }

  void TakeBuffered() {
    const std::int32_t k = KR2270_HcCodeSplit(device_, KR2270_HcCodeCanReadGroupCount(device_));
    if (k <= 0) return;
    std::vector<std::int32_t> analog(static_cast<std::size_t>(k));
    std::vector<std::uint32_t> counter(static_cast<std::size_t>(k));
    ASSERT_EQ(KR2270_HcCodeGetAd(device_, 1, analog.data()), k);
    ASSERT_EQ(KR2270_HcCodeGetCt(device_, 1, counter.data()), k);
    for (std::int32_t i = 0; i < k; ++i) {
      taken_.push_back({static_cast<std::uint32_t>(analog[static_cast<std::size_t>(i)]),
                        counter[static_cast<std::size_t>(i)]});
    }
  }

  // Every group names one index in both items, and the indices run on by one
  // except where the module began a new run. Returns where those runs begin.
  std::vector<std::size_t> RunStarts() const {
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < taken_.size(); ++i) {
      const std::uint64_t g = taken_[i].counter / 4;
      EXPECT_EQ(taken_[i].counter % 4, 0u) << "group " << i;
      EXPECT_EQ(taken_[i].analog, static_cast<std::uint32_t>(g * 8 & 0xFFFFFF)) << "group " << i;
      if (i == 0 || g != taken_[i - 1].counter / 4 + 1) starts.push_back(i);
      if (testing::Test::HasFailure()) break;
    }
    return starts;
  }

  oracle::StreamSetup setup_;
  std::vector<Taken> taken_;
};

TEST_F(StreamReconnect, RefusesBadArgumentsAndIsOffByDefault) {
  EXPECT_EQ(KR2270_SetAutoReconnect(nullptr, 1, 100), KR2270_ERROR_ARGUMENT);
  EXPECT_EQ(KR2270_SetAutoReconnect(device_, 1, -1), KR2270_ERROR_ARGUMENT);
  ASSERT_EQ(KR2270_HcStart(device_, 1, T), 0);
  std::int32_t status = 0;
  ASSERT_TRUE(TakeUntil(200, 10000, &status)) << status;
  sim_->DropDataConnection(false);
  EXPECT_FALSE(TakeUntil(1000000, 10000, &status));
  EXPECT_EQ(status, KR2270_ERROR_RESET);
  EXPECT_EQ(KR2270_HcIsDataLost(device_), 1);
  EXPECT_EQ(HealthOf(device_).reconnects, 0u);
  EXPECT_EQ(KR2270_HcStart(device_, 0, T), 0);
}

TEST_F(StreamReconnect, ComesBackAfterARestartOrADroppedDataConnection) {
  struct Row {
    const char* name;
    bool restart;
    std::int32_t cause;
  };
  for (const Row& row : {Row{"restart", true, KR2270_GAP_MODULE_RESTART},
                         Row{"data connection dropped", false, KR2270_GAP_LINK_LOST}}) {
    SCOPED_TRACE(row.name);
    taken_.clear();
    ASSERT_EQ(KR2270_SetAutoReconnect(device_, 1, 10000), 0);
    ASSERT_EQ(KR2270_HcStart(device_, 1, T), 0);
    const std::vector<std::uint16_t> host_layout = LayoutRegisters(*sim_);
    std::int32_t status = 0;
    ASSERT_TRUE(TakeUntil(2000, 10000, &status)) << status;
    if (row.restart) {
      sim_->Restart();
    } else {
      sim_->DropDataConnection(true);
    }
    const std::size_t before = taken_.size();
    // The wait carries on through the reconnect; groups of the new run come.
    ASSERT_TRUE(TakeUntil(before + 4000, 20000, &status)) << status;
    const std::vector<std::size_t> starts = RunStarts();
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_GE(starts[1], 2000u);
    EXPECT_EQ(taken_[starts[1]].counter, 0u);  // the module's new run starts at group 0
    KR2270Gap gaps[4] = {};
    ASSERT_EQ(KR2270_HcGetGaps(device_, gaps, 4), 1);
    EXPECT_EQ(gaps[0].group_index, starts[1]);
    EXPECT_EQ(gaps[0].cause, row.cause);
    EXPECT_EQ(gaps[0].estimated, 1);
    EXPECT_EQ(LayoutRegisters(*sim_), host_layout);
    EXPECT_EQ(KR2270_HcIsDataLost(device_), 0);
    const KR2270Health health = HealthOf(device_);
    EXPECT_EQ(health.reconnects, 1u);
    EXPECT_EQ(health.gaps, 1u);
    EXPECT_EQ(health.data_connected, 1);
    EXPECT_EQ(health.command_connected, 1);
    EXPECT_EQ(health.groups_dropped, 0u);
    ASSERT_EQ(KR2270_HcStart(device_, 0, T), 0);
  }
  EXPECT_EQ(sim_->restarts(), 1u);
}

// A pulled cable closes nothing: only keepalive probes find the silent link,
// on both connections and with the reconnect off as well.
TEST_F(StreamReconnect, BothConnectionsProbeASilentLink) {
  ASSERT_EQ(KR2270_HcStart(device_, 1, T), 0);
  const auto option = [](int fd, int level, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    return getsockopt(fd, level, name, &value, &length) == 0 ? value : -1;
  };
  for (const int fd : {device_->cmd.socket, device_->data_socket_wake.load()}) {
    ASSERT_GE(fd, 0);
    EXPECT_EQ(option(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(option(fd, IPPROTO_TCP, TCP_KEEPIDLE), 2);
    EXPECT_EQ(option(fd, IPPROTO_TCP, TCP_KEEPINTVL), 1);
    EXPECT_EQ(option(fd, IPPROTO_TCP, TCP_KEEPCNT), 3);
  }
  EXPECT_EQ(KR2270_HcStart(device_, 0, T), 0);
}

TEST_F(StreamReconnect, GivesUpAfterTheWaitAllowed) {
  ASSERT_EQ(KR2270_SetAutoReconnect(device_, 1, 400), 0);
  ASSERT_EQ(KR2270_HcStart(device_, 1, T), 0);
  std::int32_t status = 0;
  ASSERT_TRUE(TakeUntil(200, 10000, &status)) << status;
  const auto gone = Clock::now();
  sim_->Stop();  // both ports closed: every attempt is refused
  EXPECT_EQ(KR2270_HcWaitGroups(device_, 1000000, 0), KR2270_ERROR_RESET);
  const long waited = MsSince(gone);
  EXPECT_GE(waited, 400);
  EXPECT_LT(waited, 10000);
  EXPECT_EQ(KR2270_HcIsDataLost(device_), 1);
  const KR2270Health health = HealthOf(device_);
  EXPECT_EQ(health.reconnects, 0u);
  EXPECT_EQ(health.gaps, 0u);
  EXPECT_EQ(health.data_connected, 0);
  EXPECT_LT(health.last_error, 0);
  const auto stop = Clock::now();
  KR2270_HcStart(device_, 0, 200);
  EXPECT_LT(MsSince(stop), 3000);
}

TEST_F(StreamReconnect, StopWhileReconnectingEndsTheWaitAndReturnsPromptly) {
  ASSERT_EQ(KR2270_SetAutoReconnect(device_, 1, 600000), 0);
  ASSERT_EQ(KR2270_HcStart(device_, 1, T), 0);
  std::int32_t status = 0;
  ASSERT_TRUE(TakeUntil(200, 10000, &status)) << status;
  auto waiter = std::async(std::launch::async, [&] { return KR2270_HcWaitGroups(device_, 1000000, 0); });
  sim_->Stop();
  // The reconnect has begun once the data connection counts as down while
  // the stream is not counted lost.
  const auto start = Clock::now();
  while (HealthOf(device_).data_connected != 0 && MsSince(start) < 10000) std::this_thread::yield();
  ASSERT_EQ(HealthOf(device_).data_connected, 0);
  EXPECT_EQ(KR2270_HcIsDataLost(device_), 0);
  const auto stop = Clock::now();
  KR2270_HcStart(device_, 0, 200);
  EXPECT_LT(MsSince(stop), 3000);
  ASSERT_EQ(waiter.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(waiter.get(), KR2270_ERROR_RESET);
}

TEST_F(StreamReconnect, ALostCommandConnectionAloneIsReopenedWhileTheStreamGoesOn) {
  ASSERT_EQ(KR2270_SetAutoReconnect(device_, 1, 10000), 0);
  ASSERT_EQ(KR2270_HcStart(device_, 1, T), 0);
  std::int32_t status = 0;
  ASSERT_TRUE(TakeUntil(500, 10000, &status)) << status;
  uint8_t inputs[16] = {};
  ASSERT_EQ(KR2270_DiReadAllOnce(device_, inputs, T), 0);
  sim_->InjectReplyFault(sim::ReplyFault::Close());
  EXPECT_LT(KR2270_DiReadAllOnce(device_, inputs, T), 0);
  const auto start = Clock::now();
  while (HealthOf(device_).reconnects == 0 && MsSince(start) < 10000) TakeBuffered();
  ASSERT_EQ(HealthOf(device_).reconnects, 1u);
  EXPECT_EQ(KR2270_DiReadAllOnce(device_, inputs, T), 0);
  ASSERT_TRUE(TakeUntil(taken_.size() + 2000, 10000, &status)) << status;
  EXPECT_EQ(RunStarts().size(), 1u);  // one run, nothing missing
  EXPECT_EQ(KR2270_HcGetGaps(device_, nullptr, 0), 0);
  EXPECT_EQ(HealthOf(device_).command_connected, 1);
  EXPECT_EQ(KR2270_HcStart(device_, 0, T), 0);
}

}  // namespace
}  // namespace kr2270

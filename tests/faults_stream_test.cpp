// The data connection against a misbehaving module. The rule checked
// everywhere: the groups the splitter hands out are the groups the module
// sent after the start (every 2nd or 4th at rate codes 16 and 48), with
// zero or more whole groups removed, order kept, nothing inserted, and
// KR2270_HcGetLostGroups equal to the number removed. The module streams the
// simulator's sequence pattern, so every group names its own index; the
// expected queues come from an independent splitter (fuzz/oracles.h).
#include <gtest/gtest.h>

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../fuzz/stream_check.h"
#include "device/device.h"
#include "kr2270c.h"
#include "scripted_peer.h"
#include "sim/sequence.h"
#include "sim/simulator.h"
#include "sim_device.h"

namespace kr2270 {
namespace {

using Clock = std::chrono::steady_clock;
using oracle::Collector;
using oracle::Lost;
using oracle::StreamSetup;
constexpr std::int32_t T = 2000;

long MsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// CPU time of the handle's receiver thread alone.
double ReceiverCpuSeconds(Device* device) {
  clockid_t clock{};
  if (pthread_getcpuclockid(device->receiver_thread.native_handle(), &clock) != 0) return -1;
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// --- a scripted module: exact control of the bytes and their segments -------

class ScriptedStream : public ::testing::Test {
 protected:
  void SetUp() override {
    device_ = KR2270_DeviceCreate();
    ASSERT_NE(device_, nullptr);
    ASSERT_EQ(KR2270_CmdConnect(device_, "127.0.0.1", 0, peer_.port(), peer_.data_port(), T), 0);
  }
  void TearDown() override {
    if (own_ring_) {
      KR2270_HcStart(device_, 0, T);
      device_->stream_fifo.buffer = saved_buffer_;
      device_->stream_fifo.size = saved_size_;
    }
    KR2270_DeviceClose(device_);
  }

  // A small ring, so that a consumer falls behind after little data. Only
  // while the receiver is idle; the device's own ring is put back at the end.
  void UseSmallRing(std::uint32_t size) {
    small_ring_.assign(size, 0);
    saved_buffer_ = device_->stream_fifo.buffer;
    saved_size_ = device_->stream_fifo.size;
    device_->stream_fifo.buffer = small_ring_.data();
    device_->stream_fifo.size = size;
    own_ring_ = true;
  }

  // Sends groups [first, first + count) of the pattern in random segments.
  void SendGroups(const StreamSetup& s, std::uint64_t first, std::uint64_t count,
                  std::mt19937& random) {
    const sim::StreamLayout layout = s.Layout();
    const std::size_t size = sim::GroupSize(layout);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(count) * size);
    for (std::uint64_t i = 0; i < count; ++i) {
      sim::WriteSequenceGroup(layout, first + i, bytes.data() + i * size);
    }
    std::size_t at = 0;
    while (at < bytes.size()) {
      const std::size_t piece = std::min<std::size_t>(1 + random() % 3000, bytes.size() - at);
      ASSERT_TRUE(peer_.SendData(test::Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                             bytes.begin() + static_cast<std::ptrdiff_t>(at + piece))));
      at += piece;
    }
  }

  test::ScriptedPeer peer_;
  Device* device_ = nullptr;
  std::vector<std::uint8_t> small_ring_;
  std::uint8_t* saved_buffer_ = nullptr;
  std::uint32_t saved_size_ = 0;
  bool own_ring_ = false;
};

TEST_F(ScriptedStream, RandomSegmentsAtEveryDecimation) {
  struct Row {
    StreamSetup setup;
    std::uint64_t groups;
  };
  StreamSetup mixed;
  mixed.analog_mask = 0x5A;
  mixed.code_bytes = 2;
  mixed.digital = true;
  mixed.counter_mask = 0x9;
  mixed.encoder_mask = 0x2;
  const Row rows[] = {
      {{0xFF, 4, false, 0x1, 0, 8, 4096}, 60000},
      {{0xFF, 4, true, 0xF, 0x3, 16, 1000}, 40001},  // 58-byte groups, odd count
      {{0x01, 2, false, 0x1, 0, 48, 50}, 40003},     // transfer size below one window
      {[&] { StreamSetup s = mixed; s.rate_code = 16; s.transfer_bytes = 777; return s; }(), 30001},
      {[&] { StreamSetup s = mixed; s.rate_code = 48; s.transfer_bytes = 4100; return s; }(), 30002},
  };
  std::mt19937 random(7);
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "rate " << row.setup.rate_code << " group "
                                    << sim::GroupSize(row.setup.Layout()));
    ASSERT_EQ(oracle::Configure(device_, row.setup, T), "");
    const int connections = peer_.data_connections();
    ASSERT_EQ(KR2270_HcStart(device_, 1, T), 0);
    ASSERT_TRUE(peer_.WaitForDataConnection(connections + 1, T));
    Collector collector(row.setup);
    std::thread producer([&] { SendGroups(row.setup, 0, row.groups, random); });
    const std::uint64_t expected = (row.groups + row.setup.Factor() - 1) / row.setup.Factor();
    const bool done = collector.TakeUntil(
        device_, [&] { return collector.covered() >= expected; }, 20000);
    producer.join();
    EXPECT_TRUE(done) << "took " << collector.taken() << " of " << expected;
    EXPECT_EQ(collector.failure(), "");
    EXPECT_EQ(collector.taken(), expected);
    EXPECT_EQ(collector.removed(), 0u);
    EXPECT_EQ(Lost(device_), 0u);
    ASSERT_EQ(KR2270_HcStart(device_, 0, T), 0);
    EXPECT_EQ(KR2270_HcCodeCanReadGroupCount(device_), 0);
  }
}

TEST_F(ScriptedStream, SlowConsumerLosesWholeGroupsAndCountsThem) {
  for (const std::int32_t rate : {8, 48}) {
    SCOPED_TRACE(rate);
    StreamSetup s;
    s.analog_mask = 0x81;
    s.digital = true;
    s.rate_code = rate;
    s.transfer_bytes = 1500;  // not a multiple of the 14-byte group
    ASSERT_EQ(oracle::Configure(device_, s, T), "");
    if (!own_ring_) UseSmallRing(64 * 1024);
    const int connections = peer_.data_connections();
    ASSERT_EQ(KR2270_HcStart(device_, 1, T), 0);
    ASSERT_TRUE(peer_.WaitForDataConnection(connections + 1, T));
    const std::uint64_t groups = 200000;  // 2.8 MB through a 64 KiB ring
    std::mt19937 random(11);
    std::thread producer([&] { SendGroups(s, 0, groups, random); });
    // The consumer starts only once the ring has overflowed, then keeps up.
    const auto start = Clock::now();
    while (Lost(device_) == 0 && MsSince(start) < 20000) std::this_thread::yield();
    Collector collector(s);
    const std::uint64_t expected = (groups + s.Factor() - 1) / s.Factor();
    const bool done = collector.TakeUntil(
        device_, [&] { return collector.taken() + Lost(device_) >= expected; }, 30000);
    producer.join();
    EXPECT_TRUE(done);
    EXPECT_EQ(collector.failure(), "");
    const std::uint64_t lost = Lost(device_);
    EXPECT_GT(lost, 0u);
    // Every group is either taken or counted as lost; the groups missing
    // between the ones taken are exactly the lost ones, plus any lost after
    // the last one taken.
    EXPECT_EQ(collector.taken() + lost, expected);
    EXPECT_EQ(collector.removed() + (expected - collector.covered()), lost);
    ASSERT_EQ(KR2270_HcStart(device_, 0, T), 0);
  }
}

// --- the simulated module: real pacing and its data faults ------------------

class SimStream : public test::SimDeviceTest {
 protected:
  bool WaitGroupsSent(std::uint64_t groups, int timeout_ms) {
    return sim_->WaitUntil([&](const sim::Simulator& s) { return s.groups_sent() >= groups; },
                           std::chrono::milliseconds(timeout_ms));
  }
};

TEST_F(SimStream, PacedStreamAtEveryDecimation) {
  for (const std::int32_t rate : {8, 16, 48}) {
    SCOPED_TRACE(rate);
    StreamSetup s;
    s.analog_mask = rate == 8 ? 0x03 : 0xFF;
    s.rate_code = rate;
    s.transfer_bytes = rate == 8 ? 8192 : 1024;
    ASSERT_EQ(oracle::Configure(device_, s, T), "");
    ASSERT_EQ(KR2270_HcStart(device_, 1, T), 0);
    Collector collector(s);
    // 0.3 s of stream at the module's rate.
    const auto sent_target = static_cast<std::uint64_t>(0.3 * sim::GroupRateOfDeviceCode(rate == 16 ? 36 : rate == 48 ? 52 : rate));
    ASSERT_TRUE(WaitGroupsSent(sent_target, 5000));
    const std::uint64_t expected = (sent_target + s.Factor() - 1) / s.Factor();
    EXPECT_TRUE(collector.TakeUntil(device_, [&] { return collector.covered() >= expected; }, 5000));
    ASSERT_EQ(KR2270_HcStart(device_, 0, T), 0);
    while (collector.TakeSome(device_) > 0) {
    }
    EXPECT_EQ(collector.failure(), "");
    EXPECT_EQ(collector.removed(), 0u);
    EXPECT_EQ(Lost(device_), 0u);
    EXPECT_EQ(KR2270_HcIsDataLost(device_), 0);
  }
}

TEST_F(SimStream, StallLongerThanTheReceiveTimeOutThenResumption) {
  StreamSetup s;
  s.analog_mask = 0x0F;
  s.rate_code = 56;  // 8000 groups/s
  s.transfer_bytes = 2000;
  ASSERT_EQ(oracle::Configure(device_, s, T), "");
  const std::size_t group = sim::GroupSize(s.Layout());
  const std::uint64_t stall_at = 1000;  // groups before the stall
  sim_->InjectDataFault(sim::DataFault::StallAfter(stall_at * group + 7, 1300));
  ASSERT_EQ(KR2270_HcStart(device_, 1, T), 0);
  Collector collector(s);
  const std::uint64_t beyond = stall_at + 2000;
  EXPECT_TRUE(collector.TakeUntil(device_, [&] { return collector.covered() >= beyond; }, 8000));
  EXPECT_EQ(collector.failure(), "");
  EXPECT_EQ(collector.removed(), 0u);
  EXPECT_EQ(Lost(device_), 0u);
  EXPECT_EQ(KR2270_HcIsDataLost(device_), 0);  // a stall is not a loss
  ASSERT_EQ(KR2270_HcStart(device_, 0, T), 0);
}

TEST_F(SimStream, ResetOrCloseMidStream) {
  for (const bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "close");
    StreamSetup s;
    s.analog_mask = 0x3;
    s.rate_code = 56;
    s.transfer_bytes = 1200;
    ASSERT_EQ(oracle::Configure(device_, s, T), "");
    const std::size_t group = sim::GroupSize(s.Layout());
    const std::uint64_t fault_at = 3000 * group + 5;  // inside group 3000
    sim_->InjectDataFault(reset ? sim::DataFault::ResetAfter(fault_at)
                                : sim::DataFault::CloseAfter(fault_at));
    ASSERT_EQ(KR2270_HcStart(device_, 1, T), 0);
    Collector collector(s);
    const auto start = Clock::now();
    EXPECT_TRUE(collector.TakeUntil(device_, [&] { return KR2270_HcIsDataLost(device_) == 1; }, 5000));
    while (collector.TakeSome(device_) > 0) {
    }
    EXPECT_LT(MsSince(start), 5000);
    // The receiver waits for the stop instead of failing in a loop.
    const double cpu_before = ReceiverCpuSeconds(device_);
    const auto window_start = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // a measuring window
    const double cpu = ReceiverCpuSeconds(device_) - cpu_before;
    const double window = static_cast<double>(MsSince(window_start)) / 1000.0;
    EXPECT_LT(cpu, 0.05 * window) << "receiver CPU while the connection is gone";
    EXPECT_EQ(KR2270_HcCodeCanReadGroupCount(device_), 0);  // nothing new arrives
    EXPECT_EQ(collector.failure(), "");
    EXPECT_EQ(collector.removed(), 0u);
    EXPECT_EQ(Lost(device_), 0u);
    if (reset) {
      EXPECT_LE(collector.taken(), 3000u);  // an RST may discard bytes in flight
    } else {
      EXPECT_EQ(collector.taken(), 3000u);  // all whole groups before the close
    }
    const auto stop = Clock::now();
    EXPECT_EQ(KR2270_HcStart(device_, 0, T), 0);
    EXPECT_LT(MsSince(stop), 500);
    EXPECT_EQ(KR2270_HcIsDataLost(device_), 1);  // until the next start
  }
}

}  // namespace
}  // namespace kr2270

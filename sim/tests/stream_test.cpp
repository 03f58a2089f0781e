// Data side of the simulated module: stream layout, pattern, pacing and faults.
#include <gtest/gtest.h>

#include <memory>

#include "sim/sequence.h"
#include "sim/simulator.h"
#include "sim_test_util.h"

namespace kr2270::sim {
namespace {

using namespace std::chrono_literals;
using testing::Bytes;
using testing::Client;
using testing::WriteRegisters;

constexpr uint8_t kRate4000 = 52;

StreamLayout Everything() { return {4, 0xFF, true, 0x0F, 0x03}; }

// Walks the fields of one group in stream order and checks each against the
// pattern; independent of WriteSequenceGroup.
void ExpectSequenceGroup(const StreamLayout& l, uint64_t g, const uint8_t* p) {
  for (int k = 1; k <= 8; ++k) {
    if ((l.analog_mask >> (k - 1) & 1) == 0) continue;
    if (l.code_bytes == 2) {
      EXPECT_EQ(GetLe16(p), SequenceAnalog(g, k, 2)) << "group " << g << " analog " << k;
      p += 2;
    } else {
      EXPECT_EQ(GetLe32(p), (g * 8 + static_cast<uint64_t>(k - 1)) % (1u << 24))
          << "group " << g << " analog " << k;
      p += 4;
    }
  }
  if (l.digital) {
    EXPECT_EQ(GetLe16(p), static_cast<uint16_t>(g)) << "group " << g;
    p += 2;
  }
  for (int c = 1; c <= 4; ++c) {
    if ((l.counter_mask >> (c - 1) & 1) == 0) continue;
    EXPECT_EQ(GetLe32(p), static_cast<uint32_t>(g * 4 + static_cast<uint64_t>(c - 1)));
    p += 4;
  }
  for (int e = 1; e <= 2; ++e) {
    if ((l.encoder_mask >> (e - 1) & 1) == 0) continue;
    EXPECT_EQ(GetLe32(p), static_cast<uint32_t>(g * 2 + static_cast<uint64_t>(e - 1)));
    p += 4;
  }
}

class StreamTest : public ::testing::Test {
 protected:
  void StartSim(const Options& o) {
    sim_ = std::make_unique<Simulator>(o);
    ASSERT_EQ(sim_->Start(), 0);
    cmd_ = std::make_unique<Client>(sim_->command_port());
    ASSERT_GE(cmd_->fd(), 0);
  }

  void Configure(const StreamLayout& l, uint8_t rate_code) {
    WriteRegisters(*cmd_, 14, {l.code_bytes, l.analog_mask});
    WriteRegisters(*cmd_, 35, {0, static_cast<uint8_t>(l.digital)});
    WriteRegisters(*cmd_, 53, {0, l.counter_mask});
    WriteRegisters(*cmd_, 194, {0, l.encoder_mask});
    WriteRegisters(*cmd_, 16, {0, rate_code});
  }

  // The host's start sequence: stream enable, connect, start bit.
  std::unique_ptr<Client> Start() {
    WriteRegisters(*cmd_, 23, {0, 1});
    auto data = std::make_unique<Client>(sim_->data_port());
    EXPECT_GE(data->fd(), 0);
    WriteRegisters(*cmd_, 22, {0, 1});
    return data;
  }

  // The host's stop sequence.
  void Stop(std::unique_ptr<Client>& data) {
    data.reset();
    WriteRegisters(*cmd_, 23, {0, 0});
    WriteRegisters(*cmd_, 22, {0, 0});
    EXPECT_TRUE(sim_->WaitUntil([](const Simulator& s) { return !s.streaming(); }, 5s));
  }

  std::unique_ptr<Simulator> sim_;
  std::unique_ptr<Client> cmd_;
};

TEST_F(StreamTest, SequencePatternInSeveralLayouts) {
  Options o;
  o.sequence = true;
  StartSim(o);
  const StreamLayout layouts[] = {
      Everything(),
      {2, 0xA5, true, 0x05, 0x02},  // 2-byte codes, a mix of items
      {4, 0xFF, false, 0, 0},       // the power-on layout
  };
  EXPECT_EQ(GroupSize(layouts[0]), 58u);
  EXPECT_EQ(GroupSize(layouts[1]), 4u * 2 + 2 + 2 * 4 + 4);
  EXPECT_EQ(GroupSize(layouts[2]), 32u);
  for (const StreamLayout& l : layouts) {
    SCOPED_TRACE(GroupSize(l));
    Configure(l, kRate4000);
    auto data = Start();
    constexpr size_t kGroups = 300;
    const size_t size = GroupSize(l);
    const Bytes b = data->RecvExact(kGroups * size, 10s);
    ASSERT_EQ(b.size(), kGroups * size);
    for (size_t g = 0; g < kGroups; ++g) ExpectSequenceGroup(l, g, b.data() + g * size);
    EXPECT_EQ(FindSequenceMismatch(l, 0, b.data(), kGroups), -1);
    EXPECT_EQ(GroupSize(sim_->stream_layout()), size);
    // The counter moves just after each send returns.
    EXPECT_TRUE(sim_->WaitUntil([&](const Simulator& s) { return s.groups_sent() >= kGroups; },
                                5s));
    Stop(data);
  }
}

TEST_F(StreamTest, ClearingTheStartBitStopsAndTheNextStartBeginsAtGroupZero) {
  Options o;
  o.sequence = true;
  StartSim(o);
  const StreamLayout l = Everything();
  Configure(l, kRate4000);
  auto data = Start();
  Bytes got = data->RecvExact(100 * 58, 10s);
  ASSERT_EQ(got.size(), 100u * 58);

  WriteRegisters(*cmd_, 22, {0, 0});
  ASSERT_TRUE(sim_->WaitUntil([](const Simulator& s) { return !s.streaming(); }, 5s));
  const uint64_t total = sim_->bytes_sent();
  EXPECT_EQ(total % 58, 0u) << "stops at a group boundary";
  const Bytes rest = data->RecvExact(total - got.size(), 10s);
  got.insert(got.end(), rest.begin(), rest.end());
  ASSERT_EQ(got.size(), total);
  EXPECT_EQ(FindSequenceMismatch(l, 0, got.data(), total / 58), -1);
  Bytes more;
  EXPECT_EQ(data->RecvSome(&more, 300ms), Client::Event::kTimeout);
  EXPECT_EQ(sim_->bytes_sent(), total);

  WriteRegisters(*cmd_, 22, {0, 1});
  const Bytes again = data->RecvExact(10 * 58, 10s);
  ASSERT_EQ(again.size(), 10u * 58);
  EXPECT_EQ(FindSequenceMismatch(l, 0, again.data(), 10), -1);
}

TEST_F(StreamTest, DataConnectionNeedsStreamEnable) {
  Options o;
  o.sequence = true;
  StartSim(o);
  Configure(Everything(), kRate4000);
  WriteRegisters(*cmd_, 22, {0, 1});
  Client early(sim_->data_port());
  Bytes got;
  EXPECT_EQ(early.RecvSome(&got, 5s), Client::Event::kClosed);
  EXPECT_TRUE(got.empty());

  auto data = Start();
  EXPECT_EQ(data->RecvExact(58, 10s).size(), 58u);
  WriteRegisters(*cmd_, 23, {0, 0});  // stream off closes the connection
  Client::Event e = Client::Event::kData;
  while (e == Client::Event::kData) e = data->RecvSome(&got, 5s);
  EXPECT_EQ(e, Client::Event::kClosed);
}

TEST_F(StreamTest, SignalStreamFollowsTheModel) {
  StartSim(Options());
  sim_->FreezeTime(2.0);
  WriteRegisters(*cmd_, 36, {0x05, 0x5A, 0, 0});
  WriteRegisters(*cmd_, 10, {4, 3});  // channel 4 on 1 V
  WriteRegisters(*cmd_, 52, {0, 0b11000100});  // counter 2 per base period, 4 period
  for (const uint8_t width : {uint8_t{4}, uint8_t{2}}) {
    SCOPED_TRACE(int{width});
    const StreamLayout l{width, 0xFF, true, 0x0F, 0x03};
    Configure(l, kRate4000);
    auto data = Start();
    constexpr size_t kGroups = 200;
    const size_t size = GroupSize(l);
    const Bytes b = data->RecvExact(kGroups * size, 10s);
    ASSERT_EQ(b.size(), kGroups * size);
    EXPECT_EQ(sim_->StreamGroupTime(0), 2.0) << "a run starts at the model time";
    for (size_t g = 0; g < kGroups; ++g) {
      const double t = sim_->StreamGroupTime(g);
      const uint8_t* p = b.data() + g * size;
      for (int k = 1; k <= 8; ++k) {
        const auto code = static_cast<uint32_t>(sim_->ExpectedCode(k, t)) & 0xFFFFFFu;
        if (width == 4) {
          EXPECT_EQ(GetLe32(p), code) << "group " << g << " channel " << k;
        } else {
          EXPECT_EQ(GetLe16(p), code >> 8) << "group " << g << " channel " << k;
        }
        p += width;
      }
      EXPECT_EQ(GetLe16(p), sim_->ExpectedDigitalInputs(t));
      EXPECT_EQ(GetLe16(p) & 0x0FFF, 0x055A);
      p += 2;
      for (int c = 1; c <= 4; ++c, p += 4) EXPECT_EQ(GetLe32(p), sim_->ExpectedCounter(c, t));
      for (int e = 1; e <= 2; ++e, p += 4) EXPECT_EQ(GetLe32(p), sim_->ExpectedEncoder(e, t));
    }
    // The model really moves within the run.
    EXPECT_NE(GetLe32(b.data() + (kGroups - 1) * size + 8 * width + 2), GetLe32(b.data() + 8 * width + 2))
        << "counter 1 counts";
    Stop(data);
  }
}

TEST_F(StreamTest, GroupsAreNeverAheadOfTheirTime) {
  Options o;
  o.sequence = true;
  o.clock_scale = 0.5;
  StartSim(o);
  Configure(Everything(), kRate4000);
  const auto begin = std::chrono::steady_clock::now();
  auto data = Start();
  constexpr size_t kGroups = 400;  // 0.2 s at 2000 groups per real second
  ASSERT_EQ(data->RecvExact(kGroups * 58, 10s).size(), kGroups * 58);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - begin;
  EXPECT_GE(took.count(), kGroups / (4000.0 * o.clock_scale));
  EXPECT_EQ(sim_->group_rate(), 4000.0);
}

TEST_F(StreamTest, FloodIgnoresThePace) {
  Options o;
  o.sequence = true;
  o.flood = true;
  o.clock_scale = 1e-6;  // paced, this would be 4 groups per hour
  StartSim(o);
  const StreamLayout l{2, 0x0F, true, 0, 0};
  Configure(l, kRate4000);
  auto data = Start();
  constexpr size_t kGroups = 50000;
  const Bytes b = data->RecvExact(kGroups * GroupSize(l), 30s);
  ASSERT_EQ(b.size(), kGroups * GroupSize(l));
  EXPECT_EQ(FindSequenceMismatch(l, 0, b.data(), kGroups), -1);
}

TEST_F(StreamTest, DataFaults) {
  Options o;
  o.sequence = true;
  StartSim(o);
  const StreamLayout l = Everything();
  Configure(l, kRate4000);

  sim_->InjectDataFault(DataFault::CloseAfter(1000));  // mid-group
  auto data = Start();
  Client::Event e;
  Bytes b = data->RecvExact(2000, 10s, &e);
  EXPECT_EQ(b.size(), 1000u);
  EXPECT_EQ(e, Client::Event::kClosed);
  EXPECT_EQ(FindSequenceMismatch(l, 0, b.data(), 1000 / 58), -1);

  // Still enabled and started: a new connection streams from group 0.
  sim_->InjectDataFault(DataFault::StallAfter(580, 1000));
  data = std::make_unique<Client>(sim_->data_port());
  b = data->RecvExact(580, 10s);
  ASSERT_EQ(b.size(), 580u);
  EXPECT_EQ(FindSequenceMismatch(l, 0, b.data(), 10), -1);
  Bytes more;
  EXPECT_EQ(data->RecvSome(&more, 300ms), Client::Event::kTimeout);
  more = data->RecvExact(58, 10s);
  ASSERT_EQ(more.size(), 58u);
  EXPECT_EQ(FindSequenceMismatch(l, 10, more.data(), 1), -1) << "resumes where it stalled";

  sim_->InjectDataFault(DataFault::ResetAfter(sim_->bytes_sent() + 290));
  b = data->RecvExact(1 << 20, 10s, &e);
  EXPECT_EQ(e, Client::Event::kReset);
}

TEST_F(StreamTest, StopReturnsWhileAClientDoesNotRead) {
  Options o;
  o.sequence = true;
  o.flood = true;
  StartSim(o);
  Configure(Everything(), kRate4000);
  auto data = Start();  // never read: the sim blocks on a full socket
  ASSERT_TRUE(sim_->WaitUntil([](const Simulator& s) { return s.bytes_sent() > 100000; }, 10s));
  const auto t = std::chrono::steady_clock::now();
  sim_->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t, 2s);
  EXPECT_FALSE(sim_->streaming());
}

}  // namespace
}  // namespace kr2270::sim

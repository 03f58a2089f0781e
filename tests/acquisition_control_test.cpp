#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "acquisition/acquisition.h"
#include "kr2270c.h"
#include "platform/platform.h"
#include "scripted_peer.h"
#include "sim/sequence.h"

namespace kr2270 {
namespace {

using test::Bytes;

struct Write {
  std::uint16_t address;
  Bytes payload;
  bool operator==(const Write&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Write& w) {
  os << "register " << w.address << ":";
  for (std::uint8_t b : w.payload) os << " " << int{b};
  return os;
}

// A connected handle streaming 32-byte groups at rate code 8.
struct Rig {
  test::ScriptedPeer peer;
  Device* device = KR2270_DeviceCreate();
  std::size_t mark = 0;

  Rig() {
    EXPECT_EQ(KR2270_CmdConnect(device, "127.0.0.1", 0, peer.port(), peer.data_port(), 2000), 0);
    device->settings.rate_code = 8;
    device->transfer_bytes.store(4096);
  }
  ~Rig() { KR2270_DeviceClose(device); }

  // Starts and waits until the peer has taken the data connection.
  void Start() {
    const int before = peer.data_connections();
    ASSERT_EQ(KR2270_HcStart(device, 1, 2000), 0);
    ASSERT_TRUE(peer.WaitForDataConnection(before + 1, 2000));
  }

  // The register writes since the last call.
  std::vector<Write> NewWrites() {
    const std::vector<Bytes> requests = peer.requests();
    std::vector<Write> writes;
    for (std::size_t i = mark; i < requests.size(); ++i) {
      const Bytes& r = requests[i];
      writes.push_back(
          {static_cast<std::uint16_t>(r[8] << 8 | r[9]), Bytes(r.begin() + 13, r.end())});
    }
    mark = requests.size();
    return writes;
  }
};

// Polls a condition that nothing signals (the ring, the counters), with a
// generous deadline.
bool Eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void SendInOddSegments(test::ScriptedPeer& peer, const Bytes& bytes, unsigned seed) {
  std::mt19937 random(seed);
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t n = std::min<std::size_t>(1 + random() % 97, bytes.size() - at);
    ASSERT_TRUE(peer.SendData(Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                    bytes.begin() + static_cast<std::ptrdiff_t>(at + n))));
    at += n;
  }
}

Bytes SequenceStream(const sim::StreamLayout& l, std::uint64_t first, std::size_t groups) {
  Bytes bytes(groups * sim::GroupSize(l));
  std::uint8_t* at = bytes.data();
  for (std::size_t g = 0; g < groups; ++g) at = sim::WriteSequenceGroup(l, first + g, at);
  return bytes;
}

// Splits n groups and checks that analog channel 1 holds the given groups of
// the sequence pattern.
void ExpectGroups(Device* device, const std::vector<std::uint64_t>& groups) {
  const auto n = static_cast<std::int32_t>(groups.size());
  ASSERT_EQ(KR2270_HcCodeSplit(device, n), n);
  std::vector<std::int32_t> codes(groups.size());
  ASSERT_EQ(KR2270_HcCodeGetAd(device, 1, codes.data()), n);
  for (std::size_t i = 0; i < groups.size(); ++i) {
    ASSERT_EQ(static_cast<std::uint32_t>(codes[i]), sim::SequenceAnalog(groups[i], 1, 4)) << i;
  }
}

std::vector<std::uint64_t> Range(std::uint64_t first, std::uint64_t end, std::uint64_t step = 1) {
  std::vector<std::uint64_t> values;
  for (std::uint64_t v = first; v < end; v += step) values.push_back(v);
  return values;
}

TEST(AcquisitionSetup, WritesItsRegistersAndKeepsWhatTheModuleAccepted) {
  Rig rig;
  rig.NewWrites();
  ASSERT_EQ(KR2270_HcSetFreq(rig.device, 16, 2000), 0);
  EXPECT_EQ(rig.device->settings.rate_code, 16);
  ASSERT_EQ(KR2270_HcSetFreq(rig.device, 48, 2000), 0);
  ASSERT_EQ(KR2270_HcSetTri(rig.device, 3, 7, 2000), 0);
  EXPECT_EQ(rig.device->settings.trigger_enable, 1);
  EXPECT_EQ(rig.device->settings.trigger_mode, 3);
  ASSERT_EQ(KR2270_HcSetTranBytesCount(rig.device, 70000, 2000), 0);
  EXPECT_EQ(rig.device->transfer_bytes.load(), 70000);
  ASSERT_EQ(KR2270_HcSetTriCount(rig.device, 0x01020304, 2000), 0);
  EXPECT_EQ(rig.device->settings.trigger_count, 0x01020304);
  for (int bad : {0, 9, 100}) EXPECT_EQ(KR2270_HcSetFreq(rig.device, bad, 2000), -1);
  EXPECT_EQ(rig.NewWrites(), (std::vector<Write>{{16, {0x00, 0x24}},
                                                 {16, {0x00, 0x34}},
                                                 {22, {0x00, 0x1C}},
                                                 {20, {0x11, 0x70}},
                                                 {26, {0x01, 0x02, 0x03, 0x04}}}));
  EXPECT_EQ(rig.device->settings.rate_code, 48);
}

TEST(AcquisitionSetup, KeepsTheOldValueWhenTheWriteFails) {
  Rig rig;
  KR2270_CmdClose(rig.device);
  EXPECT_LT(KR2270_HcSetFreq(rig.device, 16, 500), 0);
  EXPECT_LT(KR2270_HcSetTranBytesCount(rig.device, 100, 500), 0);
  EXPECT_LT(KR2270_HcSetTriCount(rig.device, 5, 500), 0);
  EXPECT_EQ(rig.device->settings.rate_code, 8);
  EXPECT_EQ(rig.device->transfer_bytes.load(), 4096);
  EXPECT_EQ(rig.device->settings.trigger_count, 0);
}

TEST(AcquisitionSetup, GroupSizeFollowsTheEnables) {
  Device* device = KR2270_DeviceCreate();
  Settings& s = device->settings;
  EXPECT_EQ(KR2270_HcGetGroupBc(device), 32);
  s.ad_code_bytes = 2;
  EXPECT_EQ(KR2270_HcGetGroupBc(device), 16);
  s.ad_enabled[0] = 2;  // only bit 0 counts
  EXPECT_EQ(KR2270_HcGetGroupBc(device), 14);
  s.ad_code_bytes = 4;
  s.di_in_fifo = 1;
  s.ad_enabled[0] = 1;
  for (auto& on : s.ct_in_fifo) on = 1;
  for (auto& on : s.ec_in_fifo) on = 1;
  EXPECT_EQ(KR2270_HcGetGroupBc(device), 58);
  for (auto& on : s.ad_enabled) on = 0;
  s.di_in_fifo = 0;
  for (auto& on : s.ct_in_fifo) on = 0;
  for (auto& on : s.ec_in_fifo) on = 0;
  EXPECT_EQ(KR2270_HcGetGroupBc(device), 0);
  EXPECT_EQ(KR2270_HcGetGroupBc(nullptr), -1);
  KR2270_DeviceClose(device);
}

TEST(AcquisitionSetup, FilterTimesGivesTheOutputRate) {
  Device* device = KR2270_DeviceCreate();
  double rate = 0;
  device->settings.rate_code = 8;
  ASSERT_EQ(KR2270_AdFilterTimesPC(device, 4, &rate), 0);
  EXPECT_EQ(rate, 64000.0);
  ASSERT_EQ(KR2270_AdFilterTimesPC(device, 0, &rate), 0);
  EXPECT_EQ(rate, 256000.0);
  ASSERT_EQ(KR2270_AdFilterTimesPC(device, -2, &rate), 0);
  EXPECT_EQ(rate, -128000.0);
  EXPECT_EQ(device->filter_times, -2);
  device->settings.rate_code = 0;
  ASSERT_EQ(KR2270_AdFilterTimesPC(device, 4, nullptr), 0);
  ASSERT_EQ(KR2270_AdFilterTimesPC(device, 4, &rate), 0);
  EXPECT_EQ(rate, 0.0);
  device->settings.rate_code = 48;
  ASSERT_EQ(KR2270_AdFilterTimesPC(device, 0, &rate), 0);
  EXPECT_EQ(rate, 1000.0);
  EXPECT_EQ(KR2270_AdFilterTimesPC(nullptr, 1, &rate), -1);
  KR2270_DeviceClose(device);
}

TEST(AcquisitionSetup, TriggerAndAveragingAreRefusedWhileStreaming) {
  Rig rig;
  ASSERT_EQ(KR2270_HcStart(rig.device, 1, 2000), 0);
  rig.NewWrites();
  EXPECT_EQ(KR2270_HcSetTri(rig.device, 1, 1, 2000), -1);
  EXPECT_EQ(KR2270_AdFilterTimesPC(rig.device, 2, nullptr), -1);
  EXPECT_TRUE(rig.NewWrites().empty());
  EXPECT_EQ(rig.device->filter_times, 0);
}

TEST(HcStart, StartAndStopWriteTheirRegistersInOrder) {
  Rig rig;
  rig.device->settings.trigger_enable = 1;
  rig.device->settings.trigger_mode = 2;
  ASSERT_EQ(KR2270_HcStart(rig.device, 1, 2000), 0);
  EXPECT_EQ(rig.NewWrites(), (std::vector<Write>{{23, {0, 1}}, {22, {0, 0x15}}}));
  EXPECT_TRUE(rig.peer.WaitForDataConnection(1, 2000));
  ASSERT_EQ(KR2270_HcStart(rig.device, 0, 2000), 0);
  EXPECT_EQ(rig.NewWrites(), (std::vector<Write>{{23, {0, 0}}, {22, {0, 0x14}}}));
  EXPECT_TRUE(rig.peer.WaitForDataClosed(2000));
  EXPECT_EQ(KR2270_HcIsDataLost(rig.device), 0);  // a stop is no loss
}

TEST(HcStart, RoundsTheTransferSizeToWholeDecimationWindows) {
  struct Case {
    std::int32_t rate_code, code_bytes, transfer, rounded;
  };
  for (const Case& c : {Case{16, 4, 1000, 960}, Case{16, 4, 50, 64}, Case{48, 2, 1000, 960}}) {
    Rig rig;
    rig.device->settings.rate_code = c.rate_code;
    rig.device->settings.ad_code_bytes = static_cast<std::uint8_t>(c.code_bytes);
    rig.device->transfer_bytes.store(c.transfer);
    ASSERT_EQ(KR2270_HcStart(rig.device, 1, 2000), 0);
    const Bytes payload{static_cast<std::uint8_t>(c.rounded >> 8),
                        static_cast<std::uint8_t>(c.rounded)};
    EXPECT_EQ(rig.NewWrites(), (std::vector<Write>{{20, payload}, {23, {0, 1}}, {22, {0, 1}}}));
    EXPECT_EQ(rig.device->transfer_bytes.load(), c.rounded);
    EXPECT_EQ(KR2270_HcStart(rig.device, 0, 2000), 0);
  }
}

TEST(HcStart, RefusesStartsThatCannotWorkWithoutSendingAnything) {
  const std::pair<const char*, std::function<void(Device*)>> cases[] = {
      {"transfer size 0", [](Device* d) { d->transfer_bytes.store(0); }},
      {"negative transfer size", [](Device* d) { d->transfer_bytes.store(-64); }},
      {"no channel",
       [](Device* d) {
         for (auto& on : d->settings.ad_enabled) on = 0;
       }},
      {"negative averaging", [](Device* d) { d->filter_times = -1; }},
      {"averaging a counter",
       [](Device* d) {
         d->filter_times = 2;
         d->settings.ct_in_fifo[3] = 1;
       }},
      {"averaging the inputs",
       [](Device* d) {
         d->filter_times = 2;
         d->settings.di_in_fifo = 1;
       }},
  };
  for (const auto& [what, setup] : cases) {
    Rig rig;
    rig.NewWrites();
    setup(rig.device);
    EXPECT_EQ(KR2270_HcStart(rig.device, 1, 2000), -1) << what;
    EXPECT_TRUE(rig.NewWrites().empty()) << what;
    EXPECT_EQ(rig.peer.data_connections(), 0) << what;
  }
}

TEST(HcStart, ASecondStartLeavesTheRunningAcquisitionAlone) {
  Rig rig;
  rig.Start();
  rig.NewWrites();
  const sim::StreamLayout l{4, 0xFF, false, 0, 0};
  ASSERT_TRUE(rig.peer.SendData(SequenceStream(l, 0, 3)));
  ASSERT_TRUE(Eventually([&] { return KR2270_HcCodeCanReadGroupCount(rig.device) == 3; }));
  EXPECT_EQ(KR2270_HcStart(rig.device, 1, 2000), -1);
  EXPECT_TRUE(rig.NewWrites().empty());
  ASSERT_TRUE(rig.peer.SendData(SequenceStream(l, 3, 2)));
  ASSERT_TRUE(Eventually([&] { return KR2270_HcCodeCanReadGroupCount(rig.device) == 5; }));
  ExpectGroups(rig.device, Range(0, 5));
  EXPECT_EQ(rig.peer.data_connections(), 1);
}

TEST(HcStart, NeedsTheCommandConnection) {
  Rig rig;
  KR2270_CmdClose(rig.device);
  rig.NewWrites();
  EXPECT_EQ(KR2270_HcStart(rig.device, 1, 2000), -101);
  EXPECT_TRUE(rig.NewWrites().empty());
  EXPECT_EQ(rig.peer.data_connections(), 0);
  EXPECT_EQ(KR2270_HcStart(nullptr, 1, 2000), -1);
}

// Rate code 48 with 8-byte groups: the receiver keeps groups 0, 4, 8, ...
// however the stream is cut into receives.
TEST(Receiver, DecimatesTheStreamAcrossArbitraryReceives) {
  Rig rig;
  const sim::StreamLayout l{4, 0x03, false, 0, 0};
  for (int k = 2; k < 8; ++k) rig.device->settings.ad_enabled[k] = 0;
  rig.device->settings.rate_code = 48;
  rig.Start();
  SendInOddSegments(rig.peer, SequenceStream(l, 0, 403), 11);
  ASSERT_TRUE(Eventually([&] { return KR2270_HcCodeCanReadGroupCount(rig.device) == 101; }));
  ExpectGroups(rig.device, Range(0, 403, 4));
}

// A ring of 256 bytes holds 21 groups of 12 bytes; the rest of a burst is
// dropped group by group, and the stream after the gap splits correctly.
TEST(Receiver, DropsWholeGroupsWhenTheRingIsFull) {
  Rig rig;
  const sim::StreamLayout l{4, 0x07, false, 0, 0};
  for (int k = 3; k < 8; ++k) rig.device->settings.ad_enabled[k] = 0;
  rig.device->transfer_bytes.store(64);
  std::vector<std::uint8_t> small(256);
  std::uint8_t* const full_size = rig.device->stream_fifo.buffer;
  rig.device->stream_fifo.buffer = small.data();
  rig.device->stream_fifo.size = 256;
  rig.Start();
  SendInOddSegments(rig.peer, SequenceStream(l, 0, 40), 13);
  std::uint64_t lost = 0;
  ASSERT_TRUE(
      Eventually([&] { return KR2270_HcGetLostGroups(rig.device, &lost) == 0 && lost == 19; }));
  ExpectGroups(rig.device, Range(0, 21));
  SendInOddSegments(rig.peer, SequenceStream(l, 40, 6), 17);
  ASSERT_TRUE(Eventually([&] { return KR2270_HcCodeCanReadGroupCount(rig.device) == 6; }));
  ExpectGroups(rig.device, Range(40, 46));
  EXPECT_EQ(KR2270_HcStart(rig.device, 0, 2000), 0);
  rig.device->stream_fifo.buffer = full_size;
  rig.device->stream_fifo.size = kStreamFifoBytes;
}

std::chrono::nanoseconds ThreadCpuTime(std::thread& thread) {
  const std::int64_t ns = platform::ThreadCpuNs(thread);
  EXPECT_GE(ns, 0);
  return std::chrono::nanoseconds(ns);
}

TEST(Receiver, ALostConnectionIsReportedAndCostsNoCpu) {
  for (bool reset : {true, false}) {
    SCOPED_TRACE(reset ? "reset" : "orderly close");
    Rig rig;
    rig.Start();
    rig.peer.CloseData(reset);
    ASSERT_TRUE(Eventually([&] { return KR2270_HcIsDataLost(rig.device) == 1; }));
    // A receiver that kept failing in a loop would use the whole window.
    const auto before = ThreadCpuTime(rig.device->receiver_thread);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(ThreadCpuTime(rig.device->receiver_thread) - before, std::chrono::milliseconds(60));
    EXPECT_EQ(KR2270_HcStart(rig.device, 0, 2000), 0);
    EXPECT_EQ(KR2270_HcIsDataLost(rig.device), 1);
    rig.Start();
    EXPECT_EQ(KR2270_HcIsDataLost(rig.device), 0);
  }
}

}  // namespace
}  // namespace kr2270

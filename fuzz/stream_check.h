// Checks a live stream end to end through the split and fetch exports:
// every group handed out must be a group of the simulator's sequence pattern
// (which names its own index through counter 1), kept by the host decimation,
// in order, with the number of groups missing in between counted. Shared by
// the stream fault and lifecycle stress tests; the expected queues come from
// the independent splitter of oracles.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <thread>

#include "kr2270c.h"
#include "oracles.h"
#include "sim/sequence.h"

namespace kr2270::oracle {

// What is streamed. Counter 1 is always in: its value 4g names group g.
struct StreamSetup {
  std::uint8_t analog_mask = 0xFF;
  std::uint8_t code_bytes = 4;
  bool digital = false;
  std::uint8_t counter_mask = 0x1;
  std::uint8_t encoder_mask = 0;
  std::int32_t rate_code = 8;
  std::int32_t transfer_bytes = 4096;

  sim::StreamLayout Layout() const {
    return {code_bytes, analog_mask, digital, counter_mask, encoder_mask};
  }
  ::kr2270::oracle::Layout OracleLayout() const {
    ::kr2270::oracle::Layout l;
    for (int k = 0; k < 8; ++k) l.analog[k] = (analog_mask >> k & 1) != 0;
    l.code_bytes = code_bytes;
    l.digital = digital;
    for (int c = 0; c < 4; ++c) l.counter[c] = (counter_mask >> c & 1) != 0;
    for (int e = 0; e < 2; ++e) l.encoder[e] = (encoder_mask >> e & 1) != 0;
    return l;
  }
  std::uint64_t Factor() const { return rate_code == 16 ? 2 : rate_code == 48 ? 4 : 1; }
};

// Configures the layout, rate and transfer size through the exports;
// returns the first failing export, or an empty string.
inline std::string Configure(KR2270Device* device, const StreamSetup& s, std::int32_t timeout_ms) {
  std::uint8_t enable[8];
  for (int k = 0; k < 8; ++k) enable[k] = static_cast<std::uint8_t>(s.analog_mask >> k & 1);
  if (KR2270_AdInFifo(device, enable, s.code_bytes, timeout_ms) != 0) return "AdInFifo";
  if (KR2270_DiInFifo(device, s.digital ? 1 : 0, timeout_ms) != 0) return "DiInFifo";
  std::uint8_t counters[4];
  for (int c = 0; c < 4; ++c) counters[c] = static_cast<std::uint8_t>(s.counter_mask >> c & 1);
  if (KR2270_CtInFifo(device, counters, timeout_ms) != 0) return "CtInFifo";
  std::uint8_t encoders[2] = {static_cast<std::uint8_t>(s.encoder_mask & 1),
                              static_cast<std::uint8_t>(s.encoder_mask >> 1 & 1)};
  if (KR2270_EcInFifo(device, encoders, timeout_ms) != 0) return "EcInFifo";
  if (KR2270_HcSetFreq(device, s.rate_code, timeout_ms) != 0) return "HcSetFreq";
  if (KR2270_HcSetTranBytesCount(device, s.transfer_bytes, timeout_ms) != 0) return "HcSetTranBytesCount";
  if (static_cast<std::size_t>(KR2270_HcGetGroupBc(device)) != sim::GroupSize(s.Layout())) {
    return "HcGetGroupBc";
  }
  return {};
}

// Takes groups out through the split and fetch exports and checks each
// against the pattern group it names.
class Collector {
 public:
  explicit Collector(const StreamSetup& s) : setup_(s), layout_(s.Layout()), oracle_(s.OracleLayout()) {}

  // One split of up to a random number of groups; returns the groups taken.
  std::int32_t TakeSome(KR2270Device* device) {
    const auto want = static_cast<std::int32_t>(1 + random_() % 20000);
    const std::int32_t k = KR2270_HcCodeSplit(device, want);
    if (k <= 0) return k;
    Queues got;
    Fetch(device, k, &got);
    for (std::int32_t i = 0; i < k; ++i) CheckRow(got, static_cast<std::size_t>(i));
    return k;
  }

  // Takes until the predicate holds or the deadline passes.
  template <typename Done>
  bool TakeUntil(KR2270Device* device, Done done, int deadline_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      if (TakeSome(device) <= 0) std::this_thread::yield();
    }
    return true;
  }

  std::uint64_t taken() const { return taken_; }
  std::uint64_t first_group() const { return first_g_; }
  std::uint64_t removed() const { return removed_; }
  // Decimated groups up to the last one taken (taken plus removed).
  std::uint64_t covered() const { return any_ ? last_g_ / setup_.Factor() + 1 : 0; }
  const std::string& failure() const { return failure_; }

 private:
  void Fetch(KR2270Device* device, std::int32_t k, Queues* q) {
    const auto n = static_cast<std::size_t>(k);
    for (int c = 0; c < 8; ++c) {
      q->ad[c].assign(n, 0);
      const std::int32_t expected = oracle_.analog[c] ? k : 0;
      if (KR2270_HcCodeGetAd(device, c + 1, q->ad[c].data()) != expected) Fail("analog count");
      if (!oracle_.analog[c]) q->ad[c].clear();
    }
    q->di.assign(n, 0);
    if (KR2270_HcCodeGetDi(device, q->di.data()) != (oracle_.digital ? k : 0)) Fail("digital count");
    if (!oracle_.digital) q->di.clear();
    for (int c = 0; c < 4; ++c) {
      q->ct[c].assign(n, 0);
      if (KR2270_HcCodeGetCt(device, c + 1, q->ct[c].data()) != (oracle_.counter[c] ? k : 0)) {
        Fail("counter count");
      }
      if (!oracle_.counter[c]) q->ct[c].clear();
    }
    for (int e = 0; e < 2; ++e) {
      q->ec[e].assign(n, 0);
      if (KR2270_HcCodeGetEc(device, e + 1, q->ec[e].data()) != (oracle_.encoder[e] ? k : 0)) {
        Fail("encoder count");
      }
      if (!oracle_.encoder[e]) q->ec[e].clear();
    }
  }

  void CheckRow(const Queues& got, std::size_t i) {
    const std::uint64_t g = got.ct[0][i] / 4;  // counter 1 of group g is 4g
    const std::uint64_t f = setup_.Factor();
    if (g % f != 0) return Fail("group " + std::to_string(g) + " is not kept by the decimation");
    if (any_ && g <= last_g_) return Fail("group " + std::to_string(g) + " out of order");
    removed_ += (g - (any_ ? last_g_ + f : 0)) / f;
    if (!any_) first_g_ = g;
    any_ = true;
    last_g_ = g;
    ++taken_;
    std::uint8_t bytes[64];
    sim::WriteSequenceGroup(layout_, g, bytes);
    Queues want;
    SplitGroups(oracle_, bytes, 1, &want);
    bool same = want.di.empty() || want.di[0] == got.di[i];
    for (int c = 0; c < 8; ++c) same = same && (want.ad[c].empty() || want.ad[c][0] == got.ad[c][i]);
    for (int c = 0; c < 4; ++c) same = same && (want.ct[c].empty() || want.ct[c][0] == got.ct[c][i]);
    for (int e = 0; e < 2; ++e) same = same && (want.ec[e].empty() || want.ec[e][0] == got.ec[e][i]);
    if (!same) Fail("group " + std::to_string(g) + " differs from what the module sent");
  }

  void Fail(const std::string& what) {
    if (failure_.empty()) failure_ = what;
  }

  StreamSetup setup_;
  sim::StreamLayout layout_;
  Layout oracle_;
  std::mt19937 random_{2024};
  bool any_ = false;
  std::uint64_t last_g_ = 0;
  std::uint64_t first_g_ = 0;
  std::uint64_t taken_ = 0;
  std::uint64_t removed_ = 0;
  std::string failure_;
};

inline std::uint64_t Lost(KR2270Device* device) {
  std::uint64_t lost = 0;
  KR2270_HcGetLostGroups(device, &lost);
  return lost;
}

}  // namespace kr2270::oracle

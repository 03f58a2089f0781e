#include "anchors.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "alloc_count.h"
#include "kr2270c.h"

namespace kr2270::bench {
namespace {

std::vector<std::uint8_t> PatternGroups(const sim::StreamLayout& layout, std::size_t count) {
  std::vector<std::uint8_t> bytes(count * sim::GroupSize(layout));
  std::uint8_t* out = bytes.data();
  for (std::size_t g = 0; g < count; ++g) out = sim::WriteSequenceGroup(layout, g, out);
  return bytes;
}

TEST(NaiveSplitTest, QueuesHoldThePatternOfEveryLayout) {
  sim::StreamLayout full;
  full.analog_mask = 0xFF;
  full.digital = true;
  full.counter_mask = 0xF;
  full.encoder_mask = 0x3;
  sim::StreamLayout sparse;  // 2-byte codes of channels 2 and 5, counter 3
  sparse.code_bytes = 2;
  sparse.analog_mask = 0x12;
  sparse.counter_mask = 0x4;
  for (const sim::StreamLayout& layout : {full, sparse}) {
    const std::size_t n = 300;
    const auto bytes = PatternGroups(layout, n);
    NaiveQueues q;
    NaiveSplit(layout, bytes.data(), n, q);
    NaiveSplit(layout, bytes.data(), n, q);  // a second split replaces the first
    for (int k = 0; k < 8; ++k) {
      const bool on = (layout.analog_mask >> k & 1u) != 0;
      ASSERT_EQ(q.ad[k].size(), on ? n : 0u) << "channel " << k + 1;
      for (std::size_t g = 0; on && g < n; ++g) {
        const std::uint32_t v = sim::SequenceAnalog(g, k + 1, layout.code_bytes);
        EXPECT_EQ(q.ad[k][g], static_cast<std::int32_t>(layout.code_bytes == 2 ? v << 8 : v));
      }
    }
    ASSERT_EQ(q.di.size(), layout.digital ? n : 0u);
    for (std::size_t g = 0; g < q.di.size(); ++g) EXPECT_EQ(q.di[g], sim::SequenceDigital(g));
    for (int c = 0; c < 4; ++c) {
      ASSERT_EQ(q.ct[c].size(), (layout.counter_mask >> c & 1u) ? n : 0u);
      for (std::size_t g = 0; g < q.ct[c].size(); ++g)
        EXPECT_EQ(q.ct[c][g], sim::SequenceCounter(g, c + 1));
    }
    for (int e = 0; e < 2; ++e) {
      ASSERT_EQ(q.ec[e].size(), (layout.encoder_mask >> e & 1u) ? n : 0u);
      for (std::size_t g = 0; g < q.ec[e].size(); ++g)
        EXPECT_EQ(q.ec[e][g], sim::SequenceEncoder(g, e + 1));
    }
  }
}

// The host's default calibration: zero 4194303, full 8388607, 10 V span.
void Scalar(std::int32_t* codes, std::int32_t n, double* values) {
  ScalarCodeToValue(codes, n, values, 4194303, 8388607, 10.0, 0.0);
}

TEST(ScalarConvertTest, ExamplesOfTheConversion) {
  std::int32_t codes[] = {4194303,
                          8388607,
                          0,
                          0x800000,
                          static_cast<std::int32_t>(0xAB7FFFFFu),
                          static_cast<std::int32_t>(0x12FFFFFFu)};
  double values[6];
  Scalar(codes, 6, values);
  EXPECT_EQ(values[0], 0.0);
  EXPECT_EQ(values[1], 10.0);
  EXPECT_EQ(values[2], -10.0 * 4194303 / 4194304);
  EXPECT_EQ(codes[3], -8388608);
  EXPECT_EQ(codes[4], 0x7FFFFF);  // upper byte ignored, bit 23 clear
  EXPECT_EQ(codes[5], -1);        // low 24 bits all ones
}

TEST(ScalarConvertTest, AgreesWithTheLibraryBitForBit) {
  KR2270Device* device = KR2270_DeviceCreate();
  ASSERT_NE(device, nullptr);
  std::mt19937 random(7);
  std::vector<std::int32_t> raw(5000);  // a whole block and a remainder
  for (auto& w : raw) w = static_cast<std::int32_t>(random());
  std::vector<std::int32_t> a = raw, b = raw;
  std::vector<double> va(raw.size()), vb(raw.size());
  ASSERT_EQ(KR2270_AdCodeToValue(device, 1, a.data(), 5000, va.data()), 0);
  Scalar(b.data(), 5000, vb.data());
  EXPECT_EQ(a, b);
  EXPECT_EQ(std::memcmp(va.data(), vb.data(), va.size() * sizeof(double)), 0);
  KR2270_DeviceClose(device);
}

TEST(AllocationCountTest, CountsEveryNew) {
  const std::uint64_t before = AllocationCount();
  auto* one = new int(1);
  auto* many = new int[10];
  // Used where the compiler cannot see, so that neither allocation is elided.
  asm volatile("" : : "g"(one), "g"(many) : "memory");
  const std::uint64_t after = AllocationCount();
  delete one;
  delete[] many;
  EXPECT_EQ(after - before, 2u);
}

}  // namespace
}  // namespace kr2270::bench

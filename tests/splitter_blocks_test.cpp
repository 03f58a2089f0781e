// The splitter takes four (or two) adjacent 32-bit items of four groups at a time where
// the processor allows it: every layout, group count and ring position must
// still give exactly the stream's codes, the partial blocks at the ends of a
// run, a chunk and the ring's storage included.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "acquisition/acquisition.h"
#include "kr2270c.h"
#include "sim/sequence.h"

namespace kr2270 {
namespace {

using sim::StreamLayout;

void Apply(Settings& s, const StreamLayout& l) {
  for (int k = 0; k < 8; ++k) s.ad_enabled[k] = (l.analog_mask >> k) & 1u;
  s.ad_code_bytes = l.code_bytes;
  s.di_in_fifo = l.digital ? 1 : 0;
  for (int c = 0; c < 4; ++c) s.ct_in_fifo[c] = (l.counter_mask >> c) & 1u;
  for (int e = 0; e < 2; ++e) s.ec_in_fifo[e] = (l.encoder_mask >> e) & 1u;
}

std::vector<std::uint8_t> SequenceGroups(const StreamLayout& l, std::uint64_t first,
                                         std::size_t n) {
  std::vector<std::uint8_t> bytes(n * sim::GroupSize(l));
  std::uint8_t* at = bytes.data();
  for (std::size_t g = 0; g < n; ++g) at = sim::WriteSequenceGroup(l, first + g, at);
  return bytes;
}

// Number of fetched values that differ from the pattern (0 when all match).
std::size_t Mismatches(Device* device, const StreamLayout& l, std::uint64_t first, std::size_t n) {
  std::size_t bad = 0;
  std::vector<std::int32_t> ad(n);
  std::vector<std::uint16_t> di(n);
  std::vector<std::uint32_t> u32(n);
  const auto count = static_cast<std::int32_t>(n);
  for (int k = 1; k <= 8; ++k) {
    if (((l.analog_mask >> (k - 1)) & 1u) == 0) continue;
    if (KR2270_HcCodeGetAd(device, k, ad.data()) != count) return n;
    for (std::size_t g = 0; g < n; ++g) {
      const std::uint32_t v = sim::SequenceAnalog(first + g, k, l.code_bytes);
      bad += static_cast<std::uint32_t>(ad[g]) != (l.code_bytes == 2 ? v << 8 : v);
    }
  }
  if (l.digital) {
    if (KR2270_HcCodeGetDi(device, di.data()) != count) return n;
    for (std::size_t g = 0; g < n; ++g) bad += di[g] != sim::SequenceDigital(first + g);
  }
  for (int c = 1; c <= 4; ++c) {
    if (((l.counter_mask >> (c - 1)) & 1u) == 0) continue;
    if (KR2270_HcCodeGetCt(device, c, u32.data()) != count) return n;
    for (std::size_t g = 0; g < n; ++g) bad += u32[g] != sim::SequenceCounter(first + g, c);
  }
  for (int e = 1; e <= 2; ++e) {
    if (((l.encoder_mask >> (e - 1)) & 1u) == 0) continue;
    if (KR2270_HcCodeGetEc(device, e, u32.data()) != count) return n;
    for (std::size_t g = 0; g < n; ++g) bad += u32[g] != sim::SequenceEncoder(first + g, e);
  }
  return bad;
}

TEST(SplitterBlocks, EveryLayoutCountAndRingPosition) {
  const StreamLayout layouts[] = {
      {4, 0xFF, true, 0xF, 0x3},   // 58 bytes: two analog blocks and one of counters
      {4, 0x7F, false, 0xF, 0x3},  // a block that runs from analog channels into counter 1
      {2, 0x01, true, 0xF, 0x3},   // counters at offset 4, behind 2-byte items
      {4, 0x0F, false, 0, 0x3},    // one block, then two words
      {4, 0x07, false, 0, 0},      // three words: no block
  };
  // Around multiples of four, and around the 564-group chunk of 58-byte groups.
  const std::size_t counts[] = {1, 3, 4, 5, 7, 8, 563, 564, 565, 566, 1131, 2560};
  // Ring positions: the start of the storage, and 1001 bytes before its end
  // so that a group straddles the wrap and the piece before it is no whole
  // number of blocks.
  const std::uint32_t starts[] = {0, 0u - 1001u};
  KR2270Device* device = KR2270_DeviceCreate();
  ASSERT_NE(device, nullptr);
  for (const StreamLayout& l : layouts) {
    Apply(device->stream_settings, l);
    for (std::size_t n : counts) {
      for (std::uint32_t start : starts) {
        SCOPED_TRACE(testing::Message() << sim::GroupSize(l) << "-byte groups, " << n
                                        << " groups, ring position " << start);
        device->stream_fifo.in.store(start);
        device->stream_fifo.out.store(start);
        const std::uint64_t first = 5000 + n;
        const auto bytes = SequenceGroups(l, first, n);
        ASSERT_EQ(
            FifoPut(device->stream_fifo, bytes.data(), static_cast<std::uint32_t>(bytes.size())),
            bytes.size());
        ASSERT_EQ(KR2270_HcCodeSplit(device, static_cast<std::int32_t>(n)),
                  static_cast<std::int32_t>(n));
        EXPECT_EQ(Mismatches(device, l, first, n), 0u);
      }
    }
  }
  KR2270_DeviceClose(device);
}

}  // namespace
}  // namespace kr2270

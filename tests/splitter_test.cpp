#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "acquisition/acquisition.h"
#include "acquisition/group_layout.h"
#include "kr2270c.h"
#include "sim/sequence.h"

namespace kr2270 {
namespace {

using sim::StreamLayout;

struct Handle {
  Device* device = KR2270_DeviceCreate();
  ~Handle() { KR2270_DeviceClose(device); }
};

void Apply(Settings& s, const StreamLayout& l) {
  for (int k = 0; k < 8; ++k) s.ad_enabled[k] = (l.analog_mask >> k) & 1u;
  s.ad_code_bytes = l.code_bytes;
  s.di_in_fifo = l.digital ? 1 : 0;
  for (int c = 0; c < 4; ++c) s.ct_in_fifo[c] = (l.counter_mask >> c) & 1u;
  for (int e = 0; e < 2; ++e) s.ec_in_fifo[e] = (l.encoder_mask >> e) & 1u;
}

void Feed(Device* device, const std::vector<std::uint8_t>& bytes) {
  ASSERT_EQ(FifoPut(device->stream_fifo, bytes.data(), static_cast<std::uint32_t>(bytes.size())),
            bytes.size());
}

std::vector<std::uint8_t> SequenceGroups(const StreamLayout& l, std::uint64_t first,
                                         std::size_t n) {
  std::vector<std::uint8_t> bytes(n * sim::GroupSize(l));
  std::uint8_t* at = bytes.data();
  for (std::size_t g = 0; g < n; ++g) at = sim::WriteSequenceGroup(l, first + g, at);
  return bytes;
}

// Checks that the queues hold groups first .. first + n - 1 of the sequence
// pattern, and nothing for the items that are not streamed.
void ExpectSequence(Device* device, const StreamLayout& l, std::uint64_t first, std::size_t n) {
  std::vector<std::int32_t> ad(n);
  std::vector<std::uint16_t> di(n);
  std::vector<std::uint32_t> u32(n);
  for (int k = 1; k <= 8; ++k) {
    const bool on = (l.analog_mask >> (k - 1)) & 1u;
    ASSERT_EQ(KR2270_HcCodeGetAd(device, k, ad.data()), on ? static_cast<int>(n) : 0) << k;
    for (std::size_t g = 0; on && g < n; ++g) {
      const std::uint32_t v = sim::SequenceAnalog(first + g, k, l.code_bytes);
      ASSERT_EQ(static_cast<std::uint32_t>(ad[g]), l.code_bytes == 2 ? v << 8 : v) << k << " " << g;
    }
  }
  ASSERT_EQ(KR2270_HcCodeGetDi(device, di.data()), l.digital ? static_cast<int>(n) : 0);
  for (std::size_t g = 0; l.digital && g < n; ++g)
    ASSERT_EQ(di[g], sim::SequenceDigital(first + g));
  for (int c = 1; c <= 4; ++c) {
    const bool on = (l.counter_mask >> (c - 1)) & 1u;
    ASSERT_EQ(KR2270_HcCodeGetCt(device, c, u32.data()), on ? static_cast<int>(n) : 0);
    for (std::size_t g = 0; on && g < n; ++g) ASSERT_EQ(u32[g], sim::SequenceCounter(first + g, c));
  }
  for (int e = 1; e <= 2; ++e) {
    const bool on = (l.encoder_mask >> (e - 1)) & 1u;
    ASSERT_EQ(KR2270_HcCodeGetEc(device, e, u32.data()), on ? static_cast<int>(n) : 0);
    for (std::size_t g = 0; on && g < n; ++g) ASSERT_EQ(u32[g], sim::SequenceEncoder(first + g, e));
  }
}

const StreamLayout kLayouts[] = {
    {4, 0xFF, false, 0, 0},      // the default: 32 bytes
    {4, 0xFF, true, 0xF, 0x3},   // everything: 58 bytes
    {2, 0xFF, true, 0xF, 0x3},   // 2-byte codes
    {4, 0x12, true, 0x4, 0},     // channels 2 and 5, inputs, counter 3: 14 bytes
    {2, 0xA5, false, 0x9, 0x2},  // gaps everywhere
    {4, 0, true, 0, 0},          // the digital-input word alone
    {4, 0, false, 0, 0x1},       // one encoder
};

TEST(Splitter, ParsesEveryLayoutIntoItsChannelQueues) {
  Handle h;
  for (const StreamLayout& l : kLayouts) {
    SCOPED_TRACE(testing::Message() << "group of " << sim::GroupSize(l) << " bytes");
    Apply(h.device->settings, l);  // as a start would take them
    Apply(h.device->stream_settings, l);
    ASSERT_EQ(KR2270_HcGetGroupBc(h.device), static_cast<int>(sim::GroupSize(l)));
    Feed(h.device, SequenceGroups(l, 1000, 7));
    ASSERT_EQ(KR2270_HcCodeCanReadGroupCount(h.device), 7);
    ASSERT_EQ(KR2270_HcCodeSplit(h.device, 100), 7);
    ExpectSequence(h.device, l, 1000, 7);
    EXPECT_EQ(FifoFilled(h.device->stream_fifo), 0u);
  }
}

// Groups that cross the end of the ring's storage, counters past 2^32.
TEST(Splitter, ParsesGroupsAcrossTheEndOfTheRing) {
  Handle h;
  const StreamLayout l{4, 0xFF, true, 0xF, 0x3};
  Apply(h.device->stream_settings, l);
  const std::uint32_t start = 0u - 1000u;  // 1000 bytes before the end of storage and counters
  h.device->stream_fifo.in.store(start);
  h.device->stream_fifo.out.store(start);
  Feed(h.device, SequenceGroups(l, 0, 100));
  ASSERT_EQ(KR2270_HcCodeSplit(h.device, 60), 60);
  ExpectSequence(h.device, l, 0, 60);
  ASSERT_EQ(KR2270_HcCodeSplit(h.device, 60), 40);
  ExpectSequence(h.device, l, 60, 40);
}

TEST(Splitter, ReadsCodesAsTheStreamCarriesThem) {
  Handle h;
  const StreamLayout two_byte{2, 0x01, false, 0, 0};
  Apply(h.device->stream_settings, two_byte);
  Feed(h.device, {0x34, 0x12});
  ASSERT_EQ(KR2270_HcCodeSplit(h.device, 1), 1);
  std::int32_t code = 0;
  ASSERT_EQ(KR2270_HcCodeGetAd(h.device, 1, &code), 1);
  EXPECT_EQ(code, 0x00123400);
  Apply(h.device->stream_settings, StreamLayout{4, 0x01, false, 0, 0});
  Feed(h.device, {0x01, 0x02, 0x03, 0x00});
  ASSERT_EQ(KR2270_HcCodeSplit(h.device, 1), 1);
  ASSERT_EQ(KR2270_HcCodeGetAd(h.device, 1, &code), 1);
  EXPECT_EQ(code, 0x00030201);
}

TEST(Splitter, TakesWholeGroupsOnly) {
  Handle h;  // 32-byte groups
  Feed(h.device, std::vector<std::uint8_t>(100, 7));
  EXPECT_EQ(KR2270_HcCodeCanReadGroupCount(h.device), 3);
  h.device->filter_times = 2;
  EXPECT_EQ(KR2270_HcCodeCanReadGroupCount(h.device), 1);
  h.device->filter_times = 0;
  EXPECT_EQ(KR2270_HcCodeSplit(h.device, 10), 3);
  EXPECT_EQ(FifoFilled(h.device->stream_fifo), 4u);
  std::int32_t codes[3];
  EXPECT_EQ(KR2270_HcCodeSplit(h.device, 0), 0);  // keeps the last split
  EXPECT_EQ(KR2270_HcCodeGetAd(h.device, 8, codes), 3);
  EXPECT_EQ(KR2270_HcCodeSplit(h.device, -1), -1);
  EXPECT_EQ(KR2270_HcCodeSplit(h.device, 1), 0);  // 4 bytes are no group
  EXPECT_EQ(KR2270_HcCodeGetAd(h.device, 8, codes), 0);
  EXPECT_EQ(KR2270_HcCodeSplit(nullptr, 1), -1);
  EXPECT_EQ(KR2270_HcCodeCanReadGroupCount(nullptr), -1);
}

TEST(Splitter, NeverDividesByAnEmptyGroupOrANegativeAverage) {
  Handle h;
  Feed(h.device, std::vector<std::uint8_t>(64, 1));
  Apply(h.device->stream_settings, StreamLayout{4, 0, false, 0, 0});
  EXPECT_EQ(KR2270_HcCodeCanReadGroupCount(h.device), 0);
  EXPECT_EQ(KR2270_HcCodeSplit(h.device, 5), 0);
  h.device->filter_times = 3;
  EXPECT_EQ(KR2270_HcCodeSplit(h.device, 5), 0);
  Apply(h.device->stream_settings, StreamLayout{4, 0xFF, false, 0, 0});
  h.device->filter_times = -2;
  EXPECT_EQ(KR2270_HcCodeCanReadGroupCount(h.device), 0);
  EXPECT_EQ(KR2270_HcCodeSplit(h.device, 1), -1);
  EXPECT_EQ(FifoFilled(h.device->stream_fifo), 64u);
}

TEST(Splitter, FetchesCheckTheirArgumentsInOrder) {
  Handle h;
  Apply(h.device->stream_settings, StreamLayout{4, 0x01, true, 0x1, 0x1});
  std::int32_t code = 0;
  std::uint16_t word = 0;
  std::uint32_t value = 0;
  // Empty queues: only the analog fetch looks at the queue before the array.
  EXPECT_EQ(KR2270_HcCodeGetAd(h.device, 1, nullptr), 0);
  EXPECT_EQ(KR2270_HcCodeGetDi(h.device, nullptr), -1);
  EXPECT_EQ(KR2270_HcCodeGetCt(h.device, 1, nullptr), -1);
  EXPECT_EQ(KR2270_HcCodeGetEc(h.device, 1, nullptr), -1);
  EXPECT_EQ(KR2270_HcCodeGetDi(h.device, &word), 0);
  Feed(h.device, std::vector<std::uint8_t>(14, 1));
  ASSERT_EQ(KR2270_HcCodeSplit(h.device, 1), 1);
  EXPECT_EQ(KR2270_HcCodeGetAd(h.device, 1, nullptr), -1);
  for (int bad : {0, 9}) EXPECT_EQ(KR2270_HcCodeGetAd(h.device, bad, &code), -1);
  for (int bad : {0, 5}) EXPECT_EQ(KR2270_HcCodeGetCt(h.device, bad, &value), -1);
  for (int bad : {0, 3}) EXPECT_EQ(KR2270_HcCodeGetEc(h.device, bad, &value), -1);
  EXPECT_EQ(KR2270_HcCodeGetAd(nullptr, 1, &code), -1);
  EXPECT_EQ(KR2270_HcCodeGetDi(nullptr, &word), -1);
  EXPECT_EQ(KR2270_HcCodeGetCt(nullptr, 1, &value), -1);
  EXPECT_EQ(KR2270_HcCodeGetEc(nullptr, 1, &value), -1);
}

std::vector<std::uint8_t> AnalogGroups(const std::vector<std::uint32_t>& codes, int code_bytes) {
  std::vector<std::uint8_t> bytes;
  for (std::uint32_t c : codes) {
    for (int b = 0; b < code_bytes; ++b) bytes.push_back(static_cast<std::uint8_t>(c >> (8 * b)));
  }
  return bytes;
}

struct AverageCase {
  const char* what;
  int code_bytes;
  std::vector<std::uint32_t> codes;  // as the stream carries them, one channel
  std::int32_t expected;             // the mean, as a 24-bit code
};

std::vector<std::uint32_t> Repeat(std::uint32_t a, std::uint32_t b, int pairs) {
  std::vector<std::uint32_t> codes;
  for (int i = 0; i < pairs; ++i) codes.insert(codes.end(), {a, b});
  return codes;
}

TEST(Splitter, AveragesSignedCodesWithoutOverflow) {
  const AverageCase cases[] = {
      {"5 / 3 truncates", 4, {1, 2, 2}, 1},
      {"full scale, F 1024", 4, Repeat(0x7FFFFF, 0x7FFFFF, 512), 0x7FFFFF},
      {"most negative, F 1024", 4, Repeat(0x800000, 0x800000, 512), 0x800000},
      {"+2 and -2 cancel", 4, Repeat(0x000002, 0xFFFFFE, 512), 0},
      {"-1.5 truncates toward zero", 4, {0xFFFFFF, 0xFFFFFE}, 0xFFFFFF},
      {"-1 and 1, upper byte ignored", 4, {0xAAFFFFFF, 0x00000001}, 0},
      {"2-byte codes", 2, {0x0001, 0x0003}, 0x000200},
      {"2-byte codes across zero", 2, Repeat(0xFFFF, 0xFFFD, 100), 0xFFFE00},
  };
  Handle h;  // one handle, a new stream for each case (windows count from its index 0)
  for (const AverageCase& c : cases) {
    SCOPED_TRACE(c.what);
    Apply(h.device->stream_settings,
          StreamLayout{static_cast<std::uint8_t>(c.code_bytes), 0x01, false, 0, 0});
    ResetStreamPositions(h.device, h.device->stream_settings);
    h.device->filter_times = static_cast<std::int32_t>(c.codes.size());
    Feed(h.device, AnalogGroups(c.codes, c.code_bytes));
    ASSERT_EQ(KR2270_HcCodeSplit(h.device, 1), 1);
    std::int32_t average = 0;
    ASSERT_EQ(KR2270_HcCodeGetAd(h.device, 1, &average), 1);
    EXPECT_EQ(average, c.expected);
  }
}

TEST(Splitter, AveragingIsAllOrNothing) {
  Handle h;  // eight channels, 32-byte groups
  h.device->filter_times = 4;
  Feed(h.device, std::vector<std::uint8_t>(255, 0));
  EXPECT_EQ(KR2270_HcCodeSplit(h.device, 2), 0);
  EXPECT_EQ(KR2270_HcCodeCanReadGroupCount(h.device), 1);
  EXPECT_EQ(FifoFilled(h.device->stream_fifo), 255u);
  Feed(h.device, {0});
  EXPECT_EQ(KR2270_HcCodeSplit(h.device, 2), 2);
  std::int32_t averages[2];
  for (int k = 1; k <= 8; ++k) EXPECT_EQ(KR2270_HcCodeGetAd(h.device, k, averages), 2);
}

TEST(Splitter, AveragesLandInTheirOwnChannel) {
  Handle h;
  Apply(h.device->stream_settings, StreamLayout{4, 0x05, false, 0, 0});  // channels 1 and 3
  h.device->filter_times = 2;
  Feed(h.device, AnalogGroups({10, 300, 20, 500, 1, 7, 3, 9}, 4));
  ASSERT_EQ(KR2270_HcCodeSplit(h.device, 2), 2);
  std::int32_t one[2];
  std::int32_t three[2];
  ASSERT_EQ(KR2270_HcCodeGetAd(h.device, 1, one), 2);
  ASSERT_EQ(KR2270_HcCodeGetAd(h.device, 3, three), 2);
  EXPECT_EQ(KR2270_HcCodeGetAd(h.device, 2, one), 0);
  EXPECT_EQ(one[0], 15);
  EXPECT_EQ(one[1], 2);
  EXPECT_EQ(three[0], 400);
  EXPECT_EQ(three[1], 8);
}

}  // namespace
}  // namespace kr2270

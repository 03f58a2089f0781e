#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "acquisition/acquisition.h"
#include "acquisition/group_layout.h"
#include "acquisition/split_timeline.h"
#include "acquisition/trigger.h"
#include "command/bytes.h"
#include "config/checks.h"
#include "device/export.h"

namespace kr2270 {
namespace {

enum class Item : std::uint8_t { kAnalog4, kAnalog2, kDigital, kCounter, kEncoder };

// One item of the group: where it lies, how it reads, and where its codes go.
struct Column {
  Item item;
  std::int32_t offset;
  std::int32_t index;   // channel, counter or encoder, from 0
  void* out = nullptr;  // this split's part of the item's queue
};

struct Layout {
  Column columns[15];
  std::int32_t count = 0;
  std::int32_t group_size = 0;
};

// Groups parsed column by column at a time: small enough to stay in cache
// while every column walks over them.
constexpr std::size_t kChunkBytes = 32768;

Layout LayoutOf(const Settings& settings) {
  Layout layout;
  std::int32_t offset = 0;
  auto add = [&](Item item, std::int32_t index, std::int32_t width) {
    layout.columns[layout.count++] = Column{item, offset, index};
    offset += width;
  };
  const std::int32_t code_bytes = AnalogCodeBytes(settings);
  const Item analog = code_bytes == 2 ? Item::kAnalog2 : Item::kAnalog4;
  for (std::int32_t c = 0; c < 8; ++c) {
    if ((settings.ad_enabled[c] & 1u) != 0) add(analog, c, code_bytes);
  }
  if ((settings.di_in_fifo & 1u) != 0) add(Item::kDigital, 0, 2);
  for (std::int32_t c = 0; c < 4; ++c) {
    if ((settings.ct_in_fifo[c] & 1u) != 0) add(Item::kCounter, c, 4);
  }
  for (std::int32_t c = 0; c < 2; ++c) {
    if ((settings.ec_in_fifo[c] & 1u) != 0) add(Item::kEncoder, c, 4);
  }
  layout.group_size = offset;
  return layout;
}

bool IsAnalog(Item item) { return item == Item::kAnalog4 || item == Item::kAnalog2; }

std::int32_t ReadAnalog(Item item, const std::uint8_t* p) {
  // A 2-byte code carries the upper 16 of the 24 bits.
  if (item == Item::kAnalog2) return static_cast<std::int32_t>(std::uint32_t{GetU16LE(p)} << 8);
  return static_cast<std::int32_t>(GetU32LE(p));
}

// Makes room for k codes in the queue of every column that will be filled,
// keeping what the queues hold: an allocation that fails here leaves them
// as the last split left them.
void ReserveQueues(const QueueRefs& queues, const Layout& layout, std::size_t k, bool analog_only) {
  for (std::int32_t c = 0; c < layout.count; ++c) {
    const Column& column = layout.columns[c];
    switch (column.item) {
      case Item::kAnalog4:
      case Item::kAnalog2:
        queues.ad[column.index].Reserve(k);
        break;
      case Item::kDigital:
        if (!analog_only) queues.di->Reserve(k);
        break;
      case Item::kCounter:
        if (!analog_only) queues.ct[column.index].Reserve(k);
        break;
      case Item::kEncoder:
        if (!analog_only) queues.ec[column.index].Reserve(k);
        break;
    }
  }
}

// Room for k codes in the column's queue; the queues were cleared and room
// reserved, so nothing is allocated here.
void AttachQueue(const QueueRefs& queues, Column& column, std::size_t k) {
  switch (column.item) {
    case Item::kAnalog4:
    case Item::kAnalog2:
      column.out = queues.ad[column.index].Extend(k);
      break;
    case Item::kDigital:
      column.out = queues.di->Extend(k);
      break;
    case Item::kCounter:
      column.out = queues.ct[column.index].Extend(k);
      break;
    case Item::kEncoder:
      column.out = queues.ec[column.index].Extend(k);
      break;
  }
}

template <typename T, typename Read>
void FillColumn(T* out, const std::uint8_t* from, std::size_t count, std::size_t stride,
                Read read) {
  for (std::size_t g = 0; g < count; ++g) out[g] = read(from + g * stride);
}

// Parses count groups at groups into every column, from entry `first` on.
void ParseColumn(const Column& column, const std::uint8_t* groups, std::size_t count,
                 std::size_t stride, std::size_t first) {
  const std::uint8_t* from = groups + column.offset;
  switch (column.item) {
    case Item::kAnalog4:
      FillColumn(static_cast<std::int32_t*>(column.out) + first, from, count, stride,
                 [](const std::uint8_t* p) { return static_cast<std::int32_t>(GetU32LE(p)); });
      break;
    case Item::kAnalog2:
      FillColumn(static_cast<std::int32_t*>(column.out) + first, from, count, stride,
                 [](const std::uint8_t* p) { return ReadAnalog(Item::kAnalog2, p); });
      break;
    case Item::kDigital:
      FillColumn(static_cast<std::uint16_t*>(column.out) + first, from, count, stride,
                 [](const std::uint8_t* p) { return GetU16LE(p); });
      break;
    case Item::kCounter:
    case Item::kEncoder:
      FillColumn(static_cast<std::uint32_t*>(column.out) + first, from, count, stride,
                 [](const std::uint8_t* p) { return GetU32LE(p); });
      break;
  }
}

#if defined(__SSE2__)
bool IsWord(Item item) {
  return item == Item::kAnalog4 || item == Item::kCounter || item == Item::kEncoder;
}

// Columns c .. c + 3 are 32-bit words that lie back to back in the group.
bool FourAdjacentWords(const Layout& layout, std::int32_t c) {
  if (c + 4 > layout.count) return false;
  for (std::int32_t i = 0; i < 4; ++i) {
    const Column& column = layout.columns[c + i];
    if (!IsWord(column.item) || column.offset != layout.columns[c].offset + 4 * i) return false;
  }
  return true;
}

void StoreFour(std::uint8_t* queue, std::size_t g, __m128i codes) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(queue + 4 * g), codes);
}

// Four adjacent word columns, four groups at a time: one 16-byte load per
// group and a 4 x 4 transpose give each queue four codes per store. x86 is
// little-endian, so the lanes are the stream's words as they stand.
void ParseFourColumns(const Column* columns, const std::uint8_t* groups, std::size_t count,
                      std::size_t stride, std::size_t first) {
  std::uint8_t* out[4];
  for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t*>(columns[i].out) + 4 * first;
  const std::uint8_t* from = groups + columns[0].offset;
  std::size_t g = 0;
  for (; g + 4 <= count; g += 4) {
    const std::uint8_t* p = from + g * stride;
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + stride));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2 * stride));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 3 * stride));
    const __m128i ab_low = _mm_unpacklo_epi32(a, b);
    const __m128i ab_high = _mm_unpackhi_epi32(a, b);
    const __m128i cd_low = _mm_unpacklo_epi32(c, d);
    const __m128i cd_high = _mm_unpackhi_epi32(c, d);
    StoreFour(out[0], g, _mm_unpacklo_epi64(ab_low, cd_low));
    StoreFour(out[1], g, _mm_unpackhi_epi64(ab_low, cd_low));
    StoreFour(out[2], g, _mm_unpacklo_epi64(ab_high, cd_high));
    StoreFour(out[3], g, _mm_unpackhi_epi64(ab_high, cd_high));
  }
  for (int i = 0; i < 4 && g < count; ++i) {
    ParseColumn(columns[i], groups + g * stride, count - g, stride, first + g);
  }
}

// Columns c and c + 1 are 32-bit words side by side (the two encoders, or
// what is left of a run of counters).
bool TwoAdjacentWords(const Layout& layout, std::int32_t c) {
  if (c + 2 > layout.count) return false;
  const Column& a = layout.columns[c];
  const Column& b = layout.columns[c + 1];
  return IsWord(a.item) && IsWord(b.item) && b.offset == a.offset + 4;
}

// The same for two adjacent word columns: one 8-byte load per group.
void ParseTwoColumns(const Column* columns, const std::uint8_t* groups, std::size_t count,
                     std::size_t stride, std::size_t first) {
  std::uint8_t* out0 = static_cast<std::uint8_t*>(columns[0].out) + 4 * first;
  std::uint8_t* out1 = static_cast<std::uint8_t*>(columns[1].out) + 4 * first;
  const std::uint8_t* from = groups + columns[0].offset;
  std::size_t g = 0;
  for (; g + 4 <= count; g += 4) {
    const std::uint8_t* p = from + g * stride;
    const __m128i a = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + stride));
    const __m128i c = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 2 * stride));
    const __m128i d = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 3 * stride));
    const __m128i ab = _mm_unpacklo_epi32(a, b);
    const __m128i cd = _mm_unpacklo_epi32(c, d);
    StoreFour(out0, g, _mm_unpacklo_epi64(ab, cd));
    StoreFour(out1, g, _mm_unpackhi_epi64(ab, cd));
  }
  for (int i = 0; i < 2 && g < count; ++i) {
    ParseColumn(columns[i], groups + g * stride, count - g, stride, first + g);
  }
}
#endif

// Parses count contiguous groups into entries first .. first + count - 1.
void ParseRun(const Layout& layout, const std::uint8_t* groups, std::size_t count,
              std::size_t first) {
  const auto stride = static_cast<std::size_t>(layout.group_size);
  const std::size_t chunk = std::max<std::size_t>(1, kChunkBytes / stride);
  for (std::size_t done = 0; done < count; done += chunk) {
    const std::size_t n = std::min(chunk, count - done);
    for (std::int32_t c = 0; c < layout.count;) {
#if defined(__SSE2__)
      if (FourAdjacentWords(layout, c)) {
        ParseFourColumns(&layout.columns[c], groups + done * stride, n, stride, first + done);
        c += 4;
        continue;
      }
      if (TwoAdjacentWords(layout, c)) {
        ParseTwoColumns(&layout.columns[c], groups + done * stride, n, stride, first + done);
        c += 2;
        continue;
      }
#endif
      ParseColumn(layout.columns[c], groups + done * stride, n, stride, first + done);
      ++c;
    }
  }
}

// Parses k groups straight out of the ring's storage: the pieces before and
// after the wrap, and the one group that may straddle it.
void ParseFromRing(const Layout& layout, const FifoPieces& pieces, std::size_t k) {
  const auto group = static_cast<std::size_t>(layout.group_size);
  const std::size_t before = pieces.first_length / group;
  ParseRun(layout, pieces.first, before, 0);
  std::size_t done = before;
  std::size_t second_offset = 0;
  const std::size_t straddle = pieces.first_length - before * group;
  if (straddle != 0) {
    std::uint8_t joined[64];
    std::memcpy(joined, pieces.first + before * group, straddle);
    second_offset = group - straddle;
    std::memcpy(joined + straddle, pieces.second, second_offset);
    ParseRun(layout, joined, 1, done);
    ++done;
  }
  ParseRun(layout, pieces.second + second_offset, k - done, done);
}

std::int32_t SplitPlain(Device* device, std::int32_t n) {
  Layout layout = LayoutOf(device->stream_settings);
  const auto group = static_cast<std::uint32_t>(layout.group_size);
  const std::uint32_t k =
      std::min(static_cast<std::uint32_t>(n), FifoFilled(device->stream_fifo) / group);
  if (k == 0) {
    ClearChannelQueues(device);
    return 0;
  }
  const QueueRefs queues = DeviceQueues(device);
  ReserveQueues(queues, layout, k, false);
  device->split.indices.Reserve(k);
  ClearChannelQueues(device);
  for (std::int32_t c = 0; c < layout.count; ++c) AttachQueue(queues, layout.columns[c], k);
  ParseFromRing(layout, FifoPeek(device->stream_fifo, k * group), k);
  PositionPlainSplit(device, k);
  // An armed trigger looks at the codes just parsed and keeps what its
  // captures still need in the ring.
  FifoTake(device->stream_fifo, k * group, WatchSplit(device, k));
  return static_cast<std::int32_t>(k);
}

// The code as the signed 24-bit number it is.
std::int64_t SignedCode(std::int32_t code) {
  const std::uint32_t low = static_cast<std::uint32_t>(code) & 0xFFFFFFu;
  return static_cast<std::int64_t>(low ^ 0x800000u) - 0x800000;
}

// Back to the stream's form: 24 bits, bits 24 to 31 clear.
std::int32_t CodeOf(std::int64_t value) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(value) & 0xFFFFFFu);
}

// Block averages of one analog column, one per window of the plan.
void AverageColumn(const Column& column, const std::uint8_t* groups, const AveragingPlan& plan,
                   std::size_t times, std::size_t stride) {
  auto* out = static_cast<std::int32_t*>(column.out);
  for (std::size_t m = 0; m < plan.windows.size(); ++m) {
    const std::uint8_t* from = groups + plan.windows[m].first * stride + column.offset;
    std::int64_t sum = 0;
    for (std::size_t i = 0; i < times; ++i)
      sum += SignedCode(ReadAnalog(column.item, from + i * stride));
    out[m] = CodeOf(sum / static_cast<std::int64_t>(times));
  }
}

// Whole groups buffered in the ring.
std::uint32_t BufferedGroups(Device* device, std::uint32_t group) {
  return group == 0 ? 0 : FifoFilled(device->stream_fifo) / group;
}

}  // namespace

QueueRefs DeviceQueues(Device* device) {
  return QueueRefs{device->ad_queue, &device->di_queue, device->ct_queue, device->ec_queue};
}

void ParseGroupsInto(const Settings& settings, const FifoPieces& pieces, std::size_t k,
                     const QueueRefs& queues) {
  Layout layout = LayoutOf(settings);
  ReserveQueues(queues, layout, k, false);
  for (int c = 0; c < 8; ++c) queues.ad[c].Clear();
  queues.di->Clear();
  for (int c = 0; c < 4; ++c) queues.ct[c].Clear();
  for (int c = 0; c < 2; ++c) queues.ec[c].Clear();
  for (std::int32_t c = 0; c < layout.count; ++c) AttachQueue(queues, layout.columns[c], k);
  if (k != 0) ParseFromRing(layout, pieces, k);
}

void ClearChannelQueues(Device* device) {
  for (auto& queue : device->ad_queue) queue.Clear();
  device->di_queue.Clear();
  for (auto& queue : device->ct_queue) queue.Clear();
  for (auto& queue : device->ec_queue) queue.Clear();
  ClearSplitRows(device);
}

std::int32_t SplitAveraged(Device* device, std::int32_t n) {
  Layout layout = LayoutOf(device->stream_settings);
  const std::int32_t times = device->filter_times;
  const auto group = static_cast<std::uint32_t>(layout.group_size);
  AveragingPlan& plan = device->split.plan;
  // All or nothing: the windows are planned before anything is taken.
  if (n <= 0 || group == 0 || times <= 0 ||
      PlanAveraging(device, BufferedGroups(device, group), static_cast<std::uint64_t>(times),
                    static_cast<std::size_t>(n), &plan) < static_cast<std::size_t>(n)) {
    ClearChannelQueues(device);
    return 0;
  }
  // The groups planned lie in the ring, so their bytes fit 32 bits.
  const auto bytes = static_cast<std::uint32_t>(plan.consumed * group);
  if (device->split_scratch.size() < bytes) device->split_scratch.resize(bytes);
  const QueueRefs queues = DeviceQueues(device);
  ReserveQueues(queues, layout, static_cast<std::size_t>(n), true);
  device->split.indices.Reserve(static_cast<std::size_t>(n));
  ClearChannelQueues(device);
  FifoGet(device->stream_fifo, device->split_scratch.data(), bytes);
  // Only analog items are averaged; anything else a recording may carry
  // is skipped and its queues stay empty.
  for (std::int32_t c = 0; c < layout.count; ++c) {
    Column& column = layout.columns[c];
    if (!IsAnalog(column.item)) continue;
    AttachQueue(queues, column, static_cast<std::size_t>(n));
    AverageColumn(column, device->split_scratch.data(), plan, static_cast<std::size_t>(times),
                  group);
  }
  PositionAveragedSplit(device, plan);
  return n;
}

std::int32_t HcCodeCanReadGroupCount(Device* device) {
  if (device == nullptr) return KR2270_ERROR_ARGUMENT;
  const std::int32_t group = GroupSize(device->stream_settings);
  const std::int32_t times = device->filter_times;
  if (group == 0 || times < 0) return 0;
  const std::uint32_t buffered = BufferedGroups(device, static_cast<std::uint32_t>(group));
  if (times == 0) return static_cast<std::int32_t>(buffered);
  // Whole windows only, none across a gap or a settings change.
  return static_cast<std::int32_t>(PlanAveraging(device, buffered, static_cast<std::uint64_t>(times),
                                                 INT32_MAX, nullptr));
}

std::int32_t HcCodeSplit(Device* device, std::int32_t n) {
  if (device == nullptr || n < 0) return KR2270_ERROR_ARGUMENT;
  if (n == 0) return 0;
  if (device->filter_times < 0) return KR2270_ERROR_ARGUMENT;
  if (GroupSize(device->stream_settings) == 0) {
    ClearChannelQueues(device);
    return 0;
  }
  if (device->filter_times > 0) return SplitAveraged(device, n);
  return SplitPlain(device, n);
}

namespace {

template <typename T>
std::int32_t CopyQueue(const ChannelQueue<T>& queue, T* destination) {
  std::memcpy(destination, queue.data.get(), queue.count * sizeof(T));
  return static_cast<std::int32_t>(queue.count);
}

constexpr std::int32_t kEncoders = 2;

}  // namespace

std::int32_t HcCodeGetAd(Device* device, std::int32_t channel, std::int32_t* codes) {
  if (device == nullptr || !IsLineNumber(channel, kAnalogChannels)) return KR2270_ERROR_ARGUMENT;
  const auto& queue = device->ad_queue[channel - 1];
  if (queue.count == 0) return 0;
  if (codes == nullptr) return KR2270_ERROR_ARGUMENT;
  return CopyQueue(queue, codes);
}

std::int32_t HcCodeGetDi(Device* device, std::uint16_t* words) {
  if (device == nullptr || words == nullptr) return KR2270_ERROR_ARGUMENT;
  if (device->di_queue.count == 0) return 0;
  return CopyQueue(device->di_queue, words);
}

std::int32_t HcCodeGetCt(Device* device, std::int32_t counter, std::uint32_t* values) {
  if (device == nullptr || !IsLineNumber(counter, kCounters) || values == nullptr)
    return KR2270_ERROR_ARGUMENT;
  const auto& queue = device->ct_queue[counter - 1];
  if (queue.count == 0) return 0;
  return CopyQueue(queue, values);
}

std::int32_t HcCodeGetIndex(Device* device, std::uint64_t* indices) {
  if (device == nullptr || indices == nullptr) return KR2270_ERROR_ARGUMENT;
  return CopyQueue(device->split.indices, indices);
}

std::int32_t HcCodeGetEc(Device* device, std::int32_t encoder, std::uint32_t* values) {
  if (device == nullptr || !IsLineNumber(encoder, kEncoders) || values == nullptr)
    return KR2270_ERROR_ARGUMENT;
  const auto& queue = device->ec_queue[encoder - 1];
  if (queue.count == 0) return 0;
  return CopyQueue(queue, values);
}

}  // namespace kr2270

KR2270_EXPORT int32_t KR2270_HcCodeCanReadGroupCount(KR2270Device* device) {
  return kr2270::Guarded([&] { return kr2270::HcCodeCanReadGroupCount(device); });
}

KR2270_EXPORT int32_t KR2270_HcCodeSplit(KR2270Device* device, int32_t n) {
  return kr2270::Guarded([&] { return kr2270::HcCodeSplit(device, n); });
}

KR2270_EXPORT int32_t KR2270_HcCodeGetAd(KR2270Device* device, int32_t channel, int32_t* codes) {
  return kr2270::Guarded([&] { return kr2270::HcCodeGetAd(device, channel, codes); });
}

KR2270_EXPORT int32_t KR2270_HcCodeGetDi(KR2270Device* device, uint16_t* words) {
  return kr2270::Guarded([&] { return kr2270::HcCodeGetDi(device, words); });
}

KR2270_EXPORT int32_t KR2270_HcCodeGetCt(KR2270Device* device, int32_t counter, uint32_t* values) {
  return kr2270::Guarded([&] { return kr2270::HcCodeGetCt(device, counter, values); });
}

KR2270_EXPORT int32_t KR2270_HcCodeGetIndex(KR2270Device* device, uint64_t* indices) {
  return kr2270::Guarded([&] { return kr2270::HcCodeGetIndex(device, indices); });
}

KR2270_EXPORT int32_t KR2270_HcCodeGetEc(KR2270Device* device, int32_t encoder, uint32_t* values) {
  return kr2270::Guarded([&] { return kr2270::HcCodeGetEc(device, encoder, values); });
}

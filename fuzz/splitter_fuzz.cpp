// The splitter: arbitrary enables, code width, averaging count and ring
// content, then a sequence of count / split / fetch calls, each compared
// with the naive splitter of oracles.h.
//
// Input: byte 0 analog enables; byte 1 bit 0 two-byte codes, bit 1 digital
// word, bits 2-5 counters, bits 6-7 encoders; byte 2 averaging count (low
// 4 bits mod 9, -1 when bit 7 is set); byte 3 where the ring counters start;
// byte 4 the number of splits m (1..8); m bytes of split sizes (255 = the
// largest int32); the rest goes into the ring.
//
// Also included by tests/regression_splitter_test.cpp.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "acquisition/acquisition.h"
#include "acquisition/stream_fifo.h"
#include "device/device.h"
#include "kr2270c.h"
#include "oracles.h"

namespace kr2270::fuzzcheck {

inline constexpr std::size_t kSplitGuard = 8;

// A fetch into an array of exactly `count` elements between guard elements.
template <typename T, typename Fetch>
std::string FetchInto(Fetch fetch, const std::vector<T>& expected, const char* what) {
  const T guard = static_cast<T>(0x5A5A5A5Au);
  std::vector<T> out(expected.size() + 2 * kSplitGuard, guard);
  const std::int32_t got = fetch(out.data() + kSplitGuard);
  if (got != static_cast<std::int32_t>(expected.size())) return std::string(what) + " count";
  for (std::size_t i = 0; i < kSplitGuard; ++i) {
    if (out[i] != guard || out[kSplitGuard + expected.size() + i] != guard) {
      return std::string(what) + " wrote outside the array";
    }
  }
  if (!std::equal(expected.begin(), expected.end(), out.begin() + kSplitGuard)) {
    return std::string(what) + " values";
  }
  return {};
}

inline std::string CompareQueues(Device* device, const oracle::Queues& q) {
  std::string failure;
  for (int c = 0; c < 8 && failure.empty(); ++c) {
    failure = FetchInto<std::int32_t>(
        [&](std::int32_t* out) { return KR2270_HcCodeGetAd(device, c + 1, out); }, q.ad[c], "analog");
  }
  if (failure.empty()) {
    failure = FetchInto<std::uint16_t>([&](std::uint16_t* out) { return KR2270_HcCodeGetDi(device, out); },
                                       q.di, "digital");
  }
  for (int c = 0; c < 4 && failure.empty(); ++c) {
    failure = FetchInto<std::uint32_t>(
        [&](std::uint32_t* out) { return KR2270_HcCodeGetCt(device, c + 1, out); }, q.ct[c], "counter");
  }
  for (int e = 0; e < 2 && failure.empty(); ++e) {
    failure = FetchInto<std::uint32_t>(
        [&](std::uint32_t* out) { return KR2270_HcCodeGetEc(device, e + 1, out); }, q.ec[e], "encoder");
  }
  return failure;
}

// Block averages: each enabled analog channel's codes read as signed 24-bit
// numbers, F at a time, the mean truncated toward zero, stored as 24 bits.
inline oracle::Queues AverageGroups(const oracle::Layout& l, const std::uint8_t* bytes,
                                   std::size_t outputs, int times) {
  oracle::Queues plain;
  oracle::SplitGroups(l, bytes, outputs * static_cast<std::size_t>(times), &plain);
  oracle::Queues averaged;
  for (int k = 0; k < 8; ++k) {
    if (!l.analog[k]) continue;
    for (std::size_t m = 0; m < outputs; ++m) {
      std::int64_t sum = 0;
      for (int i = 0; i < times; ++i) {
        const auto raw = static_cast<std::uint32_t>(plain.ad[k][m * static_cast<std::size_t>(times) + static_cast<std::size_t>(i)]);
        const std::int64_t low = raw & 0xFFFFFF;
        sum += (low & 0x800000) != 0 ? low - 0x1000000 : low;
      }
      const std::int64_t mean = sum / times;
      averaged.ad[k].push_back(static_cast<std::int32_t>(static_cast<std::uint32_t>(mean) & 0xFFFFFFu));
    }
  }
  return averaged;
}

inline Device* SplitterDevice() {
  static Device* device = KR2270_DeviceCreate();
  return device;
}

inline std::string CheckSplitter(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return {};
  Device* device = SplitterDevice();
  Settings& s = device->stream_settings;  // what the ring's bytes mean
  oracle::Layout l;
  for (int k = 0; k < 8; ++k) {
    s.ad_enabled[k] = static_cast<std::uint8_t>(data[0] >> k & 1);
    l.analog[k] = s.ad_enabled[k] != 0;
  }
  s.ad_code_bytes = (data[1] & 1) != 0 ? 2 : 4;
  l.code_bytes = s.ad_code_bytes;
  s.di_in_fifo = static_cast<std::uint8_t>(data[1] >> 1 & 1);
  l.digital = s.di_in_fifo != 0;
  for (int c = 0; c < 4; ++c) {
    s.ct_in_fifo[c] = static_cast<std::uint8_t>(data[1] >> (2 + c) & 1);
    l.counter[c] = s.ct_in_fifo[c] != 0;
  }
  for (int e = 0; e < 2; ++e) {
    s.ec_in_fifo[e] = static_cast<std::uint8_t>(data[1] >> (6 + e) & 1);
    l.encoder[e] = s.ec_in_fifo[e] != 0;
  }
  device->settings = s;  // a run started with these settings
  ResetStreamPositions(device, s);
  const int times = (data[2] & 0x80) != 0 ? -1 : (data[2] & 0x0F) % 9;
  device->filter_times = times;
  const std::size_t splits = 1 + data[4] % 8u;
  if (size < 5 + splits) return {};
  const std::uint8_t* sizes = data + 5;
  const std::uint8_t* bytes = data + 5 + splits;
  const std::size_t length = size - 5 - splits;

  // Counters just below the end of the storage or of the 32-bit range.
  StreamFifo& fifo = device->stream_fifo;
  const std::uint32_t start = (data[3] & 1) != 0 ? 0u - data[3] : fifo.size - data[3];
  fifo.in.store(start);
  fifo.out.store(start);
  if (FifoPut(fifo, bytes, static_cast<std::uint32_t>(length)) != length) return "ring refused bytes";
  for (auto& q : device->ad_queue) q.Clear();  // a fresh start for the oracle
  device->di_queue.Clear();
  for (auto& q : device->ct_queue) q.Clear();
  for (auto& q : device->ec_queue) q.Clear();

  const std::size_t group = oracle::GroupBytes(l);
  if (static_cast<std::int32_t>(group) != KR2270_HcGetGroupBc(device)) return "group size";
  std::size_t at = 0;  // bytes the splitter has taken
  oracle::Queues previous;
  for (std::size_t op = 0; op < splits; ++op) {
    const std::size_t buffered_groups = group == 0 ? 0 : (length - at) / group;
    const std::int32_t expected_count =
        group == 0 || times < 0 ? 0 : static_cast<std::int32_t>(buffered_groups / static_cast<std::size_t>(times > 0 ? times : 1));
    if (KR2270_HcCodeCanReadGroupCount(device) != expected_count) return "count";
    const std::int32_t n = sizes[op] == 255 ? INT32_MAX : sizes[op];
    std::int32_t expected_split = 0;
    oracle::Queues now;
    if (n == 0) {
      now = previous;  // a split of nothing keeps the last split's codes
    } else if (times < 0) {
      expected_split = -1;
      now = previous;
    } else if (group == 0) {
      expected_split = 0;
    } else if (times == 0) {
      const std::size_t k = std::min<std::size_t>(static_cast<std::size_t>(n), buffered_groups);
      oracle::SplitGroups(l, bytes + at, k, &now);
      at += k * group;
      expected_split = static_cast<std::int32_t>(k);
    } else if (static_cast<std::size_t>(n) <= buffered_groups / static_cast<std::size_t>(times)) {
      now = AverageGroups(l, bytes + at, static_cast<std::size_t>(n), times);
      at += static_cast<std::size_t>(n) * static_cast<std::size_t>(times) * group;
      expected_split = n;
    }  // else: all or nothing, and nothing it is
    const std::int32_t split = KR2270_HcCodeSplit(device, n);
    if (split != expected_split) {
      return "split of " + std::to_string(n) + " returned " + std::to_string(split) + ", expected " +
             std::to_string(expected_split);
    }
    const std::string failure = CompareQueues(device, now);
    if (!failure.empty()) return "after split " + std::to_string(op) + ": " + failure;
    if (FifoFilled(fifo) != length - at) return "ring holds the wrong number of bytes";
    previous = now;
  }
  return {};
}

}  // namespace kr2270::fuzzcheck

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string failure = kr2270::fuzzcheck::CheckSplitter(data, size);
  if (!failure.empty()) {
    std::fprintf(stderr, "splitter rule broken: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}

// A split whose allocation fails part-way leaves every queue as the last
// split left it: no queue may offer codes that were never written.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#include "acquisition/stream_fifo.h"
#include "device/device.h"
#include "kr2270c.h"

namespace {

// Allocations of at least this size are counted; the one numbered
// g_fail_at (from 0) throws. Smaller ones (gtest's, the small queues) pass.
constexpr std::size_t kLarge = 64 * 1024;
std::atomic<long> g_fail_at{-1};
std::atomic<long> g_large_seen{0};

void* Allocate(std::size_t n) {
  if (n >= kLarge && g_fail_at.load() >= 0 && g_large_seen.fetch_add(1) == g_fail_at.load()) {
    throw std::bad_alloc();
  }
  void* p = std::malloc(n != 0 ? n : 1);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

void* operator new(std::size_t n) { return Allocate(n); }
void* operator new[](std::size_t n) { return Allocate(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

// Groups of all eight 4-byte channels; channel c of group g holds g * 8 + c.
void Feed(KR2270Device* device, std::uint32_t first, std::uint32_t count) {
  std::vector<std::uint8_t> bytes;
  for (std::uint32_t g = first; g < first + count; ++g) {
    for (std::uint32_t c = 0; c < 8; ++c) {
      const std::uint32_t v = (g * 8 + c) & 0x7FFFFF;
      for (int b = 0; b < 4; ++b) bytes.push_back(static_cast<std::uint8_t>(v >> (8 * b)));
    }
  }
  ASSERT_EQ(kr2270::FifoPut(device->stream_fifo, bytes.data(), static_cast<std::uint32_t>(bytes.size())),
            bytes.size());
}

TEST(SplitAllocation, FailurePartWayLeavesTheQueuesOfTheLastSplit) {
  for (const int32_t times : {0, 2}) {
    SCOPED_TRACE(testing::Message() << "averaging " << times);
    KR2270Device* device = KR2270_DeviceCreate();
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(KR2270_AdFilterTimesPC(device, times, nullptr), 0);
    const uint32_t per_output = times == 0 ? 1 : 2;
    Feed(device, 0, 10 * per_output);
    ASSERT_EQ(KR2270_HcCodeSplit(device, 10), 10);
    int32_t before[8][10];
    for (int32_t k = 1; k <= 8; ++k) ASSERT_EQ(KR2270_HcCodeGetAd(device, k, before[k - 1]), 10);

    // Large enough that every queue must grow; the second large allocation
    // of the split fails.
    const uint32_t outputs = 20000;
    Feed(device, 1000, outputs * per_output);
    g_large_seen.store(0);
    g_fail_at.store(1);
    const int32_t failed = KR2270_HcCodeSplit(device, static_cast<int32_t>(outputs));
    g_fail_at.store(-1);
    EXPECT_EQ(failed, KR2270_ERROR_ARGUMENT);
    for (int32_t k = 1; k <= 8; ++k) {
      std::vector<int32_t> codes(outputs);
      ASSERT_EQ(KR2270_HcCodeGetAd(device, k, codes.data()), 10) << "channel " << k;
      EXPECT_TRUE(std::equal(codes.begin(), codes.begin() + 10, before[k - 1])) << "channel " << k;
    }
    // Nothing was taken from the ring: the same split now succeeds.
    EXPECT_EQ(KR2270_HcCodeCanReadGroupCount(device), static_cast<int32_t>(outputs));
    ASSERT_EQ(KR2270_HcCodeSplit(device, static_cast<int32_t>(outputs)), static_cast<int32_t>(outputs));
    std::vector<int32_t> codes(outputs);
    ASSERT_EQ(KR2270_HcCodeGetAd(device, 8, codes.data()), static_cast<int32_t>(outputs));
    if (times == 0) {
      EXPECT_EQ(codes[0], static_cast<int32_t>(1000 * 8 + 7));
    }
    KR2270_DeviceClose(device);
  }
}

}  // namespace

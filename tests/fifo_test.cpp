#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "acquisition/stream_fifo.h"

namespace kr2270 {
namespace {

// A ring over a small caller-owned storage, counters starting where asked.
struct SmallRing {
  std::vector<std::uint8_t> storage;
  StreamFifo fifo;
  explicit SmallRing(std::uint32_t size, std::uint32_t start = 0) : storage(size) {
    fifo.buffer = storage.data();
    fifo.size = size;
    fifo.in.store(start);
    fifo.out.store(start);
  }
};

// Byte value of stream position p: changes with every position and with
// every wrap of a small ring.
std::uint8_t PatternAt(std::uint64_t p) { return static_cast<std::uint8_t>(p * 7 + (p >> 8)); }

std::vector<std::uint8_t> Pattern(std::uint64_t from, std::size_t n) {
  std::vector<std::uint8_t> bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = PatternAt(from + i);
  return bytes;
}

TEST(StreamFifo, PutAndGetStopAtTheirLimits) {
  SmallRing ring(32);
  EXPECT_EQ(FifoPut(ring.fifo, Pattern(0, 22).data(), 22), 22u);
  EXPECT_EQ(FifoPut(ring.fifo, Pattern(22, 100).data(), 100), 10u);  // 10 free
  EXPECT_EQ(FifoGet(ring.fifo, nullptr, 12), 12u);                   // discarded
  std::vector<std::uint8_t> got(50);
  EXPECT_EQ(FifoGet(ring.fifo, got.data(), 50), 20u);  // 20 held
  got.resize(20);
  EXPECT_EQ(got, Pattern(12, 20));
  EXPECT_EQ(FifoGet(ring.fifo, got.data(), 1), 0u);
}

TEST(StreamFifo, StoresNothingWithoutStorage) {
  StreamFifo empty;
  const std::uint8_t byte = 1;
  EXPECT_EQ(FifoPut(empty, &byte, 1), 0u);
  EXPECT_EQ(FifoGet(empty, nullptr, 1), 0u);
}

// The storage wraps every 16 bytes; the counters pass 2^32 on the way.
TEST(StreamFifo, WrapsStorageAndCounters) {
  for (std::uint32_t start : {0u, 0xFFFFFFF5u, 0xFFFFFFFFu - 40u}) {
    SmallRing ring(16, start);
    std::uint64_t put = 0;
    std::uint64_t taken = 0;
    for (int round = 0; round < 12; ++round) {
      ASSERT_EQ(FifoPut(ring.fifo, Pattern(put, 11).data(), 11), 11u);
      put += 11;
      EXPECT_EQ(FifoFilled(ring.fifo), 11u);
      EXPECT_EQ(FifoFree(ring.fifo), 5u);
      std::vector<std::uint8_t> got(11);
      ASSERT_EQ(FifoGet(ring.fifo, got.data(), 11), 11u);
      EXPECT_EQ(got, Pattern(taken, 11)) << "start " << start << " round " << round;
      taken += 11;
    }
    EXPECT_EQ(ring.fifo.in.load(), static_cast<std::uint32_t>(start + put));
  }
}

TEST(StreamFifo, PeekShowsTheBytesAsTheyLieAroundTheWrap) {
  SmallRing ring(16, 10);
  FifoPut(ring.fifo, Pattern(0, 12).data(), 12);
  const FifoPieces pieces = FifoPeek(ring.fifo, 100);
  ASSERT_EQ(pieces.first, ring.storage.data() + 10);
  ASSERT_EQ(pieces.first_length, 6u);
  ASSERT_EQ(pieces.second, ring.storage.data());
  ASSERT_EQ(pieces.second_length, 6u);
  std::vector<std::uint8_t> seen(pieces.first, pieces.first + 6);
  seen.insert(seen.end(), pieces.second, pieces.second + 6);
  EXPECT_EQ(seen, Pattern(0, 12));
  EXPECT_EQ(FifoFilled(ring.fifo), 12u);  // peeking takes nothing
}

// One producer thread and one consumer thread with random sizes; every byte
// must arrive once, in order.
TEST(StreamFifo, CarriesAStreamBetweenTwoThreads) {
  constexpr std::uint64_t kTotal = 1 << 20;
  SmallRing ring(64, 0xFFFFFF00u);
  std::thread producer([&] {
    std::mt19937 random(1);
    std::uint64_t put = 0;
    while (put < kTotal) {
      const auto want =
          static_cast<std::uint32_t>(std::min<std::uint64_t>(1 + random() % 40, kTotal - put));
      put += FifoPut(ring.fifo, Pattern(put, want).data(), want);
      if (FifoFree(ring.fifo) == 0) std::this_thread::yield();
    }
  });
  std::mt19937 random(2);
  std::uint64_t taken = 0;
  std::uint64_t mismatches = 0;
  std::vector<std::uint8_t> got(64);
  while (taken < kTotal) {
    const std::uint32_t n = FifoGet(ring.fifo, got.data(), 1 + random() % 50);
    for (std::uint32_t i = 0; i < n; ++i) mismatches += got[i] != PatternAt(taken + i);
    taken += n;
    if (n == 0) std::this_thread::yield();
  }
  producer.join();
  EXPECT_EQ(mismatches, 0u);
  EXPECT_EQ(FifoFilled(ring.fifo), 0u);
}

}  // namespace
}  // namespace kr2270

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "acquisition/acquisition.h"
#include "kr2270c.h"

namespace kr2270 {
namespace {

// Group g of a stream of `size`-byte groups: every byte tells its group and
// its place in it.
std::vector<std::uint8_t> Groups(std::size_t size, std::size_t first, std::size_t count) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t g = first; g < first + count; ++g) {
    for (std::size_t b = 0; b < size; ++b)
      bytes.push_back(static_cast<std::uint8_t>(g * 37 + b * 101 + g / 7));
  }
  return bytes;
}

// Cuts bytes into random segments of 1 to max_segment bytes.
template <typename Each>
void InSegments(const std::vector<std::uint8_t>& bytes, std::size_t max_segment, unsigned seed,
                Each each) {
  std::mt19937 random(seed);
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t n = std::min<std::size_t>(1 + random() % max_segment, bytes.size() - at);
    std::vector<std::uint8_t> segment(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                      bytes.begin() + static_cast<std::ptrdiff_t>(at + n));
    each(segment);
    at += n;
  }
}

ReceiverState StateFor(std::int32_t group_size, std::int32_t decimation) {
  ReceiverState state;
  state.group_size = group_size;
  state.decimation = decimation;
  return state;
}

TEST(Decimation, KeepsGroupsZeroAndFourOfABlockAtRate48) {
  ReceiverState state = StateFor(8, 4);
  std::vector<std::uint8_t> block = Groups(8, 0, 8);
  ASSERT_EQ(CompleteBlock(state, block.data(), block.size()), 16u);
  block.resize(16);
  std::vector<std::uint8_t> expected = Groups(8, 0, 1);
  const std::vector<std::uint8_t> fourth = Groups(8, 4, 1);
  expected.insert(expected.end(), fourth.begin(), fourth.end());
  EXPECT_EQ(block, expected);
}

TEST(Decimation, KeepsEveryFthGroupWhereverTheReceivesEnd) {
  for (const auto& [group, factor] : {std::pair{8, 4}, std::pair{58, 2}, std::pair{6, 4}}) {
    for (std::size_t max_segment : {1u, 7u, 100u, 1000u}) {
      ReceiverState state = StateFor(group, factor);
      std::vector<std::uint8_t> kept;
      InSegments(Groups(static_cast<std::size_t>(group), 0, 203), max_segment, 3,
                 [&](std::vector<std::uint8_t> segment) {
                   const std::size_t n = CompleteBlock(state, segment.data(), segment.size());
                   kept.insert(kept.end(), segment.begin(),
                               segment.begin() + static_cast<std::ptrdiff_t>(n));
                 });
      std::vector<std::uint8_t> expected;
      for (std::size_t g = 0; g < 203; g += static_cast<std::size_t>(factor)) {
        const std::vector<std::uint8_t> one = Groups(static_cast<std::size_t>(group), g, 1);
        expected.insert(expected.end(), one.begin(), one.end());
      }
      EXPECT_EQ(kept, expected) << group << " x " << factor << ", segments up to " << max_segment;
    }
  }
}

// A handle whose idle receiver state is driven by the test: each segment is
// received into the block as the thread would receive it, then passed on.
struct Receiving {
  Device* device = KR2270_DeviceCreate();
  std::vector<std::uint8_t> small_ring;
  std::uint8_t* const full_ring = device->stream_fifo.buffer;

  Receiving(std::int32_t group_size, std::size_t block_bytes, std::uint32_t ring_bytes)
      : small_ring(ring_bytes) {
    device->receiver.group_size = group_size;
    device->receiver.block.resize(block_bytes);
    device->stream_fifo.buffer = small_ring.data();
    device->stream_fifo.size = ring_bytes;
  }
  ~Receiving() {
    device->stream_fifo.buffer = full_ring;
    device->stream_fifo.size = kStreamFifoBytes;
    KR2270_DeviceClose(device);
  }
  void Receive(const std::vector<std::uint8_t>& segment) {
    ASSERT_LE(segment.size(), ReceiveRoom(device->receiver));
    std::memcpy(ReceiveTarget(device->receiver), segment.data(), segment.size());
    PassOnBlock(device, segment.size());
  }
  std::vector<std::uint8_t> TakeAll() {
    std::vector<std::uint8_t> bytes(FifoFilled(device->stream_fifo));
    FifoGet(device->stream_fifo, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    return bytes;
  }
  std::uint64_t Lost() const { return device->lost_groups.load(); }
};

TEST(WholeGroups, OnlyWholeGroupsEnterTheRing) {
  Receiving rx(14, 47, 1 << 12);
  const std::vector<std::uint8_t> stream = Groups(14, 0, 250);
  std::vector<std::uint8_t> taken;
  InSegments(stream, 33, 5, [&](const std::vector<std::uint8_t>& segment) {
    rx.Receive(segment);
    ASSERT_EQ(FifoFilled(rx.device->stream_fifo) % 14, 0u);
    const std::vector<std::uint8_t> got = rx.TakeAll();
    taken.insert(taken.end(), got.begin(), got.end());
  });
  EXPECT_EQ(taken, stream);
  EXPECT_EQ(rx.Lost(), 0u);
}

}  // namespace
}  // namespace kr2270

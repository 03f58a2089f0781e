// Single-producer single-consumer byte ring between the receiver (or
// playback) and the splitter. The counters run freely and wrap modulo 2^32;
// the capacity is a power of two so positions are masks and the wrap is exact.
#pragma once

#include <atomic>
#include <cstdint>

namespace kr2270 {

struct StreamFifo {
  std::uint8_t* buffer = nullptr;
  std::uint32_t size = 0;  // 0 when the storage could not be allocated
  std::atomic<std::uint32_t> in{0};
  std::atomic<std::uint32_t> out{0};
};

inline constexpr std::uint32_t kStreamFifoBytes = 33554432;  // 32 MiB

// Producer side: stores at most the free count, returns the bytes stored.
std::uint32_t FifoPut(StreamFifo& fifo, const void* source, std::uint32_t count);
// Consumer side: takes at most the filled count into destination (discards
// them when destination is null), returns the bytes taken.
std::uint32_t FifoGet(StreamFifo& fifo, void* destination, std::uint32_t count);
// Consumer side: the filled bytes, at most count, as they lie in the storage:
// a first piece and, when they wrap, a second from the start of the storage.
// They stay in the ring until a FifoGet takes them.
struct FifoPieces {
  const std::uint8_t* first = nullptr;
  std::uint32_t first_length = 0;
  const std::uint8_t* second = nullptr;
  std::uint32_t second_length = 0;
};
FifoPieces FifoPeek(const StreamFifo& fifo, std::uint32_t count);
// Only while no producer runs.
void FifoReset(StreamFifo& fifo);

// Bytes buffered, as seen by the consumer.
inline std::uint32_t FifoFilled(const StreamFifo& fifo) {
  return fifo.in.load(std::memory_order_acquire) - fifo.out.load(std::memory_order_relaxed);
}
// Bytes free, as seen by the producer.
inline std::uint32_t FifoFree(const StreamFifo& fifo) {
  return fifo.size -
         (fifo.in.load(std::memory_order_relaxed) - fifo.out.load(std::memory_order_acquire));
}

}  // namespace kr2270

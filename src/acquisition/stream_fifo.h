// Single-producer single-consumer byte ring between the receiver (or
// playback) and the splitter. The counters run freely and wrap modulo 2^32;
// the capacity is a power of two so positions are masks and the wrap is exact.
// The consumer may keep `held` bytes it has already read in the storage
// (the trigger's pre-trigger history): they count as used to the producer
// and as taken to the consumer, whose reads start at out + held.
#pragma once

#include <atomic>
#include <cstdint>

namespace kr2270 {

struct StreamFifo {
  std::uint8_t* buffer = nullptr;
  std::uint32_t size = 0;  // 0 when the storage could not be allocated
  std::atomic<std::uint32_t> in{0};
  std::atomic<std::uint32_t> out{0};
  std::atomic<std::uint32_t> held{0};  // written by the consumer only
};

inline constexpr std::uint32_t kStreamFifoBytes = 33554432;  // 32 MiB

// Producer side: stores at most the free count, returns the bytes stored.
std::uint32_t FifoPut(StreamFifo& fifo, const void* source, std::uint32_t count);
// Consumer side: takes at most the filled count into destination (discards
// them when destination is null), returns the bytes taken. The bytes held
// stay as many: the oldest of them are released instead.
std::uint32_t FifoGet(StreamFifo& fifo, void* destination, std::uint32_t count);
// Consumer side: takes count filled bytes (at most the filled count) and
// leaves exactly keep bytes before the new read position in the storage;
// keep is at most the bytes held plus count.
void FifoTake(StreamFifo& fifo, std::uint32_t count, std::uint32_t keep);
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
// Consumer side: count bytes from `back` bytes before the read position
// (held or filled bytes; the caller keeps within them).
FifoPieces FifoPeekBack(const StreamFifo& fifo, std::uint32_t back, std::uint32_t count);
// Only while no producer runs.
void FifoReset(StreamFifo& fifo);

// Bytes buffered and not yet read, as seen by the consumer.
inline std::uint32_t FifoFilled(const StreamFifo& fifo) {
  return fifo.in.load(std::memory_order_acquire) - fifo.out.load(std::memory_order_relaxed) -
         fifo.held.load(std::memory_order_relaxed);
}
// Nothing buffered and nothing held: the consumer may reset the ring.
inline bool FifoEmpty(const StreamFifo& fifo) {
  return fifo.in.load(std::memory_order_acquire) == fifo.out.load(std::memory_order_relaxed);
}
// Bytes free, as seen by the producer.
inline std::uint32_t FifoFree(const StreamFifo& fifo) {
  return fifo.size -
         (fifo.in.load(std::memory_order_relaxed) - fifo.out.load(std::memory_order_acquire));
}

}  // namespace kr2270

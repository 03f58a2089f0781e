#include "acquisition/stream_fifo.h"

#include <algorithm>
#include <cstring>

namespace kr2270 {

std::uint32_t FifoPut(StreamFifo& fifo, const void* source, std::uint32_t count) {
  const std::uint32_t in = fifo.in.load(std::memory_order_relaxed);
  const std::uint32_t out = fifo.out.load(std::memory_order_acquire);
  const std::uint32_t n = std::min(count, fifo.size - (in - out));
  if (n == 0) return 0;
  const std::uint32_t p = in & (fifo.size - 1);
  const std::uint32_t first = std::min(n, fifo.size - p);
  const auto* bytes = static_cast<const std::uint8_t*>(source);
  std::memcpy(fifo.buffer + p, bytes, first);
  std::memcpy(fifo.buffer, bytes + first, n - first);
  fifo.in.store(in + n, std::memory_order_release);
  return n;
}

std::uint32_t FifoGet(StreamFifo& fifo, void* destination, std::uint32_t count) {
  const std::uint32_t out = fifo.out.load(std::memory_order_relaxed);
  const std::uint32_t in = fifo.in.load(std::memory_order_acquire);
  const std::uint32_t read = out + fifo.held.load(std::memory_order_relaxed);
  const std::uint32_t n = std::min(count, in - read);
  if (n == 0) return 0;
  if (destination != nullptr) {
    const std::uint32_t p = read & (fifo.size - 1);
    const std::uint32_t first = std::min(n, fifo.size - p);
    auto* bytes = static_cast<std::uint8_t*>(destination);
    std::memcpy(bytes, fifo.buffer + p, first);
    std::memcpy(bytes + first, fifo.buffer, n - first);
  }
  fifo.out.store(out + n, std::memory_order_release);
  return n;
}

void FifoTake(StreamFifo& fifo, std::uint32_t count, std::uint32_t keep) {
  const std::uint32_t n = std::min(count, FifoFilled(fifo));
  const std::uint32_t read = fifo.out.load(std::memory_order_relaxed) +
                             fifo.held.load(std::memory_order_relaxed) + n;
  fifo.held.store(keep, std::memory_order_relaxed);
  fifo.out.store(read - keep, std::memory_order_release);
}

namespace {

FifoPieces PiecesAt(const StreamFifo& fifo, std::uint32_t from, std::uint32_t n) {
  FifoPieces pieces;
  if (n == 0) return pieces;
  const std::uint32_t p = from & (fifo.size - 1);
  pieces.first = fifo.buffer + p;
  pieces.first_length = std::min(n, fifo.size - p);
  pieces.second = fifo.buffer;
  pieces.second_length = n - pieces.first_length;
  return pieces;
}

}  // namespace

FifoPieces FifoPeek(const StreamFifo& fifo, std::uint32_t count) {
  const std::uint32_t in = fifo.in.load(std::memory_order_acquire);
  const std::uint32_t read =
      fifo.out.load(std::memory_order_relaxed) + fifo.held.load(std::memory_order_relaxed);
  return PiecesAt(fifo, read, std::min(count, in - read));
}

FifoPieces FifoPeekBack(const StreamFifo& fifo, std::uint32_t back, std::uint32_t count) {
  const std::uint32_t read =
      fifo.out.load(std::memory_order_relaxed) + fifo.held.load(std::memory_order_relaxed);
  return PiecesAt(fifo, read - back, count);
}

void FifoReset(StreamFifo& fifo) {
  fifo.in.store(0, std::memory_order_relaxed);
  fifo.held.store(0, std::memory_order_relaxed);
  fifo.out.store(0, std::memory_order_release);
}

}  // namespace kr2270

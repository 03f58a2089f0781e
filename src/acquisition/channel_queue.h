// Growable array of one channel's codes. Clearing keeps the storage, so a
// steady rhythm of splits appends into memory that is already there.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>

namespace kr2270 {

template <typename T>
struct ChannelQueue {
  std::unique_ptr<T[]> data;
  std::size_t count = 0;
  std::size_t capacity = 0;

  void Clear() { count = 0; }
  // Makes room for n elements without initialising them; keeps the contents.
  void Reserve(std::size_t n) {
    if (n <= capacity) return;
    std::size_t grown = capacity < 64 ? 64 : capacity;
    while (grown < n) grown *= 2;
    std::unique_ptr<T[]> bigger(new T[grown]);
    if (count != 0) std::memcpy(bigger.get(), data.get(), count * sizeof(T));
    data = std::move(bigger);
    capacity = grown;
  }
  // Appends n elements whose values the caller writes through the pointer.
  T* Extend(std::size_t n) {
    Reserve(count + n);
    T* tail = data.get() + count;
    count += n;
    return tail;
  }
  void Append(T value) { *Extend(1) = value; }
};

}  // namespace kr2270

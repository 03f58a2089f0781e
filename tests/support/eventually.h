// Waiting in tests for conditions that nothing signals (the ring's fill, the
// bytes a recording took), with a generous deadline instead of a sleep.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace kr2270::test {

inline bool Eventually(const std::function<bool()>& condition, int timeout_ms = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace kr2270::test

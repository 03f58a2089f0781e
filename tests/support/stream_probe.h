// What a streaming test reads back from a handle, in one line each.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

#include "kr2270c.h"

namespace kr2270::test {

inline long MsSince(std::chrono::steady_clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count());
}

inline KR2270Health HealthOf(KR2270Device* device) {
  KR2270Health health{};
  health.struct_size = sizeof health;
  EXPECT_EQ(KR2270_GetHealth(device, &health), 0);
  return health;
}

inline std::uint64_t LostGroups(KR2270Device* device) {
  std::uint64_t lost = 0;
  EXPECT_EQ(KR2270_HcGetLostGroups(device, &lost), 0);
  return lost;
}

}  // namespace kr2270::test

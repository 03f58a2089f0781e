// The C boundary: every export runs its body through Guarded so that no C++
// exception (an allocation failure, in practice) ever reaches the caller.
#pragma once

#include <cstdint>
#include <utility>

#include "kr2270c.h"

#define KR2270_EXPORT extern "C" KR2270_API

namespace kr2270 {

template <typename Body>
std::int32_t Guarded(Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    return KR2270_ERROR_ARGUMENT;
  }
}

template <typename Body>
void GuardedVoid(Body&& body) noexcept {
  try {
    std::forward<Body>(body)();
  } catch (...) {
  }
}

}  // namespace kr2270

// Plain versions of the library's hot loops, written the obvious way, as the
// anchors the library's split and conversion are measured against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/sequence.h"

namespace kr2270::bench {

// Per-channel vectors filled one push_back per element, group after group.
struct NaiveQueues {
  std::vector<std::int32_t> ad[8];
  std::vector<std::uint16_t> di;
  std::vector<std::uint32_t> ct[4];
  std::vector<std::uint32_t> ec[2];
};
void NaiveSplit(const sim::StreamLayout& layout, const std::uint8_t* groups, std::size_t count,
                NaiveQueues& queues);

// Code to value as a plain scalar loop: sign extension by a test of bit 23,
// then (code - zero) * (span - offset) / (full - zero) + offset. Built without
// auto-vectorisation so that it stays the scalar reference.
void ScalarCodeToValue(std::int32_t* codes, std::int32_t count, double* values,
                       std::int32_t zero_code, std::int32_t full_code, double span, double offset);

}  // namespace kr2270::bench

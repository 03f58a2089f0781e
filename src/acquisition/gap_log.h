// The gaps of one acquisition run, bounded: the first and the last
// kKeptGaps are kept, the ones between are only counted, so that a stream
// that runs for days with a slow consumer keeps a fixed amount of memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "kr2270c.h"

namespace kr2270 {

inline constexpr std::size_t kKeptGaps = 1000;

// Positions and lengths are in stream groups as they enter the ring; the
// export turns them into averaged outputs when averaging.
struct GapLog {
  std::mutex lock;
  std::vector<KR2270Gap> first;   // the oldest kKeptGaps
  std::vector<KR2270Gap> latest;  // the newest kKeptGaps after those, a ring
  std::size_t latest_next = 0;    // where the next one goes in latest
  std::uint64_t total = 0;
};

// Records a gap before stream group group_index; one that follows the newest
// gap of the same cause without a group between them lengthens it instead.
void RecordGap(GapLog& log, std::uint64_t group_index, std::uint64_t missing,
               std::int32_t cause, bool estimated);
void ClearGaps(GapLog& log);
// The kept gaps, oldest first, and *total the number recorded.
std::vector<KR2270Gap> KeptGaps(GapLog& log, std::uint64_t* total);

}  // namespace kr2270
